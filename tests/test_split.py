"""talvane split: the pieces, their names, the manifest, and a dataset left whole
by a stop, a failure or a re-run."""

import csv
import io
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import RATE, TOOL, bursts, one_line, read, talvane, wait_for
from talvane_rs import analyse
from talvane_rs.errors import FileError

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")


def test_split_writes_the_kept_regions_and_their_manifest(everyday, tmp_path):
    """Each kept region (padded, long ones cut) becomes one file of every channel in
    the input's format; the manifest lists them; together they are the kept audio."""
    src = everyday / "stereo.wav"
    both, rate = read(src)
    r = talvane("split", src, "-o", "clips", "--pad", "20", "--max-length", "0.6s", "--min-length", "100ms",
                cwd=tmp_path)  # fmt: skip
    assert r.returncode == 0, r.stderr
    rows = list(csv.DictReader(io.StringIO((tmp_path / "clips" / "manifest.csv").read_text())))
    assert len(rows) >= 3 and "split into" in r.stdout
    view = analyse(both, rate)
    kept = np.zeros(len(both), dtype=bool)
    for region in view.regions:
        kept[max(0, region.start - 320) : region.end + 320] = True
    cover = np.zeros(len(both), dtype=bool)
    for row in rows:
        a, b = int(row["start_sample"]), int(row["end_sample"])
        piece, piece_rate = read(tmp_path / "clips" / row["file"])
        assert piece_rate == rate and sf.info(tmp_path / "clips" / row["file"]).subtype == "PCM_16"
        np.testing.assert_array_equal(piece, both[a:b])
        assert 0.1 <= float(row["duration_s"]) <= 0.6 and row["source"] == str(src)
        assert (tmp_path / "clips" / row["file"]).parent == tmp_path / "clips"  # the pieces are in -o
        cover[a:b] = True
    assert not (cover & ~kept).any()  # nothing outside the padded regions
    assert (cover == kept).mean() > 0.95  # all of them but pieces under the minimum


def dataset_rows(folder, sources):
    """The rows of a split dataset, checked whole: its manifest lists exactly the
    files in the folder, and each holds its source's frames from start to end."""
    rows = list(csv.DictReader(io.StringIO((folder / "manifest.csv").read_text())))
    on_disk = {str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()} - {"manifest.csv"}
    assert sorted(row["file"] for row in rows) == sorted(on_disk)
    for row in rows:
        audio, _ = read(sources[row["source"]] if row["source"] in sources else row["source"])
        np.testing.assert_array_equal(read(folder / row["file"])[0], audio[int(row["start_sample"]) : int(row["end_sample"])])
    return rows


def speaking(rate, seconds, every, seed):
    """Bursts of 0.35 s every `every` seconds, as two channels."""
    x = bursts(rate, seconds, [(a, a + 0.35) for a in np.arange(0.2, seconds - 0.5, every)], seed=seed)
    return np.stack([x, 0.5 * x], axis=1)


@pytest.mark.parametrize(
    "names, args",
    [
        (["a/talk.wav", "b/talk.wav"], ["a/talk.wav", "b/talk.wav", "-o", "out"]),
        (["x/talks/talk.wav", "y/talks/talk.wav"], ["x/talks", "y/talks", "-o", "out"]),
        (["talk.wav", "talk.wave"], ["talk.wav", "talk.wave", "-o", "out"]),
        (["talk.wav"], ["talk.wav", "-o", "out", "--name", "{stem}.{ext}"]),
    ],
    ids=["one-stem", "one-folder-name", "wav-and-wave", "no-index"],
)
def test_split_pieces_never_take_each_others_names(tmp_path, names, args):
    """Pieces whose names could meet are refused before they are written; what
    is written is whole and listed."""
    for seed, name in enumerate(names):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        sf.write(tmp_path / name, speaking(RATE, 4.0, 0.8, seed), RATE, subtype="PCM_16", format="WAV")
    r = talvane("split", *args, cwd=tmp_path)
    assert r.returncode == 1 and ("can be those of" in r.stderr or "would both be named" in r.stderr), r.stderr
    if len(names) == 1:  # nothing written
        assert not (tmp_path / "out").exists()
        return
    rows = dataset_rows(tmp_path / "out", {name: tmp_path / name for name in names})
    assert {row["source"] for row in rows} == {names[0]}


