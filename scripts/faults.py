"""The faults scripts/plant-faults plants, one at a time: each replaces the
text `old` in `file` (a path in the installed package, or with `tree` True
in this checkout, for the native rooms the tests build from source) with
`new`, and names the tests of its room that should fail on it."""

from typing import NamedTuple, Tuple


class Fault(NamedTuple):
    name: str
    what: str
    file: str
    old: str
    new: str
    tests: Tuple[str, ...]
    tree: bool = False


FAULTS = []

# The tests each room's faults run: its unit tests first, then the one
# end-to-end test that only SDL or the sound server can judge it by.
CLOCK = ("tests/test_media_clock.py",)
QUEUE = ("tests/test_media_queue.py",)
SEEK = ("tests/test_media_seek.py",)
MAP = ("tests/test_media_clock_map.py",)
READER = ("tests/test_media_reader.py",)
MIXER = ("tests/test_mixer.py",)
BLEND = ("tests/test_blend.py",)
COLOUR = ("tests/test_play_colour.py",)
VIDEO = "tests/test_video.py::"
PAUSED_SEEK = VIDEO + "test_play_goes_on_from_the_frame_up_after_a_paused_seek_or_a_speed_change"
LOOP_SOUND = VIDEO + "test_a_seek_inside_a_looping_video_with_sound_keeps_to_the_sound"
KEEPS_TO_SOUND = VIDEO + "test_the_picture_keeps_to_the_sound"
AT_TIMES = VIDEO + "test_frames_show_at_their_times"
SUBTITLES = ("tests/test_play_subtitles.py", VIDEO + "test_a_bitmap_stream_shows_where_and_in_the_colour_it_says",
             VIDEO + "test_a_line_shows_from_its_first_frame_to_its_last")
SOUND_PLAYS = "tests/test_play_sound.py::test_what_plays_is_what_ffmpeg_decodes"
SOUND_CLOCK = "tests/test_sound.py::test_a_files_sound_starts_where_sought_and_its_clock_counts_sdls_buffer"
MEDIA_SHOWN = "tests/test_play_media.py"

C = "media/clock.py"
FAULTS += [
    Fault("clock-speed-ignored", "the system clock runs at speed 1 whatever the speed", C,
          "return self.base[0] + (now - self.base[1]) * self.speed",
          "return self.base[0] + (now - self.base[1])", CLOCK + (PAUSED_SEEK,)),
    Fault("clock-seek-keeps-noted", "a seek while paused leaves the time noted at the pause", C,
          "        self.heard = self.noted = None\n        self.base", "        self.heard = None\n        self.base", CLOCK + (PAUSED_SEEK,)),
    Fault("clock-speed-twice", "a speed change runs the time so far at the new speed", C,
          "self.base = (self.base[0] + (now - self.base[1]) * self.speed, now)",
          "self.base = (self.base[0] + (now - self.base[1]) * value, now)",
          CLOCK + (VIDEO + "test_speed_changes_while_playing_leave_no_gap",)),
    Fault("clock-late-bound", "a frame exactly the late limit behind restarts the beat", C,
          "reading - at <= limit", "reading - at < limit", CLOCK + (AT_TIMES,)),
    Fault("clock-sound-ahead-sign", "the first frame goes up when the sound is 20 ms short of it, or after", C,
          "heard < at - SOUND_AHEAD", "heard < at + SOUND_AHEAD", CLOCK + (KEEPS_TO_SOUND,)),
    Fault("clock-end-early", "the end comes at the last frame's start, not its end", C,
          "reading >= up.at + up.duration", "reading >= up.at", CLOCK + (VIDEO + "test_the_end_event_arrives_once",)),
    Fault("clock-pause-notes-frame", "a pause notes the frame up, not the time the line stood at", C,
          "self.noted = reading if reading is not None else up_at", "self.noted = up_at",
          CLOCK + (PAUSED_SEEK,)),
    Fault("passes-ignore-sound-length", "a loop's next pass starts after the last frame, not the sound's pass", C,
          "self.start += pass_length or last_time + last_duration",
          "self.start += last_time + last_duration", CLOCK + (LOOP_SOUND,)),
    Fault("passes-restart-keeps-start", "after a seek, frames fall in the pass before it", C,
          "        self.start = 0.0\n        self.last = (number, time, time, duration)",
          "        self.last = (number, time, time, duration)", CLOCK + (LOOP_SOUND,)),
]

