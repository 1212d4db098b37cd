"""brilox.media.sequence: the line of clips a Video plays one after
another, which the picture and the sound, each at its own pace, follow in
the same order, whichever gets to a clip's end first deciding what comes
next; with stand-in sources."""

from types import SimpleNamespace

from brilox.media.queue import FrameQueue
from brilox.media.sequence import Sequence


class Source(SimpleNamespace):
    closed = False

    def close(self):
        self.closed = True

    def index_at(self, seconds, index):
        return round(seconds * 25)

    def get(self, index):
        self.asked = getattr(self, "asked", []) + [index]


def source(path, loop=False, audio=1, size=(160, 120), length=1.0):
    return Source(path=path, loop=loop, audio_index=audio, start=0.25, length=length,
                  overlay_format="IYUV", size=size)


def line(loop_start=0.0, looping=False):
    opened = []

    def opener(path):
        opened.append(source(path, audio=None if path == "mute.mp4" else 1,
                             size=(64, 48) if path == "small.mp4" else (160, 120)))
        return opened[-1]
    first = source("first.mp4", loop=looping)
    flags = {"loop": looping}
    sequence = Sequence("first.mp4", first, lambda: flags["loop"], opener, loop_start)
    sequence.sound = SimpleNamespace(loop_length=None)
    return sequence, first, opened, flags


def reader(path, index):
    return "reader of " + path, "stream %d" % index


def test_queued_clips_come_in_order_to_the_picture_and_the_sound_alike():
    sequence, first, opened, flags = line()
    sequence.add("then.mp4")
    # The sound's clip now ends a pass (at its length), for the next to follow.
    assert sequence.sound.loop_length == 1.0
    sequence.add("mute.mp4")
    sequence.open_ahead()  # the next clip's frames, opened ahead
    assert [s.path for s in opened] == ["then.mp4"]
    # The sound gets there first: the next clip's reader, its first timestamp,
    # from its start, a pass length as a clip follows it.
    assert sequence.take_sound(reader, "none") == ("reader of then.mp4", "stream 1", 0.25, 0.0,
                                                   1.0)
    assert sequence.picture_ends()  # a source of its own follows
    # A seek in the first clip meanwhile: the sound reads it again.
    sequence.sound.rejoin = lambda *read: setattr(sequence.sound, "read", read)
    sequence.sound_back(reader)
    assert sequence.sound.read == (("reader of first.mp4", "stream 1"), 0.25, 1.0)
    sequence.take_sound(reader, "none")
    then = sequence.take_picture()
    # Both passed the first clip: its source closes.
    assert then.source is opened[0] and then.queued and len(sequence.line) == 1 and first.closed
    # A clip without sound: the sound ends where it starts.
    assert sequence.take_sound(reader, "none") == ("none", None, 0.25, 0.0, None)
    assert sequence.take_picture().source.path == "mute.mp4"
    assert sequence.take_picture() is None and sequence.take_sound(reader, "none")[4] is None
    sequence.close()
    assert all(s.closed for s in opened)


def test_a_looping_clip_goes_back_to_its_loop_start_or_opens_itself_again():
    # From its start: a plain pass, its own source going on, its sound seeking back.
    sequence, first, opened, flags = line(looping=True)
    assert sequence.take_sound(reader, "none") is None
    assert not sequence.picture_ends() and sequence.current().source is first
    assert opened == [] and len(sequence.line) == 1
    # From loop_start: a source of its own each pass, from there.
    sequence, first, opened, flags = line(0.5, looping=True)
    assert sequence.picture_ends()
    clip = sequence.take_picture()
    assert (clip.path, clip.start, clip.queued, clip.source.path) == ("first.mp4", 0.5, False,
                                                                      "first.mp4")
    assert sequence.take_sound(reader, "none")[2:] == (0.25, 0.5, 1.0)
    # A clip queued plays after the pass decided, and then loops from its start.
    sequence.add("then.mp4")
    assert sequence.take_picture().path == "then.mp4"
    assert [sequence.take_sound(reader, "none")[3] for _ in range(1)] == [0.0]
    flags["loop"] = False
    assert sequence.take_picture() is None


def test_the_end_of_each_queued_clip_is_told_and_another_size_waits_for_its_overlay():
    sequence, first, opened, flags = line()
    sequence.add("small.mp4")
    sequence.add("then.mp4")
    up = sequence.current()
    clip = sequence.take_picture()
    queue = FrameQueue(2)
    queue.share(probe="probe", pad=(0, 0))
    sequence.switched(queue, first, clip.source)
    # The decoding thread waits for the game's side's probe for the new overlay.
    assert sequence.restream is clip.source and queue.settings(0, 0.0) == {}
    # The first source closes once neither the picture nor the sound is in it.
    assert not first.closed
    sequence.take_sound(reader, "none")
    assert first.closed
    assert sequence.seam(SimpleNamespace(path="first.mp4"), clip) == "first.mp4"
    assert list(sequence.ended) == ["first.mp4"]
    # The clip up plays another of its video streams, though the picture had
    # gone on into the next: it is in the clip up again, with its new source
    # (which asks the line at its end), and the rest of the line follows.
    other = source("first.mp4", loop=True)
    sequence.back_to(up, first, other)
    assert sequence.current() is up and up.source is other and sequence.restream is None
    assert other.followed()
    assert [sequence.take_picture().path for _ in range(2)] == ["small.mp4", "then.mp4"]


def test_a_span_follows_the_clip_playing_whatever_is_queued_until_it_is_cleared():
    sequence, first, opened, flags = line(looping=True)
    sequence.add("then.mp4")
    sequence.span = (0.25, 0.75)
    # Decided ahead for the picture, opened with its first frame decoded.
    sequence.open_ahead()
    assert [(c.start, c.end) for c in sequence.line] == [(0.0, None), (0.25, 0.75)]
    assert opened[0].asked == [opened[0].index_at(0.25, 0)]
    # The sound's pass of it ends at the span's end.
    assert sequence.take_sound(reader, "none")[3:] == (0.25, 0.75)
    # Changed: what was decided goes, its source closed; the sound comes back.
    sequence.span = None
    sequence.replan()
    assert len(sequence.line) == 1 and sequence.at == {"picture": 0, "sound": 0}
    assert opened[0].closed and sequence.natural_length(sequence.line[0]) == 1.0
    assert sequence.take_picture().path == "then.mp4"
