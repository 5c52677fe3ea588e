"""What the orvanta-rec timing benchmarks share: the private sound server, the position-coded
signal and its players, the recorders, and the analysis of a recorded WAV file.

The signal: the right channel holds the frame number divided by 1024, the left channel the
remainder times 16, both small enough that the server's float mix gives them back exactly.
Every recorded frame thus tells which frame of the signal was playing (positions up to
32767 * 1024 frames, about 11 minutes at 48 kHz). Quotients above 16383 are folded into
negative values (16384 is -1), so that every sample stays below half of full scale: there a
conversion to 16 bits that scales by 32767 instead of 32768 still gives it back exactly. A player reads the raw signal from a given
position on, so that two players can play positions that never meet; the stream time it reports
(pacat -v, several a second) maps a position to the monotonic time it was played.
"""
import array
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import wave

here = os.path.dirname(os.path.abspath(__file__))
server = os.path.join(here, "..", "tests", "audio", "sound-server.sh")
RATE = 48000
SINK = "orvanta_test"
OTHER_SINK = "orvanta_other"
MAX_POSITION = 32767 * 1024


def _fold(quotient):
    return quotient if quotient < 16384 else 16383 - quotient


def _signal_chunks(start, frames):
    """The signal from position start on, as little-endian 16-bit stereo bytes."""
    if start + frames > MAX_POSITION:
        raise SystemExit(f"the signal holds at most {MAX_POSITION / RATE:.0f} s")
    lefts = array.array("h", [(j & 1023) * 16 for j in range(2048)])
    pos = start
    end = start + frames
    while pos < end:
        # Up to the next multiple of 1024, where the right channel changes.
        count = min(1024 - (pos & 1023), end - pos)
        block = array.array("h", bytes(4 * count))
        block[0::2] = lefts[pos & 1023:(pos & 1023) + count]
        block[1::2] = array.array("h", [_fold(pos >> 10)]) * count
        if sys.byteorder == "big":
            block.byteswap()
        yield block.tobytes()
        pos += count


def write_signal(path, seconds, start=0):
    """The signal as a 16-bit stereo WAV file."""
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        for chunk in _signal_chunks(start, int(seconds * RATE)):
            w.writeframesraw(chunk)


def write_raw(path, frames, start=0):
    """The signal as raw s16le stereo, frame n of the file holding position start + n."""
    with open(path, "wb") as f:
        for chunk in _signal_chunks(start, frames):
            f.write(chunk)


