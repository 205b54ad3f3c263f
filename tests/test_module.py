"""Module entry: classes, constructors, signatures, one module per process."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import talvane_rs
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, _native

CLASSES = [EnergyTalvane, StreamingEnergyTalvane]
PARAMS = [
    ("enabled", True), ("window_ms", 10), ("base_thresh", 0.008), ("threshold_ratio", 2.0),
    ("max_thresh", 0.035), ("smooth_alpha", 0.2), ("min_voice_windows", 5), ("attenuation", 0.0),
    ("noise_floor_percentile", 20.0), ("max_silence_gap_windows", 8), ("fade_ms", 5),
    ("stream_context_ms", 3000), ("pad_voice_windows", 2), ("pass_windows", 0),
]


def test_module_exports_both_classes_in_order():
    assert _native.__all__ == ["EnergyTalvane", "StreamingEnergyTalvane"]
    assert talvane_rs.EnergyTalvane is _native.EnergyTalvane
    assert isinstance(talvane_rs.__version__, str)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity_and_signature(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    sig = inspect.signature(cls)
    assert [(p.name, p.default) for p in sig.parameters.values()] == PARAMS
    assert cls.__doc__ is None or cls.__doc__ == ""


@pytest.mark.parametrize(
    "cls, method, text",
    [(EnergyTalvane, m, "($self, data, sample_rate)") for m in (
        "compute_keep_mask", "compute_keep_mask_array", "apply_array", "apply_array_np",
        "compact_array", "compact_array_np")]
    + [(StreamingEnergyTalvane, "process_chunk", "($self, data, sample_rate, is_last)")]
    + [(StreamingEnergyTalvane, m, "($self)") for m in ("reset", "context_len", "last_gain")],
)
def test_method_text_signatures(cls, method, text):
    assert getattr(cls, method).__text_signature__ == text


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_no_subclass_weakref_or_new_attribute(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    obj = cls()
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.window_ms = 3
    obj.__init__(False)  # object.__init__: no effect, no error


def test_reimport_gives_the_same_module_and_classes():
    saved = sys.modules.pop("talvane_rs._native")
    try:
        again = importlib.import_module("talvane_rs._native")
        assert again is saved
        assert again.EnergyTalvane is EnergyTalvane
    finally:
        sys.modules["talvane_rs._native"] = saved


def test_second_interpreter_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    code = textwrap.dedent(f"""
        import _testcapi, talvane_rs._native
        sub = '''
        try:
            import talvane_rs._native
            open({str(out)!r}, "w").write("imported")
        except ImportError as e:
            open({str(out)!r}, "w").write("ImportError: " + str(e))
        '''
        _testcapi.run_in_subinterp(sub)
        """)
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
    text = out.read_text()
    assert text.startswith("ImportError: ") and "sub-interpreters" in text


def mask_of(gate):
    data = [0.001, -0.001] * 400 + [0.3, -0.3] * 1200 + [0.001] * 900
    return gate.apply_array(data, 16000)


def test_positional_and_keyword_construction_agree():
    a = EnergyTalvane(False, 20)
    b = EnergyTalvane(window_ms=20, enabled=False)
    c = EnergyTalvane(enabled=False, window_ms=20)
    assert mask_of(a) == mask_of(b) == mask_of(c)
    assert mask_of(EnergyTalvane()) != mask_of(a)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (tuple(range(15)), {}, TypeError,
         "{}.__new__() takes from 0 to 14 positional arguments but 15 were given"),
        ((), {"window": 1}, TypeError, "{}.__new__() got an unexpected keyword argument 'window'"),
        ((True,), {"enabled": True}, TypeError,
         "{}.__new__() got multiple values for argument 'enabled'"),
        ((), {"enabled": 1}, TypeError, "argument 'enabled': 'int' object cannot be cast as 'bool'"),
        ((), {"window_ms": 10.0}, TypeError,
         "argument 'window_ms': 'float' object cannot be interpreted as an integer"),
        ((), {"window_ms": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((), {"pass_windows": 2**64}, OverflowError, None),
        ((), {"enabled": 1, "window_ms": -1}, TypeError,
         "argument 'enabled': 'int' object cannot be cast as 'bool'"),
        ((), {"window_ms": -1, "enabled": 1}, TypeError,
         "argument 'enabled': 'int' object cannot be cast as 'bool'"),
        ((), {"base_thresh": None}, TypeError, "argument 'base_thresh': "),
        ((), {"enabled": None}, TypeError, "argument 'enabled': 'NoneType' object cannot be cast as 'bool'"),
    ],
    ids=["15-positional", "unknown-keyword", "twice", "enabled-int", "window-float",
         "window-negative", "count-too-big", "first-in-table-order", "first-in-table-order-kw",
         "float-none", "bool-none"],
)
def test_constructor_errors(cls, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        cls(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        text = message.format(cls.__name__)
        if text.endswith(": "):
            assert str(info.value).startswith(text)
        else:
            assert str(info.value) == text


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_constructor_accepts_any_converting_value(cls):
    np = pytest.importorskip("numpy")
    cls(enabled=np.bool_(False), window_ms=np.int64(20), base_thresh=1, max_thresh=float("nan"),
        smooth_alpha=-3.0, attenuation=float("inf"), fade_ms=2**64 - 1, pass_windows=True)
    cls(base_thresh=0.05, max_thresh=0.01)  # fails only when the analysis runs


def test_reset_refuses_an_argument():
    with pytest.raises(TypeError, match="takes no arguments"):
        StreamingEnergyTalvane().reset(1)