def split_run(*args, cwd, stop_after=None):
    """talvane split; with stop_after, in a subprocess stopped by SIGTERM once it has written that many pieces."""
    if stop_after is None:
        return talvane("split", *args, cwd=cwd)
    def written_since(start):
        found = 0
        for path in (cwd / "ds").glob("*.wav"):
            try:
                found += path.stat().st_mtime_ns > start
            except FileNotFoundError:  # an earlier piece, just removed
                pass
        return found

    start = time.time_ns()
    time.sleep(0.01)
    proc = subprocess.Popen([*TOOL, "split", *args], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: written_since(start) >= stop_after, "the pieces", processes=[proc])
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


@pytest.mark.parametrize("how", ["sigterm", "fails-midway", "fewer-pieces"])
def test_split_leaves_whole_pieces_and_a_manifest_that_lists_them(tmp_path, monkeypatch, how):
    """A re-run replaces an earlier dataset only with --overwrite; a stop, a file
    that fails midway, or a run that makes fewer pieces leaves exactly the whole
    pieces its manifest lists."""
    (tmp_path / "in").mkdir()
    sources = {}
    for k in range(2):
        sources[f"in/f{k}.wav"] = tmp_path / "in" / f"f{k}.wav"
        sf.write(sources[f"in/f{k}.wav"], speaking(RATE, 6.0, 0.6, k), RATE, subtype="PCM_16")
    r = split_run("in", "-o", "ds", "--max-length", "200ms", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    earlier = dataset_rows(tmp_path / "ds", sources)
    r = split_run("in", "-o", "ds", cwd=tmp_path)
    assert r.returncode == 1 and "holds the dataset of an earlier split" in one_line(r.stderr)
    assert dataset_rows(tmp_path / "ds", sources) == earlier
    if how == "sigterm":
        r = split_run("in", "-o", "ds", "--overwrite", "--max-length", "300ms", cwd=tmp_path, stop_after=10)
        assert r.returncode == 128 + signal.SIGTERM, r.stderr
    elif how == "fails-midway":
        import talvane_rs.io.write as write

        real = write.write_audio

        def failing(target, *rest, **named):  # at f1.wav's third piece, as a full disk would
            if target.name.endswith("f1.wav") and target.dst.name == "f1_0003.wav":
                raise FileError("No space left on device")
            return real(target, *rest, **named)

        monkeypatch.setattr(write, "write_audio", failing)
        r = talvane("split", "in", "-o", "ds", "--overwrite", cwd=tmp_path)
        assert r.returncode == 1 and "in/f1.wav: No space left on device" in r.stderr, r.stderr
    else:
        r = split_run("in", "-o", "ds", "--overwrite", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
    rows = dataset_rows(tmp_path / "ds", sources) if (tmp_path / "ds" / "manifest.csv").exists() else []
    assert rows or not list((tmp_path / "ds").iterdir())
    assert len(rows) < len(earlier) and all(row not in earlier for row in rows)
    assert how != "fails-midway" or {row["source"] for row in rows} == set(sources) - {"in/f1.wav"}


@pytest.mark.parametrize(
    "regions, max_length, expected",
    [
        ([(100, 200), (230, 400), (600, 700)], None, [(80, 420), (580, 720)]),  # padded, joined where they meet
        ([(0, 1000)], 400, [(0, 400), (400, 800), (800, 1000)]),  # nothing quieter: the latest window
        ([(0, 1000)], 15, [(a, a + 15) for a in range(0, 990, 15)] + [(990, 1000)]),  # no whole window fits
        ([(0, 1000)], 450, [(0, 300), (300, 650), (650, 1000)]),  # cut after the quietest window
    ],
    ids=["pad-and-join", "flat", "quietest", "within-a-window"],
)
def test_split_pieces(regions, max_length, expected):
    from talvane_rs.actions.split import pieces

    energies = np.ones(100) if max_length != 450 else np.where(np.arange(100) % 35 == 29, 0.1, 1.0)
    pad = 20 if max_length is None else 0
    assert pieces(regions, energies, 10, 1000, 0, max_length, pad) == [tuple(p) for p in expected]