def runs(path):
    """The frames of a 16-bit stereo WAV file as runs of consecutive signal positions and of
    silence: a list of (file frame, first position or None for silence, frame count), and the
    file's frame count."""
    with wave.open(path, "rb") as w:
        if w.getnchannels() != 2 or w.getsampwidth() != 2 or w.getframerate() != RATE:
            raise SystemExit(f"{path}: not 16-bit stereo at {RATE} Hz")
        out = []
        index = 0
        start, first, expect = 0, None, "nothing yet"
        while True:
            data = w.readframes(1 << 20)
            if not data:
                break
            samples = array.array("h")
            samples.frombytes(data[: len(data) // 4 * 4])
            if sys.byteorder == "big":
                samples.byteswap()
            for left, right in zip(samples[0::2], samples[1::2]):
                if left or right:
                    p = ((right if right >= 0 else 16383 - right) << 10) + ((left + 8) >> 4)
                    if p != expect:
                        if index:
                            out.append((start, first, index - start))
                        start, first = index, p
                    expect = p + 1
                elif expect is not None:
                    if index:
                        out.append((start, first, index - start))
                    start, first, expect = index, None, None
                index += 1
        if index:
            out.append((start, first, index - start))
        return out, index


def analyse(path):
    """The offset of the file's first signal frame against its place in the file (the median
    of the first 2000, in frames), the file's frame count, and the number of signal frames
    whose offset differs (dropped or repeated before them); None without signal."""
    got, count = runs(path)
    signal_runs = [r for r in got if r[1] is not None]
    if not signal_runs:
        return None
    offsets = []
    for index, pos, n in signal_runs:
        offsets += [pos - index] * min(n, 2000 - len(offsets))
        if len(offsets) == 2000:
            break
    first = statistics.median(offsets)
    jumps = sum(n for index, pos, n in signal_runs if pos - index != first)
    return first, count, jumps


def breaks(signal_runs):
    """Between consecutive runs of one player's signal: positions dropped, positions
    repeated, and how far the file's timeline moved against the signal (frames; positive:
    more file than signal, i.e. silence or repeats inserted)."""
    dropped = repeated = shift = 0
    for (i1, p1, n1), (i2, p2, _) in zip(signal_runs, signal_runs[1:]):
        skipped = p2 - (p1 + n1)
        dropped += max(skipped, 0)
        repeated += max(-skipped, 0)
        shift += (i2 - (i1 + n1)) - skipped
    return dropped, repeated, shift


class PlayerClock:
    """The stream time the player reports (pacat -v), with the monotonic time it was read.
    start is the signal position the player began with."""

    def __init__(self, stream, start=0):
        self.points = []
        self.start = start
        self.thread = threading.Thread(target=self.read, args=(stream,), daemon=True)
        self.thread.start()

    def read(self, stream):
        text = b""
        while True:
            chunk = stream.read1(4096) if hasattr(stream, "read1") else stream.read(4096)
            if not chunk:
                return
            now = time.monotonic()
            text = (text + chunk)[-4096:]
            found = re.findall(rb"Time: ([0-9.]+) sec", text)
            if found:
                self.points.append((now, float(found[-1])))
                text = b""

    def played_at(self, t):
        """The player's stream time in seconds at monotonic time t, from the last report."""
        before = [p for p in self.points if p[0] <= t]
        if not before:
            return None
        when, value = before[-1]
        return value + (t - when) if value > 0 else None

    def offset_at(self, t):
        """Monotonic time minus stream time, the median over the reports within a second of
        monotonic time t (else the five nearest): a single report is late by however long the
        player took to print it and this script to read it, and on PipeWire the reports move
        in steps of the graph's period."""
        points = [p for p in self.points if p[1] > 0]
        if not points:
            return None
        near = [p for p in points if abs(p[0] - t) <= 1.0]
        if len(near) < 5:
            near = sorted(points, key=lambda p: abs(p[0] - t))[:5]
        return statistics.median(when - value for when, value in near)

    # On PulseAudio the reports drift against the wall clock by about 2 ms a second while
    # orvanta-rec runs, whereas the null sink plays exactly one frame per frame time (its
    # recordings hold the signal without a break). So a moment is counted in frames from the
    # clock as read near a chosen moment, the anchor, not from the reports around it.

    def time_of(self, position, anchor):
        """The monotonic time at which the signal position was played."""
        offset = self.offset_at(anchor)
        return None if offset is None else (position - self.start) / RATE + offset

    def position_at(self, t, anchor):
        """The signal position playing at monotonic time t (a float)."""
        offset = self.offset_at(anchor)
        return None if offset is None else self.start + (t - offset) * RATE

    def wait_played(self, seconds, timeout=10.0):
        deadline = time.monotonic() + timeout
        while (self.played_at(time.monotonic()) or 0) < seconds:
            if time.monotonic() > deadline:
                raise RuntimeError("the player did not start playing")
            time.sleep(0.05)


def player_command(device=None, path=None, latency_ms=20, extra=()):
    """pacat playing the raw signal and reporting its stream time. Without a device it plays to
    the default output; neither server keeps it on a device it asked for when the default
    output changes (only a stream a user moved to a sink other than the default stays)."""
    cmd = ["pacat", "-v", f"--latency-msec={latency_ms}", "--raw", "--format=s16le",
           "--rate=" + str(RATE), "--channels=2"]
    if device:
        cmd.append("--device=" + device)
    cmd += extra
    if path:
        cmd.append(path)
    return cmd


def start_player(env, raw_path, start=0, device=None, latency_ms=20, extra=()):
    """A player of the raw signal file from position start on, and its clock."""
    with open(raw_path, "rb") as f:
        f.seek(4 * start)
        player = subprocess.Popen(player_command(device, None, latency_ms, extra), env=env,
                                  stdin=f,
                                  stderr=subprocess.PIPE)
    return player, PlayerClock(player.stderr, start)


def end(proc, sig=signal.SIGKILL, timeout=20.0):
    """Ends a child we started, if it still runs."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def start_server(kind, env):
    # The session manager keeps where streams were moved and which sink was the default in
    # its state directory and restores them on the next start, so that a stream would not
    # follow the default output after a run that moved one: each server gets its own.
    env["XDG_STATE_HOME"] = tempfile.mkdtemp(prefix="orvanta-bench-state.")
    out = subprocess.run([server, "start", kind], env=env, check=True, capture_output=True,
                         text=True)
    for line in out.stdout.split("\n"):
        if line.startswith("export "):
            for pair in line[len("export "):].split(" "):
                key, _, value = pair.partition("=")
                env[key] = value.strip("'")


def stop_server(env):
    subprocess.run([server, "stop"], env=env, check=False, capture_output=True)
    state = env.pop("XDG_STATE_HOME", None)
    if state and os.path.basename(state).startswith("orvanta-bench-state."):
        shutil.rmtree(state, ignore_errors=True)


def load_other_sink(env):
    """A second null sink like the first, not suspended when idle (as the first is not)."""
    subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=" + OTHER_SINK,
                    "format=float32le", "rate=48000", "channels=2",
                    "sink_properties=session.suspend-timeout-seconds=0"],
                   env=env, check=True, capture_output=True)
    # On PipeWire the sink appears in the graph a moment after the module is loaded.
    for _ in range(50):
        sinks = subprocess.run(["pactl", "list", "short", "sinks"], env=env,
                               capture_output=True, text=True).stdout
        if re.search(r"\s" + OTHER_SINK + r"\s", sinks):
            return
        time.sleep(0.1)
    raise RuntimeError("the second sink did not appear")


def reference_command(kind, path, follow_default=False):
    """The reference recorder: the test sink's monitor, or with follow_default the default
    output's monitor, following it when it changes (parecord on PulseAudio 16 moves with
    @DEFAULT_MONITOR@; pw-record without a target is moved by the session manager)."""
    if kind == "pipewire":
        target = [] if follow_default else ["--target", SINK]
        return ["pw-record"] + target + ["-P", "stream.capture.sink=true", "--format", "s16",
                                         "--rate", str(RATE), "--channels", "2", path]
    # Following the default, parecord's default 2 s buffer is lost whole when the stream is
    # moved; a short one shows what the server itself keeps.
    device = ["--device=@DEFAULT_MONITOR@", "--latency-msec=20"] if follow_default else [
        "--device=" + SINK + ".monitor"]
    return ["parecord"] + device + ["--file-format=wav", "--format=s16le",
                                    "--rate=" + str(RATE), "--channels=2", path]


def start_ours(rec, seconds, out_dir, env, log):
    """orvanta-rec writing WAV into out_dir for the given seconds; it prints the file's path."""
    return subprocess.Popen([rec, "--duration", str(seconds), "--format", "wav", "--output",
                             out_dir], env=env, stdout=subprocess.PIPE, stderr=log, text=True)


def summary(values, fmt="{:.1f}"):
    """min/median/max of the values that are not None."""
    got = [v for v in values if v is not None]
    if not got:
        return "none"
    return "/".join(fmt.format(v) for v in (min(got), statistics.median(got), max(got)))
