"""gate --stream's memory does not grow with the input: peak resident size on a
long and a short 48 kHz 16-bit mono WAV, with and without --plot.

    python bench/stream_memory.py [--long-seconds 2700] [--short-seconds 60] [--chunk 10ms]

Each command runs in a fresh process that reports its own peak resident size
(as bench/big_file.py does); prints one JSON object with each peak and the
long file's peak as a multiple of the short file's (target: at most 1.10).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from big_file import make_file, peak_kib


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--long-seconds", type=float, default=2700.0)
    parser.add_argument("--short-seconds", type=float, default=60.0)
    parser.add_argument("--chunk", default="10ms")
    args = parser.parse_args()
    out: dict[str, float] = {}
    with tempfile.TemporaryDirectory(prefix="talvane-stream-") as folder:
        for name, seconds in (("short", args.short_seconds), ("long", args.long_seconds)):
            src = os.path.join(folder, f"{name}.wav")
            make_file(src, seconds)
            for plot in (False, True):
                command = ["gate", src, "-o", os.path.join(folder, "out.wav"), "--stream", args.chunk]
                if plot:
                    command += ["--plot", os.path.join(folder, "out.png")]
                peak, elapsed = peak_kib(command)
                key = f"{name}{'_plot' if plot else ''}"
                out[f"{key}_peak_bytes"] = peak * 1024
                out[f"{key}_elapsed_s"] = elapsed
            os.remove(src)
    for plot in ("", "_plot"):
        out[f"long_over_short{plot}"] = out[f"long{plot}_peak_bytes"] / out[f"short{plot}_peak_bytes"]
    print(json.dumps(out))


if __name__ == "__main__":
    main()
