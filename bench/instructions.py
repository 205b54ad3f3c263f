"""Instructions per streaming call, counted by callgrind: repeatable whatever the load.

    python bench/instructions.py [--calls 300] [--set NAME | --cases A;B] [--source DIR ...]

Builds bench/stream_calls.cpp with the core of each source tree (this checkout
first, then each --source, e.g. a worktree of another commit) as the package builds
it (-O3, -ffp-contract=off), writes the speech-in-noise signal of signals.py once,
and runs each case under `valgrind --tool=callgrind`, collecting only the calls
made after the context is full. Prints instructions per call by case and source,
and the ratios of the pairs (P11: off the grid over on it; 44.1 kHz; P5: a longer
context over 100 ms). A case is "RATE kHz, CHUNK, CONTEXT s" (CHUNK a length, or
LOW-HIGH for a length drawn anew every call; CONTEXT may be a fraction; a case
ending in ", speech" runs the speech preset's analysis: the noise rule, whose
second tracked rank a core before it lacks). Needs valgrind.

Named sets (--set):
  streaming  the rows the streaming core is held to: whole-window calls (10 ms and
             20 ms at 16 kHz, 480 frames at 48 kHz) at 3 s and 30 s, the P11 pairs,
             44.1 kHz powers of two beside 441 and 882, 100-sample chunks at 16 kHz,
             lengths that change every call (5-25 ms at 48 kHz), and the P5 rows
  p11        the P11 pairs alone
  whole      the whole-window rows alone
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
OFF_GRID = ((48000, 512, 480), (48000, 1024, 960), (16000, 256, 320), (16000, 512, 480), (8000, 256, 240))
# 44.1 kHz: a power of two against the whole-window chunk of about its length.
POWERS_44K = ((44100, 512, 441), (44100, 1024, 882))
WHOLE = ((16000, 160), (16000, 320), (48000, 480))
CONTEXTS_S = (3, 30)


def case(rate: int, chunk: int | str, seconds: float) -> str:
    return f"{rate / 1000:g} kHz, {chunk}, {seconds:g} s"


def named_sets() -> dict[str, list[str]]:
    whole = [case(r, n, s) for s in CONTEXTS_S for r, n in WHOLE]
    pairs = [case(r, n, s) for s in CONTEXTS_S for r, off, on in OFF_GRID + POWERS_44K for n in (off, on)]
    p11 = [case(r, n, s) for s in CONTEXTS_S for r, off, on in OFF_GRID for n in (off, on)]
    extra = [case(16000, 100, s) for s in CONTEXTS_S] + [case(48000, "240-1200", s) for s in CONTEXTS_S]
    p5 = [case(16000, 160, 0.1)]
    return {"streaming": whole + [c for c in pairs if c not in whole] + extra + p5, "p11": p11, "whole": whole}


def parse_case(name: str) -> tuple[int, str, int, list[str]]:
    m = re.fullmatch(r"([\d.]+) kHz, (\d+(?:-\d+)?), ([\d.]+) s(, speech)?", name)
    if m is None:
        raise SystemExit(f"not a case: {name!r}")
    return round(float(m[1]) * 1000), m[2], round(float(m[3]) * 1000), ["speech"] if m[4] else []


def build(source: str, out: str) -> str:
    """The driver linked with the core of `source`, with the package's flags."""
    return build_with(source, out, os.path.join(HERE, "stream_calls.cpp"), "stream_calls")


def build_with(source: str, out: str, driver: str, name: str) -> str:
    """`driver` linked with the core of `source`, with the package's flags, as out/name."""
    cmake = open(os.path.join(source, "CMakeLists.txt")).read().replace("\n", " ")
    core = re.search(r"add_library\(talvane_core STATIC([^)]*)\)", cmake)[1].split()
    binary = os.path.join(out, name)
    cmd = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-g", f"-I{source}/src/core",
           driver] + [os.path.join(source, c) for c in core] + ["-o", binary]
    subprocess.run(cmd, check=True)
    return binary


