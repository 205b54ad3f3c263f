"""The user's guide and the docs run as written: every Python block, and every
shell block marked runnable (```sh runnable), of README.md and docs/*.md."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from sound_server import SoundServer, unavailable

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def blocks(kind):
    found = []
    for page in PAGES:
        for i, code in enumerate(re.findall(rf"```{kind}\n(.*?)```", page.read_text(), re.S)):
            marks = [pytest.mark.slow] if captures(code) else []
            found.append(pytest.param(code, id=f"{page.relative_to(ROOT)}-{i}", marks=marks))
    return found


def captures(code):
    """Whether the block opens a sound card."""
    return re.search(r"^import sounddevice", code, re.M) is not None


@pytest.mark.parametrize("code", blocks("python"))
def test_python_blocks_run(code, monkeypatch, tmp_path):
    monkeypatch.chdir(ROOT)  # the examples read the bundled recording by its relative path
    if captures(code):
        run_on_a_sound_server(code, tmp_path)
    else:
        exec(compile(code, "README.md", "exec"), {})


def run_on_a_sound_server(code, tmp_path):
    """A block that opens a sound card runs in a process of its own on a sound
    server of the tests' own (its default input the monitor of what is played),
    while the bundled recording plays into it."""
    reason = unavailable()
    if reason is not None:
        pytest.skip(f"the example records from a sound server: {reason}")
    try:
        server = SoundServer(tmp_path)
    except RuntimeError as e:  # pulseaudio is there but would not start
        pytest.skip(f"the example records from a sound server, and none started: {e}")
    player = server.play(ROOT / "examples" / "speech_in_noise.flac")
    try:
        r = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=server.env, capture_output=True, text=True,
                           timeout=120)  # fmt: skip
    finally:
        player.kill()
        player.wait()
        server.stop()
    assert r.returncode == 0, r.stderr
    assert "onset at" in r.stdout, r.stdout  # it heard the speech played


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
