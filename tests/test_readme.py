"""The README's Python examples run as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, capsys, monkeypatch):
    monkeypatch.chdir(README.parent)  # the examples read the bundled recording by its relative path
    exec(compile(code, "README.md", "exec"), {})


def test_readme_has_examples():
    assert len(BLOCKS) >= 3
