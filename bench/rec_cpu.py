#!/usr/bin/env python3
"""CPU use of orvanta-rec while it records the monitor of a null sink, beside a reference
recorder taking the same monitor in the same run.

    bench/rec_cpu.py [--format wav|mp3] [--server pulseaudio|pipewire] [--app] ORVANTA_REC
                     [SECONDS]

WAV is compared with parecord writing a WAV file; MP3 at 128 kbit/s with ffmpeg
(-f pulse ... -c:a libmp3lame -b:a 128k; Debian's ffmpeg package, which this script
installs when it is missing). Starts its own private sound server
(tests/audio/sound-server.sh), plays a music-like signal into the sink for the whole run so
that the encoders have something to encode, runs both recorders at the same time for the
given time (default 60 s) and prints the user + system CPU time of each divided by the wall
time, as a share of one core, and their ratio. With --app, orvanta-rec records only the
player (--app paplay) beside itself recording the whole mix.
"""
import argparse
import math
import os
import random
import shutil
import struct
import subprocess
import tempfile
import threading
import time
import wave

here = os.path.dirname(os.path.abspath(__file__))
server = os.path.join(here, "..", "tests", "audio", "sound-server.sh")
RATE = 48000


def write_music(path, seconds):
    """Tones plus a little noise, 16-bit stereo."""
    rng = random.Random(7)
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        t = i / RATE
        n = (rng.random() - 0.5) * 0.02
        left = 0.3 * math.sin(2 * math.pi * 440 * t) + 0.2 * math.sin(2 * math.pi * 660 * t) + n
        right = 0.3 * math.sin(2 * math.pi * 550 * t) + 0.2 * math.sin(2 * math.pi * 220 * t) - n
        frames += struct.pack("<hh", int(left * 32767), int(right * 32767))
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


def ensure_ffmpeg():
    if shutil.which("ffmpeg"):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "install", "-y", "--no-install-recommends", "ffmpeg"],
                   env=env, check=True)


class LoopingPlayer:
    """Plays `music` into the test sink over and over, from a thread, until stop()."""

    def __init__(self, music, env):
        self.music, self.env = music, env
        self.playing = threading.Event()
        self.playing.set()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        while self.playing.is_set():
            subprocess.run(["paplay", "--device=orvanta_test", self.music], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.playing.clear()
        subprocess.run(["pkill", "-f", "paplay --device=orvanta_test " + self.music])
        self.thread.join()


def start_server(kind, env):
    out = subprocess.run([server, "start", kind], env=env, check=True, capture_output=True,
                         text=True)
    for line in out.stdout.split("\n"):
        if line.startswith("export "):
            for pair in line[len("export "):].split(" "):
                key, _, value = pair.partition("=")
                env[key] = value.strip("'")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--format", choices=["wav", "mp3"], default="wav")
    parser.add_argument("--server", choices=["pulseaudio", "pipewire"], default="pulseaudio")
    parser.add_argument("--app", action="store_true",
                        help="record only the player (--app) beside orvanta-rec recording the "
                             "whole mix")
    parser.add_argument("rec")
    parser.add_argument("seconds", nargs="?", type=float, default=60.0)
    args = parser.parse_args()
    rec = os.path.abspath(args.rec)
    if args.format == "mp3":
        ensure_ffmpeg()
    env = dict(os.environ)
    env["ORVANTA_SOUND_STATE"] = tempfile.mktemp(prefix="orvanta-bench-sound.")
    start_server(args.server, env)
    player = None
    try:
        with tempfile.TemporaryDirectory() as work:
            music = os.path.join(work, "music.wav")
            write_music(music, 20)
            player = LoopingPlayer(music, env)
            ours_cmd = [rec, "--output", work, "--duration", str(args.seconds),
                        "--format", args.format]
            if args.app:
                # The same recorder on the whole mix is the reference.
                time.sleep(1)
                ref_name = "whole mix"
                ref_cmd = ours_cmd + ["--name", "mix"]
                ours_cmd = ours_cmd + ["--app", "paplay", "--name", "app"]
            elif args.format == "mp3":
                ours_cmd += ["--bitrate", "128"]
                ref_name = "ffmpeg"
                ref_cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "pulse",
                           "-i", "orvanta_test.monitor", "-c:a", "libmp3lame", "-b:a", "128k",
                           os.path.join(work, "ffmpeg.mp3")]
            else:
                ref_name = "parecord"
                ref_cmd = ["parecord", "--device=orvanta_test.monitor", "--file-format=wav",
                           os.path.join(work, "parecord.wav")]
            start = time.monotonic()
            ours = subprocess.Popen(ours_cmd, env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            reference = subprocess.Popen(ref_cmd, env=env, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            _, status, ours_usage = os.wait4(ours.pid, 0)
            ours_wall = time.monotonic() - start
            # SIGINT lets ffmpeg finish its file; parecord ends on it as well.
            if not args.app:  # the whole-mix recording ends by its own duration
                reference.send_signal(2)
            _, _, ref_usage = os.wait4(reference.pid, 0)
            ref_wall = time.monotonic() - start
            ours_cpu = ours_usage.ru_utime + ours_usage.ru_stime
            ref_cpu = ref_usage.ru_utime + ref_usage.ru_stime
            ours_share = 100 * ours_cpu / ours_wall
            ref_share = 100 * ref_cpu / ref_wall
            print(f"recording the monitor ({args.server}) to {args.format.upper()} "
                  f"for {args.seconds:.0f} s, same run:")
            print(f"  orvanta-rec: {ours_cpu:.3f} s CPU in {ours_wall:.1f} s = "
                  f"{ours_share:.3f} % of one core, "
                  f"exit status {os.waitstatus_to_exitcode(status)}")
            print(f"  {ref_name + ':':12} {ref_cpu:.3f} s CPU in {ref_wall:.1f} s = "
                  f"{ref_share:.3f} % of one core")
            print(f"  ratio orvanta-rec / {ref_name}: {ours_share / ref_share:.2f}")
            player.stop()
            player = None
    finally:
        if player:
            player.stop()
        subprocess.run([server, "stop"], env=env)


if __name__ == "__main__":
    main()
