"""Standard input and output: pipes read as they come, raw PCM layouts, WAV
headers read or refused, and a redirected standard output."""

import io
import json
import os
import struct
import subprocess
import time

import numpy as np
import pytest
from test_split import dataset_rows

from conftest import RATE, TOOL, bursts, one_line, read, talvane
from talvane_rs import Stream, cut

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")


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
    proc = subprocess.Popen([*TOOL, "gate", "-", "-o", "-", "--stream", "10ms", *options], stdin=subprocess.PIPE,
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
        r = subprocess.run([*TOOL, "gate", "in.wav", "--stream", "10", "-o", "-"], cwd=tmp_path, stdout=out,
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
