"""The talvane command line, run as a subprocess on small generated files, and
keep_regions, which it reports from."""

import csv
import io
import json
import os
import pickle
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from talvane_rs import EnergyTalvane, Stream, StreamingEnergyTalvane, analyse, cut, keep_regions
from talvane_rs.params import GateSettings

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

RATE = 16000
TOOL = [sys.executable, "-m", "talvane_rs"]

# Every gate parameter off its default, so an option that does not reach the
# gate changes the output.
ALL_OPTIONS = {
    "enabled": True,
    "window_ms": 20,
    "base_thresh": 0.006,
    "threshold_ratio": 2.5,
    "max_thresh": 0.04,
    "smooth_alpha": 0.3,
    "min_voice_windows": 3,
    "attenuation": 0.25,
    "noise_floor_percentile": 25.0,
    "max_silence_gap_windows": 4,
    "fade_ms": 2,
    "stream_context_ms": 400,
    "pad_voice_windows": 1,
    "pass_windows": 1,
}


def option_args(options):
    args = []
    for name, value in options.items():
        args += ["--" + name.replace("_", "-"), str(value).lower() if isinstance(value, bool) else str(value)]
    return args


def bursts(rate, seconds, spans, seed=0):
    """Quiet noise with loud tone bursts over the given (start, end) spans in seconds."""
    rng = np.random.default_rng(seed)
    x = rng.normal(0.0, 0.003, int(rate * seconds))
    t = np.arange(len(x)) / rate
    for a, b in spans:
        inside = (t >= a) & (t < b)
        x[inside] += 0.3 * np.sin(2 * np.pi * 220 * t[inside])
    return x.astype(np.float32)


# A scheduler that cannot be reached is given up on after this, not the default 30 s.
QUICK_CONNECT = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}


# The gate's original settings, which these tests compare with the library's defaults;
# test_the_default_is_the_speech_preset runs without it.
CLASSIC = ("--preset", "classic")


