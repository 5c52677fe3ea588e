#!/usr/bin/env python3
"""Start-up time, CPU use and memory of the window program orvanta.

    bench/gui_bench.py [--server pulseaudio|pipewire] [--starts N] [--seconds S]
                       [--memory [MINUTES]] [--skip-startup] [--skip-cpu] ORVANTA

Everything runs in private surroundings: a private sound server (tests/audio/sound-server.sh)
with a music-like signal playing into its sink "orvanta_test" for the whole run, an Xvfb
display of 1024x768 with the openbox window manager (so that minimising really unmaps the
window, as on a desktop), and a temporary HOME and XDG_CONFIG_HOME, so that the program starts
from its default settings: MP3 at 128 kbit/s, automatic names, recordings into $HOME/Music.
Missing Debian packages (xvfb, xdotool, x11-utils, openbox, ffmpeg) are installed first.

Start-up: the wall time from spawning the program until it prints "orvanta: window shown
after N ms" on standard error (ORVANTA_STARTUP_TRACE=1), median over several starts after one
warm-up start that is not counted; each start ends with SIGTERM.

CPU: the program records (its Start button is clicked) while ffmpeg records the same monitor
to MP3 at 128 kbit/s; the user + system CPU time of both is read from /proc over the same
window of time, after both have settled, once with the main window visible and once
minimised, and printed as a share of one core.

The floor (--floor, by default paint_floor of the same build tree): with the window visible,
a bare Qt window that draws a picture of the analyser's size every 15 ms and does nothing else
runs beside both over the same window of time; its CPU is what the frames alone cost any Qt
widgets program on this display, whatever it draws.

Memory (--memory): VmRSS of the program every 30 s during a recording of that many minutes.
"""
import argparse
import collections
import contextlib
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# The sound server helpers and the test signal are the same as for orvanta-rec; importing
# them must leave no compiled file in the source tree.
sys.dont_write_bytecode = True
from rec_cpu import start_server, write_music, server as sound_server_script  # noqa: E402

SCREEN = (1024, 768)
WINDOW_SIZE = (416, 241)
START_BUTTON = (36, 176)
STOP_BUTTON = (86, 176)
MINIMISE_BUTTON = (378, 17)
SINK = "orvanta_test"
MP3_BYTES_PER_SECOND = 128000 // 8
SETTLE_SECONDS = 3.0  # after Start and after ffmpeg's start, before the CPU window opens
SHOWN = re.compile(r"orvanta: window shown after (\d+) ms")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

# Command -> Debian package that provides it.
PACKAGES = {
    "Xvfb": "xvfb",
    "xdotool": "xdotool",
    "xwininfo": "x11-utils",
    "xprop": "x11-utils",
    "openbox": "openbox",
    "ffmpeg": "ffmpeg",
    "paplay": "pulseaudio-utils",
}


class BenchError(Exception):
    """A step of the benchmark failed; the message says which."""


def ensure_packages():
    missing = sorted({pkg for cmd, pkg in PACKAGES.items() if not shutil.which(cmd)})
    if not missing:
        return
    print("installing " + " ".join(missing), flush=True)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = sudo + ["apt-get", "install", "-y", "--no-install-recommends"] + missing
    if subprocess.run(install, env=env).returncode != 0:
        # Package lists that are out of date are the usual reason.
        subprocess.run(sudo + ["apt-get", "update"], env=env, check=True)
        subprocess.run(install, env=env, check=True)


# --- processes ---------------------------------------------------------------------------


class Children:
    """The processes this script started. Each runs in its own session, so that Ctrl+C
    reaches only the script, which then ends them here, by their ids, newest first."""

    def __init__(self):
        self.procs = []
        self.lock = threading.Lock()  # the player thread starts processes too

    def spawn(self, name, argv, **kwargs):
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        with self.lock:
            self.procs.append((name, proc))
        return proc

    def forget(self, proc):
        with self.lock:
            self.procs = [(n, p) for n, p in self.procs if p is not proc]

    def end(self, proc, sig=signal.SIGTERM, timeout=10.0):
        """Asks the process to end with `sig`, kills it after `timeout` seconds; returns its
        exit status (negative: the signal that ended it)."""
        if proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    proc.kill()
                proc.wait()
        self.forget(proc)
        return proc.returncode

    def end_all(self):
        with self.lock:
            procs = list(self.procs)
        for _, proc in reversed(procs):
            self.end(proc, timeout=5.0)


