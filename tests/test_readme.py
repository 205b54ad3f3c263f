"""The user's guide and the docs run as written: every Python block, and every
shell block marked runnable (```sh runnable), of README.md and docs/*.md."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def blocks(kind):
    found = []
    for page in PAGES:
        for i, code in enumerate(re.findall(rf"```{kind}\n(.*?)```", page.read_text(), re.S)):
            found.append(pytest.param(code, id=f"{page.relative_to(ROOT)}-{i}"))
    return found


@pytest.mark.parametrize("code", blocks("python"))
def test_python_blocks_run(code, monkeypatch):
    monkeypatch.chdir(ROOT)  # the examples read the bundled recording by its relative path
    exec(compile(code, "README.md", "exec"), {})


@pytest.mark.parametrize("code", blocks("sh runnable"))
def test_runnable_shell_blocks_run(code, tmp_path):
    """In the checkout (the examples read the bundled recording), with this
    interpreter first on PATH as `python`; outputs go to temporary folders."""
    shims = tmp_path / "bin"
    shims.mkdir()
    # a script, not a symlink: a virtual environment's interpreter reached
    # through a link elsewhere no longer finds its own site-packages
    shim = shims / "python"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    shim.chmod(0o755)
    env = {**os.environ, "PATH": f"{shims}{os.pathsep}{os.environ['PATH']}", "TMPDIR": str(tmp_path)}
    r = subprocess.run(["bash", "-euo", "pipefail", "-c", code], cwd=ROOT, env=env, capture_output=True, text=True,
                       timeout=300)  # fmt: skip
    assert r.returncode == 0, r.stderr


def test_the_guide_has_examples():
    assert len(blocks("python")) >= 5 and len(blocks("sh runnable")) >= 4
