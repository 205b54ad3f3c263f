"""Instructions per sample of the music measure beside the band filter, counted by
callgrind (repeatable whatever the load).

    python bench/music_instructions.py [--rates 8000,16000,44100,48000]

Builds bench/music_calls.cpp with the core as the package builds it (-O3,
-ffp-contract=off) and runs each rate's 30 s in calls of one window, and the measure
again in parts of 16384 samples as the batch analysis feeds it. Needs valgrind.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import tempfile

from instructions import build_with

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def count(binary: str, rate: int, what: str) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--toggle-collect=*timed_calls*",
               binary, str(rate), what]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            totals = [line for line in f if line.startswith("totals:") or line.startswith("summary:")]
        return int(totals[-1].split()[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rates", default="8000,16000,44100,48000")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        binary = build_with(ROOT, tmp, os.path.join(HERE, "music_calls.cpp"), "music_calls")
        print(f"{'rate':>6}  {'measure':>8}  {'in parts':>8}  {'band filter':>11}  ratios  (instructions per sample)")
        for rate in (int(r) for r in args.rates.split(",")):
            music, parts, band = (count(binary, rate, what) / (30 * rate) for what in ("music", "parts", "band"))
            print(f"{rate:>6}  {music:8.1f}  {parts:8.1f}  {band:11.1f}  {music / band:5.2f} {parts / band:5.2f}")


if __name__ == "__main__":
    main()
