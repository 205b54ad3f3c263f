"""keep_regions: the kept stretches of a mask, from every form of flags."""

import pickle

import numpy as np
import pytest

from talvane_rs import keep_regions


def naive_regions(flags):
    regions, start = [], None
    for i, f in enumerate(list(flags) + [False]):
        if f and start is None:
            start = i
        elif not f and start is not None:
            regions.append((start, i))
            start = None
    return regions


@pytest.mark.parametrize(
    "pattern",
    ["", ".", "X", "XXXX", "....", "X..X", ".XX.", "X.X.X.", "..XXX...XX.X"],
    ids=lambda p: p or "empty",
)
@pytest.mark.parametrize(
    "form",
    [
        list,
        tuple,
        lambda flags: [int(f) for f in flags],
        lambda flags: np.array(flags, dtype=np.bool_),
        lambda flags: np.array(flags, dtype=np.float32),
    ],
    ids=["list", "tuple", "ints", "bool-array", "float-array"],
)
def test_keep_regions(pattern, form):
    flags = [c == "X" for c in pattern]
    regions = keep_regions(form(flags), 4)
    assert regions == naive_regions(flags)
    assert [(r.start_s, r.end_s) for r in regions] == [(a / 4, b / 4) for a, b in naive_regions(flags)]


def test_region_round_trips_and_bad_arguments():
    region = keep_regions([0, 1, 1], 2)[0]
    assert pickle.loads(pickle.dumps(region)) == region and pickle.loads(pickle.dumps(region)).end_s == 1.5
    with pytest.raises(ValueError, match="one-dimensional"):
        keep_regions(np.ones((2, 2), dtype=np.bool_), 16000)
    with pytest.raises(ValueError, match="sample_rate must be positive"):
        keep_regions([True], 0)
    with pytest.raises(TypeError):
        keep_regions([True], 16000.0)