def cpu_seconds(pid):
    """User + system CPU time of all threads of a process so far, from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
        data = f.read()
    # The command name in parentheses may itself hold blanks and parentheses.
    fields = data[data.rindex(")") + 2:].split()
    utime, stime = int(fields[11]), int(fields[12])
    return (utime + stime) / CLOCK_TICKS


def rss_kib(pid):
    """The resident set size of a process in KiB, from /proc/<pid>/status."""
    with open(f"/proc/{pid}/status", encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise BenchError(f"no VmRSS in /proc/{pid}/status")


# --- display -----------------------------------------------------------------------------


def start_xvfb(children, log):
    """Starts Xvfb on a free display number, which Xvfb picks itself and reports once it
    accepts connections; returns the DISPLAY value."""
    read_end, write_end = os.pipe()
    try:
        proc = children.spawn("Xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                       f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp",
                                       "-noreset"],
                              pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=log,
                              stderr=log)
        os.close(write_end)
        write_end = -1
        text = b""
        deadline = time.monotonic() + 20
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or proc.poll() is not None:
                raise BenchError("Xvfb did not start (see its log above)")
            ready, _, _ = select.select([read_end], [], [], left)
            if ready:
                chunk = os.read(read_end, 64)
                if not chunk:
                    raise BenchError("Xvfb closed its display pipe without a number")
                text += chunk
        return ":" + text.decode().strip()
    finally:
        os.close(read_end)
        if write_end >= 0:
            os.close(write_end)


def start_window_manager(children, env, log):
    children.spawn("openbox", ["openbox", "--sm-disable"], env=env, stdin=subprocess.DEVNULL,
                   stdout=log, stderr=log)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                             capture_output=True, text=True)
        if "window id" in out.stdout:
            return
        time.sleep(0.1)
    raise BenchError("the window manager did not start")


def xdotool(env, *args, timeout=10.0):
    try:
        out = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True,
                             timeout=timeout)
    except subprocess.TimeoutExpired:
        raise BenchError(f"xdotool {' '.join(args)}: no answer within {timeout:.0f} s")
    if out.returncode != 0:
        raise BenchError(f"xdotool {' '.join(args)} failed: {out.stderr.strip()}")
    return out.stdout


def find_main_window(env, pid, timeout=30.0):
    """The id of the program's visible main window, waiting until it is mapped."""
    out = xdotool(env, "search", "--sync", "--onlyvisible", "--pid", str(pid), "--name",
                  "^Orvanta$", timeout=timeout)
    ids = out.split()
    if not ids:
        raise BenchError("no window titled Orvanta")
    return ids[0]


