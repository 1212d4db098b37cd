"""True colours: the levels and matrix SDL shows an overlay's YUV by, and
what a source's frames need to come out as FFmpeg renders them.

`maths` holds the pure part: ranges, matrices, the coefficients of a change
of both, and the plan for a source's frames.  `convert` holds the native
passes that carry a plan out on a frame's planes, and `probing` the probe
that shows known frames and reads back what SDL shows.  In that order::

    found = colour.probe(overlay_format, placement)  # after set_mode, before frame 1
    plan = colour.plan(levels, matrix, found)
    if plan.levels:
        frame = colour.convert_frame(frame, overlay_format, plan.levels)
    elif plan.coefficients:
        frame = colour.transform(planes, layout, width, height, plan.coefficients)
    overlay.display(frame)
"""

from brilox.media.colour.maths import (BT601, BT709, BT2020, COMPRESS, EXPAND, FCC, FULL,
                                       LIMITED, RANGE_CHOICES, SD_HEIGHT, SMPTE240M, WEIGHTS,
                                       Plan, coefficients, conversion, expand_wanted,
                                       level_coefficients, matrix_of, plan, rgb_of)
from brilox.media.colour.convert import (CHROMA, CHROMA_LUMA, IYUV, LUMA, LUMA_CHROMA, PLANAR,
                                         YVYU, compress, compress_frame, convert_frame, expand,
                                         expand_frame, narrow, transform)
from brilox.media.colour.probing import (ODD_SIZE, PROBE_BLOCK, PROBE_BLOCKS, PROBE_COLOUR,
                                         PROBE_LEVELS, PROBE_MATRICES, PROBE_SIZE, Probe,
                                         black_out, full_range_from, matrix_from, overlays_stack,
                                         presented_rgb, probe)
from brilox.media.frames import UYVY, YUY2, YV12
