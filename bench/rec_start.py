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
import signal
import statistics
import subprocess
import tempfile
import time

from recbench import (RATE, SINK, analyse, player_command, PlayerClock, reference_command,
                      start_ours, start_server, stop_server, write_raw, write_signal)


def one_run(args, rec, signal_file, work, env):
    start_server(args.server, env)
    try:
        if args.player == "paplay":
            player_cmd = ["paplay", "-v", "--device=" + SINK, signal_file]
        else:
            player_cmd = player_command(SINK, signal_file[:-4] + ".raw")
        player = subprocess.Popen(player_cmd, env=env, stderr=subprocess.PIPE)
        clock = PlayerClock(player.stderr)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and (clock.played_at(time.monotonic()) or 0) < 1.0:
            time.sleep(0.05)
        out_dir = tempfile.mkdtemp(dir=work)
        ref_file = os.path.join(work, f"ref{time.time_ns()}.wav")
        ref_cmd = reference_command(args.server, ref_file)
        t_start = time.monotonic()
        ours = start_ours(rec, args.seconds, out_dir, env, subprocess.DEVNULL)
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
        write_raw(signal_file[:-4] + ".raw", (args.seconds + 20) * RATE)
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
