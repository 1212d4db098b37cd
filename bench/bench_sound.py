"""What sound costs the processor.

The mix: SDL's callback summing 8 busy channels of 48 kHz 16-bit stereo
into one buffer of SDL's (1024 frames), against a memcpy of the bytes it
takes from their rings, both timed inside brilox.sound (its _mix_cost(),
which runs the callback on the same frames again and again under SDL's
audio lock) on SDL's dummy driver; the row shows the round of median ratio.

Playback: a second of 1080p30 playback with sound, brilox-play in a window
with its sound, against ffplay playing the same file in the same run.

The clip (6 s of FFmpeg's testsrc2 at 1920x1080, 30 fps, H.264 at 8 Mbit/s,
with AAC sound at 48 kHz) is made here.  Both players run on an Xvfb
server of the clip's size, their sound going to a PulseAudio server's null
sink, both started here; each plays the whole clip at its own pace, and its
processor time (user and system, its threads and children included) is
divided by the clip's length.  They take turns, the order reversed every
other round; the row shows the round of median ratio.
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile

ROUNDS = 3
SECONDS = 6


def _start_servers(folder):
    """(X display, environment for the players, the servers to stop)."""
    from support.soundserver import start_sound_server
    from support.xserver import start_xvfb
    xvfb, display = start_xvfb("1920x1080x24")
    server, pulse = start_sound_server(folder)
    env = dict(os.environ, DISPLAY=display, SDL_VIDEODRIVER="x11", HOME=folder, **server.env)
    env.pop("SDL_AUDIODRIVER", None)
    return display, env, (pulse, xvfb)


def _cpu_seconds(command, env):
    """The processor seconds a command took to run to its end."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def _mix_row():
    import array
    import random
    import statistics

    import brilox.sound as sound
    os.environ["SDL_AUDIODRIVER"] = "dummy"
    sound.open(48000, 2, -16, 0.5)
    try:
        noise = random.Random(8)
        for n in range(1, 9):
            channel = sound.Channel(n)
            channel.queue(array.array("h", (noise.randrange(-8000, 8000)
                                            for _ in range(2 * 24000))))
            channel.volume = 50 + n  # a volume of their own, reached before timing
            channel.pause(False)
        sound.Channel(1).volume = 100  # one at full volume, its samples as they are
        rounds = [sound._mix_cost(2000) for _ in range(9)]
    finally:
        sound.quit()
    callback, copy = sorted(rounds, key=lambda r: r[0] / r[1])[len(rounds) // 2]
    return [("mixing 8 busy channels, 48 kHz stereo: SDL's callback, us per 1024 frames",
             callback / 2000 * 1e6, "memcpy of the bytes it takes, us", copy / 2000 * 1e6,
             "<= 4.00x")]


def run():
    return _mix_row() + _playback_rows()


def _playback_rows():
    if not all(shutil.which(p) for p in ("Xvfb", "pulseaudio", "pactl", "ffplay", "ffmpeg")):
        return []
    folder = tempfile.mkdtemp(prefix="brilox-bench-sound-")
    os.chmod(folder, 0o700)
    clip = os.path.join(folder, "clip.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=30", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000", "-t", str(SECONDS),
                    "-c:v", "libx264", "-b:v", "8M", "-pix_fmt", "yuv420p", "-c:a", "aac",
                    clip], check=True, timeout=120)
    display, env, servers = _start_servers(folder)
    ours = [sys.executable, "-m", "brilox.play", clip]
    theirs = ["ffplay", "-v", "error", "-autoexit", clip]
    rounds = []
    try:
        for r in range(ROUNDS):
            order = [ours, theirs] if r % 2 == 0 else [theirs, ours]
            spent = {tuple(c): _cpu_seconds(c, env) / SECONDS for c in order}
            rounds.append((spent[tuple(ours)], spent[tuple(theirs)]))
    finally:
        for server in servers:
            server.terminate()
            server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    value, base = sorted(rounds, key=lambda r: r[0] / r[1])[len(rounds) // 2]
    return [("brilox-play 1080p30 H.264 with sound in a window, CPU s per s", value,
             "ffplay, the same file and window, CPU s per s", base, "<= 0.50x")]