Q = "media/queue.py"
FAULTS += [
    Fault("queue-ask-keeps-items", "a request leaves the old request's items queued", Q,
          "            self._items.clear()\n", "", QUEUE),
    Fault("queue-drop-bound", "a frame due exactly now is dropped with those passed", Q,
          "following.at > reading", "following.at >= reading", QUEUE + (AT_TIMES,)),
    Fault("queue-end-not-ended", "the end leaves the decoding thread asking for more", Q,
          "                self.ended = True\n", "", QUEUE + (VIDEO + "test_the_end_event_arrives_once",)),
    Fault("queue-full-bound", "the queue takes one item more than its capacity", Q,
          "len(self._items) >= self.capacity", "len(self._items) > self.capacity", QUEUE),
    Fault("queue-settings-after-close", "settings are handed out after close()", Q,
          "if serial != self.serial or self.closed:\n                return None",
          "if serial != self.serial:\n                return None", QUEUE + (VIDEO + "test_open_and_close_leave_nothing",)),
]

S = "media/seek.py"
FAULTS += [
    Fault("seek-floor-off-by-one", "the oldest frame kept is one too early", S,
          "return up + source.reads_ahead - source.kept + 1", "return up + source.reads_ahead - source.kept", SEEK),
    Fault("seek-nan-time", "a time of NaN is taken", S,
          "if math.isnan(seconds) or seconds < 0:", "if seconds < 0:", SEEK),
    Fault("seek-step-glimpses", "a step shows a key frame on its way", S,
          "if glimpse and kind != STEP and target >= 0", "if glimpse and target >= 0", SEEK),
    Fault("seek-past-end-to-self", "a seek past the end with the last frame up lands on it again", S,
          "if last is not None and last > up:", "if last is not None and last >= up:", SEEK),
    Fault("seek-direction-swapped", "no frame after is said as no frame before", S,
          "NoFrame(AFTER if target > up else BEFORE, up)", "NoFrame(BEFORE if target > up else AFTER, up)",
          SEEK),
]

D = "media/decoder.py"
FAULTS += [
    Fault("decoder-restart-repeats", "play after a seek decodes the frame sought again", D,
          "self.queue.go_on()\n        self.next = index + 1", "self.queue.go_on()\n        self.next = index",
          (PAUSED_SEEK, VIDEO + "test_seek_while_paused_shows_the_frame_sought")),
    Fault("decoder-stay-keeps-landing", "a refused seek leaves the sound unfed", D,
          "elif isinstance(event, seek.Stay):\n                self.landing = False",
          "elif isinstance(event, seek.Stay):\n                pass",
          (KEEPS_TO_SOUND, LOOP_SOUND)),
    Fault("decoder-feeds-while-landing", "the sound is fed on the way to a seek's frame", D,
          "if self.sound is not None and not self.landing:", "if self.sound is not None:",
          (LOOP_SOUND, KEEPS_TO_SOUND)),
    Fault("decoder-range-swapped", "full-range video is taken as limited and the reverse", D,
          "levels = colour.FULL if source.full_range else colour.LIMITED",
          "levels = colour.LIMITED if source.full_range else colour.FULL",
          ("tests/test_play_colour.py::test_player_shows_what_ffmpeg_renders",)),
    Fault("decoder-subtitles-file-time", "subtitles are drawn at the frame's time less the file's start", D,
          "self.pipeline.run(planes, time_of + (source.start or 0.0))", "self.pipeline.run(planes, time_of)",
          SUBTITLES),
    Fault("decoder-close-no-join", "close() returns with the decoding thread running", D,
          "            self.thread.join()\n", "            pass\n", (VIDEO + "test_open_and_close_leave_nothing",)),
]

