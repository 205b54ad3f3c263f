"""The package's types as mypy --strict sees them: a user script that calls every
method checks clean, and each misuse in a second script is caught on its line."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import talvane_rs

pytestmark = pytest.mark.slow

pytest.importorskip("mypy")

USER_SCRIPT = """
    import numpy as np
    import numpy.typing as npt
    from typing import Literal

    from typing_extensions import assert_type

    from talvane_rs import (Analysis, EnergyTalvane, Event, Region, Stream, StreamingEnergyTalvane, StreamView,
                            analyse, keep_regions, stream_view)

    rate = 16000
    audio = np.zeros(rate, dtype=np.float32)
    gate = EnergyTalvane(np.True_, 20, base_thresh=0.01, max_thresh=1, attenuation=0.1, pass_windows=np.uint64(1))
    assert_type(gate.compute_keep_mask(audio.tolist(), rate), list[bool])
    assert_type(gate.compute_keep_mask(range(100), np.int64(rate)), list[bool])
    assert_type(gate.compute_keep_mask_array(audio, rate), npt.NDArray[np.bool_])
    assert_type(gate.apply_array([0.0, 1, 2.5], sample_rate=rate), list[float])
    assert_type(gate.apply_array(audio.astype(np.float64), rate), list[float])
    assert_type(gate.apply_array_np(audio, rate), npt.NDArray[np.float32])
    assert_type(gate.compact_array((0.5, 0.25), rate), list[float])
    assert_type(gate.compact_array_np(data=audio, sample_rate=rate), npt.NDArray[np.float32])
    regions = keep_regions(gate.compute_keep_mask(audio.tolist(), rate), rate)
    assert_type(keep_regions(gate.compute_keep_mask_array(audio, rate), rate), list[Region])
    for start, end in regions:
        assert_type(start, int)
    assert_type(regions[0].end_s, float)

    stream = StreamingEnergyTalvane(fade_ms=10, stream_context_ms=500)
    assert_type(stream.process_chunk(audio[:320], rate, False), npt.NDArray[np.float32])
    assert_type(stream.process_chunk(audio[320:], rate, is_last=np.True_), npt.NDArray[np.float32])
    assert_type(stream.last_gain(), float | None)
    assert_type(stream.context_len(), int)
    assert_type(stream.reset(), None)
    stream_state = stream_view(stream)
    if stream_state is not None:
        assert_type(stream_state.clamped, Literal["low", "high"] | None)
        assert_type(stream_state.gains, npt.NDArray[np.float32])

    with Stream(rate, band=(200, None), on_event=print, attenuation=0.1) as live:
        assert_type(live.process(np.zeros((160, 2), np.int16)), npt.NDArray[np.int16])
        assert_type(live.process(audio), npt.NDArray[np.float32])
        assert_type(live.events, tuple[Event, ...])
        assert_type(live.noise_floor, float | None)
        assert_type(live.clamped, Literal["low", "high"] | None)
        assert_type(stream_view(live), StreamView | None)

    view = analyse(audio, rate, attenuation=0.1, pass_windows=2)
    assert_type(analyse([0.0, 1, 2.5], np.int64(rate)), Analysis)
    assert_type(view.energies, npt.NDArray[np.float32])
    assert_type(view.noise_floor, float)
    if view.clamped is not None:
        assert_type(view.clamped, Literal["low", "high"])
    assert_type(view.mask, npt.NDArray[np.bool_])
    assert_type(view.gains, npt.NDArray[np.float32])
    assert_type(view.regions, list[Region])
"""

# Each line marked "# error" must be reported, and no other line.
MISUSES = """
    import numpy as np

    from talvane_rs import EnergyTalvane, Stream, StreamingEnergyTalvane, analyse, keep_regions

    audio = np.zeros(100, dtype=np.float32)
    Stream(16000, "speech")  # error
    Stream(16000).process(audio.astype(np.int64))  # error
    EnergyTalvane(window_ms=10.0)  # error
    EnergyTalvane(enabled=1)  # error
    EnergyTalvane(window=10)  # error
    EnergyTalvane().apply_array_np([0.0], 16000)  # error
    EnergyTalvane().compact_array("abc", 16000)  # error
    EnergyTalvane().compute_keep_mask(audio, 16000.0)  # error
    StreamingEnergyTalvane().process_chunk(audio, 16000)  # error
    StreamingEnergyTalvane().process_chunk(audio, 16000, 1)  # error
    gain: float = StreamingEnergyTalvane().last_gain()  # error
    StreamingEnergyTalvane().context_len(1)  # error
    keep_regions([True], 16000.0)  # error
    analyse(audio, 16000, window=10)  # error
    analyse(audio, 16000, 10)  # error
    analyse(audio, 16000).noise_floor = 0.0  # error
"""


def test_mypy_strict_sees_the_stubs(tmp_path):
    (tmp_path / "user.py").write_text(textwrap.dedent(USER_SCRIPT))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSES))
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    env = dict(os.environ)
    package_root = Path(talvane_rs.__file__).parent.parent
    if package_root.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(package_root)  # an in-place install: mypy cannot follow its import hook
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", ".cache",
         "user.py", "misuse.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    errors = re.findall(r"^(\S+?):(\d+): error:", r.stdout, re.MULTILINE)
    assert [e for e in errors if e[0] != "misuse.py"] == [], r.stdout
    marked = {i for i, line in enumerate(textwrap.dedent(MISUSES).splitlines(), 1) if line.endswith("# error")}
    assert {int(line) for _, line in errors} == marked, r.stdout
