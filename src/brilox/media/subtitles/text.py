"""Text subtitles (SRT, WebVTT, ASS/SSA, mov_text): the ASS events FFmpeg's
decoders give, with the stream's styles, drawn by libass
(brilox.media._subtitles) with the fonts attached to the file."""

import bisect

from brilox.media.subtitles.planes import unpack, writable

# What libass says when it draws with the default font in place of one asked for.
DEFAULT_FONT_USED = "fontselect: Using default font"


def font_settings():
    """(default font file or None, whether to ask fontconfig) as this
    install of brilox has them."""
    try:
        from brilox.media.fonts import default_font, fontconfig
    except ImportError:
        return None, True
    return default_font(), fontconfig()


def new_library(fonts):
    """libass with the file's attached `fonts` ((name, data) each), and
    whether every font a file does not bring is the default one by design
    (without fontconfig, as in a wheel's libass)."""
    from brilox.media import _subtitles
    library = _subtitles.Library()
    for name, data in fonts:
        library.add_font(name, data)
    default, use_fontconfig = font_settings()
    library.fonts(default, None, use_fontconfig)
    return library, default is not None and not use_fontconfig


class TextTrack:
    """A text stream's libass track, and each line's start and end (ms) by
    start, and the longest, to tell whether any shows."""

    def __init__(self, library, header):
        self.library = library
        self.track = library.track(header)
        self.starts, self.ends, self.longest = [], [], 0
        # What was added, to add nothing twice (a part of the stream read
        # again after a jump): each line's times and all but its ReadOrder.
        self.seen = set()

    def add(self, events):
        for start, end, lines in events:
            begin = round(start * 1000)
            length = max(1, round(((end if end is not None else start + 5) - start) * 1000))
            lines = [line for line in lines
                     if (begin, length, line.split(b",", 1)[-1]) not in self.seen]
            if not lines:
                continue
            for line in lines:
                self.seen.add((begin, length, line.split(b",", 1)[-1]))
                self.track.add(numbered(line, len(self.seen)), begin, length)
            at = bisect.bisect_right(self.starts, begin)
            self.starts.insert(at, begin)
            self.ends.insert(at, begin + length)
            self.longest = max(self.longest, length)

    def showing(self, now):
        """Whether any line shows at `now` (ms): a line shows from its start
        up to, not at, its end."""
        at = bisect.bisect_right(self.starts, now) - 1
        while at >= 0 and self.starts[at] > now - self.longest:
            if self.ends[at] > now:
                return True
            at -= 1
        return False

    def draw(self, planes, layout, width, height, matrix, full, shown, seconds):
        now = round(seconds * 1000)
        if not self.showing(now):
            return planes
        drawn = writable(planes, layout, width, height)
        if self.library.blend(self.track, now, drawn, layout, width, height, matrix, full,
                              tuple(shown)):
            return unpack(drawn, layout)
        return planes


def numbered(line, order):
    """An ASS event with a ReadOrder of our own: FFmpeg's decoders count
    from 0 again after a seek, and libass drops an event whose ReadOrder it
    has seen."""
    if line.startswith(b"Dialogue:"):
        return line
    return b"%d,%s" % (order, line.split(b",", 1)[-1])
