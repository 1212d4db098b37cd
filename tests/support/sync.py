"""Judging when pictures went up against when their sounds played.

Each SDL build has an offset of its own between the two, from the way its
picture and its sound reach the X server and the sound server.  Measured
with the sink kept awake (soundserver.py), with both cores busy or not,
classic SDL puts a flash 0-10 ms before its beep (a median of 5-8) and
sdl12-compat 5-21 ms after it (a median of 8-13).  A bound around zero
that holds both would be wide enough to hide a clock off by one 21 ms
device buffer; judged against its own build's offset, the run's median
cannot move that far unseen.  Load delays single readings: those are held
to within a frame of the median.
"""

import statistics

from support import sdl


def offset_ms(offsets):
    """`offsets` is (classic SDL's, sdl12-compat's): the one of the SDL build
    in use."""
    return offsets[1] if sdl.over_sdl2() else offsets[0]


def out_of_step(gaps, offsets, median_within=8, each_within=15):
    """What is wrong with `gaps` (ms; each picture's time less its sound's),
    or None: their median further than `median_within` from the build's
    offset (offset_ms), or a gap further than `each_within` from the
    median."""
    expected, median = offset_ms(offsets), statistics.median(gaps)
    shown = [round(float(g), 1) for g in gaps]
    if abs(median - expected) > median_within:
        return "the median gap is %.1f ms, not %d +- %d ms: %s" % (
            median, expected, median_within, shown)
    stray = [round(float(g), 1) for g in gaps if abs(g - median) > each_within]
    if stray:
        return "gaps %s are over %d ms from the median %.1f ms: %s" % (
            stray, each_within, median, shown)
    return None
