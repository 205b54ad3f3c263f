"""L1: the CPU talvane live uses at 48 kHz in 512-frame blocks, mono, on a
PulseAudio server of its own (the tests' tests/sound_server.py) while speech and
pauses play into it: the share of one core its process takes once running
(utime + stime from /proc/PID/stat between two moments after a warm-up, so the
start-up is left out), with no output, with -o FILE and with --output-device.
Beside it, run in turns with it, a bare capture of the same stream through
sounddevice (a callback that only copies each block), and a bare duplex stream
(a callback that copies the input to the output): what any Python program
capturing (and playing) this way pays before it does anything. Needs pulseaudio,
pulseaudio-utils, libportaudio2, libasound2-plugins and sounddevice.

    python bench/live_cpu.py [--seconds 30] [--rounds 3] [--json FILE]
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from sound_server import SoundServer, unavailable  # noqa: E402

RATE, BLOCK = 48000, 512
WARM_S = 2.0
TICK = os.sysconf("SC_CLK_TCK")
BARE = f"""
import signal, sounddevice as sd
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGTERM])  # for sigwait, and PortAudio's threads
blocks = []
def callback(indata, frames, time, status):
    blocks.append(indata.copy())
    del blocks[:-100]
with sd.InputStream(samplerate={RATE}, blocksize={BLOCK}, channels=1, dtype="float32", callback=callback):
    signal.sigwait([signal.SIGINT, signal.SIGTERM])
"""
BARE_DUPLEX = f"""
import signal, sounddevice as sd
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT, signal.SIGTERM])
def callback(indata, outdata, frames, time, status):
    outdata[:] = indata
with sd.Stream(device=(None, "default"), samplerate={RATE}, blocksize={BLOCK}, channels=1, dtype="float32",
               callback=callback):
    signal.sigwait([signal.SIGINT, signal.SIGTERM])
"""


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def measure(server, command, seconds):
    """The share of one core command's process uses over seconds, once it records and has warmed up."""
    proc = subprocess.Popen(command, env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        if not server.wait_for_recording(proc):
            raise RuntimeError(f"{command} never recorded: {proc.communicate()[1].decode()}")
        time.sleep(WARM_S)
        c0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(seconds)
        c1, t1 = cpu_seconds(proc.pid), time.monotonic()
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return (c1 - c0) / (t1 - t0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="measured time of each run")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each configuration, in turns")
    parser.add_argument("--json", help="write the medians here")
    args = parser.parse_args()
    reason = unavailable()
    if reason is not None:
        sys.exit(f"live_cpu: {reason}")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        speech, rate = sf.read(ROOT / "examples" / "speech_in_noise.flac", dtype="float32")
        repeats = int((args.seconds + WARM_S + 5) * args.rounds * 4 / (len(speech) / rate)) + 1
        sf.write(tmp / "played.wav", np.tile(speech, repeats), rate)  # the server resamples it to the sink's rate
        live = [sys.executable, "-m", "talvane_rs", "live", "--rate", str(RATE), "--block", str(BLOCK)]
        configurations = {
            "bare sounddevice capture": [sys.executable, "-c", BARE],
            "talvane live": live,
            "talvane live -o FILE.wav": [*live, "-o", str(tmp / "gated.wav")],
            "bare sounddevice duplex stream": [sys.executable, "-c", BARE_DUPLEX],
            "talvane live --output-device default": [*live, "--output-device", "default"],
        }
        server = SoundServer(tmp, RATE)
        player = server.play(tmp / "played.wav")
        try:
            shares = {name: [] for name in configurations}
            for _ in range(args.rounds):
                for name, command in configurations.items():
                    shares[name].append(measure(server, command, args.seconds))
        finally:
            player.kill()
            player.wait()
            server.stop()
    medians = {name: statistics.median(values) for name, values in shares.items()}
    print(f"L1: CPU share of one core at {RATE} Hz, {BLOCK}-frame blocks, mono; medians of {args.rounds} runs of "
          f"{args.seconds:g} s (target: talvane live <= 2 %)")  # fmt: skip
    bare = None
    for name, share in medians.items():
        if name.startswith("bare"):
            bare = share
            print(f"  {name:40s} {100 * share:5.2f} %")
        else:
            print(f"  {name:40s} {100 * share:5.2f} %   ({share / bare:.2f} x the bare stream above)")
    if args.json:
        Path(args.json).write_text(json.dumps({"shares": shares, "medians": medians}, indent=1))


if __name__ == "__main__":
    main()
