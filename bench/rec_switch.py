#!/usr/bin/env python3
"""What orvanta-rec records when the default output changes, beside a reference recorder that
follows the default output, started the same way in the same run.

    bench/rec_switch.py [--server pulseaudio|pipewire] [--runs N] [--case both|outputs|moves]
                        [--player-ms MS] ORVANTA_REC

Each case of each run starts a private sound server (tests/audio/sound-server.sh, whose null
sink orvanta_test is the default) and loads a second null sink, orvanta_other. The position-coded
signal of recbench.py plays; once the players have played a second, `orvanta-rec --duration 7
--format wav` and the reference (parecord --device=@DEFAULT_MONITOR@ --latency-msec=20 on
PulseAudio, pw-record without a target on PipeWire; both move with the default output) are
started one right after the other, and 3 s later `pactl set-default-sink orvanta_other` makes the other sink the
default. The reference is ended with SIGINT after 7 s.

"two outputs": a player pinned to each sink (see start_pinned), the second one's positions 2^20
frames further on.
The last frame of the first sink before the first frame of the second marks the change in the
file. Their positions give the moments they were played (the players' stream times); the gap
error is the file's time between the two frames minus the time between those moments (positive:
more silence written than time passed). "missing" is the second sink's audio played after the
switch (pactl returned) and before the file's first frame of it.

"player moves": one player without a device, which the server moves to the new default. The
file should hold the signal without a break: "missing" is the signal not in the file, "silence"
what the file holds between its parts instead, "repeated" signal written twice, all summed
over the file's breaks, and "out of place" the frames whose offset in the file differs from the
first frame's, with by how much (silence + repeated - missing) at the end.

The players (pacat) keep a 20 ms buffer, or --player-ms: a move loses more of a longer one,
and the moments played are those the players report, which the sinks render ahead of by their
latency, so "missing" grows with it. A player running dry shows as breaks in both recorders.

Prints every run and min/median/max per case and recorder. A reference whose file has nothing of
the new output did not follow the change: that is said, and only orvanta-rec is summed up.
"""
import argparse
import os
import re
import signal
import subprocess
import tempfile
import time

from recbench import (OTHER_SINK, RATE, SINK, breaks, end, load_other_sink, reference_command,
                      runs, start_ours, start_player, start_server, stop_server, summary,
                      write_raw)

BEFORE = 3.0  # seconds recorded before the change
DURATION = 7  # seconds recorded in all
A0 = 1024  # first position of the first player (position 0 would be silence)
B0 = 1 << 20  # first position of the second sink's player, far beyond the first one's


def pactl(env, *args):
    return subprocess.run(["pactl"] + list(args), env=env, check=True, capture_output=True,
                          text=True).stdout


def sinks_of(env, players):
    """The name of the sink each player plays into (None while it has no stream)."""
    names = {}
    for line in pactl(env, "list", "short", "sinks").split("\n"):
        fields = line.split("\t")
        if len(fields) > 1:
            names[fields[0]] = fields[1]
    streams = {}
    for block in pactl(env, "list", "sink-inputs").split("Sink Input #")[1:]:
        pid = re.search(r'application\.process\.id = "(\d+)"', block)
        sink = re.search(r"^\s*Sink: (\d+)", block, re.M)
        if pid and sink:
            streams[int(pid.group(1))] = (block.split("\n")[0].strip(), names.get(sink.group(1)))
    return [streams.get(p.pid, (None, None)) for p in players]


def wait_sinks(env, players, wanted, timeout=5.0, what="the players"):
    deadline = time.monotonic() + timeout
    while [sink for _, sink in sinks_of(env, players)] != wanted:
        if time.monotonic() > deadline:
            now = [sink for _, sink in sinks_of(env, players)]
            raise RuntimeError(f"{what} play into {', '.join(map(str, now))}, not "
                               f"{', '.join(wanted)}")
        time.sleep(0.05)


