"""Start-up time of the command line, two installs side by side.

    python bench/startup.py OLD_VENV NEW_VENV [RUNS]

Each venv holds an installed (not editable) talvane_rs; every command runs RUNS
times from each, interleaved, and the fastest and the median run are printed
with their ratio (new over old).
"""

from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path

COMMANDS = {"--version": ["--version"], "gate --help": ["gate", "--help"]}


def times(program: Path, args: list[str], runs: int) -> list[float]:
    taken = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([str(program), *args], stdout=subprocess.DEVNULL, check=True)
        taken.append(time.perf_counter() - start)
    return sorted(taken)


def main() -> None:
    old, new = (Path(v) / "bin" / "talvane" for v in sys.argv[1:3])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    for label, args in COMMANDS.items():
        a, b = times(old, args, runs), times(new, args, runs)
        mid = runs // 2
        print(f"{label}: old {a[0] * 1e3:.1f} / {a[mid] * 1e3:.1f} ms, new {b[0] * 1e3:.1f} / {b[mid] * 1e3:.1f} ms"
              f" (min / median); ratio {b[0] / a[0]:.2f} / {b[mid] / a[mid]:.2f}")  # fmt: skip


if __name__ == "__main__":
    main()