def talvane(*args, cwd, tool=TOOL, env=None, **options):
    """The tool run on args; a batch command not naming a preset gets the classic one."""
    if args and args[0] in ("gate", "cut", "mask", "split") and "--preset" not in args and "--help" not in args:
        args = (*args, *CLASSIC)
    env = {**os.environ, **QUICK_CONNECT, **(env or {})}
    return subprocess.run([*tool, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120, env=env,
                          **options)  # fmt: skip


def one_line(text):
    lines = text.strip().splitlines()
    assert len(lines) == 1, text
    return lines[0]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """speech.wav (float32, mono) and a folder of mixed files, one of them broken."""
    root = tmp_path_factory.mktemp("audio")
    speech = bursts(RATE, 1.5, [(0.3, 0.7), (1.0, 1.3)])
    sf.write(root / "speech.wav", speech, RATE, subtype="FLOAT")
    folder = root / "folder"
    folder.mkdir()
    sf.write(folder / "a.wav", speech, RATE, subtype="FLOAT")
    left = bursts(22050, 1.0, [(0.2, 0.6)], seed=1)
    sf.write(folder / "stereo.flac", np.stack([left, 0.5 * left], axis=1), 22050)
    sf.write(folder / "short.ogg", bursts(RATE, 0.5, [(0.1, 0.3)], seed=2), RATE)
    (folder / "broken.wav").write_text("not audio")
    (folder / "notes.txt").write_text("not picked up")
    return root


def read(path):
    x, rate = sf.read(path, dtype="float32")
    return x, rate


# Options each command takes; the rest of ALL_OPTIONS only make sense for gate.
GATE_ONLY = ("enabled", "attenuation", "fade_ms", "stream_context_ms")


@pytest.mark.parametrize(
    "command, attenuation",
    [("gate", 0.25), ("gate", 0.0), ("cut", None), ("mask", None)],
    ids=["gate", "gate-silencing", "cut", "mask"],
)
def test_single_file_matches_the_library(files, tmp_path, command, attenuation):
    options = dict(ALL_OPTIONS, attenuation=attenuation)
    if command != "gate":
        options = {k: v for k, v in options.items() if k not in GATE_ONLY}
    out = tmp_path / ("out.csv" if command == "mask" else "out.wav")
    r = talvane(command, files / "speech.wav", "-o", out, *option_args(options), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    x, _ = read(files / "speech.wav")
    gate = EnergyTalvane(**dict(ALL_OPTIONS, **options))
    regions = keep_regions(gate.compute_keep_mask_array(x, RATE), RATE)
    length = "1.50 s"
    if command == "gate":
        # The list method's samples, bit for bit, whatever the attenuation.
        assert read(out)[0].view(np.uint32).tolist() == np.array(gate.apply_array(x.tolist(), RATE), np.float32).view(np.uint32).tolist()
    elif command == "cut":
        expected = gate.compact_array_np(x, RATE)
        np.testing.assert_array_equal(read(out)[0], expected)
        length += f" -> {len(expected) / RATE:.2f} s"
    else:
        with open(out, newline="") as f:
            rows = list(csv.DictReader(f))
        assert [(int(r["start_sample"]), int(r["end_sample"])) for r in rows] == regions
        assert [float(r["start_s"]) for r in rows] == [round(r.start_s, 6) for r in regions]
    kept = sum(r.end - r.start for r in regions) / len(x)
    summary = one_line(r.stdout)
    assert summary.startswith(f"{files / 'speech.wav'}: {length}, kept {kept:.1%} in {len(regions)} regions, ")
    assert re.search(r", noise floor -\d+\.\d dBFS, threshold -\d+\.\d dBFS, preset classic( and \d+ options?)?, [\d,]+x real time", summary)
    assert r.stderr == ""


def test_the_default_is_the_speech_preset(files, tmp_path):
    """No options: the speech preset's decisions, named in the summary; an option given wins."""
    x, _ = read(files / "speech.wav")
    for extra, keywords in [((), {}), (("--threshold-ratio", "3"), {"threshold_ratio": 3.0})]:
        r = subprocess.run([*TOOL, "mask", files / "speech.wav", "-o", "m.csv", *extra], cwd=tmp_path,
                           capture_output=True, text=True, timeout=120)  # fmt: skip
        assert r.returncode == 0, r.stderr
        with open(tmp_path / "m.csv", newline="") as f:
            found = [(int(row["start_sample"]), int(row["end_sample"])) for row in csv.DictReader(f)]
        assert found == analyse(x, RATE, preset="speech", **keywords).regions
        assert f", preset speech{' and 1 option' if extra else ''}, band speech (200-4000 Hz), " in r.stdout
    r = subprocess.run([*TOOL, "gate", "in.wav", "--preset", "loud"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 2 and "invalid value 'loud': expected speech, classic" in r.stderr
    r = subprocess.run([*TOOL, "gate", "--help"], capture_output=True, text=True, timeout=120)
    assert "explicitly wins over the preset's value. The default is the speech preset" in " ".join(r.stdout.split())


def test_mask_as_json_on_standard_output(files, tmp_path):
    r = talvane("mask", files / "speech.wav", "-o", "-", "--format", "json", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    record = json.loads(r.stdout)
    x, _ = read(files / "speech.wav")
    mask = EnergyTalvane().compute_keep_mask_array(x, RATE)
    assert (record["sample_rate"], record["samples"]) == (RATE, len(x))
    assert len(record["regions"]) == 2
    for region in record["regions"]:
        start, end = region["start_sample"], region["end_sample"]
        # Half-open: the end sample is the first one dropped.
        assert mask[start:end].all() and not mask[start - 1] and not mask[end]
        assert (region["start_s"], region["end_s"]) == (start / RATE, end / RATE)
    assert "standard output" in one_line(r.stderr)


def test_stream_gate_and_plot(files, tmp_path):
    options = {"stream_context_ms": 300, "attenuation": 0.1}
    r = talvane(
        "gate", files / "speech.wav", "--stream", 20, "-o", "s.wav", "--plot", "s.png",
        *option_args(options), cwd=tmp_path,
    )  # fmt: skip
    assert r.returncode == 0, r.stderr
    x, _ = read(files / "speech.wav")
    stream = StreamingEnergyTalvane(**options)
    chunks = [x[i : i + 320] for i in range(0, len(x), 320)]
    expected = np.concatenate([stream.process_chunk(c, RATE, i == len(chunks) - 1) for i, c in enumerate(chunks)])
    np.testing.assert_array_equal(read(tmp_path / "s.wav")[0], expected)
    assert "streaming gate, 20 ms chunks" in one_line(r.stdout)
    png = (tmp_path / "s.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    assert width >= 800 and height >= 400


@pytest.mark.parametrize(
    "chunk_ms, context_ms",
    [(5, 300), (300, 300), (700, 300), (20, 0)],
    ids=["chunk-below-context", "chunk-equals-context", "chunk-above-context", "no-context"],
)
def test_stream_keep_flags_are_the_streaming_gates_own(chunk_ms, context_ms):
    from talvane_rs.chunks import ChunkGate
    from talvane_rs.columns import StreamTrace

    # Hard switching and an attenuation of one half make each sample's gain
    # readable from the output: x where kept, x / 2 where dropped.
    settings = {p: v for p, v in ALL_OPTIONS.items()}
    settings.update(fade_ms=0, attenuation=0.5, stream_context_ms=context_ms)
    x = bursts(RATE, 1.5, [(0.1, 0.2), (0.35, 0.8), (1.1, 1.12)], seed=3)
    step = RATE * chunk_ms // 1000
    gate = StreamingEnergyTalvane(**settings)
    expected = np.concatenate([gate.process_chunk(x[a : a + step], RATE, False) for a in range(0, len(x), step)])
    chunks = ChunkGate(GateSettings(**settings), RATE, step, StreamTrace(RATE))
    # Blocks that do not fall on chunk boundaries: the chunks are the same.
    out = np.concatenate([chunks.feed(x[:1000]), chunks.feed(x[1000:]), chunks.finish()])
    np.testing.assert_array_equal(out, expected)
    kept = np.zeros(len(x), dtype=bool)
    for a, b in chunks.trace.kept:
        kept[a:b] = True
    np.testing.assert_array_equal(out, np.where(kept, x, x * np.float32(0.5)))
    assert 0 < kept.sum() < len(x) and chunks.tally.kept == kept.sum()


@pytest.mark.parametrize("backend", ["processes", pytest.param("dask", marks=pytest.mark.slow)])
def test_folder_with_workers(files, tmp_path, request, backend):
    folder = files / "folder"
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    workers = ["-j", 2] if backend == "processes" else ["--dask", request.getfixturevalue("dask_cluster").address]
    r = talvane("gate", folder, "-o", "gated", *workers, cwd=tmp_path)
    assert r.returncode == 1
    assert sorted(p.name for p in (tmp_path / "gated").iterdir()) == ["a.wav", "short.ogg", "stereo.flac"]
    assert sorted(line.split(":")[0] for line in r.stdout.splitlines()) == [
        str(folder / name) for name in ("a.wav", "short.ogg", "stereo.flac")
    ]
    errors = [line for line in r.stderr.splitlines() if " error: " in line]
    assert errors == [f"talvane: error: {folder / 'broken.wav'}: not a readable audio file (Format not recognised.)"]
    assert r.stderr.splitlines()[-1] == "3 done, 1 failed, 1 skipped"  # notes.txt is passed over
    # Both channels come out, each times the gains decided on their mean.
    both, rate = read(folder / "stereo.flac")
    gains = analyse(np.ascontiguousarray(both.mean(axis=1, dtype=np.float32)), rate).gains
    gated, _ = read(tmp_path / "gated" / "stereo.flac")
    assert gated.shape == both.shape
    np.testing.assert_allclose(gated, both * gains[:, np.newaxis], atol=1.01 / 32768)
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before


def wait_for(condition, what, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


@pytest.mark.slow
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("target", ["folder", "file", "cluster"])
def test_a_signal_stops_the_run_cleanly(tmp_path, request, signum, target):
    # The signal comes once the first output is written: in a folder run with
    # most files still to do, in a single-file run while the plot is drawn.
    x = bursts(RATE, 6.0, [(0.5, 1.5), (3.0, 4.5)])
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    out.mkdir()
    for i in range(1 if target == "file" else 40):
        sf.write(folder / f"{i:02}.wav", x, RATE)
    if target == "folder":
        args = ["gate", folder, "-o", out, "-j", 2, "--stream", 1]
    elif target == "cluster":  # the workers are not in this run's session: cancelled, not signalled
        args = ["gate", folder, "-o", out, "--dask", request.getfixturevalue("dask_cluster").address, "--stream", 1]
    else:
        args = ["gate", folder / "00.wav", "-o", out / "00.wav", "--plot", out / "00.png"]
    log = open(tmp_path / "log", "w+")
    proc = subprocess.Popen([*TOOL, *map(str, args)], stdout=log, stderr=log, start_new_session=True)
    try:
        written = lambda: any(not p.name.startswith(".") for p in out.iterdir())  # noqa: E731
        wait_for(lambda: written() or proc.poll() is not None, "the first output")
        # A terminal's Ctrl-C reaches the whole process group; SIGTERM comes to the parent alone.
        os.killpg(proc.pid, signum) if signum == signal.SIGINT else proc.send_signal(signum)
        assert proc.wait(timeout=30) == 128 + signum
        left = {p.name: p.stat().st_size for p in out.iterdir()}
        time.sleep(0.5)
        assert {p.name: p.stat().st_size for p in out.iterdir()} == left  # nothing written after the exit
        assert not [name for name in left if name.startswith(".")]  # no temporary file
        audio = [name for name in left if name.endswith(".wav")]
        for name in audio:
            assert len(read(out / name)[0]) == len(x)
        log.seek(0)
        text = log.read()
        tally = re.search(r"(\d+) done, (\d+) failed, (\d+) skipped", text)
        assert tally and sum(map(int, tally.groups())) == len(list(folder.iterdir())), text
        assert "Traceback" not in text, text
        # Beyond the files done, at most those under way (one per worker) were completed.
        done, skipped = int(tally[1]), int(tally[3])
        assert done <= len(audio) <= done + 2 and (skipped > 0 or target == "file")

        def session_ended():
            try:
                os.killpg(proc.pid, 0)
            except ProcessLookupError:
                return True
            return False

        wait_for(session_ended, "the workers to end", seconds=10)
    finally:
        log.close()
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(timeout=30)


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["gate", "missing.wav"], 1, "talvane: error: missing.wav: no such file or folder"),
        (["gate", "folder/broken.wav"], 1, "not a readable audio file"),
        (["gate", "speech.wav", "-o", "speech.wav/out.wav"], 1, "cannot write speech.wav/out.wav: Not a directory"),
        (["cut", "speech.wav", "-o", "out.mp4"], 1, "cannot write .mp4 files"),
        (["gate", "speech.wav", "-o", "speech.wav"], 1, "speech.wav is an input; pass --overwrite to replace it"),
        (["gate", "speech.wav", "--window-ms", "-1"], 2, "argument --window-ms: invalid value '-1'"),
        (["gate", "speech.wav", "--attenuation", "nan"], 2, "argument --attenuation: invalid value 'nan'"),
        (["gate", "speech.wav", "--enabled", "maybe"], 2, "argument --enabled: invalid value 'maybe'"),
        (["gate", "speech.wav", "--base-thresh", "0.05"], 2, "--base-thresh (0.05) must not be above --max-thresh"),
        (["gate", "speech.wav", "--stream", "0"], 2, "argument --stream: invalid value '0'"),
        (["gate", "speech.wav", "--pad-voice-windows", "1e300s"], 2,
         "invalid value '1e300s': expected a whole number of windows from 0 to 18446744073709551615, or a duration "
         "from 0 to 9e15 s"),
        pytest.param(["gate", "folder", "--dask", "tcp://127.0.0.1:9"], 1,
                     "cannot reach the Dask scheduler at tcp://127.0.0.1:9", marks=pytest.mark.slow),
        (["gate", "folder", "-o", "nowhere://out/"], 2, "nowhere://out/: Protocol not known: nowhere"),
    ],
    ids=[
        "missing-file",
        "not-audio",
        "unwritable-output",
        "unknown-output-type",
        "output-is-input",
        "negative-count",
        "nan-float",
        "bad-bool",
        "limits-out-of-order",
        "zero-chunk",
        "huge-duration",
        "no-scheduler",
        "unknown-store",
    ],
)
def test_errors_are_one_line(files, args, code, message):
    before = (files / "speech.wav").read_bytes()
    r = talvane(*args, cwd=files)
    assert r.returncode == code
    assert message in one_line(r.stderr)
    assert r.stdout == ""
    assert (files / "speech.wav").read_bytes() == before


def test_overwrite_replaces_the_input_when_asked(files, tmp_path):
    target = tmp_path / "in.wav"
    shutil.copy(files / "speech.wav", target)
    os.chmod(target, 0o640)
    x, _ = read(target)
    r = talvane("gate", target, "-o", target, "--overwrite", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    np.testing.assert_array_equal(read(target)[0], EnergyTalvane().apply_array_np(x, RATE))
    assert os.stat(target).st_mode & 0o777 == 0o640
    # A new file gets what the umask leaves, not the private mode of the temporary.
    r = talvane("cut", target, "-o", "new.wav", cwd=tmp_path, umask=0o027)
    assert r.returncode == 0, r.stderr
    assert os.stat(tmp_path / "new.wav").st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav", "new.wav"]  # no temporary file left


@pytest.mark.parametrize(
    "args, message",
    [
        (["gate", "d", "-o", "d/", "--format", "mp3"], "its WAV fallback d/a.wav is an input"),
        (["gate", "d", "-o", "file://{cwd}/d/"], "d/a.wav is an input; pass --overwrite"),
        (["gate", "d/a.wav", "-o", "file://{cwd}/d/a.wav"], "d/a.wav is an input; pass --overwrite"),
        (["gate", "file://{cwd}/d/a.wav", "-o", "d/a.wav"], "d/a.wav is an input; pass --overwrite"),
    ],
    ids=["wav-fallback", "url-folder", "url-file", "path-for-url"],
)
def test_no_name_of_an_input_is_written_over(tmp_path, args, message):
    # 1000 Hz, which MP3 cannot hold: the gated audio would fall back to WAV.
    (tmp_path / "d").mkdir()
    sf.write(tmp_path / "d" / "a.wav", bursts(1000, 2.0, [(0.5, 1.5)]), 1000, subtype="FLOAT")
    before = (tmp_path / "d" / "a.wav").read_bytes()
    r = talvane(*[str(a).format(cwd=tmp_path) for a in args], cwd=tmp_path)
    assert r.returncode == 1
    assert message in r.stderr
    assert (tmp_path / "d" / "a.wav").read_bytes() == before


def test_what_is_written_over_or_passed_through_is_said(tmp_path):
    sf.write(tmp_path / "a.wav", bursts(RATE, 2.0, [(0.5, 1.5)]), RATE)
    r = talvane("gate", "a.wav", "-o", "out.wav", cwd=tmp_path)
    assert one_line(r.stdout).endswith("gated -> out.wav")
    r = talvane("gate", "a.wav", "-o", "out.wav", "--enabled", "false", cwd=tmp_path)
    assert re.fullmatch(r"a\.wav: 2\.00 s, kept 100\.0% in 1 region, .* real time, passed through "
                        r"\(--enabled false\) -> out\.wav \(replaced\)", one_line(r.stdout))


@pytest.mark.slow
def test_special_files_are_passed_over_and_a_stop_ends_a_wait(tmp_path):
    folder = tmp_path / "ff"
    folder.mkdir()
    sf.write(folder / "a.wav", bursts(RATE, 1.0, [(0.2, 0.6)]), RATE)
    os.mkfifo(folder / "pipe.wav")
    r = subprocess.run([*TOOL, "mask", str(folder), "-o", "ff.csv"], cwd=tmp_path, capture_output=True, text=True,
                       timeout=60)  # fmt: skip
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines()[-2:] == [
        "talvane: note: passed over 1 special file (FIFO, socket or device)", "1 done, 0 failed, 1 skipped"
    ]
    # Named on its own, a FIFO is read like a pipe: the run waits for a writer, and a stop ends the wait.
    proc = subprocess.Popen([*TOOL, "mask", str(folder / "pipe.wav"), "-o", "p.csv"], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)  # fmt: skip
    try:
        time.sleep(1.5)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=15)
        assert proc.returncode == 128 + signal.SIGTERM
        assert "talvane: stopped by SIGTERM" in err
    finally:
        proc.kill()
        proc.communicate(timeout=30)


def test_gate_fails_a_file_that_ended_early_when_read_again(tmp_path):
    from talvane_rs.actions.gate import Gate
    from talvane_rs.engine.flow import process
    from talvane_rs.engine.jobs import Job
    src = tmp_path / "stereo.wav"
    x = bursts(RATE, 1.0, [(0.2, 0.6)])
    sf.write(src, np.stack([x, x], axis=1), RATE, subtype="FLOAT")
    size = src.stat().st_size

    def checkpoint():  # another writer truncates the file once its mix has been read
        if src.stat().st_size == size:
            os.truncate(src, size // 2)

    job = Job(action=Gate(), src=src, dst=tmp_path / "out.wav", plot=None, settings=GateSettings(), token="t")
    outcome = process(job, checkpoint)
    assert outcome.error == f"{src}: the file ended early when read again"
    assert not (tmp_path / "out.wav").exists()


@pytest.mark.parametrize("name", ["{d}", "file://{d}/"], ids=["path", "file-url"])
def test_linked_subfolders_are_walked_once(tmp_path, name):
    (tmp_path / "d").mkdir()
    (tmp_path / "other").mkdir()
    sf.write(tmp_path / "d" / "a.wav", bursts(RATE, 1.0, [(0.2, 0.6)]), RATE)
    sf.write(tmp_path / "other" / "b.wav", bursts(RATE, 1.0, [(0.2, 0.6)]), RATE)
    os.symlink("../other", tmp_path / "d" / "linked")
    os.symlink(".", tmp_path / "d" / "loop")  # the folder itself: walked once
    r = talvane("gate", name.format(d=tmp_path / "d"), "-r", "-o", "out/", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.wav")) == [
        "a.wav", "linked/b.wav"
    ]
    assert r.stderr.splitlines()[-1] == "2 done, 0 failed, 0 skipped"


def test_sweep_removes_only_its_own_runs_temporaries(tmp_path):
    from talvane_rs.actions.gate import Gate
    from talvane_rs.engine.jobs import Job, sweep_temporaries

    job = Job(action=Gate(), src=tmp_path / "a.b.wav", dst=tmp_path / "a.b.wav", plot=tmp_path / "a.b.png",
              settings=GateSettings(), token="run1")  # fmt: skip
    names = [".a.b.run1.x1.wav", ".a.b.run1.x2.png", ".a.b.run2.x1.wav", ".c.run1.x1.wav", "a.b.run1.x1.wav"]
    for name in names:
        (tmp_path / name).write_text("")
    sweep_temporaries([job])
    assert sorted(p.name for p in tmp_path.iterdir()) == names[2:]


def test_console_script_names_the_missing_dependencies_and_the_package_works_without_numpy(tmp_path):
    script = tmp_path / "no_numpy.py"
    script.write_text(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "sys.modules['soundfile'] = None\n"
        "import talvane_rs\n"
        "from talvane_rs.cli import main\n"
        "print(talvane_rs.keep_regions([False, True, True, False, True], 8000))\n"
        "sys.exit(main(['gate', 'x.wav']))\n"
    )
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stdout == "[Region(1, 3, sample_rate=8000), Region(4, 5, sample_rate=8000)]\n"
    install = "pip install 'talvane_rs[cli]' (in a source checkout: pip install '.[cli]')"
    assert one_line(r.stderr) == f"talvane: the command-line tool needs numpy and soundfile: {install}"


def test_run_folder_names_the_extra_it_needs(tmp_path):
    script = "import sys\nsys.modules['fsspec'] = None\nfrom talvane_rs import run_folder\nrun_folder('mask', 's3://b/t/')\n"
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert r.stderr.strip().splitlines()[-1] == (
        "ImportError: run_folder with fsspec URLs needs fsspec: "
        "pip install 'talvane_rs[dask]' (in a source checkout: pip install '.[dask]')"
    )


def test_console_script_runs(files, tmp_path):
    tool = shutil.which("talvane")
    if tool is None:
        pytest.skip("the talvane console script is not on PATH")
    r = talvane("cut", files / "speech.wav", "-o", "cut.flac", cwd=tmp_path, tool=[tool])
    assert r.returncode == 0, r.stderr
    assert len(read(tmp_path / "cut.flac")[0]) > 0


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
        keep_regions(np.ones((2, 2), dtype=np.bool_), RATE)
    with pytest.raises(ValueError, match="sample_rate must be positive"):
        keep_regions([True], 0)
    with pytest.raises(TypeError):
        keep_regions([True], 16000.0)


# --- everyday material: formats, channels, pipes, folders, units -------------------

MP3 = sf.check_format("MP3", "MPEG_LAYER_III") if "MP3" in sf.available_formats() else False
needs_mp3 = pytest.mark.skipif(not MP3, reason=f"libsndfile {sf.__libsndfile_version__} has no MP3")


@pytest.fixture(scope="module")
def everyday(tmp_path_factory):
    """talk.mp3 (when MP3 is written here), stereo.wav (16-bit), a float file with
    NaN and infinite samples, and a tree with a subfolder and a stray file."""
    root = tmp_path_factory.mktemp("everyday")
    speech = bursts(RATE, 3.0, [(0.3, 1.0), (1.6, 2.5)], seed=4)
    if MP3:
        sf.write(root / "talk.mp3", speech, RATE)
    left = bursts(RATE, 3.0, [(0.5, 1.5)], seed=5)
    right = bursts(RATE, 3.0, [(1.8, 2.6)], seed=6)
    sf.write(root / "stereo.wav", np.stack([left, 0.5 * right], axis=1), RATE, subtype="PCM_16")
    holes = speech.copy()
    holes[20000:20100] = np.nan
    holes[30000] = np.inf
    sf.write(root / "holes.wav", holes, RATE, subtype="FLOAT")
    tree = root / "tree"
    (tree / "sub" / "deeper").mkdir(parents=True)
    for path in (tree / "a.wav", tree / "sub" / "b.flac", tree / "sub" / "deeper" / "c.wav"):
        sf.write(path, speech[: RATE * (1 + len(path.parts) % 2)], RATE)
    (tree / "readme.txt").write_text("not audio")
    return root


@needs_mp3
@pytest.mark.parametrize("command", ["gate", "cut"])
def test_mp3_in_and_out(everyday, tmp_path, command):
    src = everyday / "talk.mp3"
    x, rate = read(src)
    r = talvane(command, src, "-o", "out.wav", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    expected = EnergyTalvane().apply_array_np(x, rate) if command == "gate" else cut(x, rate)
    np.testing.assert_allclose(read(tmp_path / "out.wav")[0], expected, atol=1.01 / 32768)
    # Without -o the output is MP3 too, beside a copy of the input.
    shutil.copy(src, tmp_path / "talk.mp3")
    r = talvane(command, "talk.mp3", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    tag = "gated" if command == "gate" else "cut"
    assert sf.info(tmp_path / f"talk.{tag}.mp3").format == "MP3"
    assert "." + tag not in r.stderr and ".wav" not in r.stderr


@pytest.mark.parametrize(
    "args, channels",
    [(["gate"], 2), (["cut"], 2), (["gate", "--mono"], 1), (["cut", "--mono"], 1), (["gate", "--stream", "20"], 2),
     (["gate", "--stream", "20", "--mono"], 1)],
    ids=["gate", "cut", "mono", "cut-mono", "stream", "stream-mono"],
)  # fmt: skip
def test_channels_are_kept(everyday, tmp_path, args, channels):
    src = everyday / "stereo.wav"
    both, rate = read(src)
    mix = np.ascontiguousarray(both.mean(axis=1, dtype=np.float32))
    # The mono mix goes to WAV, whose writer floors floats where FLAC's rounds.
    name = "out.flac" if channels == 2 else "out.wav"
    r = talvane(*args, src, "-o", name, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out, _ = read(tmp_path / name)
    assert out.ndim == channels
    view = analyse(mix, rate)
    pcm = sf.read(src, dtype="int16")[0]
    if args == ["gate"]:
        # The 16-bit samples gated as integers: sample x gain in double, rounded half to even.
        expected = np.rint(pcm * view.gains[:, np.newaxis].astype(np.float64)).astype(np.int16)
        np.testing.assert_array_equal(sf.read(tmp_path / "out.flac", dtype="int16")[0], expected)
        return
    if args == ["cut"]:
        expected = cut(both, rate)
        assert len(expected) == sum(r.end - r.start for r in view.regions)
        np.testing.assert_array_equal(expected[:, 0], np.concatenate([both[a:b, 0] for a, b in view.regions]))
        np.testing.assert_array_equal(sf.read(tmp_path / "out.flac", dtype="int16")[0], cut(pcm, rate))
    elif args == ["gate", "--stream", "20"]:
        # Every channel, the 16-bit samples gated as integers: exactly Stream's.
        stream = Stream(rate)
        expected = np.concatenate([stream.process(pcm[a : a + 320]) for a in range(0, len(pcm), 320)])
        np.testing.assert_array_equal(sf.read(tmp_path / "out.flac", dtype="int16")[0], expected)
        return
    else:  # the mix of the 16-bit channels, in double, rounded half to even as every integer output is
        if args[0] == "cut":
            gated = np.concatenate([mix[a:b] for a, b in view.regions]).astype(np.float64)
        elif "--stream" in args:
            stream = Stream(rate)
            gated = np.concatenate([stream.process(mix[a : a + 320].astype(np.float64))
                                    for a in range(0, len(mix), 320)])  # fmt: skip
        else:
            gated = mix * view.gains.astype(np.float64)
        np.testing.assert_array_equal(sf.read(tmp_path / name, dtype="int16")[0], np.rint(gated * 32768))
        return
    np.testing.assert_allclose(out, expected, atol=1.01 / 32768)


@pytest.mark.parametrize(
    "strict, stream",
    [(False, None), (True, None), (True, "file"), (True, "wav-pipe"), (True, "raw-pipe")],
    ids=["replaced", "strict", "strict-stream", "strict-stream-wav-pipe", "strict-stream-raw-pipe"],
)
def test_nonfinite_samples_are_never_silent(everyday, tmp_path, strict, stream):
    src = everyday / "holes.wav"
    options = ["--strict"] if strict else []
    if stream is not None:  # --strict fails the streaming gate too, read from a file or a pipe
        options += ["--stream", "10"] + (["--raw", "f32le:16000:1"] if stream == "raw-pipe" else [])
    data = sf.read(src, dtype="float32")[0].tobytes() if stream == "raw-pipe" else src.read_bytes()
    r = talvane("gate", "-" if "pipe" in (stream or "") else src, "-o", "out.wav", *options, cwd=tmp_path,
                input=data.decode("latin-1"), encoding="latin-1")  # bytes through text mode  # fmt: skip
    found = "101 NaN or infinite samples, the first at 1.250 s"
    if strict:
        name = "standard input" if "pipe" in (stream or "") else src
        assert r.returncode == 1 and not (tmp_path / "out.wav").exists()
        # A stream stops at the first block holding one, and counts those read so far.
        assert re.fullmatch(rf"talvane: error: {re.escape(str(name))}: \d+ NaN or infinite samples, the first at "
                            r"1\.250 s \(--strict\)", one_line(r.stderr)), r.stderr  # fmt: skip
        return
    assert r.returncode == 0, r.stderr
    assert one_line(r.stderr) == f"talvane: note: {src}: {found}, replaced by 0.0"
    x, rate = read(src)
    clean = np.nan_to_num(x, nan=0.0, posinf=0.0, neginf=0.0)
    np.testing.assert_array_equal(read(tmp_path / "out.wav")[0], EnergyTalvane().apply_array_np(clean, rate))
    assert "kept 0.0 %" not in r.stdout and 0 < analyse(clean, rate).mask.mean() < 1


@pytest.mark.parametrize(
    "args, message",
    [
        (["gate", "--threshold", "0.01", "--base-thresh", "0.001"], "--threshold sets both limits of the threshold"),
        (["cut", "--stream", "20"], "unrecognized arguments: --stream"),
        (["cut", "--enabled", "false"], "unrecognized arguments: --enabled"),
        (["mask", "--attenuation", "0.5"], "unrecognized arguments: --attenuation"),
        (["cut", "--fade-ms", "3"], "unrecognized arguments: --fade-ms"),
        (["gate", "--attenuation", "2"], "expected a gain from 0 to 1, or dB up to 0"),
        (["gate", "--attenuation", "-1"], "expected a gain from 0 to 1, or dB up to 0"),
        (["gate", "--attenuation", "+3dB"], "expected a gain from 0 to 1, or dB up to 0"),
        (["gate", "--smooth-alpha", "1.5"], "expected a number from 0 to 1"),
        (["mask", "--noise-floor-percentile", "150"], "expected a percentile from 0 to 100"),
        (["cut", "--window-ms", "0"], "expected a whole number of ms of at least 1"),
        (["gate", "--base-thresh", "-40"], "expected a level of at least 0, or dB such as -42dB"),
        (["mask", "--min-voice-windows", "-3"], "expected a whole number of windows from 0 to 18446744073709551615, or a duration"),
        (["cut", "--keep-pause", "-200"], "expected a duration of at least 0: ms, or a number with ms or s"),
        (["gate", "--plot", "p.jpg"], "cannot draw .jpg files; use .png, .svg, .pdf"),
        (["mask", "--band", "4000-200"], "expected speech, LOW-HIGH in Hz with LOW below HIGH"),
        (["cut", "--band", "100-9000"], "--band: band edge high_hz = 9000.0 Hz is not below the Nyquist frequency"),
        (["gate", "-o", "-", "--format", "mp4"], "argument --format: invalid choice: 'mp4'"),
        (["gate", "-j", "2", "--dask", "tcp://127.0.0.1:9"], "--dask runs the files on the cluster's workers, -j on"),
        (["split", "--max-length", "0"], "--max-length must be one analysis window at least: give 10ms or more"),
        (["split", "--max-length", "1e-300", "--window-ms", "20"], "give 20ms or more (--window-ms 20)"),
        (["split", "--min-length", "2s", "--max-length", "1s"], "--min-length 2.00 s is longer than --max-length"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_refused_command_lines(everyday, args, message):
    command, *rest = args
    r = talvane(command, everyday / "stereo.wav", *rest, cwd=everyday)
    assert r.returncode == 2 and r.stdout == ""
    assert message in one_line(r.stderr)


@pytest.mark.parametrize(
    "typed, meant",
    [
        (["--base-thresh", "-42dB", "--attenuation", "-20dB"], {"base_thresh": 10 ** -2.1, "attenuation": 0.1}),
        (["--base-thresh=-42dB", "--threshold-ratio", "6dB"], {"base_thresh": 10 ** -2.1, "threshold_ratio": 10 ** 0.3}),
        (["--max-silence-gap-windows", "300ms", "--pad-voice-windows", "0.05s", "--window-ms", "20ms"],
         {"max_silence_gap_windows": 15, "pad_voice_windows": 3, "window_ms": 20}),  # 2.5 windows rounds up
        (["--min-voice-windows", "25ms"], {"min_voice_windows": 3}),
        (["--attenuation", "-inf", "dB", "--base-thresh", "-42", "dBFS", "--fade-ms", "10", "ms"],
         {"attenuation": 0.0, "base_thresh": 10 ** -2.1, "fade_ms": 10}),
        (["--attenuation=-infdB", "--base-thresh=-42dBFS"], {"base_thresh": 10 ** -2.1}),
        (["--threshold", "-40dBFS"], {"base_thresh": 0.01, "max_thresh": 0.01}),
    ],
    ids=["dB", "dB-joined", "durations", "half-window", "unit-words", "dBFS", "fixed-threshold"],
)
def test_typed_units(everyday, tmp_path, typed, meant):
    src = everyday / "stereo.wav"
    both, rate = read(src)
    mix = np.ascontiguousarray(both.mean(axis=1, dtype=np.float32))
    r = talvane("gate", src, "--mono", "-o", "out.wav", *typed, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    expected = EnergyTalvane(**meant).apply_array_np(mix, rate)
    np.testing.assert_allclose(read(tmp_path / "out.wav")[0], expected, atol=1.01 / 32768)


@pytest.mark.parametrize(
    "args, made, last",
    [
        (["mask", "tree/a.wav", "stereo.wav", "./tree/a.wav", "-o", "out/"], ["out/a.csv", "out/stereo.csv"],
         "2 done, 0 failed, 0 skipped"),
        (["mask", "tree/a.wav", "tree", "-o", "all.csv"], ["all.csv"], "1 done, 0 failed, 2 skipped"),
        (["gate", "stereo.wav", "tree", "-r", "-o", "out"],
         ["out/stereo.wav", "out/tree/a.wav", "out/tree/sub/b.flac", "out/tree/sub/deeper/c.wav"],
         "4 done, 0 failed, 1 skipped"),
    ],
    ids=["files-named-twice", "combined-table", "file-and-folder"],
)
def test_several_inputs(everyday, tmp_path, args, made, last):
    for name in ("stereo.wav", "tree"):
        (shutil.copytree if name == "tree" else shutil.copy)(everyday / name, tmp_path / name)
    before = {p for p in tmp_path.rglob("*") if p.is_file()}
    r = talvane(*args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stderr.splitlines()[-1] == last
    assert sorted(str(p.relative_to(tmp_path)) for p in set(tmp_path.rglob("*")) - before if p.is_file()) == made
    if made == ["all.csv"]:  # a file also in a folder given is taken once
        rows = list(csv.DictReader(io.StringIO((tmp_path / "all.csv").read_text())))
        assert {row["file"] for row in rows} == {"tree/a.wav"}


@pytest.mark.parametrize(
    "args, message",
    [
        (["gate", "tree", "-o", "single.wav"], "a folder input needs a folder for -o, not a .wav file"),
        (["mask", "tree", "-o", "all.wav"], "a folder input needs a folder for -o, not a .wav file"),
        (["gate", "tree", "--plot", "p.svg"], "a folder input need a folder of pictures here, not a .svg file"),
        (["cut", "stereo.wav", "tree/a.wav", "-o", "both.wav"], "several inputs need a folder for -o"),
        (["split", "stereo.wav", "-o", "pieces.wav"], "split writes a folder of files"),
        (["split", "stereo.wav", "tree/a.wav"], "split of several inputs needs -o with a folder"),
        (["split", "stereo.wav", "-o", "-"], "split writes a folder of files"),
    ],
    ids=["gate-to-file", "mask-to-audio", "plot-file", "several-to-file", "split-to-file", "split-no-folder",
         "split-to-stdout"],
)
def test_a_file_name_where_a_folder_is_needed_is_refused(everyday, tmp_path, args, message):
    r = talvane(*args, cwd=everyday)
    assert r.returncode == 2, r.stderr
    assert message in one_line(r.stderr)
    assert not any((everyday / name).exists() for name in ("single.wav", "all.wav", "p.svg", "both.wav",
                                                            "pieces.wav", "stereo.split", "-"))  # fmt: skip


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
    """talvane split in a subprocess; stop_after: pieces of this run to wait for, then SIGTERM."""
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
        while written_since(start) < stop_after:
            assert proc.poll() is None, proc.communicate()
            time.sleep(0.005)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


# Fails the split of f1.wav at its third piece, as a full disk would.
FAILING_WRITE = """
import sys
import talvane_rs.io.write as write
from talvane_rs.errors import FileError
from talvane_rs.cli.command import main
real = write.write_audio
def failing(target, *rest, **named):
    if target.name.endswith("f1.wav") and target.dst.name == "f1_0003.wav":
        raise FileError("No space left on device")
    return real(target, *rest, **named)
write.write_audio = failing
sys.exit(main())
"""


@pytest.mark.parametrize("how", ["sigterm", "fails-midway", "fewer-pieces"])
def test_split_leaves_whole_pieces_and_a_manifest_that_lists_them(tmp_path, how):
    """A re-run replaces an earlier dataset only with --overwrite; a stop, a file
    that fails midway, or a run that makes fewer pieces leaves exactly the whole
    pieces its manifest lists."""
    (tmp_path / "in").mkdir()
    sources = {}
    for k in range(6):
        sources[f"in/f{k}.wav"] = tmp_path / "in" / f"f{k}.wav"
        sf.write(sources[f"in/f{k}.wav"], speaking(RATE, 12.0, 0.6, k), RATE, subtype="PCM_16")
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
        r = talvane("split", "in", "-o", "ds", "--overwrite", cwd=tmp_path, tool=[sys.executable, "-c", FAILING_WRITE])
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


def test_pipes(everyday, tmp_path):
    data = (everyday / "stereo.wav").read_bytes()
    both, rate = read(everyday / "stereo.wav")
    run = lambda *args: subprocess.run([*TOOL, *args, *CLASSIC], input=data, capture_output=True, timeout=120)  # noqa: E731
    r = run("cut", "-", "-o", "-")
    assert r.returncode == 0, r.stderr
    assert r.stdout[:4] == b"RIFF" and b"standard input" in r.stderr and b"-> standard output" in r.stderr
    out, out_rate = sf.read(io.BytesIO(r.stdout), dtype="float32")
    np.testing.assert_allclose(out, cut(both, rate), atol=1.01 / 32768)
    r = run("gate", "-", "-o", "-", "--format", "flac")
    assert r.returncode == 0 and r.stdout[:4] == b"fLaC"
    r = run("mask", "-", "-o", "-", "--format", "json")
    assert r.returncode == 0 and json.loads(r.stdout)["file"] == "standard input"
    r = run("gate", "-")
    assert r.returncode == 2 and b"needs -o" in r.stderr
    # split reads standard input whole: it needs a folder, and names the pieces for it.
    r = run("split", "-")
    assert r.returncode == 2 and b"split of standard input (-) needs -o with a folder" in r.stderr
    r = run("split", "-", "-o", tmp_path / "clips")
    assert r.returncode == 0, r.stderr
    rows = dataset_rows(tmp_path / "clips", {"standard input": everyday / "stereo.wav"})
    assert [row["file"] for row in rows] == [f"stdin_{i:04d}.wav" for i in range(1, len(rows) + 1)] and rows


@pytest.mark.parametrize(
    "raw, band", [(None, None), ("s16le:16000:2", "speech"), ("f32be:16000:1", None)], ids=["wav", "raw", "raw-f32be"]
)
def test_a_stream_gates_a_pipe_as_it_comes(tmp_path, raw, band):
    """The streaming gate on a WAV or raw pipe: the first chunks' output leaves
    before the input has ended, and the whole output is Stream's, 16-bit samples
    gated as integers; raw output is raw PCM of the input's layout."""
    import select

    x = bursts(RATE, 2.0, [(0.3, 1.2)])
    pcm = (np.round(x * 32767)).astype(np.int16)
    if raw is None:
        buffer = io.BytesIO()
        sf.write(buffer, pcm, RATE, format="WAV", subtype="PCM_16")
        data, head, frames, dtype = buffer.getvalue(), 44, pcm, "<i2"
    elif raw.startswith("s16le"):
        frames, head, dtype = np.stack([pcm, pcm // 3], axis=1), 0, "<i2"
    else:
        frames, head, dtype = x, 0, ">f4"
    if raw is not None:
        data = frames.astype(dtype).tobytes()
    first = head + frames[:1600].nbytes  # 100 ms
    options = ["--raw", raw] if raw else []
    options += ["--band", band] if band else []
    proc = subprocess.Popen([*TOOL, "gate", "-", "-o", "-", "--stream", "10ms", *options, *CLASSIC], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
    try:
        proc.stdin.write(data[:first])
        proc.stdin.flush()
        got, deadline = b"", time.monotonic() + 60
        while len(got) <= head and time.monotonic() < deadline:
            if select.select([proc.stdout], [], [], 1.0)[0]:
                got += os.read(proc.stdout.fileno(), 1 << 16)
        assert len(got) > head, "no output before the input ended"
        rest, err = proc.communicate(data[first:], timeout=120)
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == 0, err
    stream = Stream(RATE, band=band)
    expected = np.concatenate([stream.process(frames[a : a + 160]) for a in range(0, len(frames), 160)])
    if raw is None:
        out = sf.read(io.BytesIO(got + rest), dtype="int16")[0]
    else:
        out = np.frombuffer(got + rest, dtype=dtype).reshape(expected.shape)
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("subtype", ["PCM_16", "FLOAT"])
def test_a_stream_on_standard_output_redirected_to_a_file_gets_its_sizes(tmp_path, subtype):
    x = bursts(RATE, 1.0, [(0.2, 0.6)])
    sf.write(tmp_path / "in.wav", x, RATE, subtype=subtype)
    with open(tmp_path / "out.wav", "wb") as out:
        r = subprocess.run([*TOOL, "gate", "in.wav", "--stream", "10", "-o", "-", *CLASSIC], cwd=tmp_path, stdout=out,
                           stderr=subprocess.PIPE, timeout=120)  # fmt: skip
    assert r.returncode == 0, r.stderr
    data = (tmp_path / "out.wav").read_bytes()
    at = data.index(b"data")
    assert struct.unpack("<I", data[4:8])[0] == len(data) - 8
    assert struct.unpack("<I", data[at + 4 : at + 8])[0] == len(data) - at - 8 == 2 * len(x) * (1 + (subtype == "FLOAT"))
    assert sf.info(tmp_path / "out.wav").subtype == subtype


def wav_header(channels=1, rate=16000, fmt_bytes=16, riff=0xFFFFFFFF, data=0xFFFFFFFF):
    """A 16-bit PCM WAV header, its fields as given (a streamed one by default)."""
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * channels * 2 % 2**32, channels * 2 % 2**16, 16)[:fmt_bytes]
    return (b"RIFF" + struct.pack("<I", riff) + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"\0" * (len(fmt) & 1) + b"data" + struct.pack("<I", data))  # fmt: skip


LIST_CHUNK = b"LIST" + struct.pack("<I", 18) + b"INFO" + b"ISFT" + struct.pack("<I", 6) + b"maker\0"


@pytest.mark.parametrize(
    "args, data, code, message, written",
    [
        (["--raw", "s24le:16000:1"], b"", 2, "argument --raw: invalid value 's24le:16000:1': the sample format is "
         "one of s16le, s32le, f32le, f64le, s16be, s32be, f32be, f64be; expected FORMAT:RATE:CHANNELS such as "
         "s16le:16000:1", 0),
        (["--raw", "s16le:0:1"], b"", 2, "argument --raw: invalid value 's16le:0:1': the rate is a whole number from "
         "1 to 4,294,967,295", 0),
        (["--raw", "s16le:1e20:1"], b"", 2, "the rate is a whole number from 1 to 4,294,967,295", 0),
        (["--raw", "s16le:16000:²"], b"", 2, "the channel count is a whole number from 1 to 65,535", 0),
        (["--raw", "s16le:16000"], b"", 2, "argument --raw: invalid value 's16le:16000': three parts are needed", 0),
        (["--raw", "s16le:16000:2", "--stream", "10", "--mono"], b"", 2, "--raw writes the input's own layout", 0),
        (["--raw", "s16le:16000:1"], b"", 2, "--raw reads raw PCM as it comes, for the streaming gate: give "
         "--stream too", 0),
        # Every whole frame is written, in the chunk the stream ended in too, then the partial one is reported.
        (["--raw", "s16le:16000:2", "--stream", "10"], b"\0" * 4003, 1, "talvane: error: standard input: the "
         "stream ended inside a frame: 3 bytes of a 4-byte frame left over, after 1,000 whole frames", 4000),
        (["--raw", "s16le:16000:40000", "--stream", "10", "--format", "wav"], b"", 1, "cannot write a WAV stream with "
         "a frame size of 80,000 bytes: a WAV header holds 1 to 65,535", 0),
        (["--raw", "s16le:4000000000:1", "--stream", "10", "--format", "flac"], b"", 1, "cannot write FLAC with a "
         "sample rate of 4,000,000,000 Hz: soundfile writes 1 to 2,147,483,647 Hz", 0),
        (["--raw", "s16le:16000:256", "--stream", "10", "--format", "ogg"], b"", 1, "cannot write OGG (VORBIS) to "
         "standard output: Vorbis holds 1 to 255 channels, not 256", 0),
        (["--stream", "10"], wav_header(fmt_bytes=14), 1, "not a readable audio file (its WAV format chunk is 14 bytes "
         "long, where a format needs 16 to 65,536 bytes)", 0),
        (["--stream", "10"], wav_header(channels=0), 1, "not a readable audio file (its WAV header gives a channel "
         "count of 0, where at least 1 is needed)", 0),
        # Empty: a data size of 0 where the RIFF size was filled in, whatever chunk follows.
        (["--stream", "10"], wav_header(riff=4 + 24 + 8 + len(LIST_CHUNK), data=0) + LIST_CHUNK, 0,
         "standard input: 0.00 s, kept 0.0% in 0 regions", 44),
    ],
    ids=["format", "rate-0", "rate-huge", "channels-digit", "layout", "mono", "no-stream", "partial-frame",
         "wav-frame-size", "flac-rate", "vorbis-channels", "wav-short-fmt", "wav-no-channels", "wav-empty"],
)  # fmt: skip
def test_pipe_layouts_are_read_or_refused_in_one_line(args, data, code, message, written):
    """A layout given or read that cannot be taken or written is one sentence naming
    the field, its value and the range allowed."""
    r = subprocess.run([*TOOL, "gate", "-", "-o", "-", *args, *CLASSIC], input=data, capture_output=True, timeout=120)
    assert r.returncode == code
    assert message in one_line(r.stderr.decode())
    assert len(r.stdout) == written


@pytest.mark.parametrize("command", ["split", "gate-flac"])
def test_32_bit_samples_keep_their_bits(tmp_path, command):
    """split copies 32-bit samples exactly; FLAC, which holds 24 bits at most, gets
    24 (rounded half to even, as every integer output), and a note says so."""
    pcm = np.round(bursts(RATE, 2.0, [(0.5, 1.2)], seed=9).astype(np.float64) * 2**31).astype(np.int32)
    pcm[9000:9010] = [0, 128, 384, -128, -384, 2**31 - 1, -(2**31), 2**31 - 100, 5, -5]  # halves and ends
    sf.write(tmp_path / "in.wav", pcm, RATE, subtype="PCM_32")
    view = analyse(pcm, RATE)
    if command == "split":
        r = talvane("split", "in.wav", "-o", "clips/", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        for row in csv.DictReader(io.StringIO((tmp_path / "clips" / "manifest.csv").read_text())):
            piece = sf.read(tmp_path / "clips" / row["file"], dtype="int32")[0]
            np.testing.assert_array_equal(piece, pcm[int(row["start_sample"]) : int(row["end_sample"])])
        return
    r = talvane("gate", "in.wav", "-o", "out.flac", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert one_line(r.stderr) == "talvane: note: out.flac: FLAC cannot hold PCM_32 samples here; written as PCM_24"
    assert sf.info(tmp_path / "out.flac").subtype == "PCM_24"
    gated = np.clip(np.rint(pcm * view.gains.astype(np.float64)), -(2**31), 2**31 - 1)
    expected = np.clip(np.rint(gated / 256), -(2**23), 2**23 - 1)
    np.testing.assert_array_equal(sf.read(tmp_path / "out.flac", dtype="int32")[0] // 256, expected)


@pytest.mark.parametrize("how", ["gate", "mask", "stream", "stream-pipe"])
def test_a_truncated_wav_is_noted_once(tmp_path, how):
    x = bursts(RATE, 1.0, [(0.1, 0.25)], seed=10)
    sf.write(tmp_path / "whole.wav", x, RATE, subtype="PCM_16")
    (tmp_path / "cut.wav").write_bytes((tmp_path / "whole.wav").read_bytes()[: 44 + 2 * 4800])  # as head -c makes it
    command = "mask" if how == "mask" else "gate"
    src = "-" if how == "stream-pipe" else "cut.wav"
    with open(tmp_path / "cut.wav", "rb") as stdin:
        r = talvane(command, src, "-o", "out.csv" if how == "mask" else "out.wav",
                    *(["--stream", "10"] if how.startswith("stream") else []), cwd=tmp_path, stdin=stdin)  # fmt: skip
    assert r.returncode == 0, r.stderr
    name = "standard input" if src == "-" else src
    notes = [line for line in r.stderr.splitlines() if line.startswith("talvane: note:")]
    assert notes == [f"talvane: note: {name}: truncated: its header gives 1.00 s (16,000 frames), and 0.30 s "
                     "(4,800 frames) are there"]  # fmt: skip


@pytest.mark.parametrize("output", ["fifo", "symlink"])
def test_an_output_that_is_no_regular_file_is_written_into(everyday, tmp_path, output):
    """A FIFO (or /dev/null, /dev/stdout) is written into, not replaced by a regular
    file; a link is written through, as cp does, not replaced."""
    import threading

    src = everyday / "stereo.wav"
    assert talvane("gate", src, "-o", "plain.wav", cwd=tmp_path).returncode == 0
    got = []
    if output == "fifo":
        os.mkfifo(tmp_path / "out.wav")
        reader = threading.Thread(target=lambda: got.append((tmp_path / "out.wav").read_bytes()), daemon=True)
        reader.start()
    else:
        os.symlink("target.wav", tmp_path / "out.wav")
    r = talvane("gate", src, "-o", "out.wav", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    if output == "fifo":
        reader.join(timeout=60)
        assert (tmp_path / "out.wav").is_fifo() and got == [(tmp_path / "plain.wav").read_bytes()]
    else:
        assert (tmp_path / "out.wav").is_symlink()
        assert (tmp_path / "target.wav").read_bytes() == (tmp_path / "plain.wav").read_bytes()


def test_output_places(everyday, tmp_path):
    src = everyday / "stereo.wav"
    for args, made in [
        (["-o", "outdir/"], "outdir/stereo.wav"),
        (["-o", "new/sub/out.flac"], "new/sub/out.flac"),
        (["-o", "new/sub", "--plot", "pics/p.svg"], "new/sub/stereo.wav"),
    ]:
        r = talvane("gate", src, *args, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        assert read(tmp_path / made)[0].shape == read(src)[0].shape
    svg = (tmp_path / "pics" / "p.svg").read_text()
    assert svg.lstrip().startswith("<?xml") and "dBFS" in svg
    # A folder input named . or .. gets an output folder named after the folder it is, beside it.
    for name, cwd, made in [(".", "tree", "a.csv"), ("./", "tree", "a.csv"), ("..", "tree/sub", "sub/b.csv")]:
        r = talvane("mask", name, "-r", cwd=everyday / cwd)
        assert r.returncode == 0, r.stderr
        assert (everyday / "tree.regions" / made).exists()
        shutil.rmtree(everyday / "tree.regions")


@pytest.mark.parametrize("recursive", [False, True], ids=["flat", "recursive"])
def test_folder_runs_count_what_they_pass_over(everyday, tmp_path, recursive):
    tree = everyday / "tree"
    r = talvane("gate", tree, "-o", "out", *(["-r"] if recursive else []), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    made = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.*"))
    if recursive:
        assert made == ["a.wav", "sub/b.flac", "sub/deeper/c.wav"]
        assert r.stderr.splitlines()[-2:] == [
            "talvane: note: passed over 1 file not taken for audio by its extension",
            "3 done, 0 failed, 1 skipped",
        ]
    else:
        assert made == ["a.wav"]
        assert r.stderr.splitlines()[-2:] == [  # readme.txt and sub/
            "talvane: note: passed over 1 file not taken for audio by its extension and 1 subfolder "
            "(-r walks subfolders)",
            "1 done, 0 failed, 2 skipped",
        ]


@pytest.mark.parametrize("to", ["file", "stdout"])
@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_mask_of_a_folder_into_one_file(everyday, tmp_path, fmt, to):
    """One table for the folder, in a file or alone on standard output (the summaries on standard error)."""
    r = talvane("mask", everyday / "tree", "-r", *(["-o", f"all.{fmt}"] if to == "file" else ["-o", "-", "--format",
                fmt]), cwd=tmp_path)  # fmt: skip
    assert r.returncode == 0, r.stderr
    text = (tmp_path / f"all.{fmt}").read_text() if to == "file" else r.stdout
    names = [str(everyday / "tree" / p) for p in ("a.wav", "sub/b.flac", "sub/deeper/c.wav")]
    if fmt == "json":
        records = json.loads(text)
        assert [rec["file"] for rec in records] == names and all(rec["regions"] for rec in records)
    else:
        rows = list(csv.DictReader(io.StringIO(text)))
        assert list(rows[0]) == ["file", "start_s", "end_s", "start_sample", "end_sample"]
        assert sorted({row["file"] for row in rows}) == names


def test_mask_as_audacity_labels(everyday, tmp_path):
    r = talvane("mask", everyday / "stereo.wav", "--format", "audacity", "-o", "-", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    both, rate = read(everyday / "stereo.wav")
    regions = analyse(np.ascontiguousarray(both.mean(axis=1, dtype=np.float32)), rate).regions
    assert r.stdout == "".join(f"{g.start_s:.6f}\t{g.end_s:.6f}\tkept\n" for g in regions)


def test_cut_keeps_short_pauses_and_crossfades_joins(tmp_path):
    # Three bursts with pauses of 1.0 s and 0.15 s between them.
    x = bursts(RATE, 4.0, [(0.5, 1.0), (2.0, 2.5), (2.65, 3.2)], seed=7)
    sf.write(tmp_path / "in.wav", x, RATE, subtype="FLOAT")
    regions = analyse(x, RATE).regions
    pause, fade = int(0.2 * RATE), int(0.01 * RATE)
    gaps = [b.start - a.end for a, b in zip(regions, regions[1:])]
    r = talvane("cut", "in.wav", "-o", "out.wav", "--keep-pause", "200ms", "--crossfade", "10ms", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out, _ = read(tmp_path / "out.wav")
    ends = min(regions[0].start, pause // 2) + min(len(x) - regions[-1].end, pause // 2)
    kept_pauses = sum(min(g, pause) for g in gaps) + ends
    joins = sum(g > pause for g in gaps)
    speech = sum(g.end - g.start for g in regions)
    assert len(out) == speech + kept_pauses - fade * joins
    assert f"4.00 s -> {len(out) / RATE:.2f} s" in r.stdout
    # Speech itself is untouched: the first burst and its leading half pause come out as they were.
    start = regions[0].start - pause // 2
    np.testing.assert_array_equal(out[: regions[0].end - start], x[start : regions[0].end])
    # Bare numbers are milliseconds, as the help says.
    r = talvane("cut", "in.wav", "-o", "bare.wav", "--keep-pause", "200", "--crossfade", "10", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    np.testing.assert_array_equal(read(tmp_path / "bare.wav")[0], out)


def test_warnings_name_the_option_to_change(tmp_path):
    loud = np.random.default_rng(8).normal(0.0, 0.1, 2 * RATE).astype(np.float32)
    sf.write(tmp_path / "loud.wav", loud, RATE, subtype="FLOAT")
    sf.write(tmp_path / "quiet.wav", loud * np.float32(0.001), RATE, subtype="FLOAT")
    r = talvane("gate", "loud.wav", "-o", "a.wav", cwd=tmp_path)
    assert r.returncode == 0 and "talvane: warning: loud.wav: the noise floor" in r.stderr
    assert "the speech preset (--preset speech) follows the noise with no upper limit" in r.stderr
    r = talvane("gate", "loud.wav", "-o", "e.wav", "--preset", "speech", cwd=tmp_path)  # no cap, nothing clamped
    assert r.returncode == 0 and "the noise floor" not in r.stderr and "preset speech, " in r.stdout
    # Hum below the speech band: read through the band, the summary names it and nothing is clamped.
    t = np.arange(2 * RATE) / RATE
    sf.write(tmp_path / "hum.wav", (0.05 * np.sin(2 * np.pi * 50 * t) + loud * 0.01).astype(np.float32), RATE)
    r = talvane("gate", "hum.wav", "-o", "c.wav", "--band", "speech", cwd=tmp_path)
    assert r.returncode == 0 and "band speech (200-4000 Hz), " in r.stdout and "the noise floor" not in r.stderr
    r = talvane("cut", "quiet.wav", "-o", "b.wav", cwd=tmp_path)
    assert r.returncode == 0
    assert one_line(r.stderr).startswith("talvane: warning: quiet.wav: nothing kept (threshold -41.9 dBFS)")
    # A fixed threshold below the noise keeps it all: both levels are named, in batch and streaming alike.
    for stream in ([], ["--stream", "10ms"]):
        r = talvane("gate", "loud.wav", "-o", "d.wav", "--threshold", "-40dBFS", *stream, cwd=tmp_path)
        assert r.returncode == 0 and re.match(
            r"talvane: warning: loud\.wav: the noise floor \(-20\.\d dBFS\) lies above --threshold \(-40\.0 dBFS\)",
            one_line(r.stderr))


def test_system_errors_name_their_cause(everyday, tmp_path):
    import resource

    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))  # noqa: E731
    r = talvane("gate", everyday / "stereo.wav", "-o", "out.wav", cwd=tmp_path, preexec_fn=limit)
    assert r.returncode == 1
    assert one_line(r.stderr) == f"talvane: error: {everyday / 'stereo.wav'}: cannot write out.wav: File too large"
    assert list(tmp_path.iterdir()) == []
