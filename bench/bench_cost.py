"""What playing costs the machine: brilox-play at 1x on a 1080p30 H.264+AAC
clip, against the same run's FFmpeg tools on the same clip.

The clip is bench_video's (10 s, made once by ffmpeg and kept).  Each tool
runs as a whole process, start to exit, on an Xvfb screen of 1920x1080 with
a PulseAudio null sink for its sound (kept awake by a stream of zeros, as a
desktop's sound card keeps its sink):

- brilox-play, in its window, at 1x, its sound to the sink;
- ffplay (Debian's), the same way (-autoexit);
- ffmpeg -i clip -f null -: the clip decoded, picture and sound, with
  FFmpeg's own choice of decoding threads and nothing shown or heard: the
  floor any player pays.

CPU is the process's user and system time (its threads' and its children's,
by wait4); memory is its peak resident set, read off /proc while it runs.
Rounds take the tools in turn, in reverse order every other round; each row
is the round of median ratio.  Where the player's CPU goes is read off /proc
while it runs, by thread: its main thread (start-up, the loop, and putting
each frame up: the conversion to RGB into the display surface, which
ffmpeg -f null never does),
FFmpeg's decoding threads, and the rest (the decoding thread's Python and
colour pass, the sound's decoding).  Without Xvfb, pulseaudio or ffplay the
rows are left out.

Run alone (python bench/bench_cost.py threads) it also prints each round's
figures, and the player's CPU by thread.
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

if __name__ == "__main__":
    HERE = os.path.dirname(os.path.abspath(__file__))
    sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests")]

import bench_video  # noqa: E402

ROUNDS = int(os.environ.get("BENCH_COST_ROUNDS", 3))
SCREEN = "%dx%dx24" % (bench_video.WIDTH, bench_video.HEIGHT)
# The longest a run may take past the clip's length.
WAIT = 20


def _run(command, env, threads=False):
    """(CPU seconds, peak resident MiB, {(thread name, id): CPU seconds},
    with `threads`) of one run of `command` to its end."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    by_thread = {}
    deadline = time.monotonic() + bench_video.SECONDS + WAIT
    tick = os.sysconf("SC_CLK_TCK")
    peak = None
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise RuntimeError("%s did not end in time" % command[0])
        if threads:
            by_thread.update(_thread_times(process.pid, tick))
        peak = _peak_resident(process.pid) or peak
        time.sleep(0.05)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError("%s exited with %d" % (command[0], process.returncode))
    return usage.ru_utime + usage.ru_stime, peak or usage.ru_maxrss / 1024, by_thread


def _peak_resident(pid):
    """Process `pid`'s peak resident MiB so far (VmHWM), or None.  The last
    reading is the tool's own: wait4's ru_maxrss carries the high-water mark
    of the memory the child had before its exec, a copy of this process's,
    so that a bench that holds large frames (bench_colour's, in the same
    run) would be counted against the tool."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _by_thread(times):
    """CPU seconds of (the main thread, FFmpeg's threads, the others) by
    _thread_times' figures."""
    main = decoding = rest = 0.0
    for (name, _), seconds in times.items():
        if name is None:
            main += seconds
        elif name.startswith("av:"):
            decoding += seconds
        else:
            rest += seconds
    return main, decoding, rest


def _thread_times(pid, tick):
    """{(thread name, id): CPU seconds} of process `pid`'s threads now; the
    main thread's name is None.  FFmpeg names its threads ("av:h264:df0")
    from release 7 on: where it does not, they count among the others."""
    times = {}
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/stat" % (pid, task)) as f:
                stat = f.read()
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            fields = stat[stat.rindex(")") + 2:].split()
            seconds = (int(fields[11]) + int(fields[12])) / tick
            # The main thread's id is the process's.
            times[(None if int(task) == pid else name, int(task))] = seconds
    except (OSError, ValueError):
        pass
    return times


def _measure(path, env):
    """{tool: (CPU s, peak MiB, by thread)} of one round."""
    python = sys.executable
    player = [os.path.join(os.path.dirname(python), "brilox-play"), path]
    tools = {
        "player": player,
        "ffplay": ["ffplay", "-v", "error", "-autoexit", "-nostats", path],
        "ffmpeg": ["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-f", "null", "-"],
    }
    return {name: _run(command, env, name == "player") for name, command in tools.items()}


def _environment(folder):
    """(env for the tools, what to end afterwards)."""
    from support.soundserver import start_sound_server
    from support.xserver import start_xvfb
    started = []
    x, display = start_xvfb(SCREEN)
    started.append(x)
    server, pulse = start_sound_server(folder)
    started.append(pulse)
    started.append(server.keep_awake())
    env = dict(os.environ, DISPLAY=display, SDL_AUDIODRIVER="pulse", **server.env)
    env.pop("SDL_VIDEODRIVER", None)
    return env, started


def run(show_threads=False):
    if not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "ffplay", "Xvfb", "pulseaudio",
                                          "pactl", "pacat")):
        print("bench_cost: skipped, needs ffmpeg, ffplay, Xvfb and pulseaudio", file=sys.stderr)
        return []
    from support import end
    path = bench_video._clip()
    folder = tempfile.mkdtemp(prefix="brilox-bench-cost-")
    os.chmod(folder, 0o700)
    started = []
    rounds = []
    try:
        env, started = _environment(folder)
        for r in range(ROUNDS):
            rounds.append(_measure(path, env))
    finally:
        for process in reversed(started):
            end(process)
        shutil.rmtree(folder, ignore_errors=True)
    if show_threads:
        for r in rounds:
            print({k: (round(v[0], 2), round(v[1])) for k, v in r.items()})
            print(sorted(((round(s, 2), n or "main") for (n, _), s in r["player"][2].items()),
                         reverse=True))

    def median_round(ratio):
        return sorted(rounds, key=ratio)[len(rounds) // 2]

    floor = median_round(lambda r: r["player"][0] / r["ffmpeg"][0])
    against = median_round(lambda r: r["player"][0] / r["ffplay"][0])
    memory = median_round(lambda r: r["player"][1] / r["ffplay"][1])
    main, decoding, rest = _by_thread(floor["player"][2])
    return [
        ("brilox-play 1080p30 H.264+AAC at 1x, 10 s, CPU s", floor["player"][0],
         "ffmpeg -i clip -f null -, CPU s", floor["ffmpeg"][0], "<= 1.60x"),
        ("  same, its main thread, CPU s", main, "ffmpeg -i clip -f null -, CPU s",
         floor["ffmpeg"][0], "(reference)"),
        ("  same, FFmpeg's decoding threads, CPU s", decoding,
         "ffmpeg -i clip -f null -, CPU s", floor["ffmpeg"][0], "(reference)"),
        ("  same, its other threads, CPU s", rest, "ffmpeg -i clip -f null -, CPU s",
         floor["ffmpeg"][0], "(reference)"),
        ("  same, CPU s", against["player"][0], "ffplay, same clip, CPU s",
         against["ffplay"][0], "(reference)"),
        ("  same, peak resident memory, MiB", memory["player"][1],
         "ffplay, same clip, peak resident MiB", memory["ffplay"][1], "<= 0.90x"),
    ]


if __name__ == "__main__":
    for row in run(show_threads="threads" in sys.argv[1:]):
        print(row)