def window_geometry(env, wid):
    values = {}
    for line in xdotool(env, "getwindowgeometry", "--shell", wid).splitlines():
        key, _, value = line.partition("=")
        values[key] = value
    return (int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"]))


def click(env, wid, point):
    """Clicks the left button at `point` inside the window, then moves the pointer off the
    window, so that no hover effect or tooltip goes on during a measurement."""
    x, y, _, _ = window_geometry(env, wid)
    xdotool(env, "mousemove", "--sync", str(x + point[0]), str(y + point[1]), "click", "1")
    xdotool(env, "mousemove", "--sync", "1", "1")


def map_state(env, wid):
    """"IsViewable", "IsUnMapped" or "IsUnviewable"."""
    out = subprocess.run(["xwininfo", "-id", wid], env=env, capture_output=True, text=True)
    match = re.search(r"Map State:\s*(\w+)", out.stdout)
    return match.group(1) if match else "gone"


def wait_map_state(env, wid, wanted, timeout=5.0):
    deadline = time.monotonic() + timeout
    state = map_state(env, wid)
    while state not in wanted and time.monotonic() < deadline:
        time.sleep(0.1)
        state = map_state(env, wid)
    return state


# --- sound -------------------------------------------------------------------------------


class Player:
    """Plays the test signal into the sink over and over until stopped."""

    def __init__(self, children, env, path):
        self.children, self.env, self.path = children, env, path
        self.running = True
        self.lock = threading.Lock()
        self.proc = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            with self.lock:
                if not self.running:
                    return
                self.proc = self.children.spawn(
                    "paplay", ["paplay", f"--device={SINK}", self.path], env=self.env,
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
            self.proc.wait()
            self.children.forget(self.proc)
            if self.proc.returncode != 0 and self.running:
                time.sleep(0.5)  # the server is gone or refuses; do not spin

    def stop(self):
        with self.lock:
            self.running = False
            proc = self.proc
        if proc is not None:
            self.children.end(proc, timeout=2.0)
        self.thread.join(5.0)


def start_ffmpeg(children, env, path):
    return children.spawn("ffmpeg", ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "pulse",
                                     "-i", f"{SINK}.monitor", "-c:a", "libmp3lame", "-b:a",
                                     "128k", path],
                          env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)


# --- the program -------------------------------------------------------------------------


class Orvanta:
    """One run of the window program, with its standard error read on a thread: the start-up
    line is taken from it and the last lines are kept for error messages."""

    def __init__(self, children, program, env):
        self.children = children
        self.shown = threading.Event()
        self.shown_at = None
        self.own_ms = None
        self.tail = collections.deque(maxlen=30)
        self.started_at = time.monotonic()
        self.proc = children.spawn("orvanta", [program], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for raw in self.proc.stderr:
            now = time.monotonic()
            line = raw.decode(errors="replace").rstrip("\n")
            self.tail.append(line)
            match = SHOWN.search(line)
            if match and not self.shown.is_set():
                self.shown_at = now
                self.own_ms = int(match.group(1))
                self.shown.set()

    @property
    def pid(self):
        return self.proc.pid

    def problem(self, text):
        lines = "\n".join("    " + line for line in self.tail)
        return BenchError(text + (f"; its last messages:\n{lines}" if lines else ""))

    def wait_shown(self, timeout=60.0):
        """Waits for the start-up line; returns (wall ms, the program's own ms)."""
        deadline = time.monotonic() + timeout
        while not self.shown.wait(0.1):
            if self.proc.poll() is not None:
                self.reader.join(2.0)
                if self.shown.is_set():
                    break
                raise self.problem(f"orvanta ended with status {self.proc.returncode} before "
                                   "its window was shown")
            if time.monotonic() > deadline:
                raise self.problem(f"orvanta did not report its window within {timeout:.0f} s")
        return (self.shown_at - self.started_at) * 1000.0, self.own_ms

    def terminate(self, timeout=20.0):
        """SIGTERM and wait; returns the exit status, or raises when it had to be killed."""
        if self.proc.poll() is not None:
            raise self.problem(f"orvanta ended early with status {self.proc.returncode}")
        status = self.children.end(self.proc, signal.SIGTERM, timeout)
        self.reader.join(2.0)
        if status == -signal.SIGKILL:
            raise self.problem(f"orvanta did not end within {timeout:.0f} s of SIGTERM and was "
                               "killed (a question on exit?)")
        return status


def new_mp3(folder, before):
    names = [n for n in os.listdir(folder) if n.endswith(".mp3") and n not in before]
    names.sort(key=lambda n: os.path.getmtime(os.path.join(folder, n)))
    return os.path.join(folder, names[-1]) if names else None


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def wait_size_steady(path, timeout=10.0):
    """Waits until the file stops growing (the writer has finished it)."""
    deadline = time.monotonic() + timeout
    size = os.path.getsize(path)
    while time.monotonic() < deadline:
        time.sleep(1.0)
        now = os.path.getsize(path)
        if now == size:
            return size
        size = now
    return size


def sleep_while_running(seconds, *procs):
    deadline = time.monotonic() + seconds
    while True:
        for name, proc in procs:
            if proc.poll() is not None:
                raise BenchError(f"{name} ended with status {proc.returncode} during the "
                                 "measurement")
        left = deadline - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.5))


