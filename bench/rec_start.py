#!/usr/bin/env python3
"""Start lag and length of orvanta-rec on an idle sink, beside a reference recorder started
the same way in the same run.

    bench/rec_start.py [--server pulseaudio|pipewire] [--runs N] [--seconds S]
                       [--player pacat|paplay] ORVANTA_REC

Each run starts a private sound server (tests/audio/sound-server.sh), so that its null sink
is idle, plays a signal whose every frame carries its own position into the sink, waits until the
player has played a second, then starts `orvanta-rec --duration S --format wav` and the reference recorder
(parecord on PulseAudio, pw-record on PipeWire) one right after the other. The reference is
ended with SIGINT after S seconds.

The signal: the right channel holds the frame number divided by 1024, the left channel the
remainder times 16, both small enough that the server's float mix gives them back exactly.
The first recorded frame thus tells which frame of the signal was playing; the frame the
sink was playing when the recorder was started comes from the player's own reports of its
stream time (pacat -v, several a second), interpolated; the same for both recorders.

Printed per run and as min/median/max: the start lag in ms (positive: audio played after
the start is missing from the file's beginning; negative: the file begins with audio played
before the start), the file's length in seconds, and frames dropped or repeated inside the
file. `--player paplay` plays through paplay's long default buffer instead of a 20 ms one.
"""
import argparse
import os
import re
import signal
import statistics
import struct
import subprocess
import tempfile
import threading
import time
import wave

here = os.path.dirname(os.path.abspath(__file__))
server = os.path.join(here, "..", "tests", "audio", "sound-server.sh")
RATE = 48000
SINK = "orvanta_test"


def write_signal(path, seconds):
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        frames += struct.pack("<hh", (i & 1023) * 16, i >> 10)
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


def positions(path):
    """The signal position of every frame of a 16-bit stereo WAV file (None: silence)."""
    with wave.open(path, "rb") as w:
        if w.getnchannels() != 2 or w.getsampwidth() != 2 or w.getframerate() != RATE:
            raise SystemExit(f"{path}: not 16-bit stereo at {RATE} Hz")
        data = w.readframes(w.getnframes())
    count = len(data) // 4
    values = struct.unpack(f"<{count * 2}h", data[: count * 4])
    out = []
    for i in range(count):
        left, right = values[2 * i], values[2 * i + 1]
        out.append(None if left == 0 and right == 0 else right * 1024 + round(left / 16))
    return out


def analyse(path):
    pos = positions(path)
    offsets = [p - i for i, p in enumerate(pos) if p is not None]
    if not offsets:
        return None
    first = statistics.median(offsets[:2000])
    # A frame whose position does not follow from the first one was dropped or repeated.
    jumps = sum(1 for i, p in enumerate(pos) if p is not None and p - i != first)
    return first, len(pos), jumps


class PlayerClock:
    """The stream time the player reports (pacat -v), with the monotonic time it was read."""

    def __init__(self, stream):
        self.points = []
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
        """The player's stream time in seconds at monotonic time t."""
        before = [p for p in self.points if p[0] <= t]
        if not before:
            return None
        when, value = before[-1]
        return value + (t - when) if value > 0 else None


def start_server(kind, env):
    out = subprocess.run([server, "start", kind], env=env, check=True, capture_output=True,
                         text=True)
    for line in out.stdout.split("\n"):
        if line.startswith("export "):
            for pair in line[len("export "):].split(" "):
                key, _, value = pair.partition("=")
                env[key] = value.strip("'")


def stop_server(env):
    subprocess.run([server, "stop"], env=env, check=False, capture_output=True)


def one_run(args, rec, signal_file, work, env):
    start_server(args.server, env)
    try:
        if args.player == "paplay":
            player_cmd = ["paplay", "-v", "--device=" + SINK, signal_file]
        else:
            player_cmd = ["pacat", "-v", "--device=" + SINK, "--latency-msec=20", "--raw",
                          "--format=s16le", "--rate=" + str(RATE), "--channels=2",
                          signal_file[:-4] + ".raw"]
        player = subprocess.Popen(player_cmd, env=env, stderr=subprocess.PIPE)
        clock = PlayerClock(player.stderr)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and (clock.played_at(time.monotonic()) or 0) < 1.0:
            time.sleep(0.05)
        out_dir = tempfile.mkdtemp(dir=work)
        ref_file = os.path.join(work, f"ref{time.time_ns()}.wav")
        if args.server == "pipewire":
            ref_cmd = ["pw-record", "--target", SINK, "-P", "stream.capture.sink=true",
                       "--format", "s16", "--rate", str(RATE), "--channels", "2", ref_file]
        else:
            ref_cmd = ["parecord", "--device=" + SINK + ".monitor", "--file-format=wav",
                       "--format=s16le", "--rate=" + str(RATE), "--channels=2", ref_file]
        t_start = time.monotonic()
        ours = subprocess.Popen([rec, "--duration", str(args.seconds), "--format", "wav",
                                 "--output", out_dir], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
        t_ref = time.monotonic()
        ref = subprocess.Popen(ref_cmd, env=env, stderr=subprocess.DEVNULL)
        time.sleep(args.seconds)
        ref.send_signal(signal.SIGINT)
        ref.wait(20)
        ours_out, _ = ours.communicate(timeout=30)
        result = {}
        player.kill()
        player.wait()
        for name, path, t in (("orvanta-rec", ours_out.strip(), t_start),
                              (os.path.basename(ref_cmd[0]), ref_file, t_ref)):
            got = analyse(path) if path and os.path.exists(path) else None
            if got is None:
                result[name] = None
                continue
            first, frames, jumps = got
            played = clock.played_at(t)
            if played is None:
                result[name] = None
                continue
            played *= RATE
            result[name] = ((first - played) / RATE * 1000, frames / RATE, jumps)
        return result
    finally:
        stop_server(env)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--player", choices=["pacat", "paplay"], default="pacat")
    parser.add_argument("rec")
    args = parser.parse_args()
    rec = os.path.abspath(args.rec)
    with tempfile.TemporaryDirectory(prefix="orvanta-rec-start.") as work:
        signal_file = os.path.join(work, "signal.wav")
        write_signal(signal_file, args.seconds + 20)
        with open(signal_file, "rb") as f, open(signal_file[:-4] + ".raw", "wb") as raw:
            raw.write(f.read()[44:])
        env = dict(os.environ)
        env["ORVANTA_SOUND_STATE"] = os.path.join(work, "sound.state")
        rows = {}
        for run in range(args.runs):
            result = one_run(args, rec, signal_file, work, env)
            for name, got in result.items():
                rows.setdefault(name, []).append(got)
                if got is None:
                    print(f"run {run + 1} {name}: no usable file")
                else:
                    print(f"run {run + 1} {name}: start lag {got[0]:.1f} ms, length "
                          f"{got[1]:.3f} s, frames out of place {got[2]}")
        for name, got in rows.items():
            got = [g for g in got if g is not None]
            if not got:
                continue
            lags = [g[0] for g in got]
            lengths = [g[1] for g in got]
            print(f"{name} ({args.server}, {len(got)} runs): start lag min/median/max "
                  f"{min(lags):.1f}/{statistics.median(lags):.1f}/{max(lags):.1f} ms; length "
                  f"{min(lengths):.3f}/{statistics.median(lengths):.3f}/{max(lengths):.3f} s")


if __name__ == "__main__":
    main()
