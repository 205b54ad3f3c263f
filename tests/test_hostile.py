"""Hostile input: lying lengths, failing iterators and conversions, extreme
parameters and rates, NaN and infinities, tiny and misaligned arrays. Each gives
a clear exception or a defined result, and the object stays usable."""

import fcntl
import os
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import reference as ref
from conftest import talvane
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane

U64_MAX = ref.U64_MAX
NAN, INF = float("nan"), float("inf")
LIST_METHODS = ("compute_keep_mask", "apply_array", "compact_array")
ARRAY_METHODS = ("compute_keep_mask_array", "apply_array_np", "compact_array_np")
COUNT_PARAMS = ref.COUNT_FIELDS
FLOAT_PARAMS = ref.FLOAT_FIELDS
EXPECTED = {
    "compute_keep_mask": lambda c, x, r: np.array(ref.keep_mask(c, x, r), dtype=bool),
    "compute_keep_mask_array": lambda c, x, r: np.array(ref.keep_mask(c, x, r), dtype=bool),
    "apply_array": ref.apply_list,
    "apply_array_np": ref.apply_array,
    "compact_array": ref.compact,
    "compact_array_np": ref.compact,
}


class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


def speech(n=900, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 0.003, n)
    x[n // 3 : 2 * n // 3] += 0.3 * np.sin(np.arange(2 * n // 3 - n // 3) * 0.2)
    return x.astype(np.float32)


def run(gate, method, x, rate):
    data = x.tolist() if method in LIST_METHODS else x
    return np.asarray(getattr(gate, method)(data, rate))


def check_method(cfg, gate, method, x, rate, same_f32):
    """The method's result equals the model's, or both refuse the limits."""
    try:
        expected = EXPECTED[method](cfg, x, rate)
    except ref.ThresholdError:
        with pytest.raises(BaseException) as info:
            run(gate, method, x, rate)
        assert not isinstance(info.value, Exception)
        return
    result = run(gate, method, x, rate)
    if expected.dtype == bool:
        assert result.tolist() == expected.tolist()
    else:
        same_f32(result, expected)


def assert_usable(gate, same_f32):
    x = speech()
    same_f32(gate.apply_array_np(x, 16000), ref.apply_array(ref.Config(), x, 16000))


class Claims:
    """A sequence of three items whose __len__ tells something else."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 0.25


@pytest.mark.parametrize("method", LIST_METHODS)
@pytest.mark.parametrize(
    "length",
    [2**62, 2**63 - 1, 2**63, 2**100, -1, 0, Boom("len")],
    ids=["2^62", "max", "2^63", "2^100", "neg", "0", "raises"],
)
def test_length_is_only_a_hint(method, length):
    gate = EnergyTalvane(pass_windows=1)
    expected = getattr(gate, method)([0.25] * 3, 16000)
    assert list(getattr(gate, method)(Claims(length), 16000)) == list(expected)


class FailsMidway:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 10

    def __iter__(self):
        yield 0.5
        yield 0.25
        raise self.exc

    def __getitem__(self, i):
        raise AssertionError("iteration goes through __iter__")


class BadFloat:
    def __float__(self):
        raise Boom("float")


class BadIndex:
    def __index__(self):
        raise Boom("index")


@pytest.mark.parametrize("method", LIST_METHODS)
@pytest.mark.parametrize(
    "data, exc, message",
    [
        (FailsMidway(Boom("midway")), Boom, "midway"),
        (FailsMidway(TypeError("midway")), TypeError, "argument 'data': midway"),
        (FailsMidway(MemoryError("midway")), MemoryError, "midway"),
        ([0.5, BadFloat(), 0.5], Boom, "float"),
        ((0.5, 0.5, BadFloat()), Boom, "float"),
        ([0.5, 2**1024], OverflowError, "int too large to convert to float"),
    ],
    ids=["iterator-custom", "iterator-typeerror", "iterator-memory", "list-float", "tuple-float", "huge-int"],
)
def test_failing_items_pass_their_exception(method, data, exc, message, same_f32):
    gate = EnergyTalvane()
    with pytest.raises(exc) as info:
        getattr(gate, method)(data, 16000)
    assert type(info.value) is exc and str(info.value) == message
    assert_usable(gate, same_f32)


@pytest.mark.parametrize("cls", [EnergyTalvane, StreamingEnergyTalvane])
@pytest.mark.parametrize("name", COUNT_PARAMS + FLOAT_PARAMS)
def test_failing_constructor_conversions(cls, name):
    with pytest.raises(Boom):
        cls(**{name: BadIndex() if name in COUNT_PARAMS else BadFloat()})


def test_failing_sample_rate_and_stream_state_kept(same_f32):
    gate = EnergyTalvane()
    for method in LIST_METHODS + ARRAY_METHODS:
        with pytest.raises(Boom):
            run(gate, method, speech(), BadIndex())
    assert_usable(gate, same_f32)

    stream = StreamingEnergyTalvane()
    stream.process_chunk(speech(), 16000, False)
    before = stream.context_len(), stream.last_gain()
    with pytest.raises(Boom):
        stream.process_chunk(speech(), BadIndex(), False)
    with pytest.raises(OverflowError):
        stream.process_chunk(speech(), U64_MAX + 1, False)
    assert (stream.context_len(), stream.last_gain()) == before


@pytest.mark.parametrize("name", COUNT_PARAMS)
@pytest.mark.parametrize("method", LIST_METHODS + ARRAY_METHODS)
def test_every_count_at_the_word_maximum(name, method, same_f32):
    cfg = ref.Config(**{name: U64_MAX})
    check_method(cfg, EnergyTalvane(**{name: U64_MAX}), method, speech(), 16000, same_f32)


@pytest.mark.parametrize("name", COUNT_PARAMS)
def test_streaming_counts_at_the_word_maximum(name, same_f32):
    cfg = ref.Config(**{name: U64_MAX})
    gate, model = StreamingEnergyTalvane(**{name: U64_MAX}), ref.Stream(cfg)
    x = speech(1200)
    for chunk, rate in [(x[:500], 16000), (x[500:], 16000), (x[:7], U64_MAX), (x[7:300], U64_MAX)]:
        same_f32(gate.process_chunk(chunk, rate, False), model.process_chunk(chunk, rate, False))
        assert gate.context_len() == model.context_len()
    # Both limits saturated: every sample is kept as context.
    if name == "stream_context_ms":
        assert gate.context_len() == 300


@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("name", FLOAT_PARAMS)
@pytest.mark.parametrize("method", LIST_METHODS + ARRAY_METHODS)
def test_non_finite_float_parameters(name, value, method, same_f32):
    cfg = ref.Config(**{name: value})
    check_method(cfg, EnergyTalvane(**{name: value}), method, speech(), 16000, same_f32)


@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize("name", FLOAT_PARAMS)
def test_non_finite_float_parameters_streaming(name, value, same_f32):
    cfg = ref.Config(**{name: value})
    gate, model = StreamingEnergyTalvane(**{name: value}), ref.Stream(cfg)
    x = speech(1500)
    for start, stop in [(0, 400), (400, 401), (401, 1500)]:
        try:
            expected = model.process_chunk(x[start:stop], 16000, False)
        except ref.ThresholdError:
            with pytest.raises(BaseException) as info:
                gate.process_chunk(x[start:stop], 16000, False)
            assert not isinstance(info.value, Exception)
        else:
            same_f32(gate.process_chunk(x[start:stop], 16000, False), expected)
        assert gate.context_len() == model.context_len()
        assert repr(gate.last_gain()) == repr(model.last_gain())


@pytest.mark.parametrize("attenuation", [0.0, 0.5])
@pytest.mark.parametrize("method", LIST_METHODS + ARRAY_METHODS)
def test_non_finite_samples(method, attenuation, same_f32):
    x = speech()
    x[[5, 300, 450]] = [NAN, INF, -INF]
    # Infinite energies meet 0 * inf only for weights outside (0, 1); the default is inside.
    cfg = ref.Config(attenuation=attenuation, pass_windows=1)
    check_method(cfg, EnergyTalvane(attenuation=attenuation, pass_windows=1), method, x, 16000, same_f32)


@pytest.mark.parametrize("n", [0, 1])
@pytest.mark.parametrize("rate", [0, 1, 16000, U64_MAX])
@pytest.mark.parametrize("method", LIST_METHODS + ARRAY_METHODS)
def test_tiny_inputs_and_extreme_rates(method, n, rate, same_f32):
    x = np.full(n, 0.5, np.float32)
    for cfg in (ref.Config(), ref.Config(pass_windows=1), ref.Config(base_thresh=1.0, max_thresh=0.5)):
        check_method(cfg, EnergyTalvane(**cfg.kwargs()), method, x, rate, same_f32)


@pytest.mark.parametrize("rate", [0, U64_MAX])
@pytest.mark.parametrize("method", LIST_METHODS + ARRAY_METHODS)
def test_extreme_rates_on_a_recording(method, rate, same_f32):
    check_method(ref.Config(), EnergyTalvane(), method, speech(), rate, same_f32)


@pytest.mark.parametrize("rates", [(0, 0, 1), (U64_MAX, U64_MAX, 0), (16000, 0, U64_MAX)], ids=str)
def test_streaming_extreme_rates_and_tiny_chunks(rates, same_f32):
    gate, model = StreamingEnergyTalvane(), ref.Stream(ref.Config())
    x = speech(700)
    for i, rate in enumerate(rates):
        for chunk in (x[:0], x[:1], x[1:2], x[2:600]):
            same_f32(gate.process_chunk(chunk, rate, False), model.process_chunk(chunk, rate, False))
            assert gate.context_len() == model.context_len()
            assert repr(gate.last_gain()) == repr(model.last_gain())
    same_f32(gate.process_chunk(x[:1], rates[-1], True), model.process_chunk(x[:1], rates[-1], True))
    assert gate.context_len() == 0 and gate.last_gain() is None


def misaligned(x):
    """A C-contiguous float32 array one byte past an aligned address."""
    buf = np.zeros(x.nbytes + 8, np.uint8)
    start = (-buf.ctypes.data) % 8 + 1
    buf[start : start + x.nbytes] = x.view(np.uint8)
    y = np.frombuffer(buf.data, np.float32, len(x), start)
    assert not y.flags.aligned and y.flags.c_contiguous
    return y


@pytest.mark.parametrize("method", ARRAY_METHODS)
def test_misaligned_arrays_read_like_aligned_ones(method):
    gate, x = EnergyTalvane(), speech(1001)
    assert run(gate, method, misaligned(x), 16000).tobytes() == run(gate, method, x, 16000).tobytes()


def test_misaligned_chunks_stream_like_aligned_ones():
    a, b, x = StreamingEnergyTalvane(), StreamingEnergyTalvane(), speech(3000)
    for start, stop in [(0, 1), (1, 1000), (1000, 1001), (1001, 3000)]:
        out_a = a.process_chunk(misaligned(x[start:stop]), 16000, False)
        out_b = b.process_chunk(x[start:stop].copy(), 16000, False)
        assert out_a.tobytes() == out_b.tobytes()
    assert a.context_len() == b.context_len() and repr(a.last_gain()) == repr(b.last_gain())


def test_object_survives_every_refusal(same_f32):
    gate, stream = EnergyTalvane(), StreamingEnergyTalvane()
    stream.process_chunk(speech(), 16000, False)
    before = stream.context_len(), repr(stream.last_gain())
    strided = speech()[::2]
    refusals = [
        lambda: gate.apply_array("abc", 16000),
        lambda: gate.apply_array_np(strided, 16000),
        lambda: gate.compact_array_np(speech().astype(np.float64), 16000),
        lambda: gate.compute_keep_mask(speech().tolist(), -1),
        lambda: stream.process_chunk(strided, 16000, False),
        lambda: stream.process_chunk(speech(), 16000, 1),
        lambda: stream.process_chunk(speech(), 2**64, False),
        lambda: stream.process_chunk(speech(), 16000),
    ]
    for refusal in refusals:
        with pytest.raises((TypeError, OverflowError)):
            refusal()
    assert_usable(gate, same_f32)
    assert (stream.context_len(), repr(stream.last_gain())) == before


def test_repeated_type_lookups_keep_nothing(tmp_path):
    """Refusals and NumPy booleans look up type names. Names looked up with a fresh
    string each time were kept by the interpreter's type attribute cache, one per
    slot that string's address picked; a fresh interpreter shows it at once."""
    script = tmp_path / "lookups.py"
    script.write_text(
        textwrap.dedent(
            """
            import gc, sys
            import numpy as np
            from talvane_rs import EnergyTalvane, StreamingEnergyTalvane
            gate, stream, x = EnergyTalvane(), StreamingEnergyTalvane(), np.zeros(0, np.float32)
            def calls():
                stream.process_chunk(x, 16000, np.False_)
                try:
                    gate.compute_keep_mask(5, 16000)
                except TypeError:
                    pass
            calls()
            keep = [None] * 4000
            gc.collect()
            before = sys.getallocatedblocks()
            for i in range(4000):
                keep[i] = "%012d" % i  # the size of a name string: each call gets a new address
                calls()
            gc.collect()
            print(sys.getallocatedblocks() - before - len(keep))
            """
        )
    )
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 50


class Meddling:
    """A sample_rate whose __index__ changes the data array after it was converted."""

    def __init__(self, change):
        self.change = change

    def __index__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # setting strides
            self.change()
        return 16000


@pytest.mark.parametrize("method", ARRAY_METHODS)
def test_array_is_read_after_the_last_conversion(method):
    gate = EnergyTalvane(pass_windows=1)
    y = speech(100_000)
    # Shrunk in place: the old buffer is freed, so reading it would be a use after free.
    out = getattr(gate, method)(y, Meddling(lambda: y.resize(1, refcheck=False)))
    assert len(out) == 1 and y.shape == (1,)
    # Strided in place: the array is no longer contiguous and is refused as such.
    base = speech(200)
    view = base[:100]

    def stride():
        view.strides = (8,)

    with pytest.raises(TypeError) as info:
        getattr(gate, method)(view, Meddling(stride))
    assert str(info.value) == "The given array is not contiguous"


# Each case starts the command line: the buffered half, where short writes showed
# as an error rather than as lost data, runs with the slow groups.
@pytest.mark.parametrize("unbuffered", [pytest.param(False, marks=pytest.mark.slow), True],
                         ids=["buffered", "unbuffered"])  # fmt: skip
@pytest.mark.parametrize("reader", ["slow-nonblocking", "closes-at-100"])
@pytest.mark.parametrize(
    "args, head",
    [(["gate", "in.wav"], 44), (["gate", "in.wav", "--stream", "10"], 44),
     (["gate", "-", "--stream", "10", "--raw", "s16le:16000:1"], 0)],
    ids=["file", "wav-stream", "raw-stream"],
)  # fmt: skip
def test_standard_output_is_written_whole_or_fails(tmp_path, args, head, reader, unbuffered):
    """Standard output takes every byte or the run fails with one line: with
    PYTHONUNBUFFERED=1 writes come up short, and a non-blocking descriptor read
    slowly takes only what fits; a reader that goes away is a broken pipe."""
    sf = pytest.importorskip("soundfile")
    samples = (speech(96_000) * 32767).astype(np.int16)  # 192 kB: three times a pipe's buffer
    sf.write(tmp_path / "in.wav", samples, 16000, subtype="PCM_16")
    if args[1] == "-":
        (tmp_path / "in.wav").write_bytes(samples.tobytes())
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env.update({"PYTHONUNBUFFERED": "1"} if unbuffered else {})
    r, w = os.pipe()
    if reader == "slow-nonblocking":
        fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
    with open(tmp_path / "in.wav", "rb") as stdin:
        proc = subprocess.Popen([sys.executable, "-m", "talvane_rs", *args, "-o", "-"], cwd=tmp_path, stdin=stdin,
                                stdout=w, stderr=subprocess.PIPE)  # fmt: skip
    os.close(w)
    got = 0
    with os.fdopen(r, "rb", buffering=0) as out:
        while part := out.read(100 if reader == "closes-at-100" else 16384):
            got += len(part)
            if reader == "closes-at-100":
                break
            time.sleep(0.005)
    err = proc.communicate(timeout=120)[1].decode()
    if reader == "closes-at-100":
        assert proc.returncode == 1 and err.endswith("cannot write to standard output: Broken pipe\n"), err
        assert len(err.splitlines()) == 1
    else:
        assert proc.returncode == 0 and got == head + samples.nbytes, err


def test_summaries_to_a_reader_gone_away_end_in_one_line(tmp_path):
    """The summaries' reader closed: every file still goes through, and the run ends
    with the tally and one line of error, status 1, rather than a traceback."""
    sf = pytest.importorskip("soundfile")
    (tmp_path / "in").mkdir()
    for name in ("a.wav", "b.wav"):
        sf.write(tmp_path / "in" / name, speech(16000), 16000)
    r, w = os.pipe()
    os.close(r)
    proc = subprocess.run([sys.executable, "-m", "talvane_rs", "gate", "in", "-o", "out/"], cwd=tmp_path, stdout=w,
                          stderr=subprocess.PIPE, text=True, timeout=120)  # fmt: skip
    os.close(w)
    assert proc.returncode == 1 and sorted(os.listdir(tmp_path / "out")) == ["a.wav", "b.wav"]
    assert proc.stderr.splitlines() == ["2 done, 0 failed, 0 skipped",
                                        "talvane: error: cannot write to standard output: Broken pipe"]  # fmt: skip


def split_cli(tmp_path, inputs, *args):
    """talvane split of the named inputs (16 bursts of speech each, written here
    first) into tmp_path/out; the result, and every path under tmp_path that was
    not there before the run."""
    sf = pytest.importorskip("soundfile")
    talk = np.tile(speech(12800), 16)  # a burst every 0.8 s at 16 kHz
    for name in inputs:
        sf.write(tmp_path / name, talk, 16000, format="WAV")
    before = set(tmp_path.rglob("*"))
    r = talvane("split", *inputs, "-o", "out", *args, cwd=tmp_path)
    return r, set(tmp_path.rglob("*")) - before


@pytest.mark.parametrize(
    "inputs, template, code",
    [
        (["talk.wav"], "x{index:c}..{index:c}..{index:c}escaped{index}.{ext}", 2),  # piece 47: x/../../escaped47
        (["talk.wav"], "a\\b_{index}.{ext}", 2),
        (["talk.wav"], "{index}\n.{ext}", 2),
        (["talk.wav"], "{stem.__class__}_{index}.{ext}", 2),
        (["talk.wav"], "{index!r}.{ext}", 2),
        (["talk.wav"], "{index:{start}}.{ext}", 2),
        (["..wav"], "{stem}", 1),  # the output folder itself
        (["...wav"], "{stem}", 1),
        (["a\nb.wav"], "{stem}_{index}.{ext}", 1),
    ],
    ids=["separator-by-number", "backslash", "newline", "attribute", "conversion", "nested-spec", "stem-dot",
         "stem-dot-dot", "stem-newline"],
)
def test_split_names_stay_plain_files_in_the_output_folder(tmp_path, inputs, template, code):
    """A piece's name is one plain file name: a template that could make any other
    is refused, and a name made from a hostile file name fails that file before
    anything is written."""
    r, made = split_cli(tmp_path, inputs, "--name", template, "--max-length", "80ms")
    assert r.returncode == code, r.stderr
    assert made == set()


def test_split_overwrite_removes_only_what_an_earlier_manifest_lists_inside_the_folder(tmp_path):
    """--overwrite removes the pieces an earlier manifest lists, and of its rows
    only regular files inside the folder that are not inputs: never a path
    outside, through .., an absolute name or a linked folder, nor a link."""
    out, keep = tmp_path / "out", tmp_path / "keep"
    out.mkdir()
    keep.mkdir()
    for path in (tmp_path / "outside.wav", keep / "target.wav", out / "old_0001.wav", out / "notes.txt"):
        path.write_bytes(b"not yours")
    (out / "link.wav").symlink_to(keep / "target.wav")
    (out / "linked").symlink_to(keep)
    listed = ["old_0001.wav", "../outside.wav", str(tmp_path / "outside.wav"), "link.wav", "linked/target.wav",
              "old_0001.wav/../../outside.wav", "in.wav"]  # fmt: skip
    (out / "manifest.csv").write_text("file,source,start_s,end_s,start_sample,end_sample,duration_s\n"
                                      + "".join(f"{name},talk.wav,0,1,0,16000,1\n" for name in listed))  # fmt: skip
    r, _ = split_cli(tmp_path, ["out/in.wav"], "--overwrite")
    assert r.returncode == 0, r.stderr
    assert not (out / "old_0001.wav").exists() and "1 of the 7 files it lists" in r.stderr
    for path in (tmp_path / "outside.wav", keep / "target.wav", out / "notes.txt", out / "link.wav"):
        assert path.read_bytes() == b"not yours"
    assert (out / "in.wav").exists() and (out / "link.wav").is_symlink()
    pieces = (out / "manifest.csv").read_text().splitlines()[1:]
    assert pieces and all((out / row.split(",")[0]).is_file() for row in pieces)


def test_one_file_by_two_names_is_one_file(tmp_path):
    """A hard link, a path and a file:// URL name one file: it is one input, it
    is an input whichever name an output takes, and live writes it once."""
    import argparse

    from talvane_rs.errors import UsageError
    from talvane_rs.live.command import targets

    sf = pytest.importorskip("soundfile")
    (tmp_path / "d").mkdir()
    sf.write(tmp_path / "d" / "a.wav", speech(32000), 16000)
    os.link(tmp_path / "d" / "a.wav", tmp_path / "d" / "hard.wav")
    before = (tmp_path / "d" / "a.wav").read_bytes()
    run = lambda *args: talvane(*args, cwd=tmp_path)  # noqa: E731
    r = run("mask", "d/a.wav", "d/hard.wav", "d", f"file://{tmp_path}/d/hard.wav", "-o", "all.csv")
    assert r.returncode == 0 and r.stdout.count("d/") == 1, r.stderr
    assert r.stderr.splitlines()[-2:] == ["talvane: note: mask of 1 file -> all.csv", "1 done, 0 failed, 0 skipped"]
    r = run("gate", "d/a.wav", "-o", "d/hard.wav")
    assert r.returncode == 1 and "d/hard.wav is an input; pass --overwrite to replace it" in r.stderr
    assert (tmp_path / "d" / "a.wav").read_bytes() == before
    for output, raw in [("d/a.wav", "d/hard.wav"), (f"file://{tmp_path}/d/x.wav", "d/x.wav")]:
        with pytest.raises(UsageError, match="^-o and --save-input name the same file$"):
            targets(argparse.Namespace(output=str(tmp_path / output) if "://" not in output else output,
                                       save_input=str(tmp_path / raw)))  # fmt: skip
