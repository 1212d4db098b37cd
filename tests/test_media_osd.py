"""The display over a Video's picture as a room of its own: its time text,
its bar's layout, and text that libass would otherwise read as its tags."""

import pytest

from brilox.media import osd
from brilox.media.frames import YV12
from brilox.media.pipeline import Colours, Picture

np = pytest.importorskip("numpy")


@pytest.mark.parametrize("seconds, text", [(0.0, "0:00"), (59.999, "0:59"), (61.0, "1:01"),
                                           (3599.9, "59:59"), (3600.0, "1:00:00"),
                                           (-1.0, "0:00"), (36125.0, "10:02:05")])
def test_the_time_is_whole_seconds_and_hours_from_an_hour(seconds, text):
    assert osd.clock_text(seconds) == text


def test_the_bar_fills_to_the_time_within_its_ends_and_ticks_each_chapter_inside():
    layout = osd.Layout(640, 360)
    x0, _, x1, _ = layout.bar
    assert [layout.fill(t, 60.0) for t in (0.0, 30.0, 60.0, 75.0)] == [0, (x1 - x0) // 2,
                                                                      x1 - x0, x1 - x0]
    assert layout.fill(5.0, None) == 0 and layout.ticks([(0.0, 5, "")], None) == ()
    # None at the very start or past the end; one for two at the same place.
    assert layout.ticks([(0.0, 20, "a"), (20.0, 40, "b"), (20.001, 40, "c"), (60.0, 70, "d")],
                        60.0) == (x0 + round((x1 - x0) / 3),)


def inked(text, width=640, height=360):
    """(top, bottom, left, right) of what the message line inks on a grey frame."""
    y, u = bytes([100]) * (width * height), bytes([128]) * (width * height // 4)
    planes = (y, u, u)
    picture = Picture(planes, planes, (width, height), YV12, Colours("limited", "bt709"))
    shown = osd.Osd()
    shown.say(text, 1.0, False)
    luma = np.frombuffer(shown.over(picture, 0.0, None, (), (0, 0), None, 0.0)[0],
                         np.uint8).reshape(height, width)
    rows, columns = np.flatnonzero((luma != 100).any(1)), np.flatnonzero((luma != 100).any(0))
    return rows[0], rows[-1], columns[0], columns[-1]


def test_a_message_shows_its_braces_and_backslashes_as_they_are():
    # A file's name is shown as it is: not read as a larger size, a new
    # line or a drawing; only its width grows by the characters shown.
    plain = inked("a(/fs80)b c")
    for text in ("a{\\fs80}b c", "a\\Nb c", "{\\p1}m 0 0 l 900 0 900 900{\\p0}"):
        top, bottom, left, right = inked(text)
        assert abs(top - plain[0]) + abs(bottom - plain[1]) + abs(left - plain[2]) <= 2, text
        assert plain[3] - 60 < right < 400, text


@pytest.mark.parametrize("width, height", [(640, 360), (321, 181)])
def test_planes_made_for_the_frame_are_drawn_into_as_a_copy_would_be_and_put_back_bare(
        width, height):
    """The pipeline's own planes (own=True) are drawn into, the decoder's
    (bytes) copied first: the same display either way.  Shown bare (its
    time over), the own planes are as they were, every byte."""
    cw, ch = (width + 1) // 2, (height + 1) // 2
    rng = np.random.default_rng(5)
    planes = tuple(rng.integers(16, 235, n, np.uint8).tobytes()
                   for n in (width * height, cw * ch, cw * ch))
    colours = Colours("limited", "bt709")
    decoded = Picture(planes, planes, (width, height), YV12, colours)
    made = tuple(bytearray(p) for p in planes)
    own = Picture(made, made, (width, height), YV12, colours, own=True)
    shown = osd.Osd()
    shown.say("Volume 80%", 1.0, True)
    chapters = [(20.0, 40.0, "")]
    copied = shown.ahead(decoded, 30.0, 60.0, chapters, (0, 0), None)
    drawn = shown.ahead(own, 30.0, 60.0, chapters, (0, 0), None)
    assert copied.buffers is not None and drawn.kept is not None and drawn.frame is own.frame
    assert [bytes(p) for p in made] == [bytes(p) for p in copied.buffers] != list(planes)
    # Up while the text shows: the frame drawn ahead, as it is.
    assert shown.over(own, 30.0, 60.0, chapters, (0, 0), None, 0.0, drawn) is own.frame
    assert [bytes(p) for p in made] != list(planes)
    # Its time over: the same frame, bare.
    assert shown.over(own, 30.0, 60.0, chapters, (0, 0), None, 2.0, drawn) is own.frame
    assert [bytes(p) for p in made] == list(planes) and drawn.key is None