class Recording:
    """The program started, its window found and its Start button clicked, with the new MP3
    file in the music folder as the proof that it records."""

    def __init__(self, children, program, env, music):
        self.env, self.music = env, music
        self.before = set(os.listdir(music))
        self.app = Orvanta(children, program, env)
        self.app.wait_shown()
        self.wid = find_main_window(env, self.app.pid)
        _, _, w, h = window_geometry(env, self.wid)
        if (w, h) != WINDOW_SIZE:
            print(f"  note: the main window is {w}x{h}, not "
                  f"{WINDOW_SIZE[0]}x{WINDOW_SIZE[1]}; the button positions may be off")
        # A click that arrives while the window is still settling can be lost: one more try.
        # A second click on Start while it records does nothing.
        for wait in (5.0, 10.0):
            click(env, self.wid, START_BUTTON)
            self.clicked_at = time.monotonic()
            self.file = wait_until(lambda: new_mp3(music, self.before), wait)
            if self.file:
                break
        else:
            raise self.app.problem("no new MP3 file in the music folder after clicking Start "
                                   "twice")

    def stop(self):
        """Stops the recording (restoring a minimised window first, or with the Stop hot key
        when the window cannot be restored), ends the program and returns (exit status,
        file size, seconds recorded)."""
        if map_state(self.env, self.wid) != "IsViewable":
            with contextlib.suppress(BenchError):
                xdotool(self.env, "windowactivate", self.wid)
            wait_map_state(self.env, self.wid, ("IsViewable",))
        if map_state(self.env, self.wid) == "IsViewable":
            click(self.env, self.wid, STOP_BUTTON)
        else:
            xdotool(self.env, "key", "ctrl+alt+s")
        recorded = time.monotonic() - self.clicked_at
        size = wait_size_steady(self.file)
        status = self.app.terminate()
        return status, size, recorded


def expected_mp3(seconds):
    return MP3_BYTES_PER_SECOND * seconds


def kib(n):
    return f"{n / 1024:.0f} KiB"


def measure_startup(children, program, env, starts):
    print(f"start-up until the main window is shown, {starts} starts after one warm-up start:",
          flush=True)
    walls, owns = [], []
    for i in range(starts + 1):
        app = Orvanta(children, program, env)
        wall, own = app.wait_shown()
        status = app.terminate()
        label = "warm-up" if i == 0 else f"start {i}"
        note = "" if status == 0 else f"  (exit status {status}, expected 0)"
        print(f"  {label:8} {wall:7.1f} ms wall, {own:5d} ms by the program{note}", flush=True)
        if i > 0:
            walls.append(wall)
            owns.append(own)
    print(f"  median   {statistics.median(walls):7.1f} ms wall "
          f"(min {min(walls):.1f}, max {max(walls):.1f}), "
          f"{statistics.median(owns):5.0f} ms by the program")