O = "media/output.py"
P = "media/pipeline.py"
FAULTS += [
    Fault("output-reshow-inverted", "the frame is put up again only where SDL keeps it", O,
          "if not self.probe.surface_holds_video:", "if self.probe.surface_holds_video:",
          (VIDEO + "test_seek_while_paused_shows_the_frame_sought", AT_TIMES)),
    Fault("output-end-event-bound", "the last user event is refused", O,
          "display.USEREVENT <= end_event < display.USEREVENT + 8",
          "display.USEREVENT <= end_event < display.USEREVENT + 7", (VIDEO + "test_the_end_event_arrives_once",)),
    Fault("output-aspect-ignored", "the picture is fitted by its stored size, not its shown one", O,
          "return pipeline.fit(*self.shown, *screen)", "return pipeline.fit(*self.size, *screen)",
          ("tests/test_play_controls.py::test_fit_keeps_the_shape_and_centres",)),
    Fault("pipeline-fit-floor", "a fitted picture's height is rounded down", P,
          "w, h = window_width, max(1, round(window_width * height / width))",
          "w, h = window_width, max(1, window_width * height // width)",
          ("tests/test_play_controls.py::test_fit_keeps_the_shape_and_centres",) + COLOUR
          + (MEDIA_SHOWN + "::test_each_frame_shows_what_ffmpeg_renders",)),
    Fault("pipeline-pad-swapped", "an odd width pads a row, an odd height a column", P,
          "return (size[0] % 2, size[1] % 2)", "return (size[1] % 2, size[0] % 2)",
          ("tests/test_play_controls.py::test_fit_keeps_the_shape_and_centres",) + COLOUR
          + (MEDIA_SHOWN + "::test_each_frame_shows_what_ffmpeg_renders",)),
    Fault("pipeline-expanded-reads-limited", "expanded frames are said to read as limited range", P,
          "self.reads_as = Colours(colour.FULL, colours.matrix)",
          "self.reads_as = Colours(colour.LIMITED, colours.matrix)", COLOUR + SUBTITLES),
]

R = "media/sources/reader.py"
M = "media/sources/media.py"
FAULTS += [
    Fault("reader-first-stream", "the first stream is taken, not FFmpeg's pick", R,
          "return self.container.streams.best(kind) or streams[0]", "return streams[0]", READER),
    Fault("reader-seek-forward", "a seek goes to the key frame after the time", R,
          "backward=True,\n                                    any_frame=False",
          "backward=False,\n                                    any_frame=False",
          READER + (MEDIA_SHOWN + "::test_seeks_in_a_media_file_land_on_their_frames",)),
    Fault("media-start-ignored", "after a seek, frames are numbered from time 0, not the stream's start", M,
          "self.read = self._base() + max(0, round((time - self.start) / self.period))",
          "self.read = self._base() + max(0, round(time / self.period))", READER),
    Fault("media-index-past-count", "a time past a looping file's end is its frame count", M,
          "local = min(local, self.count - 1)", "local = min(local, self.count)",
          READER + (LOOP_SOUND,)),
    Fault("media-waveform-frame-start", "the waveform of a frame is drawn at its start, not its middle", M,
          "self.start + self.time_of(index) + self.period / 2", "self.start + self.time_of(index)",
          ("tests/test_play_sound.py::test_sound_alone_shows_its_waveform_at_the_frames_time",)),
    Fault("media-seek-back-unretried", "a seek that lands after its frame never seeks further back", M,
          "further = max(SEEK_AHEAD, 2 * back)", "further = max(SEEK_AHEAD, back)",
          READER + (MEDIA_SHOWN + "::test_seeks_in_a_media_file_land_on_their_frames",)),
    Fault("raw-odd-chroma", "an odd-sized raw frame's chroma is rounded down", "media/sources/raw.py",
          "cw, ch = (width + 1) // 2, (height + 1) // 2", "cw, ch = width // 2, height // 2",
          (MEDIA_SHOWN, "tests/test_play_input_errors.py")),
]