def start_pinned(args, env, raw, procs):
    """Player A on the first sink and B on the other, both staying there whatever the default
    output is. A stream does not stay on the device it asked for: PipeWire keeps it there when
    it also names it as its target and must not be reconnected; PulseAudio only when a user
    moved it to a sink other than the default, which is done here as a user would."""
    if args.server == "pipewire":
        players = []
        for start, sink in ((A0, SINK), (B0, OTHER_SINK)):
            players.append(start_player(env, raw, start, sink, args.player_ms,
                                        ["--property=target.object=" + sink,
                                         "--property=node.dont-reconnect=true"]))
            procs.append(players[-1][0])
        wait_sinks(env, [p for p, _ in players], [SINK, OTHER_SINK])
        return players
    players = [start_player(env, raw, A0, latency_ms=args.player_ms),
               start_player(env, raw, B0, latency_ms=args.player_ms)]
    player_a, player_b = [p for p, _ in players]
    procs += [player_a, player_b]
    steps = [(None, None, [SINK, SINK]),
             (player_b, OTHER_SINK, [SINK, OTHER_SINK]),
             (None, OTHER_SINK, [OTHER_SINK, OTHER_SINK]),
             (player_a, SINK, [SINK, OTHER_SINK]),
             (None, SINK, [SINK, OTHER_SINK])]
    for number, (player, sink, wanted) in enumerate(steps):
        if player:
            pactl(env, "move-sink-input", sinks_of(env, [player])[0][0], sink)
        elif sink:
            pactl(env, "set-default-sink", sink)
        wait_sinks(env, [player_a, player_b], wanted,
                   what=f"pinning, step {number + 1}: the players")
    return players


def two_outputs(path, clock_a, clock_b, t_switch):
    got, _ = runs(path)
    signal_runs = [r for r in got if r[1] is not None]
    b_runs = [r for r in signal_runs if r[1] >= B0]
    if not b_runs:
        return "nothing of the new output in the file"
    b_first = b_runs[0]
    a_runs = [r for r in signal_runs if r[1] < B0 and r[0] < b_first[0]]
    if not a_runs:
        return "nothing of the first output in the file"
    i_a = a_runs[-1][0] + a_runs[-1][2] - 1
    p_a = a_runs[-1][1] + a_runs[-1][2] - 1
    i_b, p_b = b_first[0], b_first[1]
    # Both clocks are read around the switch, which moves neither player.
    t_a, t_b = clock_a.time_of(p_a, t_switch), clock_b.time_of(p_b, t_switch)
    at_switch = clock_b.position_at(t_switch, t_switch)
    if t_a is None or t_b is None or at_switch is None:
        return "a player reported no stream time"
    file_gap = (i_b - i_a) / RATE * 1000
    true_gap = (t_b - t_a) * 1000
    a_dropped, a_repeated, _ = breaks(a_runs)
    b_dropped, b_repeated, _ = breaks(b_runs)
    return {
        "gap error": file_gap - true_gap,
        "file gap": file_gap,
        "true gap": true_gap,
        "missing": (p_b - at_switch) / RATE * 1000,
        # The old output's audio after the new one's began, and breaks inside either part.
        "out of place": sum(r[2] for r in signal_runs if r[1] < B0 and r[0] > i_b)
        + a_dropped + a_repeated + b_dropped + b_repeated,
    }


def player_moves(path):
    got, _ = runs(path)
    signal_runs = [r for r in got if r[1] is not None]
    if not signal_runs:
        return "no signal in the file"
    dropped, repeated, _ = breaks(signal_runs)
    silence = sum(i2 - (i1 + n1) for (i1, _, n1), (i2, _, _) in zip(signal_runs, signal_runs[1:]))
    first = signal_runs[0][1] - signal_runs[0][0]
    return {
        "missing": dropped / RATE * 1000,
        "silence": silence / RATE * 1000,
        "repeated": repeated / RATE * 1000,
        "shift": (silence + repeated - dropped) / RATE * 1000,
        "out of place": sum(n for i, p, n in signal_runs if p - i != first),
        "breaks": len(signal_runs) - 1,
    }


