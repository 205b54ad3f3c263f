"""Binding frame: argument matching, conversion rules, borrows, results, internal errors."""

import array
import struct

import numpy as np
import pytest

from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, analyse


def internal_error_type():
    """The internal-error exception, fetched the way a user meets it."""
    try:
        EnergyTalvane(base_thresh=1.0, max_thresh=0.0).compute_keep_mask([0.0], 8000)
    except BaseException as e:  # noqa: B036 - it derives from BaseException on purpose
        return type(e)
    raise AssertionError("no internal error raised")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


GATE = EnergyTalvane(pass_windows=1)  # pass_windows 1 keeps window 0: lists come back unchanged


class Indexable:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class Floatable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class GetItemSeq:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


@pytest.mark.parametrize(
    "data, expected",
    [
        ([1, 2], [1.0, 2.0]),
        ((0.5, -0.25), [0.5, -0.25]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x01\xff", [1.0, 255.0]),
        (array.array("d", [0.1]), [f32(0.1)]),
        (np.array([0.1, 2.0]), [f32(0.1), 2.0]),
        (GetItemSeq([Floatable(0.1), True, Indexable(3)]), [f32(0.1), 1.0, 3.0]),
        ([1e39, -1e39, 3.4028235677973366e38], [float("inf"), float("-inf"), float("inf")]),
        ([3.4028234663852886e38], [3.4028234663852886e38]),
    ],
    ids=["ints", "tuple", "range", "bytes", "array.array", "float64-ndarray", "user-sequence",
         "overflow-to-inf", "float32-max"],
)
def test_float_sequence_conversion(data, expected):
    # window 0 is kept (one window for these short inputs), so the samples come back as converted
    assert GATE.compact_array(data, 100000) == expected
    assert EnergyTalvane(enabled=False).apply_array(data, 16000) == expected


def test_list_results_widen_float32_exactly():
    assert EnergyTalvane(enabled=False).apply_array([0.1], 16000) == [0.10000000149011612]


@pytest.mark.parametrize(
    "data, message",
    [
        ("abc", "argument 'data': Can't extract `str` to `Vec`"),
        ({1.0}, "argument 'data': 'set' object cannot be cast as 'Sequence'"),
        ((x for x in [1.0]), "argument 'data': 'generator' object cannot be cast as 'Sequence'"),
        (5, "argument 'data': 'int' object cannot be cast as 'Sequence'"),
        ({"a": 1}, "argument 'data': 'dict' object cannot be cast as 'Sequence'"),
        ([1.0, None], "argument 'data': must be real number, not NoneType"),
        (["1.0"], "argument 'data': must be real number, not str"),
    ],
    ids=["str", "set", "generator", "int", "dict", "none-item", "str-item"],
)
@pytest.mark.parametrize("method", ["compute_keep_mask", "apply_array", "compact_array", "analyse"])
def test_float_sequence_refusals(method, data, message):
    with pytest.raises(TypeError) as info:
        (analyse if method == "analyse" else getattr(GATE, method))(data, 16000)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "data, message",
    [
        ([1.0], "argument 'data': 'list' object cannot be cast as 'ndarray'"),
        (np.zeros(3), "argument 'data': 'ndarray' object cannot be cast as 'ndarray'"),
        (np.zeros((2, 2), np.float32), "argument 'data': 'ndarray' object cannot be cast as 'ndarray'"),
        (np.zeros(3, ">f4"), "argument 'data': 'ndarray' object cannot be cast as 'ndarray'"),
        (np.float32(1.0), "argument 'data': 'float32' object cannot be cast as 'ndarray'"),
    ],
    ids=["list", "float64", "2-D", "byteswapped", "scalar"],
)
@pytest.mark.parametrize("method", ["compute_keep_mask_array", "apply_array_np", "compact_array_np"])
def test_float32_array_refusals(method, data, message):
    with pytest.raises(TypeError) as info:
        getattr(GATE, method)(data, 16000)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["compute_keep_mask_array", "apply_array_np", "compact_array_np"])
def test_non_contiguous_reported_after_sample_rate(method):
    strided = np.zeros(20, np.float32)[::2]
    call = getattr(GATE, method)
    with pytest.raises(TypeError) as info:
        call(strided, 16000.0)
    assert str(info.value) == "argument 'sample_rate': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        call(strided, 16000)
    assert str(info.value) == "The given array is not contiguous"


