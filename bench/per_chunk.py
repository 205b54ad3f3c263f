"""Per-chunk cost of process_chunk by context length, for this build and others.

    python bench/per_chunk.py [--baseline DIR ...] [--rounds 7] [--calls 2000]

Each build runs in its own worker process (a baseline DIR is put first on the
worker's path, e.g. a `pip install --target DIR` of another commit). The workers
are asked in turn, case by case and round by round, to time `calls` 10 ms chunks
at 16 kHz on a stream whose context is already full, so a busy machine slows
every build alike. Prints the median microseconds per call of each case and
build, and each build's ratios of 3 s and 30 s to 100 ms.
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

# name: (stream_context_ms, gate parameters, signal, chunk samples)
CASES = {
    "disabled": (3000, {"enabled": False}, "speech", CHUNK),
    "100 ms": (100, {}, "speech", CHUNK),
    "3 s": (3000, {}, "speech", CHUNK),
    "10 s": (10000, {}, "speech", CHUNK),
    "30 s": (30000, {}, "speech", CHUNK),
    # Worst cases: every cleaning count at the largest word (the passes run over
    # the whole context); a tone whose level rises by the same factor every window,
    # with twice the floor inside the threshold limits, so that the floor and the
    # threshold change on every call; chunks off the window grid (the windows are
    # laid anew each call, nothing is reused); smoothing that never meets its old
    # values (alpha 0 keeps the first window's energy throughout).
    "3 s, counts 2**64-1": (3000, {k: U64_MAX for k in ("min_voice_windows", "max_silence_gap_windows",
                                                          "pad_voice_windows", "pass_windows")}, "speech", CHUNK),
    "3 s, threshold changes every call": (3000, {}, "rising", CHUNK),
    "3 s, 100-sample chunks": (3000, {}, "speech", 100),
    "3 s, smooth_alpha 0": (3000, {"smooth_alpha": 0.0}, "speech", CHUNK),
}


def worker() -> None:
    """Reads case names on stdin; answers each with its median microseconds per call."""
    import gc
    import time

    import numpy as np

    sys.path.insert(0, HERE)
    import signals
    from talvane_rs import StreamingEnergyTalvane

    speech = signals.speech_in_noise(120, RATE)
    # 0.0063 rising by 0.05 % a window: twice the floor goes from about 0.009 to
    # 0.03 over the context and the timed calls.
    windows = len(speech) // CHUNK
    levels = np.repeat(0.0063 * 1.0005 ** np.arange(windows), CHUNK)
    rising = (np.sin(0.3 * np.arange(windows * CHUNK)) * levels).astype(np.float32)
    sources = {"speech": speech, "rising": rising}
    print(json.dumps({"module": sys.modules["talvane_rs"].__file__}), flush=True)
    for line in sys.stdin:
        case, calls = line.rstrip("\n").split("|")
        context_ms, params, source, chunk = CASES[case]
        calls = int(calls)
        x = sources[source]
        stream = StreamingEnergyTalvane(stream_context_ms=context_ms, **params)
        pos, fill = 0, RATE * context_ms // 1000 + chunk
        while pos < fill:  # the context full before timing
            stream.process_chunk(x[pos : pos + chunk], RATE, False)
            pos += chunk
        pieces = [x[p : p + chunk] for p in range(pos, pos + calls * chunk, chunk)]
        process = stream.process_chunk
        blocks = []
        gc.disable()
        for b in range(0, calls, 100):
            t0 = time.perf_counter()
            for piece in pieces[b : b + 100]:
                process(piece, RATE, False)
            blocks.append((time.perf_counter() - t0) / len(pieces[b : b + 100]))
        gc.enable()
        print(json.dumps(statistics.median(blocks) * 1e6), flush=True)


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
    for b, (name, _) in enumerate(builds):
        print(f"{name}: {workers[b][1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