def one_case(args, case, rec, raw, work, env):
    """{recorder: figures or the reason there are none}."""
    procs = []
    start_server(args.server, env)
    try:
        load_other_sink(env)
        if case == "outputs":
            (player_a, clock_a), (player_b, clock_b) = start_pinned(args, env, raw, procs)
            # Moves (on PulseAudio) disturb the players' clocks for a moment; a second later
            # they are steady again, and only their reports near a moment are used.
            time.sleep(1.0)
            clock_b.wait_played(1.0)
        else:
            player_a, clock_a = start_player(env, raw, A0, latency_ms=args.player_ms)
            procs.append(player_a)
        clock_a.wait_played(1.0)
        out_dir = tempfile.mkdtemp(dir=work)
        ref_file = os.path.join(out_dir, "reference.wav")
        ref_cmd = reference_command(args.server, ref_file, follow_default=True)
        log_path = os.path.join(out_dir, "orvanta-rec.log")
        with open(log_path, "w") as log:
            t_ours = time.monotonic()
            ours = start_ours(rec, DURATION, out_dir, env, log)
            procs.append(ours)
            t_ref = time.monotonic()
            ref = subprocess.Popen(ref_cmd, env=env, stderr=subprocess.DEVNULL)
            procs.append(ref)
            time.sleep(max(0.0, t_ours + BEFORE - time.monotonic()))
            pactl(env, "set-default-sink", OTHER_SINK)
            t_switch = time.monotonic()
            if case == "outputs":
                time.sleep(0.5)
                wait_sinks(env, [player_a, player_b], [SINK, OTHER_SINK], 0,
                           "after the switch, the pinned players")
            time.sleep(max(0.0, t_ref + DURATION - time.monotonic()))
            player_sink = sinks_of(env, [player_a])[0][1]
            end(ref, signal.SIGINT)
            try:
                ours_out, _ = ours.communicate(timeout=DURATION + 30)
            except subprocess.TimeoutExpired:
                ours_out = ""
        ours_path = ours_out.strip()
        result = {}
        for name, path in (("orvanta-rec", ours_path), (os.path.basename(ref_cmd[0]), ref_file)):
            if not path or not os.path.exists(path):
                why = "no file"
                if name == "orvanta-rec":
                    with open(log_path) as log:
                        lines = log.read().strip().split("\n")
                    why += f" (exit status {ours.returncode}: {lines[-1]})"
                result[name] = why
            elif case == "moves" and player_sink != OTHER_SINK:
                result[name] = f"the server did not move the player (it plays into {player_sink})"
            elif case == "outputs":
                result[name] = two_outputs(path, clock_a, clock_b, t_switch)
            else:
                result[name] = player_moves(path)
        return result
    finally:
        for proc in procs:
            end(proc)
        stop_server(env)


def describe(case, got):
    if isinstance(got, str):
        return got
    if case == "outputs":
        return (f"gap error {got['gap error']:+.1f} ms (file {got['file gap']:.1f} ms, played "
                f"{got['true gap']:.1f} ms), missing after the switch {got['missing']:.1f} ms, "
                f"frames out of place {got['out of place']}")
    return (f"missing {got['missing']:.1f} ms, silence {got['silence']:.1f} ms, repeated "
            f"{got['repeated']:.1f} ms in {got['breaks']} breaks; {got['out of place']} frames "
            f"out of place, by {got['shift']:+.1f} ms")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--case", choices=["both", "outputs", "moves"], default="both")
    parser.add_argument("--player-ms", type=int, default=20,
                        help="the players' buffer in ms (a music player's: 200 or more)")
    parser.add_argument("rec")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if not 1 <= args.player_ms <= 2000:
        parser.error("--player-ms must lie between 1 and 2000")
    rec = os.path.abspath(args.rec)
    if not os.access(rec, os.X_OK):
        parser.error(f"{args.rec}: not an executable")
    cases = ["outputs", "moves"] if args.case == "both" else [args.case]
    titles = {"outputs": "two outputs", "moves": "player moves"}
    with tempfile.TemporaryDirectory(prefix="orvanta-rec-switch.") as work:
        raw = os.path.join(work, "signal.raw")
        write_raw(raw, B0 + (DURATION + 20) * RATE)
        env = dict(os.environ)
        env["ORVANTA_SOUND_STATE"] = os.path.join(work, "sound.state")
        rows = {}
        for run in range(args.runs):
            for case in cases:
                try:
                    result = one_case(args, case, rec, raw, work, env)
                except (RuntimeError, subprocess.CalledProcessError) as e:
                    ref_name = os.path.basename(reference_command(args.server, "")[0])
                    result = {name: f"the run failed: {e}" for name in ("orvanta-rec", ref_name)}
                for name, got in result.items():
                    rows.setdefault((case, name), []).append(got)
                    print(f"run {run + 1} {titles[case]} {name}: {describe(case, got)}",
                          flush=True)
        for (case, name), got in rows.items():
            figures = [g for g in got if not isinstance(g, str)]
            title = f"{titles[case]}, {name} ({args.server}, {len(figures)} runs)"
            if not figures:
                if name != "orvanta-rec" and "new output" in " ".join(got):
                    print(f"{title}: it did not follow the change of the default output; "
                          f"only orvanta-rec is reported")
                else:
                    print(f"{title}: no figures")
                continue
            if case == "outputs":
                keys = ["gap error", "missing"]
            else:
                keys = ["missing", "silence", "repeated", "shift"]
            parts = [f"{k} {summary([g[k] for g in figures])} ms" for k in keys]
            worst = max(g["out of place"] for g in figures)
            print(f"{title}: min/median/max {'; '.join(parts)}; frames out of place at most "
                  f"{worst}")


if __name__ == "__main__":
    main()