def test_odd_shaped_but_readable_arrays_are_accepted():
    rng = np.random.default_rng(1)
    x = rng.normal(0, 0.1, 4001).astype(np.float32)
    gate = EnergyTalvane()
    expected = gate.apply_array_np(x, 16000)
    ro = x.copy()
    ro.flags.writeable = False
    unaligned = np.frombuffer(b"\0" + x.tobytes(), np.float32, offset=1)
    fortran = np.asfortranarray(x)
    subclass = x.view(np.recarray).view(type("Sub", (np.ndarray,), {}))
    for variant in (ro, unaligned, fortran, subclass, x.astype("=f4")):
        before = variant.copy()
        assert gate.apply_array_np(variant, 16000).view(np.uint32).tolist() == expected.view(np.uint32).tolist()
        assert np.array_equal(variant.view(np.uint32), before.view(np.uint32))


@pytest.mark.parametrize(
    "rate, exc, message",
    [
        (16000.0, TypeError, "argument 'sample_rate': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'sample_rate': 'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
    ids=["float", "none", "negative", "too-big"],
)
def test_unsigned_refusals(rate, exc, message):
    with pytest.raises(exc) as info:
        GATE.compute_keep_mask([0.0], rate)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("rate", [True, np.int64(16000), np.uint64(2**64 - 1), Indexable(16000), 0])
def test_unsigned_accepted(rate):
    assert len(GATE.compute_keep_mask([0.0] * 10, rate)) == 10


@pytest.mark.parametrize(
    "value, message",
    [
        (1, "argument 'is_last': 'int' object cannot be cast as 'bool'"),
        (None, "argument 'is_last': 'NoneType' object cannot be cast as 'bool'"),
        (np.int8(1), "argument 'is_last': 'int8' object cannot be cast as 'bool'"),
    ],
)
def test_bool_refusals(value, message):
    gate = StreamingEnergyTalvane()
    with pytest.raises(TypeError) as info:
        gate.process_chunk(np.zeros(4, np.float32), 16000, value)
    assert str(info.value) == message


def test_numpy_bool_accepted_and_fake_numpy_bool_without_bool_slot():
    gate = StreamingEnergyTalvane()
    gate.process_chunk(np.zeros(4, np.float32), 16000, np.bool_(False))
    assert gate.context_len() == 4
    gate.process_chunk(np.zeros(4, np.float32), 16000, np.True_)
    assert gate.context_len() == 0
    fake = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        gate.process_chunk(np.zeros(4, np.float32), 16000, fake())
    assert str(info.value) == (
        "argument 'is_last': object of type \"<class 'numpy.bool_'>\" does not define a '__bool__' conversion"
        .replace('"', "'"))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.apply_array(data=[1.0], sample_rate=16000, rate=3),
         "EnergyTalvane.apply_array() got an unexpected keyword argument 'rate'"),
        (lambda g: g.apply_array([1.0], 16000, 3),
         "EnergyTalvane.apply_array() takes 2 positional arguments but 3 were given"),
        (lambda g: g.apply_array(),
         "EnergyTalvane.apply_array() missing 2 required positional arguments: 'data' and 'sample_rate'"),
        (lambda g: g.compute_keep_mask([1.0]),
         "EnergyTalvane.compute_keep_mask() missing 1 required positional argument: 'sample_rate'"),
        (lambda g: g.compact_array_np(np.zeros(1, np.float32), data=np.zeros(1, np.float32)),
         "EnergyTalvane.compact_array_np() got multiple values for argument 'data'"),
    ],
    ids=["unknown-kw", "too-many", "none", "one-missing", "twice"],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call(GATE)
    assert str(info.value) == message


def test_streaming_binding_messages():
    gate = StreamingEnergyTalvane()
    with pytest.raises(TypeError) as info:
        gate.process_chunk()
    assert str(info.value) == ("StreamingEnergyTalvane.process_chunk() missing 3 required positional "
                               "arguments: 'data', 'sample_rate', and 'is_last'")
    with pytest.raises(TypeError) as info:
        gate.process_chunk(np.zeros(1, np.float32), 1, False, 4)
    assert str(info.value) == ("StreamingEnergyTalvane.process_chunk() takes 3 positional arguments "
                               "but 4 were given")
    out = gate.process_chunk(is_last=False, sample_rate=8000, data=np.ones(3, np.float32))
    assert out.shape == (3,)


def test_first_bad_argument_is_reported():
    with pytest.raises(TypeError, match="^argument 'data'"):
        GATE.apply_array("x", -1)
    with pytest.raises(OverflowError):
        GATE.apply_array([1.0], -1)


class Boom(Exception):
    pass


def raising_float(exc):
    class F:
        def __float__(self):
            raise exc
    return F()


def test_prefix_only_for_exact_type_error_and_cause_kept():
    cause = ValueError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        EnergyTalvane(base_thresh=raising_float(err))
    assert str(info.value) == "argument 'base_thresh': inner"
    assert info.value.__cause__ is cause

    class SubTypeError(TypeError):
        pass

    for exc in (Boom("custom"), SubTypeError("sub"), ValueError("v")):
        with pytest.raises(type(exc)) as info:
            GATE.apply_array([1.0, raising_float(exc)], 16000)
        assert info.value is exc


