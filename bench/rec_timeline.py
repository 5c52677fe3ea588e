#!/usr/bin/env python3
"""Length of an orvanta-rec recording against the wall clock, beside a reference recorder
started the same way in the same run.

    bench/rec_timeline.py [--server pulseaudio|pipewire] [--runs N] [--seconds S] [--idle]
                          ORVANTA_REC

Each run starts a private sound server (tests/audio/sound-server.sh) and plays the
position-coded signal of recbench.py into its null sink; once the player has played a second,
`orvanta-rec --duration S --format wav` and the reference (parecord on PulseAudio, pw-record on
PipeWire) are started one right after the other, and the reference is ended with SIGINT when
orvanta-rec has ended by itself. With --idle the player is ended in the middle of the recording
and a new one started 10 s later with positions far beyond the first one's, so that the sink
is idle for 10 s.

Printed per run and recorder:
- the file's length against the wall-clock time of the recording (orvanta-rec: the duration it
  was given; the reference: from its launch to SIGINT);
- frames dropped, repeated and silence inserted inside each player's part, and the file times of
  the first breaks;
- with --idle, the silent stretch: the file's time between the first player's last frame and the
  second player's first frame against the time between the moments they were played (the
  first player's clock read in its last second, the second one's in its first; see
  recbench.PlayerClock);
- the timeline error: the file's time across each break (and the silent stretch) less the time
  between the moments the frames on either side were played, summed: how much longer the file
  is than the time it stands for. Where the file holds the signal without a break it is taken
  to keep time (the sink plays one frame per frame time); a recorder that gets nothing while
  the server stalls and writes nothing for it shows in the length error instead.
Then min/median/max per recorder.
"""
import argparse
import os
import signal
import subprocess
import tempfile
import time

from recbench import (MAX_POSITION, RATE, SINK, breaks, end, reference_command, runs,
                      start_ours, start_player, start_server, stop_server, summary, write_raw)

A0 = 1024  # first position of the first player (position 0 would be silence)
IDLE = 10.0  # seconds without a player in the middle of an --idle run
# A music player's buffer; with pacat's 20 ms a busy machine makes the player run dry now and
# then, which would count as the recorders' breaks.
PLAYER_MS = 200


def second_start(seconds):
    """First position of the second player: beyond anything the first one plays."""
    return A0 + int((seconds / 2 + 15) * RATE)


def analyse(path, clocks, anchors, b0, wall, t0):
    got, count = runs(path)
    signal_runs = [r for r in got if r[1] is not None]
    if not signal_runs:
        return "no signal in the file"
    out = {"length": count / RATE, "wall": wall, "length error": (count / RATE - wall) * 1000}
    parts = [[r for r in signal_runs if r[1] < b0], [r for r in signal_runs if r[1] >= b0]]
    dropped = repeated = shift = 0
    at = []
    break_error = 0.0
    for part, clock in zip(parts, clocks):
        d, r, s = breaks(part)
        dropped, repeated, shift = dropped + d, repeated + r, shift + s
        for (i1, p1, n1), (i2, p2, _) in zip(part, part[1:]):
            at.append(i2 / RATE)
            if clock is None:
                return "positions in the file that no player played"
            # The file's time across a break against the time between the moments its two
            # frames were played, the clock read in two seconds well before and after: when the
            # server stalls, the player stalls too, and silence of that length is right.
            t1 = clock.time_of(p1 + n1 - 1, t0 + (i1 + n1 - 1) / RATE - 1.5)
            t2 = clock.time_of(p2, t0 + i2 / RATE + 1.5)
            if t1 is None or t2 is None:
                return "a player reported no stream time"
            break_error += (i2 - (i1 + n1 - 1)) / RATE - (t2 - t1)
    out.update(dropped=dropped, repeated=repeated, silence=shift - repeated + dropped,
               breaks_at=sorted(at)[:3])
    # Frames of the second player before the first one's last are out of order.
    out["interleaved"] = bool(parts[0] and parts[1] and parts[1][0][0] < parts[0][-1][0])
    if clocks[1] is not None:
        if not parts[0] or not parts[1]:
            return "the file lacks one of the two players"
        a, b = parts[0][-1], parts[1][0]
        i_a, p_a = a[0] + a[2] - 1, a[1] + a[2] - 1
        t_a, t_b = clocks[0].time_of(p_a, anchors[0]), clocks[1].time_of(b[1], anchors[1])
        if t_a is None or t_b is None:
            return "a player reported no stream time"
        out["idle file"] = (b[0] - i_a) / RATE * 1000
        out["idle played"] = (t_b - t_a) * 1000
        out["idle error"] = out["idle file"] - out["idle played"]
    out["timeline error"] = break_error * 1000 + out.get("idle error", 0.0)
    return out


