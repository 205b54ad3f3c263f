"""Without NumPy: the module imports, constructs and runs its list methods."""

import subprocess
import sys
import textwrap


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_list_methods_work_and_array_methods_fail_cleanly_then_retry():
    result = run("""
        import sys
        sys.modules["numpy"] = None
        import talvane_rs
        from talvane_rs import EnergyTalvane, StreamingEnergyTalvane
        assert "numpy" not in [m for m in sys.modules if sys.modules[m] is not None]
        gate = EnergyTalvane(pass_windows=1)
        stream = StreamingEnergyTalvane(enabled=False)
        data = [0.0, 0.5, -0.5] * 100
        assert gate.compute_keep_mask(data, 100000) == [True] * 300
        assert len(gate.apply_array(data, 16000)) == 300
        assert gate.compact_array(data, 100000) == [0.0, 0.5, -0.5] * 100
        assert stream.context_len() == 0 and stream.last_gain() is None
        for method in ("compute_keep_mask_array", "apply_array_np", "compact_array_np"):
            try:
                getattr(gate, method)(data, 16000)
            except Exception:
                raise SystemExit("array method raised an ordinary exception")
            except BaseException as e:
                assert str(e).startswith("Failed to access NumPy array API capsule"), e
                assert "ModuleNotFoundError" in str(e), e
            else:
                raise SystemExit("array method did not fail")
        try:
            stream.process_chunk(data, 16000, False)
        except BaseException as e:
            assert str(e).startswith("Failed to access NumPy array API capsule"), e
        # A failed load is tried again once NumPy can be imported; an interrupt
        # met while loading is the interrupt, not an internal failure.
        del sys.modules["numpy"]
        import numpy as np, numpy.lib
        real = numpy.lib.NumpyVersion
        def interrupted(text):
            numpy.lib.NumpyVersion = real
            raise KeyboardInterrupt
        numpy.lib.NumpyVersion = interrupted
        try:
            gate.apply_array_np(np.array(data, np.float32), 16000)
        except KeyboardInterrupt:
            pass
        out = gate.apply_array_np(np.array(data, np.float32), 16000)
        assert out.dtype == np.float32 and len(out) == 300
        print("ok")
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
    assert "Failed to access NumPy array API capsule" in result.stderr  # the report on stderr


def test_package_import_does_not_import_numpy():
    result = run("""
        import sys, talvane_rs
        print("numpy" in sys.modules)
        """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