def test_results_are_new_writable_contiguous_arrays():
    x = np.linspace(-1, 1, 500, dtype=np.float32)
    for method, dtype in (("apply_array_np", np.float32), ("compact_array_np", np.float32),
                          ("compute_keep_mask_array", np.bool_)):
        out = getattr(GATE, method)(x, 16000)
        assert out.dtype == dtype and out.flags.c_contiguous and out.flags.writeable
        assert out.base is not None and out is not x and not np.shares_memory(out, x)
        empty = getattr(GATE, method)(np.zeros(0, np.float32), 16000)
        assert empty.dtype == dtype and empty.shape == (0,) and empty.base is not None
    assert GATE.apply_array([], 16000) == [] and GATE.compute_keep_mask([], 16000) == []


def test_internal_error_is_a_base_exception_with_report(capfd):
    gate = EnergyTalvane(base_thresh=0.05, max_thresh=0.01)
    with pytest.raises(BaseException) as info:
        try:
            gate.compute_keep_mask([0.0] * 10, 16000)
        except Exception:  # must not catch it
            pytest.fail("internal error caught as Exception")
    assert not isinstance(info.value, Exception)
    assert info.value.args == ("min > max, or either was NaN. min = 0.05, max = 0.01",)
    err = capfd.readouterr().err
    assert "EnergyTalvane.compute_keep_mask" in err and "min > max" in err
    assert gate.compute_keep_mask([], 16000) == []  # still usable; empty input skips the analysis


def test_nested_internal_error_is_resumed(capfd):
    bad = EnergyTalvane(base_thresh=0.05, max_thresh=0.01)
    rate = Indexable(16000, hook=lambda: bad.compute_keep_mask([0.0], 16000))
    kind = internal_error_type()
    capfd.readouterr()
    with pytest.raises(kind) as info:
        GATE.compute_keep_mask([0.0], rate)
    assert info.value.args == ("min > max, or either was NaN. min = 0.05, max = 0.01",)
    err = capfd.readouterr().err
    assert "resuming an internal failure" in err and "Traceback" in err and "__index__" in err


EXITING_HOOKS = """
import os, sys
from talvane_rs import EnergyTalvane
try:
    EnergyTalvane(base_thresh=1.0, max_thresh=0.0).compute_keep_mask([0.0], 8000)
except BaseException as e:
    Internal = type(e)
class Exiting(Internal, SystemExit):
    pass
sys.excepthook = lambda *exc: os._exit(3)
for kind in (Internal, Exiting):
    class Rate:
        def __index__(self):
            raise kind("from __index__")
    try:
        EnergyTalvane().compute_keep_mask([0.0], Rate())
    except BaseException as e:
        assert type(e) is Internal and e.args == ("from __index__",), e
print("caller saw both")
"""


def test_resumed_internal_error_never_ends_the_process():
    # Neither an exiting sys.excepthook nor an internal error that is also a
    # SystemExit may end the process while the report is printed.
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", EXITING_HOOKS], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "caller saw both\n"), done.stderr
    assert done.stderr.count("resuming an internal failure") == 2 and "Exiting: from __index__" in done.stderr


def test_borrow_conflicts_leave_the_stream_unchanged():
    gate = StreamingEnergyTalvane()
    chunk = np.full(320, 0.2, np.float32)
    gate.process_chunk(chunk, 16000, False)
    state = (gate.context_len(), gate.last_gain())

    shared = Indexable(16000, hook=gate.last_gain)
    with pytest.raises(RuntimeError) as info:
        gate.process_chunk(chunk, shared, False)
    assert str(info.value) == "Already mutably borrowed"
    exclusive = Indexable(16000, hook=gate.reset)
    with pytest.raises(RuntimeError) as info:
        gate.process_chunk(chunk, exclusive, False)
    assert str(info.value) == "Already borrowed"
    assert (gate.context_len(), gate.last_gain()) == state
    gate.reset()
    assert (gate.context_len(), gate.last_gain()) == (0, None)


def test_shared_receivers_never_conflict():
    calls = []
    rate = Indexable(16000, hook=lambda: calls.append(GATE.compute_keep_mask([0.0], 8000)))
    assert len(GATE.apply_array([0.0] * 5, rate)) == 5 and calls == [[True]]


def test_unbound_method_checks_its_receiver():
    with pytest.raises(TypeError):
        EnergyTalvane.apply_array(StreamingEnergyTalvane(), [1.0], 1)
