"""Damaged media files, made from small clips by a seeded generator, and the
two ways they are played: through `Video` in a walker process of its own
(many files a process), and through `brilox-play --headless`.

Each must end in time: within twice its length plus 5 s.  `Video` either
plays to its end or refuses the file with brilox.base.error; the player
exits 0, or 2 with one line that says why.  Anything else (another
exception, a traceback, exit 1, a signal, a hang) is a fault, reported with
the variant's name, which the seed and the name make again.

Run as a program, this file is the walker: ``damage.py walk LIST`` reads
lines "path<TAB>subtitle file or -<TAB>paced (1 or 0)" and prints, for
each, "start NAME" before and "ok NAME" or "fault NAME: why" after."""

import faulthandler
import os
import random
import subprocess
import sys
import time

# Clips, each (name, ffmpeg's arguments after the sources, length): tiny, so
# that hundreds of variants play in little time.  Sound is a sweep and the
# picture testsrc2, 64x48 at 25 fps.
PICTURE = ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"]
SOUND = ["-f", "lavfi", "-i", "aevalsrc=0.4*sin(2*PI*(200+300*t)*t):s=44100"]
SHORT = ["-t", "1.2", "-g", "10"]
CLIPS = [
    ("h264-aac.mp4", PICTURE + SOUND + SHORT + ["-c:v", "libx264", "-c:a", "aac"]),
    ("hevc-aac.mkv", PICTURE + SOUND + SHORT + ["-c:v", "libx265", "-x265-params",
                                                "log-level=none", "-c:a", "aac"]),
    ("vp9-opus.webm", PICTURE + SOUND + SHORT + ["-c:v", "libvpx-vp9", "-deadline", "realtime",
                                                 "-c:a", "libopus"]),
    ("h264-mp3.ts", PICTURE + SOUND + SHORT + ["-c:v", "libx264", "-c:a", "libmp3lame"]),
    ("mpeg4-mp3.avi", PICTURE + SOUND + SHORT + ["-c:v", "mpeg4", "-c:a", "libmp3lame"]),
    ("mpeg4-opus.mkv", PICTURE + SOUND + SHORT + ["-c:v", "mpeg4", "-c:a", "libopus"]),
    ("sound.mp3", SOUND + ["-t", "1.2", "-c:a", "libmp3lame"]),
    ("sound.opus", SOUND + ["-t", "1.2", "-c:a", "libopus"]),
]
# Subtitle files, damaged as the clips are, shown over the first clip; and
# a clip with a subtitle stream of its own.
SRT = ("1\n00:00:00,000 --> 00:00:00,600\nOne <i>line</i>\n\n"
       "2\n00:00:00,600 --> 00:00:01,200\nTwo\nlines\n\n")
ASS = ("[Script Info]\nScriptType: v4.00+\nPlayResX: 64\nPlayResY: 48\n\n[V4+ Styles]\n"
       "Format: Name, Fontname, Fontsize, PrimaryColour, Bold, Alignment, MarginL, MarginR, "
       "MarginV\nStyle: Default,DejaVu Sans,12,&H00FFFFFF,0,2,1,1,1\n\n[Events]\n"
       "Format: Layer, Start, End, Style, Text\n"
       "Dialogue: 0,0:00:00.00,0:00:00.60,Default,{\\b1}One\n"
       "Dialogue: 0,0:00:00.60,0:00:01.20,Default,{\\pos(10,10)}Two\n")
SUBTITLED = "h264-srt.mkv"
LENGTH = 1.2
# Seconds of a file whose damaged header makes it longer than its clip
# that are played, at most.
LONG = 10.0
# The clip subtitle files are shown over.
CARRIER = "h264-aac.mp4"
KINDS = ("flip", "cut", "header", "runs")


def ffmpeg(*args, env=None):
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)], check=True,
                   timeout=120, env=env, stdin=subprocess.DEVNULL, capture_output=True)


def make_clips(folder, env=None):
    """The clips, made into `folder` where they are not there yet; their
    paths by name.  `env`: ffmpeg's environment."""
    made = {}
    for name, args in CLIPS:
        made[name] = os.path.join(folder, name)
        if not os.path.exists(made[name]):
            ffmpeg(*args, made[name] + ".part." + name.rsplit(".", 1)[1], env=env)
            os.rename(made[name] + ".part." + name.rsplit(".", 1)[1], made[name])
    for name, text in (("text.srt", SRT), ("text.ass", ASS)):
        made[name] = os.path.join(folder, name)
        with open(made[name], "w") as f:
            f.write(text)
    made[SUBTITLED] = os.path.join(folder, SUBTITLED)
    if not os.path.exists(made[SUBTITLED]):
        ffmpeg(*PICTURE, "-i", made["text.srt"], "-t", LENGTH, "-g", 10, "-c:v", "libx264",
               "-c:s", "srt", made[SUBTITLED] + ".part.mkv", env=env)
        os.rename(made[SUBTITLED] + ".part.mkv", made[SUBTITLED])
    return made


def randbytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def damaged(data, kind, rng):
    """`data` with damage of `kind`: bits flipped, cut short, garbage in its
    first few kilobytes, or runs of garbage."""
    data = bytearray(data)
    if kind == "flip":
        for _ in range(rng.randint(1, 64)):
            at = rng.randrange(len(data))
            data[at] ^= 1 << rng.randrange(8)
    elif kind == "cut":
        del data[rng.randrange(1, len(data)):]
    elif kind == "header":
        reach = min(len(data), rng.choice((64, 512, 4096)))
        for _ in range(rng.randint(1, 16)):
            at = rng.randrange(reach)
            data[at:at + rng.randint(1, 16)] = randbytes(rng, rng.randint(1, 16))
    else:
        for _ in range(rng.randint(1, 3)):
            size = rng.randint(16, max(16, len(data) // 8))
            at = rng.randrange(len(data))
            garbage = rng.choice((randbytes(rng, size), bytes(size), b"\xff" * size))
            data[at:at + size] = garbage[:len(data) - at]
    return bytes(data)


def known(clips, folder):
    """Damage that once stopped play, made on purpose: an MP3 one of whose
    frames says another sample rate, and an MP4 whose encoder tag is not
    UTF-8."""
    made = []
    for name, source, edit in (("rate-sound.mp3", "sound.mp3", rate_changed),
                               ("tag-h264-aac.mp4", "h264-aac.mp4", tag_garbled)):
        with open(clips[source], "rb") as f:
            data = bytearray(f.read())
        edit(data)
        made.append((os.path.join(folder, name), None))
        with open(made[-1][0], "wb") as f:
            f.write(bytes(data))
    return made


def rate_changed(data):
    # The first MPEG-1 layer III frame header past the middle: 48 kHz, not 44.1.
    at = data.find(b"\xff\xfb", len(data) // 2)
    data[at + 2] = (data[at + 2] & ~0x0C) | 0x04


def tag_garbled(data):
    at = data.find(b"Lavf")
    data[at:at + 4] = b"\xff\xfe\xfd\xfc"


def variants(clips, folder, seed, count):
    """The known damage, then `count` damaged files written into `folder`,
    made from `clips` by the generator seeded with `seed`: [(path, subtitle
    file or None)].  The same seed makes the same files."""
    rng = random.Random(seed)
    sources = sorted(name for name in clips if name not in ("text.srt", "text.ass"))
    made = known(clips, folder)
    for n in range(count):
        kind = KINDS[n % len(KINDS)]
        # One in six a subtitle file, damaged, over the clean carrier.
        name = rng.choice(sources + ["text.srt", "text.ass"])
        with open(clips[name], "rb") as f:
            data = damaged(f.read(), kind, rng)
        path = os.path.join(folder, "%03d-%s-%s" % (n, kind, name))
        with open(path, "wb") as f:
            f.write(data)
        made.append((clips[CARRIER], path) if name.startswith("text.") else (path, None))
    return made


def deadline(length=LENGTH):
    return 2 * length + 5


# --- the player ---------------------------------------------------------------

def play(path, subtitles=None, env=None):
    """brilox-play --headless on a damaged file: None where it did as it
    should, else what went wrong."""
    args = [sys.executable, "-m", "brilox.play", "--headless", path]
    if subtitles:
        args += ["--sub", subtitles]
    environment = dict(os.environ if env is None else env, SDL_VIDEODRIVER="dummy")
    environment.pop("DISPLAY", None)
    try:
        run = subprocess.run(args, env=environment, capture_output=True, text=True,
                             timeout=deadline(), stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "did not end within %.1f s" % deadline()
    said = [line for line in run.stderr.splitlines() if line.strip()]
    if "Traceback" in run.stderr or run.returncode not in (0, 2):
        return "exit %d: %s" % (run.returncode, run.stderr[-2000:])
    if run.returncode == 2 and (len(said) != 1 or not said[0].startswith("brilox-play: ")):
        return "exit 2 without one line: %r" % run.stderr[-2000:]
    return None


# --- the walker: many files through Video in one process -------------------------

def walk_one(path, subtitles, paced):
    """Plays one file through Video to its end; None, or what went wrong.
    `paced`: as a game opens it, at 4x, with its sound where the device
    has a channel; else the picture alone, each frame up once decoded."""
    import warnings
    import brilox.base
    from brilox.media import Video
    from brilox.media.frames import BadInput
    from brilox.media.sources.media import open_media
    started = time.monotonic()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if paced:
                video = Video(path, sub_file=subtitles, speed=4.0)
            else:
                video = Video.over(open_media(path, False), None, pace=False, drop=False,
                                   sub_file=subtitles)
        except (brilox.base.error, BadInput):
            return None
        # A header damaged may make the file longer than its clip, as long
        # as it says: it is played for as long as it says, up to LONG.
        said = video.duration or 0.0
        limit = deadline(min(max(LENGTH, said), LONG))
        try:
            video.play()
            while not video.finished:
                try:
                    video.update()
                except brilox.base.error:
                    # Decoding stopped before any frame: said, as a refusal.
                    return None
                if time.monotonic() - started > limit:
                    if said > LONG:
                        return None
                    return "did not end within %.1f s (at frame %s of a file of %.1f s)" % (
                        limit, video.frame, said)
                video.wait(0.01)
        finally:
            video.close()
    return None


def walk(listing):
    import brilox.display
    brilox.display.init()
    brilox.display.set_mode((64, 48))
    with open(listing) as f:
        lines = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    for path, subtitles, paced in lines:
        name = os.path.basename(subtitles if subtitles != "-" else path)
        print("start", name, flush=True)
        # A walk stuck where Python cannot stop it ends the process, with
        # its stacks: the file is named as the fault.
        faulthandler.dump_traceback_later(deadline(LONG) + 10, exit=True)
        try:
            fault = walk_one(path, None if subtitles == "-" else subtitles, paced == "1")
        except Exception as e:  # noqa: BLE001 (the fault, named)
            import traceback
            fault = "%s: %s" % (type(e).__name__, "".join(
                traceback.format_exception(type(e), e, e.__traceback__))[-1500:])
        faulthandler.cancel_dump_traceback_later()
        print("fault %s: %s" % (name, fault) if fault else "ok " + name, flush=True)
    brilox.display.quit()


def walk_all(files, folder, env=None, paced_every=1):
    """Walks `files` ([(path, subtitles or None)]) through Video in one
    process, one in `paced_every` paced; the faults, by name: {name: why}.
    A walker that dies or hangs is a fault of the file it was on, and the
    rest are walked by another."""
    faults = {}
    left = [(path, subtitles or "-", int(n % paced_every == 0))
            for n, (path, subtitles) in enumerate(files)]
    while left:
        listing = os.path.join(folder, "walk.txt")
        with open(listing, "w") as f:
            f.writelines("%s\t%s\t%d\n" % line for line in left)
        environment = dict(os.environ if env is None else env, SDL_VIDEODRIVER="dummy",
                           SDL_AUDIODRIVER="dummy")
        environment.pop("DISPLAY", None)
        if "ASAN_OPTIONS" in environment:
            # Under the sanitizers the walker looks for crashes and errors
            # in memory; leaks are the player runs' to find, each a process
            # of one file whose exit is checked: at the exit of a walk of
            # hundreds, a leak names no file.
            environment["ASAN_OPTIONS"] += ":detect_leaks=0"
        process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "walk", listing],
                                   env=environment, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        try:
            out, err = process.communicate(timeout=deadline(LONG) * len(left) + 30)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
        done, current = 0, None
        for line in out.splitlines():
            word, _, rest = line.partition(" ")
            if word == "start":
                current = rest
            elif word == "ok":
                done, current = done + 1, None
            elif word == "fault":
                name, _, why = rest.partition(": ")
                faults[name] = why
                done, current = done + 1, None
        if current is not None:
            faults[current] = "the walker ended (exit %s) or hung here: %s" % (
                process.returncode, err[-2000:])
            done += 1
        elif process.returncode != 0 and done == len(left):
            faults["(the walker)"] = "exit %s: %s" % (process.returncode, err[-2000:])
        elif done < len(left):
            faults[os.path.basename(left[done][0])] = "the walker never started it: " + err[-2000:]
            done += 1
        left = left[done:]
    return faults


if __name__ == "__main__":
    if sys.argv[1] == "walk":
        walk(sys.argv[2])
