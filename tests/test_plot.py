"""--plot and --plot-range: an overview or a stretch, and ranges past the end."""


import numpy as np
import pytest

from conftest import ALL_OPTIONS, bursts, one_line, talvane
from talvane_rs import analyse
from talvane_rs.params import GateSettings

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")


@pytest.mark.parametrize("span, overview", [(None, True), ((300_000, 360_000), False)], ids=["overview", "stretch"])
def test_plot_of_a_stretch_or_an_overview(span, overview):
    """Eleven minutes at 1 kHz: drawn whole it is an overview that says how to look
    closer; a stretch is drawn in full detail, its axis on the stretch."""
    pytest.importorskip("matplotlib")
    from talvane_rs.plot import plot_analysis

    x = np.tile(bursts(1000, 10.0, [(2.0, 4.0), (6.0, 7.0)]), 66)
    view = analyse(x, 1000)
    fig = plot_analysis(x, view, "t", gains=view.gains_part, settings=GateSettings(**ALL_OPTIONS), span=span)
    title = fig.axes[0].get_title(loc="left")
    assert ("look closer with --plot-range" in title) == overview
    assert fig.axes[0].get_xlim() == ((0.0, 660.0) if span is None else (300.0, 360.0))
    r = talvane("gate", "-", "-o", "-", "--plot-range", "1-2", cwd=".")
    assert r.returncode == 2 and "--plot-range chooses the stretch --plot draws" in r.stderr


@pytest.mark.parametrize("stream", [[], ["--stream", "10ms"]], ids=["batch", "stream"])
def test_plot_range_past_the_end_is_refused_and_an_overlapping_one_clipped(everyday, tmp_path, stream):
    pytest.importorskip("matplotlib")
    src = everyday / "stereo.wav"  # 3 s
    r = talvane("gate", src, "-o", "out.wav", "--plot", "p.png", "--plot-range", "40-50", *stream, cwd=tmp_path)
    assert r.returncode == 1 and not (tmp_path / "p.png").exists()
    assert one_line(r.stderr).endswith(
        "no plot: --plot-range starts at 40 s, at or after the end of the recording (3.00 s long)")
    r = talvane("gate", src, "-o", "out.wav", "--plot", "p.png", "--plot-range", "2-50", *stream, cwd=tmp_path)
    assert r.returncode == 0 and (tmp_path / "p.png").stat().st_size > 0
