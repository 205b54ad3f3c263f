"""Where outputs go and what they hold: formats, channels, bit depths, plots, inputs
never written over, folders walked, special files, system errors; standard input
and output: pipes read as they come, raw PCM layouts, WAV headers read or refused."""

import csv
import io
import json
import os
import re
import shutil
import struct
import subprocess
import time

import numpy as np
import pytest
from test_split import dataset_rows

from conftest import ALL_OPTIONS, CLASSIC, RATE, TOOL, bursts, one_line, read, talvane, talvane_process
from talvane_rs import EnergyTalvane, Stream, analyse, cut
from talvane_rs.params import GateSettings

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

MP3 = sf.check_format("MP3", "MPEG_LAYER_III") if "MP3" in sf.available_formats() else False
needs_mp3 = pytest.mark.skipif(not MP3, reason=f"libsndfile {sf.__libsndfile_version__} has no MP3")


def test_overwrite_replaces_the_input_when_asked(everyday, tmp_path):
    target = tmp_path / "in.wav"
    shutil.copy(everyday / "speech.wav", target)
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
                input=data)  # fmt: skip
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
    "args, made, last",
    [
        (["mask", "tree/a.wav", "stereo.wav", "./tree/a.wav", "-o", "out/"], ["out/a.csv", "out/stereo.csv"],
         "2 done, 0 failed, 0 skipped"),
        (["mask", "tree/a.wav", "tree", "-o", "all.csv"], ["all.csv"], "1 done, 0 failed, 2 skipped"),
        (["gate", "stereo.wav", "tree", "-r", "-o", "out"],
         ["out/stereo.wav", "out/tree/a.wav", "out/tree/sub/b.flac", "out/tree/sub/deeper/c.wav"],
         "4 done, 0 failed, 1 skipped"),
        (["gate", "tree", "-o", "out"], ["out/a.wav"], "talvane: note: passed over 1 file not taken for audio by "
         "its extension and 1 subfolder (-r walks subfolders)\n1 done, 0 failed, 2 skipped"),  # readme.txt and sub/
        (["gate", "tree", "-o", "out", "-r"], ["out/a.wav", "out/sub/b.flac", "out/sub/deeper/c.wav"],
         "talvane: note: passed over 1 file not taken for audio by its extension\n3 done, 0 failed, 1 skipped"),
    ],
    ids=["files-named-twice", "combined-table", "file-and-folder", "folder-flat", "folder-recursive"],
)
def test_several_inputs(everyday, tmp_path, args, made, last):
    for name in ("stereo.wav", "tree"):
        (shutil.copytree if name == "tree" else shutil.copy)(everyday / name, tmp_path / name)
    before = {p for p in tmp_path.rglob("*") if p.is_file()}
    r = talvane(*args, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert ("\n" + r.stderr).endswith(f"\n{last}\n")  # the closing lines
    assert sorted(str(p.relative_to(tmp_path)) for p in set(tmp_path.rglob("*")) - before if p.is_file()) == made
    if made == ["all.csv"]:  # a file also in a folder given is taken once
        rows = list(csv.DictReader(io.StringIO((tmp_path / "all.csv").read_text())))
        assert {row["file"] for row in rows} == {"tree/a.wav"}


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
    r = talvane(command, src, "-o", "out.csv" if how == "mask" else "out.wav",
                *(["--stream", "10"] if how.startswith("stream") else []), cwd=tmp_path,
                input=(tmp_path / "cut.wav").read_bytes())  # fmt: skip
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


def test_system_errors_name_their_cause(everyday, tmp_path):
    import resource

    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))  # noqa: E731
    r = talvane_process("gate", everyday / "stereo.wav", "-o", "out.wav", cwd=tmp_path, preexec_fn=limit)
    assert r.returncode == 1
    assert one_line(r.stderr) == f"talvane: error: {everyday / 'stereo.wav'}: cannot write out.wav: File too large"
    assert list(tmp_path.iterdir()) == []


def test_pipes(everyday, tmp_path):
    data = (everyday / "stereo.wav").read_bytes()
    both, rate = read(everyday / "stereo.wav")
    run = lambda *args: talvane(*args, cwd=tmp_path, input=data, binary=True)  # noqa: E731
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
    r = talvane("gate", "-", "-o", "-", *args, cwd=".", input=data, binary=True)
    assert r.returncode == code
    assert message in one_line(r.stderr.decode())
    assert len(r.stdout) == written


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
