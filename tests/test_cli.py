"""Each command of talvane held to the library it runs, on small generated files;
folder runs on workers, stop signals, the console script and missing dependencies."""

import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import ALL_OPTIONS, RATE, TOOL, bursts, one_line, read, stop, talvane, talvane_process, wait_for
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, analyse, keep_regions
from talvane_rs.params import GateSettings

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")


def option_args(options):
    args = []
    for name, value in options.items():
        args += ["--" + name.replace("_", "-"), str(value).lower() if isinstance(value, bool) else str(value)]
    return args


# Options each command takes; the rest of ALL_OPTIONS only make sense for gate.
GATE_ONLY = ("enabled", "attenuation", "fade_ms", "stream_context_ms")


@pytest.mark.parametrize(
    "command, attenuation",
    [("gate", 0.25), ("gate", 0.0), ("cut", None), ("mask", None)],
    ids=["gate", "gate-silencing", "cut", "mask"],
)
def test_single_file_matches_the_library(everyday, tmp_path, command, attenuation):
    options = dict(ALL_OPTIONS, attenuation=attenuation)
    if command != "gate":
        options = {k: v for k, v in options.items() if k not in GATE_ONLY}
    out = tmp_path / ("out.csv" if command == "mask" else "out.wav")
    r = talvane(command, everyday / "speech.wav", "-o", out, *option_args(options), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    x, _ = read(everyday / "speech.wav")
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
    assert summary.startswith(f"{everyday / 'speech.wav'}: {length}, kept {kept:.1%} in {len(regions)} regions, ")
    assert re.search(r", noise floor -\d+\.\d dBFS, threshold -\d+\.\d dBFS, preset classic( and \d+ options?)?, "
                     r"[\d,]+x real time", summary)  # fmt: skip
    assert r.stderr == ""


def test_the_default_is_the_speech_preset(everyday, tmp_path):
    """No options: the speech preset's decisions, named in the summary; an option given wins."""
    x, _ = read(everyday / "speech.wav")
    # --music off under speech-music is the speech preset: the same regions and bytes.
    outputs = {}
    for preset, extra, keywords in [("speech", (), {}), ("speech", ("--threshold-ratio", "3"), {"threshold_ratio": 3.0}),
                                    ("speech-music", (), {}), ("speech-music", ("--music", "off"), {"music": False})]:
        r = talvane("mask", everyday / "speech.wav", "-o", "m.csv", "--preset", preset, *extra, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        with open(tmp_path / "m.csv", newline="") as f:
            found = [(int(row["start_sample"]), int(row["end_sample"])) for row in csv.DictReader(f)]
        assert found == analyse(x, RATE, preset=preset, **keywords).regions
        assert f", preset {preset}{' and 1 option' if extra else ''}, band speech (200-4000 Hz), " in r.stdout
        outputs[(preset, extra)] = (tmp_path / "m.csv").read_bytes()
    assert outputs[("speech-music", ("--music", "off"))] == outputs[("speech", ())]
    r = subprocess.run([*TOOL, "mask", "speech.wav", "-o", "-"], cwd=everyday, capture_output=True, text=True,
                       timeout=120)  # no preset named at all  # fmt: skip
    assert r.returncode == 0 and "preset speech, " in r.stderr
    r = talvane("gate", "in.wav", "--preset", "loud", cwd=tmp_path)
    assert r.returncode == 2 and "invalid value 'loud': expected speech, speech-music, classic" in r.stderr
    r = talvane("gate", "--help", cwd=tmp_path)
    assert "explicitly wins over the preset's value. The default is the speech preset" in " ".join(r.stdout.split())


def test_mask_of_one_file_on_standard_output(everyday, tmp_path):
    """As JSON, regions half-open (the end sample is the first one dropped); as
    Audacity labels, the same regions; both decided on the mean of the channels."""
    both, rate = read(everyday / "stereo.wav")
    mask = EnergyTalvane().compute_keep_mask_array(np.ascontiguousarray(both.mean(axis=1, dtype=np.float32)), rate)
    r = talvane("mask", everyday / "stereo.wav", "-o", "-", "--format", "json", cwd=tmp_path)
    assert r.returncode == 0 and "standard output" in one_line(r.stderr)
    record = json.loads(r.stdout)
    assert (record["sample_rate"], record["samples"], len(record["regions"])) == (rate, len(both), 2)
    for region in record["regions"]:
        start, end = region["start_sample"], region["end_sample"]
        assert mask[start:end].all() and not mask[start - 1] and not mask[end]
        assert (region["start_s"], region["end_s"]) == (start / rate, end / rate)
    r = talvane("mask", everyday / "stereo.wav", "-o", "-", "--format", "audacity", cwd=tmp_path)
    assert r.stdout == "".join(f"{g['start_s']:.6f}\t{g['end_s']:.6f}\tkept\n" for g in record["regions"])


def test_stream_gate_and_plot(everyday, tmp_path):
    options = {"stream_context_ms": 300, "attenuation": 0.1}
    r = talvane(
        "gate", everyday / "speech.wav", "--stream", 20, "-o", "s.wav", "--plot", "s.png",
        *option_args(options), cwd=tmp_path,
    )  # fmt: skip
    assert r.returncode == 0, r.stderr
    x, _ = read(everyday / "speech.wav")
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
def test_folder_with_workers(everyday, tmp_path, request, backend):
    folder = everyday / "folder"
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
        stop(proc, signal.SIGKILL, group=True)


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
        stop(proc, signal.SIGKILL)


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


@pytest.mark.parametrize(
    "missing, args, message, extra",
    [("fsspec", None, "run_folder with fsspec URLs needs fsspec", "dask"),
     ("sounddevice", ["live"], "talvane: live needs sounddevice", "live"),
     ("distributed", ["gate", ".", "--dask", "tcp://127.0.0.1:9"], "talvane: --dask needs distributed", "dask")],
)  # fmt: skip
def test_a_missing_extra_is_named_with_its_install_command(monkeypatch, tmp_path, missing, args, message, extra):
    from talvane_rs import run_folder

    monkeypatch.setitem(sys.modules, missing, None)
    expected = f"{message}: pip install 'talvane_rs[{extra}]' (in a source checkout: pip install '.[{extra}]')"
    if args is None:
        with pytest.raises(ImportError) as info:
            run_folder("mask", "s3://b/t/")
        assert str(info.value) == expected
    else:
        r = talvane(*args, cwd=tmp_path)
        assert (r.returncode, r.stderr) == (1, expected + "\n")


def test_console_script_runs(everyday, tmp_path):
    tool = shutil.which("talvane")
    if tool is None:
        pytest.skip("the talvane console script is not on PATH")
    r = talvane_process("cut", everyday / "speech.wav", "-o", "cut.flac", cwd=tmp_path, tool=[tool])
    assert r.returncode == 0, r.stderr
    assert len(read(tmp_path / "cut.flac")[0]) > 0


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


def test_what_is_written_over_or_passed_through_is_said(tmp_path):
    sf.write(tmp_path / "a.wav", bursts(RATE, 2.0, [(0.5, 1.5)]), RATE)
    r = talvane("gate", "a.wav", "-o", "out.wav", cwd=tmp_path)
    assert one_line(r.stdout).endswith("gated -> out.wav")
    r = talvane("gate", "a.wav", "-o", "out.wav", "--enabled", "false", cwd=tmp_path)
    assert re.fullmatch(r"a\.wav: 2\.00 s, kept 100\.0% in 1 region, .* real time, passed through "
                        r"\(--enabled false\) -> out\.wav \(replaced\)", one_line(r.stdout))
