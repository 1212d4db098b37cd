"""The colour maths: levels, matrices and the plan of how a source's frames
go into an overlay.  Pure: no SDL, no native code.

Video keeps its levels in a limited range: luma 16-235, chroma 16-240
around 128; some sources (JPEG's yuvj420p, say) use the full range, 0-255.
Where SDL takes an overlay's levels as full range and the video is limited
range, each frame's levels are expanded before the upload:

    Y' = clip(round((Y - 16) * 255 / 219))
    C' = clip(round((C - 128) * 255 / 224) + 128)

and where SDL takes them as limited range and the video is full range, they
are compressed the other way:

    Y' = round(16 + Y * 219 / 255)
    C' = round(128 + (C - 128) * 224 / 255)

Where SDL converts by another matrix than the video's, `coefficients` gives
the numbers of the one native pass that changes matrix and levels at once.
"""

from typing import NamedTuple, Optional, Tuple

LIMITED, FULL = "limited", "full"
# The choices of `range_choice`: "auto" follows the source; "limited" and
# "full" say what the source holds, whatever it says itself.
RANGE_CHOICES = ("auto", LIMITED, FULL)

# The level conversions that `conversion` chooses.
EXPAND, COMPRESS = "expand", "compress"


def conversion(source, range_choice, sdl_full_range):
    """The conversion of each frame's levels before the upload: EXPAND,
    COMPRESS, or None for none.

    `source` is the range of the source's levels (LIMITED or FULL),
    `range_choice` one of RANGE_CHOICES, and `sdl_full_range` the probe's
    finding: an SDL found to take levels as full range gets limited-range
    frames expanded, one found to take them as limited range gets
    full-range frames compressed; where the probe could not tell (None),
    frames go as they are.
    """
    if range_choice not in RANGE_CHOICES:
        raise ValueError("range_choice must be one of %s, not %r"
                         % (", ".join(RANGE_CHOICES), range_choice))
    levels = source if range_choice == "auto" else range_choice
    if levels == LIMITED and sdl_full_range is True:
        return EXPAND
    if levels == FULL and sdl_full_range is False:
        return COMPRESS
    return None


def expand_wanted(source, range_choice, sdl_full_range):
    """Whether to expand each frame's levels before the upload (`conversion`)."""
    return conversion(source, range_choice, sdl_full_range) == EXPAND


# The matrices by which video turns YUV into RGB, each by its luma weights
# of red and blue (Kr, Kb).
BT601, BT709, BT2020 = "bt601", "bt709", "bt2020"
FCC, SMPTE240M = "fcc", "smpte240m"
WEIGHTS = {BT601: (0.299, 0.114), BT709: (0.2126, 0.0722), BT2020: (0.2627, 0.0593),
           FCC: (0.30, 0.11), SMPTE240M: (0.212, 0.087)}
# FFmpeg's colour-space codes of a frame.  BT.2020 with constant luminance
# is not a matrix; its non-constant sibling is the nearest one.
_FFMPEG_SPACES = {1: BT709, 4: FCC, 5: BT601, 6: BT601, 7: SMPTE240M, 9: BT2020, 10: BT2020}
# Video taller than this is HD, whose matrix is BT.709 when it says none.
SD_HEIGHT = 576


def matrix_of(space, height):
    """The matrix of frames tagged with FFmpeg's colour-space code `space`
    (None or 2 for none), `height` rows high: the tagged one, else BT.709
    for HD and BT.601 below, as FFmpeg's player decides."""
    return _FFMPEG_SPACES.get(space) or (BT709 if height > SD_HEIGHT else BT601)


def _to_rgb(matrix):
    """The 3 x 3 matrix from (Y, Pb, Pr) to (R, G, B)."""
    kr, kb = WEIGHTS[matrix]
    kg = 1 - kr - kb
    return [[1.0, 0.0, 2 * (1 - kr)],
            [1.0, -2 * kb * (1 - kb) / kg, -2 * kr * (1 - kr) / kg],
            [1.0, 2 * (1 - kb), 0.0]]


def _from_rgb(matrix):
    """The 3 x 3 matrix from (R, G, B) to (Y, Pb, Pr)."""
    kr, kb = WEIGHTS[matrix]
    kg = 1 - kr - kb
    return [[kr, kg, kb],
            [-kr / (2 * (1 - kb)), -kg / (2 * (1 - kb)), 0.5],
            [0.5, -kg / (2 * (1 - kr)), -kb / (2 * (1 - kr))]]


def _product(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]


# Level scales from 0-255 to each range: luma, chroma, and luma's black.
_LEVELS = {FULL: (1.0, 1.0, 0.0), LIMITED: (219 / 255, 224 / 255, 16.0)}


def coefficients(source, source_levels, shown, shown_levels):
    """The coefficients of _colour.transform that turn YUV of matrix
    `source` at `source_levels` (LIMITED or FULL) into the YUV whose
    conversion by matrix `shown` at `shown_levels` gives the same RGB:
    (ky, kyu, kyv, oy, kuu, kuv, kvu, kvv)."""
    sy, sc, black = _LEVELS[source_levels]
    dy, dc, shown_black = _LEVELS[shown_levels]
    m = _product(_from_rgb(shown), _to_rgb(source))
    # Chroma never depends on luma: rows 1 and 2 of m have 0 in column 0.
    ky = dy * m[0][0] / sy
    return (ky, dy * m[0][1] / sc, dy * m[0][2] / sc, shown_black - ky * black,
            dc * m[1][1] / sc, dc * m[1][2] / sc, dc * m[2][1] / sc, dc * m[2][2] / sc)


def level_coefficients(colours, levels):
    """The coefficients that carry out a level conversion (EXPAND, COMPRESS
    or None, which keeps the levels) of frames of `colours` (their
    levels and matrix), for a pass that changes levels and matrix at once."""
    shown = {EXPAND: FULL, COMPRESS: LIMITED}.get(levels, colours.levels)
    return coefficients(colours.matrix, colours.levels, colours.matrix, shown)


def rgb_of(yuv, matrix, levels):
    """The (r, g, b) that matrix `matrix` at `levels` gives for (y, u, v),
    each clipped to 0-255."""
    sy, sc, black = _LEVELS[levels]
    y, pb, pr = (yuv[0] - black) / sy, (yuv[1] - 128) / sc, (yuv[2] - 128) / sc
    return tuple(min(255.0, max(0.0, row[0] * y + row[1] * pb + row[2] * pr))
                 for row in _to_rgb(matrix))


class Plan(NamedTuple):
    """How a source's frames go into the overlay: `levels`, a level
    conversion (EXPAND, COMPRESS or None), or `coefficients` for
    _colour.transform, which changes matrix and levels in one pass."""
    levels: Optional[str] = None
    coefficients: Optional[Tuple[float, ...]] = None


def plan(levels, matrix, probe):
    """The Plan for frames of `levels` (LIMITED or FULL) and `matrix`, shown
    by an SDL of which `probe` (a Probe) found the range and matrix.  Where
    the probe could not tell the matrix, frames keep theirs; where it could
    not tell the range either, they go as they are."""
    if probe.matrix is None or probe.matrix == matrix or probe.full_range is None:
        return Plan(levels=conversion(levels, "auto", probe.full_range))
    return Plan(coefficients=coefficients(matrix, levels, probe.matrix,
                                          FULL if probe.full_range else LIMITED))