def measure_cpu(children, program, env, music, work, seconds, minimised, floor=None):
    """Returns the CPU shares of orvanta and ffmpeg, and of the floor program when given."""
    label = "minimised" if minimised else "visible"
    print(f"CPU while recording to MP3 at 128 kbit/s, main window {label}, "
          f"{seconds:.0f} s window:", flush=True)
    rec = Recording(children, program, env, music)
    if minimised:
        click(env, rec.wid, MINIMISE_BUTTON)
        state = wait_map_state(env, rec.wid, ("IsUnMapped", "IsUnviewable", "gone"))
        if state == "IsViewable":
            print("  note: the main window is still mapped after the minimise click")
    reference_file = os.path.join(work, f"ffmpeg-{label}.mp3")
    reference = start_ffmpeg(children, env, reference_file)
    bare = None
    if floor:
        bare = children.spawn("paint_floor", [floor], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Away from the main window, which must stay uncovered to draw.
        xdotool(env, "search", "--sync", "--onlyvisible", "--pid", str(bare.pid), "--name",
                "^Paint floor$", "windowmove", "%@", "600", "520")
    time.sleep(SETTLE_SECONDS)
    running = [("orvanta", rec.app.proc), ("ffmpeg", reference)]
    if bare:
        running.append(("paint_floor", bare))
    size_before = os.path.getsize(rec.file)
    start = time.monotonic()
    ours_before, ref_before = cpu_seconds(rec.app.pid), cpu_seconds(reference.pid)
    bare_before = cpu_seconds(bare.pid) if bare else 0.0
    sleep_while_running(seconds, *running)
    ours_after, ref_after = cpu_seconds(rec.app.pid), cpu_seconds(reference.pid)
    bare_after = cpu_seconds(bare.pid) if bare else 0.0
    wall = time.monotonic() - start
    if bare:
        children.end(bare)
    size_after = os.path.getsize(rec.file)
    if minimised:
        print(f"  window map state at the end of the window: {map_state(env, rec.wid)}")
    # SIGINT lets ffmpeg finish its file.
    children.end(reference, signal.SIGINT)
    status, size, recorded = rec.stop()
    ours_cpu, ref_cpu = ours_after - ours_before, ref_after - ref_before
    ours_share, ref_share = 100 * ours_cpu / wall, 100 * ref_cpu / wall
    print(f"  orvanta: {ours_cpu:.2f} s CPU in {wall:.1f} s = {ours_share:.2f} % of one core")
    print(f"  ffmpeg:  {ref_cpu:.2f} s CPU in {wall:.1f} s = {ref_share:.2f} % of one core")
    ratio = f"{ours_share / ref_share:.2f}" if ref_share > 0 else "n/a"
    print(f"  ratio orvanta / ffmpeg: {ratio}")
    bare_share = 100 * (bare_after - bare_before) / wall if bare else None
    if bare:
        bare_ratio = f"{bare_share / ref_share:.2f}" if ref_share > 0 else "n/a"
        print(f"  paint_floor (a bare Qt window, a frame every 15 ms): {bare_share:.2f} % of "
              f"one core = {bare_ratio} of ffmpeg")
    print(f"  written during the window: {kib(size_after - size_before)} "
          f"(128 kbit/s gives {kib(expected_mp3(wall))})")
    note = "" if status == 0 else f", exit status {status} (expected 0)"
    print(f"  file {os.path.basename(rec.file)}: {kib(size)} after {recorded:.0f} s "
          f"(128 kbit/s gives {kib(expected_mp3(recorded))}){note}", flush=True)
    return ours_share, ref_share, bare_share


def measure_memory(children, program, env, music, minutes):
    print(f"memory while recording for {minutes:g} minutes, VmRSS every 30 s:", flush=True)
    rec = Recording(children, program, env, music)
    time.sleep(SETTLE_SECONDS)
    samples = []
    start = time.monotonic()
    total = minutes * 60.0
    while True:
        elapsed = time.monotonic() - start
        samples.append((elapsed, rss_kib(rec.app.pid)))
        print(f"  {elapsed / 60:5.1f} min  {samples[-1][1] / 1024:8.1f} MiB", flush=True)
        if elapsed >= total:
            break
        sleep_while_running(min(30.0, total - elapsed), ("orvanta", rec.app.proc))
    status, size, recorded = rec.stop()
    values = [rss for _, rss in samples]
    print(f"  first {values[0] / 1024:.1f} MiB, last {values[-1] / 1024:.1f} MiB, "
          f"max {max(values) / 1024:.1f} MiB, growth {(values[-1] - values[0]) / 1024:+.1f} MiB")
    note = "" if status == 0 else f", exit status {status} (expected 0)"
    print(f"  file {os.path.basename(rec.file)}: {kib(size)} after {recorded:.0f} s{note}")


def program_environment(base, home, display):
    env = dict(base)
    # Nothing of a desktop session the script may run in may reach the program: no session
    # bus (tray, portals), no session manager, no Wayland, no platform theme.
    for key in ("DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER", "WAYLAND_DISPLAY",
                "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP",
                "DESKTOP_SESSION", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "XAUTHORITY"):
        env.pop(key, None)
    config = os.path.join(home, ".config")
    music = os.path.join(home, "Music")
    tmp = os.path.join(home, "tmp")
    for folder in (config, music, tmp, os.path.join(home, ".cache"),
                   os.path.join(home, ".local", "share")):
        os.makedirs(folder, exist_ok=True)
    # Qt takes the music folder from user-dirs.dirs; the variable is for everything else.
    with open(os.path.join(config, "user-dirs.dirs"), "w", encoding="utf-8") as f:
        f.write('XDG_MUSIC_DIR="$HOME/Music"\n')
    env.update(HOME=home, XDG_CONFIG_HOME=config, XDG_CACHE_HOME=os.path.join(home, ".cache"),
               XDG_DATA_HOME=os.path.join(home, ".local", "share"), XDG_MUSIC_DIR=music,
               TMPDIR=tmp, DISPLAY=display, QT_QPA_PLATFORM="xcb", ORVANTA_STARTUP_TRACE="1")
    return env, music


def main():
    parser = argparse.ArgumentParser(
        description="Start-up time, CPU use while recording and memory of orvanta.")
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--starts", type=int, default=7, help="counted starts (default 7)")
    parser.add_argument("--seconds", type=float, default=60.0,
                        help="length of each CPU measurement (default 60)")
    parser.add_argument("--memory", type=float, nargs="?", const=10.0, default=None,
                        metavar="MINUTES", help="also sample memory during a recording of "
                        "this many minutes (10 when given without a value)")
    parser.add_argument("--floor", help="the bare Qt frame program (default: paint_floor of "
                        "the build tree that holds ORVANTA, when there is one)")
    parser.add_argument("--no-floor", action="store_true", help="do not run the floor program")
    parser.add_argument("--skip-startup", action="store_true")
    parser.add_argument("--skip-cpu", action="store_true")
    parser.add_argument("orvanta", help="the program, e.g. build/bench/src/app/orvanta")
    args = parser.parse_args()
    program = os.path.abspath(args.orvanta)
    if not os.access(program, os.X_OK):
        parser.error(f"{program} is not an executable file")
    floor = None
    if not args.no_floor:
        floor = os.path.abspath(args.floor or os.path.join(os.path.dirname(program), "..", "..",
                                                           "bench", "paint_floor"))
        if not os.access(floor, os.X_OK):
            if args.floor:
                parser.error(f"{floor} is not an executable file")
            floor = None
    if args.starts < 1 or args.seconds <= 0 or (args.memory is not None and args.memory <= 0):
        parser.error("--starts, --seconds and --memory take positive values")

    # SIGTERM ends the script like Ctrl+C, through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    ensure_packages()
    children = Children()
    with contextlib.ExitStack() as cleanup:
        # Undone in reverse order: the player, every process started here, the sound
        # server, the temporary folder.
        work = cleanup.enter_context(tempfile.TemporaryDirectory(prefix="orvanta-gui-bench."))
        log_path = os.path.join(work, "x.log")
        log = cleanup.enter_context(open(log_path, "wb"))

        env = dict(os.environ)
        env["ORVANTA_SOUND_STATE"] = os.path.join(work, "sound-state")
        cleanup.callback(subprocess.run, [sound_server_script, "stop"], env=env)
        start_server(args.server, env)
        cleanup.callback(children.end_all)

        try:
            display = start_xvfb(children, log)
            home = os.path.join(work, "home")
            app_env, music = program_environment(env, home, display)
            start_window_manager(children, app_env, log)
        except BenchError:
            log.flush()
            with open(log_path, encoding="utf-8", errors="replace") as f:
                sys.stderr.write(f.read())
            raise

        music_signal = os.path.join(work, "music.wav")
        write_music(music_signal, 20)
        player = Player(children, env, music_signal)
        cleanup.callback(player.stop)

        print(f"orvanta {program}\nsound server {args.server}, display {display} "
              f"({SCREEN[0]}x{SCREEN[1]}, openbox)\n", flush=True)
        if not args.skip_startup:
            measure_startup(children, program, app_env, args.starts)
            print()
        if not args.skip_cpu:
            visible = measure_cpu(children, program, app_env, music, work, args.seconds, False,
                                  floor)
            print()
            hidden = measure_cpu(children, program, app_env, music, work, args.seconds, True)
            print()
            print("CPU summary (% of one core):")
            print(f"  visible:   orvanta {visible[0]:.2f}, ffmpeg {visible[1]:.2f}")
            print(f"  minimised: orvanta {hidden[0]:.2f}, ffmpeg {hidden[1]:.2f}")
            if hidden[0] > 0:
                print(f"  orvanta visible / minimised: {visible[0] / hidden[0]:.2f}")
            if visible[2] is not None and visible[1] > 0 and hidden[1] > 0:
                # What orvanta would cost visible if its frames cost no more than bare ones.
                print(f"  paint_floor {visible[2]:.2f}; orvanta minimised / ffmpeg + "
                      f"paint_floor / ffmpeg = {hidden[0] / hidden[1]:.2f} + "
                      f"{visible[2] / visible[1]:.2f} = "
                      f"{hidden[0] / hidden[1] + visible[2] / visible[1]:.2f}")
            print()
        if args.memory is not None:
            measure_memory(children, program, app_env, music, args.memory)


if __name__ == "__main__":
    try:
        main()
    except BenchError as error:
        print(f"gui_bench: {error}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        print("gui_bench: interrupted", file=sys.stderr)
        sys.exit(130)
