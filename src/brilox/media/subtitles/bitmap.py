"""Bitmap subtitles (DVD, PGS, DVB): paletted rectangles on a canvas of
their own, scaled from it to the frame."""

import bisect

from brilox.media.subtitles.planes import unpack, writable


class BitmapTrack:
    """A bitmap stream's events by start.  `reader` says the canvas (which a
    PGS stream may say part way)."""

    def __init__(self, reader):
        self.reader = reader
        self.starts, self.sets = [], []

    def add(self, events):
        for event in events:
            at = bisect.bisect_left(self.starts, event[0])
            if at < len(self.starts) and self.starts[at] == event[0]:
                continue
            self.starts.insert(at, event[0])
            self.sets.insert(at, event)

    def draw(self, planes, layout, width, height, matrix, full, shown, seconds):
        at = bisect.bisect_right(self.starts, seconds + 1e-6) - 1
        if at < 0:
            return planes
        start, end, pictures = self.sets[at]
        if not pictures or (end is not None and seconds >= end):
            return planes
        from brilox.media import _subtitles
        canvas = self.reader.canvas or (width, height)
        sx, sy = width / canvas[0], height / canvas[1]
        drawn = writable(planes, layout, width, height)
        for x, y, w, h, indices, stride, palette in pictures:
            box = (round(x * sx), round(y * sy), max(1, round(w * sx)), max(1, round(h * sy)))
            _subtitles.blend_bitmap(drawn, layout, width, height, matrix, full, indices,
                                    stride, w, h, palette, box)
        return unpack(drawn, layout)
