"""The player's keys and clicks in one table: the controls turn key presses
into commands from it, and the help says them from it (``--help``, the
package's docstring, the README's list).  It imports nothing: the package's
docstring is made from it as ``brilox.play`` is imported, before SDL is
loaded."""


class Key:
    """A key: SDL's name for it (what ``brilox.key.name`` says), its
    ``brilox.display`` constant, the command it gives, and the command it
    gives while paused where that is another.  A `shifted` key is the
    constant's key pressed with shift (SDL tells the key, not the
    character: "<" is shift and "," on many keyboards), and its word the
    character it types; a `ctrl` key gives its command with Ctrl held (and
    nothing without)."""

    __slots__ = ("word", "constant", "command", "paused", "shifted", "ctrl")

    def __init__(self, word, constant, command, paused=None, shifted=False, ctrl=False):
        self.word, self.constant, self.command, self.paused = word, constant, command, paused
        self.shifted, self.ctrl = shifted, ctrl

    @property
    def name(self):
        return "ctrl+" + self.word if self.ctrl else self.word


class Line:
    """A line of help: keys, the clicks that do the same, what they do."""

    __slots__ = ("keys", "does", "clicks")

    def __init__(self, keys, does, clicks=()):
        self.keys, self.does, self.clicks = keys, does, clicks

    def names(self, key_style="%s"):
        words = list(dict.fromkeys(k.name for k in self.keys))
        return ", ".join([key_style % word for word in words] + list(self.clicks))


LINES = (
    Line((Key("space", "K_SPACE", ("pause",)), Key("p", "K_p", ("pause",))),
         "pause and resume"),
    Line((Key("right", "K_RIGHT", ("seek", 10), paused=("step", 1)),
          Key("left", "K_LEFT", ("seek", -10), paused=("step", -1))),
         "playing: seek 10 s on or back; paused: one frame on or back (held, they repeat)"),
    Line((Key(",", "K_COMMA", ("step", -1)), Key(".", "K_PERIOD", ("step", 1))),
         "pause, then one frame back or on"),
    Line((Key("up", "K_UP", ("seek", 60)), Key("down", "K_DOWN", ("seek", -60))),
         "seek 1 minute on or back"),
    Line((Key("page up", "K_PAGEUP", ("chapter", 1)),
          Key("page down", "K_PAGEDOWN", ("chapter", -1))),
         "the next chapter's start; back to this one's (within its first 2 s, the one "
         "before's); with no chapters, seek 10 minutes on or back, held at the start and "
         "the end"),
    Line((Key("home", "K_HOME", ("seek_to", 0.0)), Key("end", "K_END", ("seek_to", 1.0))),
         "the first frame, the last frame"),
    Line((), "seek to that fraction of the length (the click's x over the window's width)",
         clicks=("right click",)),
    Line((Key("f", "K_f", ("fullscreen",)),), "full screen and back",
         clicks=("double click",)),
    Line((Key("m", "K_m", ("mute",)),), "mute and sound on"),
    Line((Key("9", "K_9", ("volume", -1)), Key("0", "K_0", ("volume", 1))),
         "the volume down and up, 0.75 dB a press (to silence, and to 100%), shown in percent",
         clicks=("wheel down", "wheel up")),
    Line((Key("a", "K_a", ("next_audio",)),), "the next audio stream"),
    Line((Key("t", "K_t", ("next_subtitle",)),),
         "the next subtitles (the file's streams, then a subtitle file), then none"),
    Line((Key("v", "K_v", ("next_video",)),), "the next video stream, shown in its own shape"),
    Line((Key("[", "K_LEFTBRACKET", ("speed", -1)), Key("]", "K_RIGHTBRACKET", ("speed", 1))),
         "10% slower, faster (divided or multiplied by 1.1, within 0.25-4), the sound's "
         "pitch kept"),
    Line((Key("backspace", "K_BACKSPACE", ("speed", 0)),), "back to the file's own speed"),
    Line((Key(">", "K_GREATER", ("file", 1)), Key(">", "K_PERIOD", ("file", 1), shifted=True),
          Key("return", "K_RETURN", ("file", 1)), Key("enter", "K_KP_ENTER", ("file", 1))),
         "the next file of the list"),
    Line((Key("<", "K_LESS", ("file", -1)), Key("<", "K_COMMA", ("file", -1), shifted=True)),
         "the previous file of the list"),
    Line((Key("o", "K_o", ("osd",)),),
         "show the position, the time and the length over the picture for 3 s"),
    Line((Key("=", "K_EQUALS", ("audio_delay", 1), ctrl=True),
          Key("+", "K_PLUS", ("audio_delay", 1), ctrl=True),
          Key("[+]", "K_KP_PLUS", ("audio_delay", 1), ctrl=True)),
         "the sound 100 ms later against the picture (also --audio-delay)"),
    Line((Key("-", "K_MINUS", ("audio_delay", -1), ctrl=True),
          Key("[-]", "K_KP_MINUS", ("audio_delay", -1), ctrl=True)),
         "the sound 100 ms earlier"),
    Line((Key("z", "K_z", ("sub_delay", -1)), Key("x", "K_x", ("sub_delay", 1))),
         "the subtitles 100 ms earlier, later (also --sub-delay)"),
    Line((Key("l", "K_l", ("ab_loop",)),),
         "A-B loop: the first press sets A at the frame up, the second B, and play loops "
         "from A to B, picture and sound; the third clears it"),
    Line((Key("s", "K_s", ("screenshot",)),),
         "save the frame as shown, with its subtitles, as brilox-play-NNNN.png in the "
         "current folder (NNNN the first number free)"),
    Line((Key("q", "K_q", ("quit", "quit")), Key("escape", "K_ESCAPE", ("quit", "quit"))),
         "quit; so does closing the window"),
    Line((Key("Q", "K_q", ("quit", "remember"), shifted=True),),
         "quit, and remember the place: the file's next start goes on from there"),
)


def text(indent, width=78):
    """The table as plain text: each line's keys, then what they do in a
    column of its own, wrapped at `width`."""
    column = indent + max(len(line.names()) for line in LINES) + 2
    out = []
    for line in LINES:
        rows = [""]
        for word in line.does.split():
            if rows[-1] and column + len(rows[-1]) + 1 + len(word) > width:
                rows.append(word)
            else:
                rows[-1] = (rows[-1] + " " + word).lstrip()
        out.append((" " * indent + line.names()).ljust(column) + rows[0])
        out += [" " * column + row for row in rows[1:]]
    return "\n".join(out)


def markdown():
    """The table as the README has it, keys in bold."""
    rows = ["| %s | %s |" % (line.names("**%s**"), line.does) for line in LINES]
    return "\n".join(["| Keys | |", "|---|---|"] + rows)
