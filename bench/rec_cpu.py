#!/usr/bin/env python3
"""CPU use of orvanta-rec while it records the monitor of a null sink to WAV, beside
parecord recording the same monitor to a WAV file in the same run.

    bench/rec_cpu.py build/bench/src/app/orvanta-rec [seconds]

Starts its own private sound server (tests/audio/sound-server.sh), runs both recorders at
the same time for the given time (default 60 s), and prints the user + system CPU time of
each divided by the wall time, as a share of one core.
"""
import os
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
server = os.path.join(here, "..", "tests", "audio", "sound-server.sh")


def main():
    rec = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    env = dict(os.environ)
    env["ORVANTA_SOUND_STATE"] = tempfile.mktemp(prefix="orvanta-bench-sound.")
    out = subprocess.run([server, "start"], env=env, check=True, capture_output=True, text=True)
    for line in out.stdout.split("\n"):
        if line.startswith("export "):
            for pair in line[len("export "):].split(" "):
                key, _, value = pair.partition("=")
                env[key] = value.strip("'")
    try:
        with tempfile.TemporaryDirectory() as work:
            start = time.monotonic()
            ours = subprocess.Popen([rec, "--output", work, "--duration", str(seconds)], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            reference = subprocess.Popen(
                ["parecord", "--device=orvanta_test.monitor", "--file-format=wav",
                 os.path.join(work, "parecord.wav")],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _, status, ours_usage = os.wait4(ours.pid, 0)
            ours_wall = time.monotonic() - start
            reference.terminate()
            _, _, ref_usage = os.wait4(reference.pid, 0)
            ref_wall = time.monotonic() - start
            ours_cpu = ours_usage.ru_utime + ours_usage.ru_stime
            ref_cpu = ref_usage.ru_utime + ref_usage.ru_stime
            print(f"recording the monitor to WAV for {seconds:.0f} s (same run):")
            print(f"  orvanta-rec: {ours_cpu:.3f} s CPU in {ours_wall:.1f} s = "
                  f"{100 * ours_cpu / ours_wall:.3f} % of one core (goal <= 0.5 %), "
                  f"exit status {os.waitstatus_to_exitcode(status)}")
            print(f"  parecord:    {ref_cpu:.3f} s CPU in {ref_wall:.1f} s = "
                  f"{100 * ref_cpu / ref_wall:.3f} % of one core")
    finally:
        subprocess.run([server, "stop"], env=env)


if __name__ == "__main__":
    main()
