"""Per-chunk cost of process_chunk by context length, for this build and others.

    python bench/per_chunk.py [--baseline DIR ...] [--rounds 7] [--calls 2000] [--cases A;B]

Each build runs in its own worker process (a baseline DIR is put first on the
worker's path, e.g. a `pip install --target DIR` of another commit). The workers
are asked in turn, case by case and round by round, to time `calls` chunks (10 ms
at 16 kHz unless the case says otherwise) on a stream whose context is already
full, so a busy machine slows every build alike. Prints the median microseconds
per call of each case and build, each build's ratios of 3 s and 30 s to 100 ms,
and the P11 ratios: chunks off the window grid against the nearest whole-window
chunk, at 3 s and 30 s contexts.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RATE, CHUNK = 16000, 160
U64_MAX = 2**64 - 1

# name: (stream_context_ms, gate parameters, signal, chunk samples, sample rate); a
# chunk of JITTER takes a seeded random length between 15 and 25 ms each call.
JITTER = "15-25 ms"
CASES = {
    "disabled": (3000, {"enabled": False}, "speech", CHUNK, RATE),
    "100 ms": (100, {}, "speech", CHUNK, RATE),
    "3 s": (3000, {}, "speech", CHUNK, RATE),
    "10 s": (10000, {}, "speech", CHUNK, RATE),
    "30 s": (30000, {}, "speech", CHUNK, RATE),
    # Worst cases: every cleaning count at the largest word (the passes run over
    # the whole context); a tone whose level rises by the same factor every window,
    # with twice the floor inside the threshold limits, so that the floor and the
    # threshold change on every call; chunks off the window grid whose grid returns
    # only every 8 calls; smoothing that never meets its old values (alpha 0 keeps
    # the first window's energy throughout).
    "3 s, counts 2**64-1": (3000, {k: U64_MAX for k in ("min_voice_windows", "max_silence_gap_windows",
                                                          "pad_voice_windows", "pass_windows")}, "speech", CHUNK,
                            RATE),
    "3 s, threshold changes every call": (3000, {}, "rising", CHUNK, RATE),
    "3 s, 100-sample chunks": (3000, {}, "speech", 100, RATE),
    "3 s, smooth_alpha 0": (3000, {"smooth_alpha": 0.0}, "speech", CHUNK, RATE),
}
# P11: (rate, chunk off the grid, the nearest whole-window chunk); the last pair's
# grid returns only every 441 calls, too rarely for its caches to pay.
OFF_GRID = ((48000, 512, 480), (48000, 1024, 960), (16000, 256, 320), (16000, 512, 480), (8000, 256, 240),
            (44100, 1024, 882))
for _ms in (3000, 30000):
    for _rate, _off, _on in OFF_GRID:
        for _chunk in (_off, _on):
            CASES[f"P11 {_rate / 1000:g} kHz, {_chunk}, {_ms // 1000} s"] = (_ms, {}, "speech", _chunk, _rate)
    CASES[f"P11 48 kHz, {JITTER}, {_ms // 1000} s"] = (_ms, {}, "speech", JITTER, 48000)
    CASES[f"P11 48 kHz, 960, {_ms // 1000} s"] = (_ms, {}, "speech", 960, 48000)


def worker() -> None:
    """Reads case names on stdin; answers each with its median microseconds per call."""
    import gc
    import time

    import numpy as np

    sys.path.insert(0, HERE)
    import signals
    from talvane_rs import StreamingEnergyTalvane

    def rising_tone(rate: int) -> np.ndarray:
        # 0.0063 rising by 0.05 % a window: twice the floor goes from about 0.009
        # to 0.03 over the context and the timed calls.
        windows = 120 * rate // CHUNK
        levels = np.repeat(0.0063 * 1.0005 ** np.arange(windows), CHUNK)
        return (np.sin(0.3 * np.arange(windows * CHUNK)) * levels).astype(np.float32)

    sources: dict = {}
    print(json.dumps({"module": sys.modules["talvane_rs"].__file__}), flush=True)
    for line in sys.stdin:
        case, calls = line.rstrip("\n").split("|")
        context_ms, params, source, chunk, rate = CASES[case]
        calls = int(calls)
        if (source, rate) not in sources:
            seconds = 40 + context_ms // 1000 + (calls * 25 * 2 + 999) // 1000
            sources[source, rate] = signals.speech_in_noise(seconds, rate) if source == "speech" else rising_tone(rate)
        x = sources[source, rate]
        rng = np.random.default_rng(2026)
        if chunk == JITTER:
            lengths = rng.integers(rate * 15 // 1000, rate * 25 // 1000 + 1, size=2 * calls + 4000).tolist()
        else:
            lengths = [chunk] * (2 * calls + 4000)
        stream = StreamingEnergyTalvane(stream_context_ms=context_ms, **params)
        pos, fill, turn = 0, rate * context_ms // 1000 + max(lengths), 0
        while pos < fill:  # the context full before timing
            stream.process_chunk(x[pos : pos + lengths[turn]], rate, False)
            pos += lengths[turn]
            turn += 1
        pieces = []
        for n in lengths[turn : turn + calls]:
            pieces.append(x[pos : pos + n])
            pos += n
        process = stream.process_chunk
        blocks = []
        gc.disable()
        for b in range(0, calls, 100):
            t0 = time.perf_counter()
            for piece in pieces[b : b + 100]:
                process(piece, rate, False)
            blocks.append((time.perf_counter() - t0) / len(pieces[b : b + 100]))
        gc.enable()
        print(json.dumps(statistics.median(blocks) * 1e6), flush=True)


def print_off_grid(cases: list[str], names: list[str], medians: dict) -> None:
    """P11: each build's time off the grid over its time on the nearest whole-window
    chunk; random lengths over 20 ms chunks, and each build's time over the first's."""
    for ms in (3, 30):
        for rate, off, on in OFF_GRID:
            pair = [f"P11 {rate / 1000:g} kHz, {n}, {ms} s" for n in (off, on)]
            if all(p in cases for p in pair):
                ratios = ", ".join(f"{n} {medians[pair[0], b] / medians[pair[1], b]:.2f} ×"
                                   for b, n in enumerate(names))
                advice = " (chunks of whole windows, 441 samples or a multiple, are as fast as on the grid)" \
                    if rate == 44100 else ""
                print(f"P11 {rate / 1000:g} kHz, {off} / {on}, {ms} s context: {ratios}{advice}")
        jitter = (f"P11 48 kHz, {JITTER}, {ms} s", f"P11 48 kHz, 960, {ms} s")
        if all(p in cases for p in jitter):
            print(f"P11 48 kHz, {JITTER} / 960, {ms} s context: " + ", ".join(
                f"{n} {medians[jitter[0], b] / medians[jitter[1], b]:.2f} ×" for b, n in enumerate(names)))
            if len(names) > 1:
                print(f"P11 48 kHz, {JITTER}, {ms} s context, against {names[0]}: " + ", ".join(
                    f"{names[b]} {medians[jitter[0], b] / medians[jitter[0], 0]:.2f} ×"
                    for b in range(1, len(names))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", action="append", default=[], help="a folder holding another build")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--cases", default=";".join(CASES), help="case names separated by ';'")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker()
        return 0
    cases = [c.strip() for c in args.cases.split(";")]
    builds = [("this build", None)] + [(path, path) for path in args.baseline]
    workers = []
    for _, path in builds:
        env = dict(os.environ)
        if path is not None:
            env["PYTHONPATH"] = os.pathsep.join([path] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
        env.setdefault("OPENBLAS_NUM_THREADS", "1")
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=env)
        workers.append((proc, json.loads(proc.stdout.readline())["module"]))
    times = {(case, b): [] for case in cases for b in range(len(builds))}
    for r in range(args.rounds):
        for case in cases:
            order = range(len(workers)) if r % 2 == 0 else reversed(range(len(workers)))
            for b in order:
                proc = workers[b][0]
                proc.stdin.write(f"{case}|{args.calls}\n")
                proc.stdin.flush()
                times[case, b].append(json.loads(proc.stdout.readline()))
    for proc, _ in workers:
        proc.stdin.close()
        proc.wait()

    names = [name for name, _ in builds]
    print("| case | " + " | ".join(f"{n} (µs/call)" for n in names) + " |")
    print("|---|" + "---|" * len(names))
    medians = {key: statistics.median(v) for key, v in times.items()}
    for case in cases:
        print(f"| {case} | " + " | ".join(f"{medians[case, b]:.2f}" for b in range(len(builds))) + " |")
    if "100 ms" in cases:
        for case in ("3 s", "30 s"):
            if case in cases:
                print(f"{case} / 100 ms: " + ", ".join(f"{n} {medians[case, b] / medians['100 ms', b]:.2f} ×"
                                                     for b, n in enumerate(names)))
    print_off_grid(cases, names, medians)
    for b, (name, _) in enumerate(builds):
        print(f"{name}: {workers[b][1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