# glibc copies large blocks with `rep movsb`, which callgrind counts once per byte:
# a 576 kB move of a context would weigh as much as 50 calls. The copies are made
# with vector loops instead, whose instructions are counted as any other code's.
COPY_AS_CODE = {"GLIBC_TUNABLES": "glibc.cpu.x86_rep_movsb_threshold=4294967295"}


def instructions(binary: str, signal: str, rate: int, chunk: str, ms: int, calls: int, extra: list[str]) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--toggle-collect=*timed_calls*",
               binary, signal, str(rate), str(chunk), str(ms), str(calls), *extra]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env={**os.environ, **COPY_AS_CODE})  # fmt: skip
        with open(out) as f:
            totals = [line for line in f if line.startswith("totals:") or line.startswith("summary:")]
        return int(totals[-1].split()[1])


def longest(chunk: str) -> int:
    """The longest length of a case's chunk: its length, or the top of its range."""
    return int(chunk.split("-")[-1])


def ratios(cases: list[str], counts: dict, names: list[str]) -> list[str]:
    """The pairs' ratios: off the grid over on it, and a context over 100 ms."""
    lines = []
    for seconds in CONTEXTS_S:
        for rate, off, on in OFF_GRID + POWERS_44K:
            pair = [case(rate, n, seconds) for n in (off, on)]
            if all(p in cases for p in pair):
                label = "P11" if rate != 44100 else "44.1 kHz"
                lines.append(f"{label} instructions {rate / 1000:g} kHz, {off} / {on}, {seconds} s context: " + ", ".join(
                    f"{n} {counts[pair[0], b] / counts[pair[1], b]:.2f} ×" for b, n in enumerate(names)))
        pair = [case(16000, 160, seconds), case(16000, 160, 0.1)]
        if all(p in cases for p in pair):
            lines.append(f"P5 instructions 10 ms at 16 kHz, {seconds} s / 100 ms context: " + ", ".join(
                f"{n} {counts[pair[0], b] / counts[pair[1], b]:.2f} ×" for b, n in enumerate(names)))
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--set", default="streaming", choices=sorted(named_sets()), help="a named set of cases")
    parser.add_argument("--cases", help="case names separated by ';' (instead of a set)")
    parser.add_argument("--source", action="append", default=[], help="another source tree")
    args = parser.parse_args()
    cases = [c.strip() for c in args.cases.split(";")] if args.cases else named_sets()[args.set]
    sys.path.insert(0, HERE)
    import signals

    sources = [ROOT] + args.source
    with tempfile.TemporaryDirectory() as tmp:
        binaries = []
        for i, source in enumerate(sources):
            os.makedirs(os.path.join(tmp, str(i)))
            binaries.append(build(source, os.path.join(tmp, str(i))))
        needed = {}
        for name in cases:
            rate, chunk, ms, _ = parse_case(name)
            low, high = int(chunk.split("-")[0]), longest(chunk)
            calls = rate * ms // 1000 // low + 64 + args.calls + 2  # as stream_calls.cpp fills, then the calls
            needed[rate] = max(needed.get(rate, 0), calls * high)
        paths = {}
        for rate, n in needed.items():
            paths[rate] = os.path.join(tmp, f"signal-{rate}.f32")
            signals.speech_in_noise(n / rate + 1, rate).tofile(paths[rate])
        counts = {}
        for name in cases:
            rate, chunk, ms, extra = parse_case(name)
            for b, binary in enumerate(binaries):
                counts[name, b] = instructions(binary, paths[rate], rate, chunk, ms, args.calls, extra) / args.calls

    names = ["this checkout"] + args.source
    print("| case | " + " | ".join(f"{n} (instructions/call)" for n in names) + " |")
    print("|---|" + "---|" * len(names))
    for name in cases:
        print(f"| {name} | " + " | ".join(f"{counts[name, b]:,.0f}" for b in range(len(names))) + " |")
    for line in ratios(cases, counts, names):
        print(line)
    print("command: " + shlex.join(sys.argv))
    return 0


if __name__ == "__main__":
    sys.exit(main())
