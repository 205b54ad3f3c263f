"""Extra peak memory of one gate call, measured in this fresh process.

    python bench/peak_memory.py METHOD [--seconds S] [--rate HZ]

METHOD is compute_keep_mask_array, apply_array_np, compact_array_np or np.copy
(the last checks the method: its extra peak is its result). The input is a
speech-in-noise recording; after a small warm-up call (which loads NumPy's C
API into the extension), the peak resident size is reset through
/proc/self/clear_refs, the call is made, and the rise of VmHWM over the resident
size just before the call is the extra peak. tracemalloc would miss this: the
extension allocates in C++. Prints one JSON object.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals
from talvane_rs import EnergyTalvane

METHODS = ("compute_keep_mask_array", "apply_array_np", "compact_array_np", "np.copy")
WINDOW_MS = 10  # the gate's default window


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def reset_peak() -> None:
    # "5" resets VmHWM to the current resident size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def call_for(method: str):
    if method == "np.copy":
        return lambda x, rate: np.copy(x)
    return getattr(EnergyTalvane(), method)


def measure(method: str, seconds: float, rate: int) -> dict:
    call = call_for(method)
    x = signals.speech_in_noise(seconds, rate)
    call(x[:rate], rate)
    gc.collect()
    reset_peak()
    before = status_kib("VmRSS")
    if status_kib("VmHWM") > before + 64:
        raise RuntimeError("VmHWM was not reset")
    result = call(x, rate)
    peak = status_kib("VmHWM")
    after = status_kib("VmRSS")
    window = max(1, math.floor(rate * WINDOW_MS / 1000.0 + 0.5))
    return {
        "method": method,
        "samples": len(x),
        "windows": -(-len(x) // window),
        "input_bytes": x.nbytes,
        "result_bytes": result.nbytes,
        "rss_before_bytes": before * 1024,
        "hwm_bytes": peak * 1024,
        "rss_after_bytes": after * 1024,
        "extra_peak_bytes": (peak - before) * 1024,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("method", choices=METHODS)
    parser.add_argument("--seconds", type=float, default=600.0)
    parser.add_argument("--rate", type=int, default=48000)
    args = parser.parse_args()
    try:
        out = measure(args.method, args.seconds, args.rate)
    except OSError as e:
        out = {"method": args.method, "error": f"{type(e).__name__}: {e}"}
    print(json.dumps(out))


if __name__ == "__main__":
    main()
