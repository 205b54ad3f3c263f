"""A folder through the talvane command: local worker processes against a Dask cluster.

    python bench/cluster.py [--files N] [--seconds S] [--repeats R] [--workers W]

Makes N files of S seconds at 16 kHz (16-bit WAV, speech in noise), starts a
Dask scheduler and W workers (one thread each) on 127.0.0.1, and times
`talvane gate FOLDER -o OUT -j W` against `talvane gate FOLDER -o OUT --dask
ADDRESS`: whole processes, run alternately after one warm-up run of each,
medians. The ratio is the cluster's time over the local one, so it shows what
the scheduler costs on the same cores. Prints one JSON object.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals

RATE = 16000


def make_folder(folder: str, files: int, seconds: float) -> None:
    os.makedirs(folder)
    x = signals.speech_in_noise(seconds * 2, RATE)
    n = int(seconds * RATE)
    for i in range(files):
        start = (i * 7919) % n  # a different stretch for each file
        sf.write(os.path.join(folder, f"{i:04}.wav"), x[start : start + n], RATE, subtype="PCM_16")


def start(args: list[str], log: str) -> subprocess.Popen[bytes]:
    with open(log, "wb") as f:
        return subprocess.Popen([sys.executable, "-m", "dask", *args], stdout=f, stderr=f, start_new_session=True)


def wait_for(condition, what: str, seconds: float = 120) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def cluster(folder: str, workers: int) -> tuple[str, list[subprocess.Popen[bytes]]]:
    found = os.path.join(folder, "scheduler.json")
    processes = [start(["scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file",
                        found, "--idle-timeout", "3600s"], os.path.join(folder, "scheduler.log"))]  # fmt: skip
    wait_for(lambda: os.path.exists(found) and open(found).read().rstrip().endswith("}"), "the scheduler")
    for i in range(workers):
        log = os.path.join(folder, f"worker{i}.log")
        processes.append(start(["worker", "--scheduler-file", found, "--nthreads", "1", "--host", "127.0.0.1",
                                "--no-dashboard", "--memory-limit", "0", "--death-timeout", "60s"], log))  # fmt: skip
        wait_for(lambda: b"Registered to:" in open(log, "rb").read(), f"worker {i}")
    with open(found) as f:
        return json.load(f)["address"], processes


def timed(command: list[str], out: str) -> float:
    shutil.rmtree(out, ignore_errors=True)
    started = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True, timeout=3600)
    return time.perf_counter() - started


def measure(files: int, seconds: float, repeats: int, workers: int, folder: str) -> dict:
    src, out = os.path.join(folder, "talks"), os.path.join(folder, "out")
    make_folder(src, files, seconds)
    address, processes = cluster(folder, workers)
    try:
        tool = [sys.executable, "-m", "talvane_rs", "gate", src, "-o", out]
        sides = (tool + ["-j", str(workers)], tool + ["--dask", address])
        times: tuple[list[float], list[float]] = ([], [])
        for command in sides:  # warm-up: page cache, and the workers' imports
            timed(command, out)
        for i in range(repeats):
            for side in (0, 1) if i % 2 == 0 else (1, 0):
                times[side].append(timed(sides[side], out))
    finally:
        for p in processes[::-1]:
            os.killpg(p.pid, signal.SIGTERM)
            p.wait(timeout=60)
    local, dask = statistics.median(times[0]), statistics.median(times[1])
    return {"files": files, "seconds": seconds, "workers": workers, "runs": repeats,
            "local_median_s": local, "dask_median_s": dask, "local_files_per_s": files / local,
            "dask_files_per_s": files / dask, "ratio": dask / local}  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="talvane-cluster-") as folder:
        print(json.dumps(measure(args.files, args.seconds, args.repeats, args.workers, folder)))


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
