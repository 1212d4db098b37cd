"""A PulseAudio server with a null sink, for the tests that listen to what
the player plays, as Xvfb serves the tests that look at its window.

The sink's monitor is recorded with parec.  Where no server can be started
the tests are skipped, except in CI, where that is a failure.

A null sink renders only as often as the streams on it ask: with none that
asks for a short latency it sleeps up to 2 s between renders, and a first
sound can start that late.  The server the fixture starts is kept awake by
a stream of silence that asks for 10 ms, as a desktop's sink is by its
sound card, so that every sound starts as soon as it is played; asleep() lets it sleep for a test of
a slow start.

On a busy machine a client's stream can still run dry now and then: the
server then plays digital silence in its place and says so in its log.
ran_dry() counts those times, and inserted_silences() finds the silences
in a recording, so that a test may step over as many of them as the server
says it inserted, and no more.  A player that starves its own device
writes silence into a stream that never runs dry, which the server does
not excuse.
"""

import contextlib
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import pytest

from sanitizer import tool_env
from support import end

RATE, CHANNELS = 48000, 2
SINK = "brilox_test"


def no_sound_server(reason):
    if os.environ.get("CI"):
        pytest.fail("CI must run the sound tests: " + reason)
    pytest.skip(reason)


class SoundServer:
    def __init__(self, folder):
        self.folder = folder
        self.awake = None
        self.socket = os.path.join(folder, "native")
        self.log = os.path.join(folder, "server.log")
        self.env = {"PULSE_SERVER": "unix:" + self.socket, "XDG_RUNTIME_DIR": folder}

    def record(self, path):
        """Starts recording the sink's monitor into `path` (raw s16le at
        RATE, CHANNELS); returns the recorder, to be stopped with stop().
        The recorder reads in fifths of a second: with shorter reads a busy
        machine makes it miss some of what plays."""
        return subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le",
             "--rate=%d" % RATE, "--channels=%d" % CHANNELS, "--latency-msec=200", str(path)],
            env=dict(tool_env(), **self.env), stdin=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def listen(self):
        """Starts recording the sink's monitor, in one channel, noting when
        each read arrives; returns the Listener.  Reads are asked for every
        10 ms, so the earliest arrivals tell when the sink played each
        sample."""
        return Listener(subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", "--rate=%d" % RATE,
             "--channels=1", "--latency-msec=10"], env=dict(tool_env(), **self.env),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            bufsize=0))

    def keep_awake(self):
        """Plays silence into the sink, asking for 10 ms of latency, until
        stopped with stop(); returns its process once the sink runs.  The
        silence adds nothing to what the sink plays."""
        player = subprocess.Popen(
            ["pacat", "--playback", "-d", SINK, "--raw", "--format=s16le", "--rate=%d" % RATE,
             "--channels=%d" % CHANNELS, "--latency-msec=10", "/dev/zero"],
            env=dict(tool_env(), **self.env), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while "RUNNING" not in self.sink_state():
            if player.poll() is not None or time.monotonic() > deadline:
                end(player)
                raise RuntimeError("the PulseAudio sink did not wake up")
            time.sleep(0.05)
        return player

    @contextlib.contextmanager
    def asleep(self):
        """The sink as an idle desktop's: the silence that kept it awake
        stops, and this waits for one of the sink's renders, a block of 2 s
        ahead, so that a sound played within the block starts at its end,
        nearly 2 s late.  The renders are seen by a recorder of the monitor
        that asks for 2 s of latency, which wakes the sink no sooner.  The
        silence starts again on leaving."""
        end(self.awake)
        self.awake = None
        watcher = subprocess.Popen(
            ["parec", "-d", SINK + ".monitor", "--raw", "--format=s16le", "--rate=%d" % RATE,
             "--channels=1", "--latency-msec=2000"], env=dict(tool_env(), **self.env),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            bufsize=0)
        try:
            # A render is a burst of reads after a second or more of none.
            last, deadline = time.monotonic(), time.monotonic() + 15
            while True:
                left = max(0.0, deadline - time.monotonic())
                if not select.select([watcher.stdout], [], [], left)[0] \
                        or not watcher.stdout.read(1 << 20):
                    raise RuntimeError("the PulseAudio sink did not render within 15 s")
                now = time.monotonic()
                if now - last > 1.0:
                    break
                last = now
            # Read on, so that the recorder never stands.
            threading.Thread(target=read_out, args=(watcher.stdout,), daemon=True).start()
            yield
        finally:
            end(watcher)
            self.awake = self.keep_awake()

    def sink_state(self):
        return subprocess.run(["pactl", "list", "short", "sinks"],
                              env=dict(tool_env(), **self.env), capture_output=True, text=True,
                              timeout=10).stdout

    def ran_dry(self):
        """How many times a stream other than the silence that keeps the
        sink awake has run dry on the server so far."""
        with open(self.log, errors="replace") as f:
            return sum(1 for name in re.findall(r"[Uu]nderrun (?:of|on) '([^']*)'", f.read())
                       if name != "/dev/zero")

    @staticmethod
    def stop(recorder):
        end(recorder, signal.SIGINT)


def inserted_silences(heard, at_most, plateau=False, longest=None):
    """The silences the server put into `heard` (frames, or frames by
    channels) where a stream ran dry: (start, end) of each run of 32 frames
    or more that are 0 in every channel, between the first sound and the
    last.  With `plateau`, only runs whose neighbours on both sides are far
    from 0, where the sound played is a constant level (a real silence
    fades in and out); with `longest`, only runs no longer (where the
    sound played has silences of its own that are longer).  Fails where
    there are more than `at_most`."""
    import numpy as np
    quiet = np.all(np.reshape(heard, (len(heard), -1)) == 0, axis=1)
    sounding = np.flatnonzero(~quiet)
    if len(sounding) == 0:
        return []
    edges = np.flatnonzero(np.diff(np.r_[0, quiet[sounding[0]:sounding[-1] + 1], 0]))
    runs = [(sounding[0] + a, sounding[0] + b) for a, b in zip(edges[::2], edges[1::2])
            if 32 <= b - a <= (longest or b - a)]
    if plateau:
        level = np.abs(np.reshape(heard, (len(heard), -1))).max(axis=1)
        runs = [(a, b) for a, b in runs if level[a - 1] > 300 and level[b] > 300]
    assert len(runs) <= at_most, \
        "%d silences in what played, where the server ran dry %d times: %s" % (
            len(runs), at_most, runs)
    return runs


def without(heard, runs):
    """`heard` with the runs (start, end) taken out."""
    import numpy as np
    return np.delete(heard, np.r_[tuple(slice(a, b) for a, b in runs)], axis=0) if runs \
        else heard


def spliced(indices, runs):
    """Where samples of a recording fall once without() has taken the runs
    out: how much sound the player had played by each."""
    import numpy as np
    indices = np.asarray(indices)
    return indices - sum(np.where(indices >= b, b - a, 0) for a, b in runs)


def seams(runs):
    """Where, in what without() leaves, each run was taken out.  A stream
    that ran dry may also have lost a few ms there, so what spans a seam is
    not compared sample by sample."""
    taken = 0
    for a, b in runs:
        yield a - taken
        taken += b - a


def across(start, end, runs):
    """Whether frames start to end of what without() leaves span a seam."""
    return any(start - 16 <= seam <= end + 16 for seam in seams(runs))


def read_out(pipe):
    while pipe.read(1 << 20):
        pass


class Listener(threading.Thread):
    def __init__(self, process):
        super().__init__(daemon=True)
        self.process, self.data, self.arrivals = process, bytearray(), []
        self.start()

    def run(self):
        while True:
            got = os.read(self.process.stdout.fileno(), 65536)
            if not got:
                return
            self.data += got
            self.arrivals.append((time.monotonic(), len(self.data) // 2))

    def stop(self):
        """The samples heard, and for each the time.monotonic() it played."""
        SoundServer.stop(self.process)
        self.join(10)
        import numpy as np
        heard = np.frombuffer(bytes(self.data[:len(self.data) // 2 * 2]), "<i2")
        arrived, ends = np.array(self.arrivals).T
        # The earliest arrival within a second, less the samples read since:
        # the least delayed reads tell the sink's own clock.
        start = arrived - ends / RATE
        second = np.searchsorted(ends, np.arange(0, len(heard), RATE // 10))
        window = [start[max(0, i - 100):i + 100].min() for i in second]
        return heard, np.repeat(window, RATE // 10)[:len(heard)] + np.arange(len(heard)) / RATE


def start_sound_server(folder):
    """Starts a PulseAudio server whose default sink plays into nothing,
    with its socket and state in `folder`: (the SoundServer, its process).
    RuntimeError where it does not answer within 15 s."""
    server = SoundServer(folder)
    config = os.path.join(folder, "default.pa")
    with open(config, "w") as f:
        f.write("load-module module-null-sink sink_name=%s rate=%d channels=%d\n"
                "set-default-sink %s\n"
                "load-module module-native-protocol-unix auth-anonymous=1 socket=%s\n"
                % (SINK, RATE, CHANNELS, SINK, server.socket))
    env = dict(tool_env(), **server.env, HOME=folder)
    # -n: no default configuration; as root it runs with a warning.  Its
    # log goes to a file, for ran_dry().
    with open(server.log, "w") as log:
        process = subprocess.Popen(
            ["pulseaudio", "-n", "-F", config, "--daemonize=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "--system=no", "--log-target=stderr",
             "--log-level=debug"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
    deadline = time.monotonic() + 15
    while subprocess.run(["pactl", "info"], env=env, capture_output=True,
                         timeout=10).returncode != 0:
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("the PulseAudio server did not start")
        time.sleep(0.1)
    return server, process


@pytest.fixture(scope="module")
def sound_server():
    """A fresh PulseAudio server whose default sink plays into nothing,
    kept awake, stopped after the module."""
    if shutil.which("pulseaudio") is None or shutil.which("parec") is None:
        no_sound_server("pulseaudio or parec is not installed")
    folder = tempfile.mkdtemp(prefix="brilox-pulse-")
    os.chmod(folder, 0o700)
    try:
        server, process = start_sound_server(folder)
    except RuntimeError as e:
        shutil.rmtree(folder, ignore_errors=True)
        no_sound_server(str(e))
    try:
        server.awake = server.keep_awake()
        yield server
    finally:
        if server.awake is not None:
            end(server.awake)
        end(process)
        shutil.rmtree(folder, ignore_errors=True)
