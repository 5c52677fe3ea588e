#!/usr/bin/env python3
"""What a recording costs the whole machine: the recorder's CPU and wake-ups, and the sound
server's, in steady state, beside a reference recorder on the same monitor.

    bench/rec_cost.py [--format wav|mp3] [--server pulseaudio|pipewire] [--rounds N]
                      [--seconds S] ORVANTA_REC

Starts a private sound server with a music-like signal playing into its sink (as
rec_cpu.py). Each round measures, one after the other and in a rotating order: nothing
recording (the server's own cost for the player), the reference recorder (parecord for
WAV, ffmpeg with libmp3lame at 128 kbit/s for MP3) and orvanta-rec. After a few seconds to
settle, the CPU time (from /proc/.../schedstat, in nanoseconds) and the context switches (voluntary and involuntary,
that is wake-ups and preemptions) of every thread of the recorder and of the server's
processes are read from /proc at the start and the end of a window of S seconds
(default 20). The server's share for a recorder is its figure during that recorder's
window minus its figure while nothing records. Prints each round and the medians.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rec_cpu  # noqa: E402

def thread_figures(pid):
    """CPU seconds and context switches of every thread of a process (0, 0 when gone)."""
    cpu = 0.0
    switches = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0.0, 0
    for tid in tasks:
        try:
            # Nanoseconds on the CPU: clock ticks (10 ms) are too coarse for a recorder.
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu += int(f.read().split()[0]) / 1e9
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except OSError:
            pass
    return cpu, switches


def server_pids(env):
    """The private server's processes: pulseaudio, or pipewire's process group."""
    runtime = env["XDG_RUNTIME_DIR"]
    group_file = os.path.join(runtime, "pipewire.pid")
    if os.path.exists(group_file):
        group = int(open(group_file).read())
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        if int(f.read().rsplit(")", 1)[1].split()[2]) == group:
                            pids.append(int(entry))
                except OSError:
                    pass
        return pids
    return [int(open(os.path.join(runtime, "pulse", "pid")).read())]


def figures(pids):
    cpu = 0.0
    switches = 0
    for pid in pids:
        c, s = thread_figures(pid)
        cpu += c
        switches += s
    return cpu, switches


def measure(cmd, env, servers, settle, seconds):
    """(recorder ms CPU/s, recorder wake-ups/s, server ms CPU/s, server wake-ups/s)."""
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL) if cmd else None
    time.sleep(settle)
    if proc and proc.poll() is not None:
        raise SystemExit(f"{cmd[0]} ended early with status {proc.returncode}")
    mine = [proc.pid] if proc else []
    r0, s0 = figures(mine), figures(servers)
    t0 = time.monotonic()
    time.sleep(seconds)
    r1, s1 = figures(mine), figures(servers)
    wall = time.monotonic() - t0
    if proc:
        proc.send_signal(2)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return ((r1[0] - r0[0]) * 1000 / wall, (r1[1] - r0[1]) / wall,
            (s1[0] - s0[0]) * 1000 / wall, (s1[1] - s0[1]) / wall)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--format", choices=["wav", "mp3"], default="wav")
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--settle", type=float, default=4.0)
    parser.add_argument("rec")
    args = parser.parse_args()
    rec = os.path.abspath(args.rec)
    if args.format == "mp3":
        rec_cpu.ensure_ffmpeg()
    env = dict(os.environ)
    env["ORVANTA_SOUND_STATE"] = tempfile.mktemp(prefix="orvanta-bench-sound.")
    rec_cpu.start_server(args.server, env)
    player = None
    try:
        with tempfile.TemporaryDirectory() as work:
            music = os.path.join(work, "music.wav")
            rec_cpu.write_music(music, 20)
            player = rec_cpu.LoopingPlayer(music, env)
            time.sleep(1)
            servers = server_pids(env)
            length = str(args.settle + args.seconds + 30)
            ours = [rec, "--output", work, "--duration", length, "--format", args.format]
            if args.format == "mp3":
                ours += ["--bitrate", "128"]
                ref_name = "ffmpeg"
                ref = ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "pulse", "-i",
                       "orvanta_test.monitor", "-c:a", "libmp3lame", "-b:a", "128k",
                       os.path.join(work, "ffmpeg.mp3")]
            else:
                ref_name = "parecord"
                ref = ["parecord", "--device=orvanta_test.monitor", "--file-format=wav",
                       os.path.join(work, "parecord.wav")]
            runs = {"idle": [], ref_name: [], "orvanta-rec": []}
            cmds = [("idle", None), (ref_name, ref), ("orvanta-rec", ours)]
            for r in range(args.rounds):
                order = cmds[r % 3:] + cmds[:r % 3]
                for name, cmd in order:
                    runs[name].append(measure(cmd, env, servers, args.settle, args.seconds))
                    for f in os.listdir(work):
                        if f != "music.wav":
                            os.remove(os.path.join(work, f))
                idle = runs["idle"][-1]
                line = [f"round {r + 1}: server idle {idle[2]:.2f} ms/s {idle[3]:.1f} wake/s"]
                for name in (ref_name, "orvanta-rec"):
                    m = runs[name][-1]
                    line.append(f"{name} {m[0]:.2f} ms/s {m[1]:.1f} wake/s, server +"
                                f"{m[2] - idle[2]:.2f} ms/s +{m[3] - idle[3]:.1f} wake/s")
                print("; ".join(line), flush=True)

            def med(name, i):
                return statistics.median(m[i] for m in runs[name])

            def server_extra(name, i):
                return statistics.median(m[i] - idle[i] for m, idle in zip(runs[name], runs["idle"]))

            print(f"\n{args.format.upper()} on {args.server}, median of {args.rounds} rounds "
                  f"of {args.seconds:.0f} s (ms of CPU per second of recording; wake-ups = "
                  f"context switches per second):")
            totals = {}
            for name in (ref_name, "orvanta-rec"):
                cpu, wake = med(name, 0), med(name, 1)
                scpu, swake = server_extra(name, 2), server_extra(name, 3)
                totals[name] = (cpu + scpu, wake)
                print(f"  {name:12} own {cpu:6.2f} ms/s {wake:6.1f} wake/s; server's share "
                      f"{scpu:6.2f} ms/s {swake:6.1f} wake/s; total {cpu + scpu:6.2f} ms/s")
            print(f"  server with nothing recording: {med('idle', 2):.2f} ms/s "
                  f"{med('idle', 3):.1f} wake/s")
            o, r = totals["orvanta-rec"], totals[ref_name]
            print(f"  ratio orvanta-rec / {ref_name}: total CPU {o[0] / r[0]:.2f}, "
                  f"own wake-ups {o[1] / r[1]:.2f}")
            player.stop()
            player = None
    finally:
        if player:
            player.stop()
        subprocess.run([rec_cpu.server, "stop"], env=env)


if __name__ == "__main__":
    main()