def one_run(args, rec, raw, work, env):
    procs = []
    start_server(args.server, env)
    try:
        player_a, clock_a = start_player(env, raw, A0, SINK, PLAYER_MS)
        procs.append(player_a)
        clock_a.wait_played(1.0)
        clock_b = anchor_a = anchor_b = None
        b0 = second_start(args.seconds) if args.idle else MAX_POSITION
        out_dir = tempfile.mkdtemp(dir=work)
        ref_file = os.path.join(out_dir, "reference.wav")
        ref_cmd = reference_command(args.server, ref_file)
        log_path = os.path.join(out_dir, "orvanta-rec.log")
        with open(log_path, "w") as log:
            t_ours = time.monotonic()
            ours = start_ours(rec, args.seconds, out_dir, env, log)
            procs.append(ours)
            t_ref = time.monotonic()
            ref = subprocess.Popen(ref_cmd, env=env, stderr=subprocess.DEVNULL)
            procs.append(ref)
            if args.idle:
                time.sleep(max(0.0, t_ours + (args.seconds - IDLE) / 2 - time.monotonic()))
                end(player_a)
                anchor_a = time.monotonic() - 0.5
                time.sleep(max(0.0, t_ours + (args.seconds + IDLE) / 2 - time.monotonic()))
                player_b, clock_b = start_player(env, raw, b0, SINK, PLAYER_MS)
                procs.append(player_b)
                # The second player's clock is read once it has played for a moment.
                anchor_b = time.monotonic() + 1.0
            try:
                ours_out, _ = ours.communicate(timeout=args.seconds + 60)
            except subprocess.TimeoutExpired:
                ours_out = ""
            t_stop = time.monotonic()
            end(ref, signal.SIGINT)
        result = {}
        for name, path, wall, t_start in (
                ("orvanta-rec", ours_out.strip(), float(args.seconds), t_ours),
                (os.path.basename(ref_cmd[0]), ref_file, t_stop - t_ref, t_ref)):
            if not path or not os.path.exists(path):
                why = "no file"
                if name == "orvanta-rec":
                    with open(log_path) as log:
                        lines = log.read().strip().split("\n")
                    why += f" (exit status {ours.returncode}: {lines[-1]})"
                result[name] = why
            else:
                result[name] = analyse(path, [clock_a, clock_b], [anchor_a, anchor_b], b0, wall,
                                       t_start)
                os.remove(path)
        result["orvanta-rec process"] = t_stop - t_ours
        return result
    finally:
        for proc in procs:
            end(proc)
        stop_server(env)


def describe(got):
    if isinstance(got, str):
        return got
    text = (f"length {got['length']:.3f} s for {got['wall']:.3f} s ({got['length error']:+.1f} "
            f"ms), frames dropped {got['dropped']}, repeated {got['repeated']}, silence "
            f"inserted {got['silence']}")
    if got["breaks_at"]:
        text += " (at " + ", ".join(f"{t:.3f}" for t in got["breaks_at"]) + " s in the file)"
    text += f", timeline error {got['timeline error']:+.1f} ms"
    if got["interleaved"]:
        text += ", the players' parts out of order"
    if "idle error" in got:
        text += (f"; idle stretch {got['idle file']:.1f} ms for {got['idle played']:.1f} ms "
                 f"({got['idle error']:+.1f} ms)")
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--idle", action="store_true",
                        help="no player for 10 s in the middle of the recording")
    parser.add_argument("rec")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    frames = second_start(args.seconds) + int((args.seconds / 2 + 15) * RATE)
    shortest = 30 if args.idle else 5
    longest = int((MAX_POSITION - A0) / RATE) - 30
    if not shortest <= args.seconds <= longest:
        parser.error(f"--seconds must lie between {shortest} and {longest}")
    rec = os.path.abspath(args.rec)
    if not os.access(rec, os.X_OK):
        parser.error(f"{args.rec}: not an executable")
    with tempfile.TemporaryDirectory(prefix="orvanta-rec-timeline.") as work:
        raw = os.path.join(work, "signal.raw")
        write_raw(raw, frames)
        env = dict(os.environ)
        env["ORVANTA_SOUND_STATE"] = os.path.join(work, "sound.state")
        rows = {}
        for run in range(args.runs):
            try:
                result = one_run(args, rec, raw, work, env)
            except (RuntimeError, subprocess.CalledProcessError) as e:
                ref_name = os.path.basename(reference_command(args.server, "")[0])
                result = {name: f"the run failed: {e}" for name in ("orvanta-rec", ref_name)}
                result["orvanta-rec process"] = None
            lifetime = result.pop("orvanta-rec process")
            for name, got in result.items():
                rows.setdefault(name, []).append(got)
                extra = ""
                if name == "orvanta-rec" and not isinstance(got, str):
                    extra = f" (process ran {lifetime:.3f} s)"
                print(f"run {run + 1} {name}: {describe(got)}{extra}", flush=True)
        mode = ", idle stretch" if args.idle else ""
        for name, got in rows.items():
            figures = [g for g in got if not isinstance(g, str)]
            title = f"{name} ({args.server}, {args.seconds} s{mode}, {len(figures)} runs)"
            if not figures:
                print(f"{title}: no figures")
                continue
            keys = ["length error", "timeline error"] + (["idle error"] if args.idle else [])
            parts = [f"{k} {summary([g[k] for g in figures])} ms" for k in keys]
            worst = max(g["dropped"] + g["repeated"] + g["silence"] for g in figures)
            print(f"{title}: min/median/max {'; '.join(parts)}; frames dropped, repeated or "
                  f"inserted in a run at most {worst}")


if __name__ == "__main__":
    main()
