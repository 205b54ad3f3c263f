"""The talvane command on a long 48 kHz 16-bit mono WAV: peak memory and end-to-end time.

    python bench/big_file.py [--seconds S] [--repeats N] [--keep FOLDER]

Peak memory: each command runs in a fresh process (`talvane_rs.cli.main`
called by PEAK_OF below) that reports its own peak resident size; the figure
is its rise above that of `talvane --version` in the same kind of process, as
a multiple of the float32 samples of the file. Time: `talvane gate` end to end
(start, read, gate, write, exit) against a process that reads the file with
soundfile and writes it back as 16-bit PCM, the two run alternately, medians.
Prints one JSON object.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals

RATE = 48000
PIECE_SECONDS = 60  # the recording is one generated minute, repeated

# The peak resident size from /proc (VmHWM), which exec resets; getrusage's
# ru_maxrss does not, and would report the parent's size at the fork instead.
PEAK_OF = """
import sys
from talvane_rs.cli import main
try:
    main(sys.argv[1:])
except SystemExit:
    pass
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
sys.stderr.write("peak_kib=%d\\n" % peak)
"""

READ_WRITE = """
import sys
import soundfile as sf
x, rate = sf.read(sys.argv[1], dtype="float32")
sf.write(sys.argv[2], x, rate, subtype="PCM_16")
"""


def make_file(path: str, seconds: float) -> int:
    piece = signals.speech_in_noise(min(seconds, PIECE_SECONDS), RATE)
    frames = int(round(seconds * RATE))
    with sf.SoundFile(path, "w", RATE, 1, "PCM_16") as f:
        for start in range(0, frames, len(piece)):
            f.write(piece[: frames - start])
    return frames


def peak_kib(args: list[str]) -> tuple[int, float]:
    started = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", PEAK_OF, *args], capture_output=True, text=True, timeout=1800)
    elapsed = time.perf_counter() - started
    for line in proc.stderr.splitlines():
        if line.startswith("peak_kib="):
            return int(line.split("=")[1]), elapsed
    raise RuntimeError(f"talvane {' '.join(args)} failed: {proc.stderr.strip()[-300:]}")


def timed(command: list[str]) -> float:
    started = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True, timeout=1800)
    return time.perf_counter() - started


def measure(seconds: float, repeats: int, folder: str) -> dict:
    src = os.path.join(folder, "big.wav")
    frames = make_file(src, seconds)
    float32_bytes = frames * 4
    out = {"seconds": seconds, "frames": frames, "float32_bytes": float32_bytes, "file_bytes": os.path.getsize(src)}
    base, _ = peak_kib(["--version"])
    out["version_peak_bytes"] = base * 1024
    runs = {
        "gate": ["gate", src, "-o", os.path.join(folder, "g.wav")],
        "cut": ["cut", src, "-o", os.path.join(folder, "c.wav")],
        "mask": ["mask", src, "-o", os.path.join(folder, "m.csv")],
        "plot": ["gate", src, "-o", os.path.join(folder, "g.wav"), "--plot", os.path.join(folder, "g.png")],
    }
    for name, args in runs.items():
        peak, elapsed = peak_kib(args)
        out[f"{name}_peak_bytes"] = peak * 1024
        out[f"{name}_extra_ratio"] = (peak - base) * 1024 / float32_bytes
        out[f"{name}_elapsed_s"] = elapsed
    # The plot's own cost: gate with --plot against gate alone.
    out["plot_extra_bytes"] = out["plot_peak_bytes"] - out["gate_peak_bytes"]
    out["plot_extra_s"] = out["plot_elapsed_s"] - out["gate_elapsed_s"]

    ours = [sys.executable, "-m", "talvane_rs", "gate", src, "-o", os.path.join(folder, "g.wav")]
    baseline = [sys.executable, "-c", READ_WRITE, src, os.path.join(folder, "b.wav")]
    times: tuple[list[float], list[float]] = ([], [])
    timed(ours), timed(baseline)  # warm the page cache
    for i in range(repeats):
        for side in (0, 1) if i % 2 == 0 else (1, 0):
            times[side].append(timed((ours, baseline)[side]))
    out["gate_median_s"] = statistics.median(times[0])
    out["read_write_median_s"] = statistics.median(times[1])
    out["time_ratio"] = out["gate_median_s"] / out["read_write_median_s"]
    out["runs"] = repeats
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3600.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--keep", help="make the files in this folder and leave them there")
    args = parser.parse_args()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        print(json.dumps(measure(args.seconds, args.repeats, args.keep)))
        return
    with tempfile.TemporaryDirectory(prefix="talvane-big-") as folder:
        print(json.dumps(measure(args.seconds, args.repeats, folder)))


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
