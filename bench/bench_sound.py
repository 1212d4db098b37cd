"""What sound costs the processor.

The mix: SDL's callback summing 8 busy channels of 48 kHz 16-bit stereo
into one buffer of SDL's (1024 frames), against a memcpy of the bytes it
takes from their rings, both timed in the mixer's own build
(tests/support/rooms.py, from the module's sources at the module's -O3),
which runs the callback on the same frames again and again; the row shows
the round of median ratio.

Sounds: the processor time of a game (this process, its threads included)
that plays 8 overlapping sounds of a quarter of a second each, looping, for
10 s: each a Sound on a channel of its own, which SDL's thread plays with
no Python work, against the same 8 summed by the game (numpy) and queued to
channel 0 alone as its ring runs low, 60 times a second; on SDL's disk
driver writing to /dev/null at about real time.

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
    import ctypes
    import random

    from support import rooms
    mixer = rooms.Mixer(48000, -16, 2, ring_frames=24000)
    samples = rooms.lib().mixer_device_samples(48000)
    try:
        noise = random.Random(8)
        for n in range(1, 9):
            mixer.queue(n, array.array("h", (noise.randrange(-8000, 8000)
                                             for _ in range(2 * 24000))).tobytes())
            # A volume of their own, but one at full volume, its samples as
            # they are.
            mixer.channel(n, volume=100 if n == 1 else 50 + n)
        mixer.mix(samples)  # the volumes reached before timing
        rounds = []
        for _ in range(9):
            mixing, copying = ctypes.c_double(), ctypes.c_double()
            assert rooms.lib().mixer_cost(mixer.handle, samples * mixer.frame_bytes, 2000,
                                          ctypes.byref(mixing), ctypes.byref(copying)) == 0
            rounds.append((mixing.value, copying.value))
    finally:
        mixer.close()
    callback, copy = sorted(rounds, key=lambda r: r[0] / r[1])[len(rounds) // 2]
    return [("mixing 8 busy channels, 48 kHz stereo: SDL's callback, us per %d frames" % samples,
             callback / 2000 * 1e6, "memcpy of the bytes it takes, us", copy / 2000 * 1e6,
             "<= 4.00x")]


def _game_seconds(play, tick, seconds=10.0):
    """The process time of `play()`, then `tick()` 60 times a second."""
    import time
    begun = time.process_time()
    play()
    deadline = next_tick = time.monotonic()
    deadline += seconds
    while time.monotonic() < deadline:
        tick()
        next_tick += 1 / 60
        time.sleep(max(0.0, next_tick - time.monotonic()))
    return time.process_time() - begun


def _sounds_row():
    import wave

    import numpy as np

    import brilox.sound as sound
    os.environ.update(SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=os.devnull,
                      SDL_DISKAUDIODELAY="21")
    quarter = np.arange(12000) / 48000
    waves = [np.rint(3000 * np.sin(2 * np.pi * (300 + 150 * n) * quarter)).astype("<i2")
             for n in range(8)]
    with tempfile.TemporaryDirectory() as folder:
        sounds = []
        for n, samples in enumerate(waves):
            with wave.open(os.path.join(folder, "%d.wav" % n), "wb") as w:
                w.setnchannels(2), w.setsampwidth(2), w.setframerate(48000)
                w.writeframes(np.repeat(samples, 2).tobytes())
            sounds.append(sound.Sound(os.path.join(folder, "%d.wav" % n)))
        summed = np.repeat(np.clip(np.sum(waves, 0), -32768, 32767).astype("<i2"), 2).tobytes()
        sound.open(48000, 2, -16, 0.5)
        try:
            channels = _game_seconds(lambda: [s.play(loops=-1) for s in sounds], lambda: None)
            for s in sounds:
                s.stop()

            at = [0]  # the bytes of `summed` queued, its passes over

            def feed():
                while sound.queued() < len(summed):
                    taken = sound.queue(summed[at[0]:] or summed)
                    at[0] = (at[0] + taken) % len(summed)
            alone = _game_seconds(lambda: sound.pause(False), feed)
        finally:
            sound.quit()
    return [("8 looping Sounds for 10 s on channels of their own, CPU s", channels,
             "the same summed by the game on channel 0 alone, CPU s", alone, "")]


def run():
    return _mix_row() + _sounds_row() + _playback_rows()


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
