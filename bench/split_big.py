"""talvane split on a long 48 kHz stereo file: the pieces are the kept regions,
sample for sample, the manifest adds up, and the peak memory stays near the mono
mix.

    python bench/split_big.py [--seconds 2700] [--keep FOLDER]

Makes a 16-bit stereo WAV (one generated minute of speech in noise, repeated,
the right channel half the left), runs `talvane split` on it in a fresh process
that reports its peak resident size, then reads the pieces back: each must equal
its stretch of the input (every channel), the stretches must be the analysis's
kept regions (no --pad, --min-length or --max-length), and the manifest's
durations and sample counts must add up. Memory: the rise above the same split
of a one-second file (the interpreter with what the command imports), against
the float32 mono mix plus one block of every channel (the bound the command is
built to). Prints one JSON object.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import sys
import tempfile

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from big_file import peak_kib

import signals

RATE = 48000
BLOCK = 1 << 20  # frames the command reads or writes at a time


def make_stereo(path: str, seconds: float) -> int:
    piece = signals.speech_in_noise(min(seconds, 60), RATE)
    frames = int(round(seconds * RATE))
    with sf.SoundFile(path, "w", RATE, 2, "PCM_16") as f:
        for start in range(0, frames, len(piece)):
            part = piece[: frames - start]
            f.write(np.stack([part, part * np.float32(0.5)], axis=1))
    return frames


def measure(seconds: float, folder: str) -> dict:
    src = os.path.join(folder, "long.wav")
    frames = make_stereo(src, seconds)
    out_dir = os.path.join(folder, "pieces") + os.sep
    # The interpreter's own, with everything the command imports: the same split of one second.
    tiny = os.path.join(folder, "tiny.wav")
    make_stereo(tiny, 1.0)
    base, _ = peak_kib(["split", tiny, "-o", os.path.join(folder, "tiny") + os.sep])
    peak, elapsed = peak_kib(["split", src, "-o", out_dir])
    bound = frames * 4 + BLOCK * 2 * 4  # the mono mix, and one block of both channels
    with open(os.path.join(out_dir, "manifest.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    # The pieces against the input, read block by block; the regions against the analysis of the mix.
    from talvane_rs import analyse
    from talvane_rs.samples import mean_channels

    with sf.SoundFile(src) as f:
        mix = np.empty(frames, dtype=np.float32)
        for at in range(0, frames, BLOCK):
            mix[at : at + BLOCK] = mean_channels(f.read(BLOCK, dtype="float32", always_2d=True))
    regions = [(r.start, r.end) for r in analyse(mix, RATE).regions]
    del mix
    equal = [(int(r["start_sample"]), int(r["end_sample"])) for r in rows] == regions
    with sf.SoundFile(src) as f:
        for row in rows:
            a, b = int(row["start_sample"]), int(row["end_sample"])
            f.seek(a)
            want = f.read(b - a, dtype="int16", always_2d=True)
            got, _ = sf.read(os.path.join(out_dir, row["file"]), dtype="int16", always_2d=True)
            equal = equal and np.array_equal(got, want)
    kept = sum(b - a for a, b in regions)
    return {
        "seconds": seconds, "frames": frames, "pieces": len(rows), "elapsed_s": elapsed,
        "pieces_are_the_kept_regions": bool(equal),
        "manifest_samples_add_up": sum(int(r["end_sample"]) - int(r["start_sample"]) for r in rows) == kept,
        "manifest_seconds_add_up": abs(sum(float(r["duration_s"]) for r in rows) - kept / RATE) < 1e-6 * len(rows) + 1e-3,
        "peak_above_interpreter_bytes": (peak - base) * 1024, "bound_bytes": bound,
        "peak_over_bound": (peak - base) * 1024 / bound,
    }  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2700.0)
    parser.add_argument("--keep", help="make the files in this folder and leave them there")
    args = parser.parse_args()
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        print(json.dumps(measure(args.seconds, args.keep)))
        return
    with tempfile.TemporaryDirectory(prefix="talvane-split-") as folder:
        print(json.dumps(measure(args.seconds, folder)))


if __name__ == "__main__":
    main()
