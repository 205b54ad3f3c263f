"""The plug-in's cost per block: run() against the core's live call, and its CPU share.

    python bench/plugins.py [--seconds 120] [--rate 48000] [--block 512]

Builds bench/plugin_run.cpp with the core and the plug-in instance as the plug-in
build compiles them (-O3, -DNDEBUG, -ffp-contract=off), writes the speech-in-noise
signal of signals.py, and runs it: one mono instance with the default controls and
a LiveState fed the same blocks in turns, CPU time of the thread. Targets: run() at
most 1.1 x the core call; at most 0.2 % of a core (CPU seconds per second of audio).
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


def build(out: str) -> str:
    cmake = open(os.path.join(ROOT, "CMakeLists.txt")).read().replace("\n", " ")
    core = re.search(r"add_library\(talvane_core STATIC([^)]*)\)", cmake)[1].split()
    plugin = ["src/plugins/controls.cpp", "src/plugins/plugin_gate.cpp"]
    binary = os.path.join(out, "plugin_run")
    cmd = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", f"-I{ROOT}/src/core", f"-I{ROOT}/src/plugins",
           os.path.join(HERE, "plugin_run.cpp")] + [os.path.join(ROOT, c) for c in core + plugin] + ["-o", binary]  # fmt: skip
    subprocess.run(cmd, check=True)
    return binary


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=120.0)
    parser.add_argument("--rate", type=int, default=48000)
    parser.add_argument("--block", type=int, default=512)
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    import signals

    with tempfile.TemporaryDirectory() as tmp:
        binary = build(tmp)
        path = os.path.join(tmp, "signal.f32")
        signals.speech_in_noise(args.seconds, args.rate).tofile(path)
        done = subprocess.run([binary, path, str(args.rate), str(args.block)], capture_output=True, text=True)
    print(done.stdout.strip() or done.stderr.strip())
    if done.returncode != 0:
        print("the two sides' outputs differ" if done.stdout else "failed")
        return 1
    print("targets: ratio <= 1.1, CPU <= 0.2 % of a core")
    print("command: " + shlex.join(sys.argv))
    return 0


if __name__ == "__main__":
    sys.exit(main())