MP = "media/sound/clock_map.py"
T = "media/sound/tempo.py"
SD = "media/sound/decode.py"
FAULTS += [
    Fault("map-preroll-sign", "silence ahead of the sound moves its clock on, not back", MP,
          "self.base -= samples / self.rate", "self.base += samples / self.rate", MAP),
    Fault("map-start-origin", "a stream that starts later than the file is timed on the file's line", MP,
          "self.base += seconds - self.origin - self.sought", "self.base += seconds - self.sought", MAP + READER),
    Fault("map-drained-uncounted", "the speed the filters kept leaves out the samples drained", MP,
          "(seam - seconds) * self.rate\n                                           / (self.produced - at)",
          "(seam - seconds) * self.rate\n                                           / (begun - at)", MAP),
    Fault("map-next-pass-rebases", "a loop's next pass moves the clock to where it started", MP,
          "        self.pass_samples = 0\n        self.rebase = False", "        self.pass_samples = 0",
          MAP + (LOOP_SOUND,)),
    Fault("map-onset-lead-fast", "sped-up sound is heard behind its place by the onset lead", MP,
          "ONSET_LEAD * max(0.0, 1.0 - speed)", "ONSET_LEAD * (1.0 - speed)", MAP),
    Fault("map-seek-pass-from-0", "a seek inside a loop counts its pass from the start", MP,
          "self.pass_samples = int(round(seconds * self.rate))", "self.pass_samples = 0",
          MAP + READER + (LOOP_SOUND,)),
    Fault("tempo-chained-twice", "two filters chained each take the whole speed", T,
          "return [speed ** 0.5] * 2", "return [speed] * 2", MAP + READER + (SOUND_PLAYS,)),
    Fault("tempo-six-channels", "6-channel sound is laid out as 6.0, not 5.1", T,
          '6: "5.1"', '6: "6.0"', MAP + READER + (SOUND_PLAYS,)),
    Fault("decode-trim-at-frame", "a seek's sound is timed from its frame, not from the trim", SD,
          "self.map.started_at(self.trim if skip > 0 else frame.time)", "self.map.started_at(frame.time)",
          READER + (KEEPS_TO_SOUND,)),
    Fault("decode-pass-unfilled", "a loop's short pass is not filled with silence", SD,
          "data += bytes(max(0, left * self.frame_bytes - len(data)))", "pass", READER + (LOOP_SOUND,)),
    Fault("decode-clock-beyond-sign", "the device's buffer past what was heard is added, not taken", SD,
          "self.map.time((self.out.clock() - self.beyond) * self.rate)", "self.map.time((self.out.clock() + self.beyond) * self.rate)",
          READER + (SOUND_CLOCK, KEEPS_TO_SOUND)),
    Fault("decode-volume-truncated", "the volume is truncated, not rounded", SD,
          "device.set_volume(int(self.level + 0.5))", "device.set_volume(int(self.level))",
          READER + ("tests/test_play_sound.py::test_sound_keys_change_what_plays",)),
]

B = "media/subtitles/bitmap.py"
TX = "media/subtitles/text.py"
CH = "media/subtitles/choice.py"
FAULTS += [
    Fault("bitmap-canvas-width-twice", "a bitmap's rows are scaled by the canvas's width", B,
          "sx, sy = width / canvas[0], height / canvas[1]", "sx, sy = width / canvas[0], height / canvas[0]",
          SUBTITLES),
    Fault("bitmap-end-bound", "a bitmap still shows at its end time", B,
          "seconds >= end", "seconds > end", SUBTITLES),
    Fault("text-length-unit", "a line without an end lasts 0.5 s, not 5", TX,
          "(end if end is not None else start + 5) - start) * 1000", "(end if end is not None else start + 5) - start) * 100",
          SUBTITLES),
    Fault("choice-no-side-file", "a file without subtitle streams ignores the one beside it", CH,
          "elif (sub_file is not None and self.file) or not self.streams:", "elif sub_file is not None and self.file:",
          SUBTITLES),
]

L = "media/colour/maths.py"
FAULTS += [
    Fault("colour-bt709-weights-swapped", "BT.709's red and blue weights are swapped", L,
          "BT709: (0.2126, 0.0722)", "BT709: (0.0722, 0.2126)", COLOUR),
    Fault("colour-blue-by-red", "blue is made with red's weight", L,
          "[1.0, 2 * (1 - kb), 0.0]]", "[1.0, 2 * (1 - kr), 0.0]]", COLOUR),
    Fault("colour-black-unscaled", "the black level is moved, not scaled", L,
          "shown_black - ky * black", "shown_black - black", COLOUR),
    Fault("colour-unknown-range-compressed", "full-range frames are compressed where the probe could not tell", L,
          "if levels == FULL and sdl_full_range is False:", "if levels == FULL and not sdl_full_range:", COLOUR),
    Fault("colour-hd-bound", "576-row video is taken as HD", L,
          "BT709 if height > SD_HEIGHT else BT601", "BT709 if height >= SD_HEIGHT else BT601",
          COLOUR + SUBTITLES),
]

