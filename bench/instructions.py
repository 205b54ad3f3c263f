"""Instructions per streaming call, counted by callgrind: repeatable whatever the load.

    python bench/instructions.py [--calls 300] [--cases A;B] [--source DIR ...]

Builds bench/stream_calls.cpp with the core of each source tree (this checkout
first, then each --source, e.g. a clone of another commit) as the package builds
it (-O3, -ffp-contract=off), writes the speech-in-noise signal of signals.py once,
and runs each case under `valgrind --tool=callgrind`, collecting only the calls
made after the context is full. Prints instructions per call by case and source,
and the P11 ratios (off the grid over on it). Needs valgrind.
"""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# (rate, chunk off the window grid, the nearest whole-window chunk), as P11 has them.
OFF_GRID = ((48000, 512, 480), (48000, 1024, 960), (16000, 256, 320), (16000, 512, 480), (8000, 256, 240),
            (44100, 1024, 882))
CONTEXTS_MS = (3000, 30000)


def case_names() -> list[str]:
    return [f"{rate / 1000:g} kHz, {chunk}, {ms // 1000} s" for ms in CONTEXTS_MS for rate, off, on in OFF_GRID
            for chunk in (off, on)]


def parse_case(name: str) -> tuple[int, int, int]:
    m = re.fullmatch(r"([\d.]+) kHz, (\d+), (\d+) s", name)
    if m is None:
        raise SystemExit(f"not a case: {name!r}")
    return round(float(m[1]) * 1000), int(m[2]), int(m[3]) * 1000


def build(source: str, out: str) -> str:
    """The driver linked with the core of `source`, with the package's flags."""
    cmake = open(os.path.join(source, "CMakeLists.txt")).read().replace("\n", " ")
    core = re.search(r"add_library\(talvane_core STATIC([^)]*)\)", cmake)[1].split()
    binary = os.path.join(out, "stream_calls")
    cmd = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-g", f"-I{source}/src/core",
           os.path.join(HERE, "stream_calls.cpp")] + [os.path.join(source, c) for c in core] + ["-o", binary]
    subprocess.run(cmd, check=True)
    return binary


def instructions(binary: str, signal: str, rate: int, chunk: int, ms: int, calls: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--toggle-collect=*timed_calls*",
               binary, signal, str(rate), str(chunk), str(ms), str(calls)]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            totals = [line for line in f if line.startswith("totals:") or line.startswith("summary:")]
        return int(totals[-1].split()[1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--cases", default=";".join(case_names()), help="case names separated by ';'")
    parser.add_argument("--source", action="append", default=[], help="another source tree")
    args = parser.parse_args()
    cases = [c.strip() for c in args.cases.split(";")]
    sys.path.insert(0, HERE)
    import signals

    sources = [ROOT] + args.source
    with tempfile.TemporaryDirectory() as tmp:
        binaries = []
        for i, source in enumerate(sources):
            os.makedirs(os.path.join(tmp, str(i)))
            binaries.append(build(source, os.path.join(tmp, str(i))))
        needed = {}
        for case in cases:
            rate, chunk, ms = parse_case(case)
            needed[rate] = max(needed.get(rate, 0), rate * ms // 1000 + (args.calls + 80) * chunk + chunk)
        paths = {}
        for rate, n in needed.items():
            paths[rate] = os.path.join(tmp, f"signal-{rate}.f32")
            signals.speech_in_noise(n / rate + 1, rate).tofile(paths[rate])
        counts = {}
        for case in cases:
            rate, chunk, ms = parse_case(case)
            for b, binary in enumerate(binaries):
                counts[case, b] = instructions(binary, paths[rate], rate, chunk, ms, args.calls) / args.calls

    names = ["this checkout"] + args.source
    print("| case | " + " | ".join(f"{n} (instructions/call)" for n in names) + " |")
    print("|---|" + "---|" * len(names))
    for case in cases:
        print(f"| {case} | " + " | ".join(f"{counts[case, b]:,.0f}" for b in range(len(names))) + " |")
    for ms in CONTEXTS_MS:
        for rate, off, on in OFF_GRID:
            pair = [f"{rate / 1000:g} kHz, {n}, {ms // 1000} s" for n in (off, on)]
            if all(p in cases for p in pair):
                print(f"P11 instructions {rate / 1000:g} kHz, {off} / {on}, {ms // 1000} s context: " + ", ".join(
                    f"{n} {counts[pair[0], b] / counts[pair[1], b]:.2f} ×" for b, n in enumerate(names)))
    print("command: " + shlex.join(sys.argv))
    return 0


if __name__ == "__main__":
    sys.exit(main())