X = "src/sound/mixer.cpp"
FAULTS += [
    Fault("mixer-held-last-pass", "a held sound lets go one pass early", X,
          "if (passes > static_cast<std::uint64_t>(c.held_loops)) {",
          "if (passes >= static_cast<std::uint64_t>(c.held_loops)) {", MIXER, tree=True),
    Fault("mixer-held-count-bound", "a held sound's last passes are cut where they end at the buffer", X,
          "if ((wanted - rest) / c.held_length >= loops)", "if ((wanted - rest) / c.held_length > loops)",
          MIXER, tree=True),
    Fault("mixer-buffer-20ms", "the device buffer aims at 50 ms, not 40", X,
          "frequency / 25", "frequency / 20", MIXER, tree=True),
    Fault("mixer-volume-floor", "the master volume truncates towards minus infinity", X,
          "(sum[i] * percent + 50 + 100 * offset) / 100 - offset", "(sum[i] * percent + 100 * offset) / 100 - offset",
          MIXER, tree=True),
    Fault("mixer-8bit-low", "signed 8-bit saturates at -127", X,
          "mix_block<std::int8_t, 0, -128, 127>", "mix_block<std::int8_t, 0, -127, 127>", MIXER, tree=True),
    Fault("mixer-ramp-one-more", "a volume ramp takes a step more than its frames", X,
          "c.step = (volume / 100.0 - c.gain) / d.ramp_frames;", "c.step = (volume / 100.0 - c.gain) / (d.ramp_frames + 1);",
          MIXER, tree=True),
]

BL = "src/media_subtitles/blend.cpp"
FAULTS += [
    Fault("blend-chroma-mean-rounding", "the chroma of four pixels' coverage rounds down", BL,
          "k1[2 * i] + k1[2 * i + 1] + 2) >> 2", "k1[2 * i] + k1[2 * i + 1] + 1) >> 2", BLEND, tree=True),
    Fault("blend-limited-chroma-scale", "limited-range red chroma is scaled as luma", BL,
          "level(128.0 + cr * 224.0)", "level(128.0 + cr * 219.0)", BLEND, tree=True),
    Fault("blend-odd-width-chroma", "the last chroma column of an odd width is left out", BL,
          "const long cx0 = x0 / 2, cx1 = (x1 + 1) / 2;", "const long cx0 = x0 / 2, cx1 = x1 / 2;",
          BLEND, tree=True),
    Fault("blend-palette-bgr", "a palette's entries are read as blue, green, red", BL,
          "to_ycbcr(m, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,\n                                  (argb & 0xFF) / 255.0)",
          "to_ycbcr(m, (argb & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,\n                                  ((argb >> 16) & 0xFF) / 255.0)",
          BLEND, tree=True),
]

DAMAGE = "tests/test_damage.py::"
DAMAGE_SHOWN = DAMAGE + "test_a_damaged_file_plays_on_to_its_end_as_ffmpeg_decodes_it"
DAMAGE_HEARD = DAMAGE + "test_the_sound_is_heard_on_both_sides_of_the_damage"
DAMAGE_SAID = DAMAGE + "test_each_stretch_of_damage_is_said_once_with_where_and_how_much"
FAULTS += [
    Fault("damage-decode-error-stops", "a packet that fails to decode ends the stream", R,
          "                self._hurt(packet.pts)\n                continue",
          "                raise", (DAMAGE_SHOWN,)),
    Fault("damage-numbered-on", "frames after damage are numbered on, not by their timestamps", M,
          "self.read = max(self.read, self._base() + round((time - self.start) / self.period))",
          "pass", (DAMAGE_SHOWN,)),
    Fault("damage-sound-cut", "the sound lost to damage is cut out, not silent", SD,
          "return bytes(lost * self.frame_bytes) + data", "return data", (DAMAGE_HEARD,)),
    Fault("damage-stretch-split", "damage a moment apart is said as two stretches",
          "media/sources/damage.py", "if stretch is not None and at > stretch[1] + QUIET:",
          "if stretch is not None and at > stretch[1]:", (DAMAGE_SAID, DAMAGE_SHOWN)),
]
FAULTS += [
    Fault("damage-resampler-kept", "a sound whose rate changes part way keeps its first resampler",
          SD, "changed = self.shape is not None and shape != self.shape", "changed = False",
          (DAMAGE + "test_a_sound_whose_rate_changes_part_way_plays_on",)),
]
