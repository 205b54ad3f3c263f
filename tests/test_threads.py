"""Eight threads on shared gates, with conversions that let other threads in and
call back into the same object: no crash or deadlock, only the borrow errors, and
every stream ends in a state that a serial order of its completed calls explains."""

import itertools
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from talvane_rs import EnergyTalvane, Stream, StreamingEnergyTalvane

N_THREADS = 8
ITERATIONS = 120
RATES = (8000, 16000)
# Short windows and context keep each call, and the serial replay, cheap.
STREAM_PARAMS = dict(window_ms=4, stream_context_ms=60, min_voice_windows=2, fade_ms=2, attenuation=0.25)
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
# How long a call holding a stream lets other threads run: sleep(0) gives the
# interpreter lock back, but on a loaded machine the same thread often takes it
# again before a waiting one is scheduled, and the threads may then never meet.
HOLD = 0.001  # s


def chunk_for(call):
    """The chunk, rate and is_last of a call id, the same every time."""
    rng = np.random.default_rng(list(call))
    n = int(rng.choice([0, 1, 7, 40, 300]))
    x = rng.normal(0, 0.01, n)
    x[n // 2 :] += 0.4 * np.sin(np.arange(n - n // 2) * 0.3) * rng.integers(0, 2)
    return x.astype(np.float32), RATES[int(rng.random() < 0.2)], bool(rng.random() < 0.05)


class LoggingRate:
    """A sample_rate whose __index__ runs while process_chunk holds the stream
    exclusively: it logs the call (so the log is the order of the calls that
    completed), lets other threads in, and tries the stream's own getter."""

    def __init__(self, value, stream, call, log, reentry):
        self.value, self.stream, self.call, self.log, self.reentry = value, stream, call, log, reentry

    def __index__(self):
        self.log.append(self.call)
        time.sleep(HOLD)
        try:
            self.stream.last_gain()
        except RuntimeError as e:
            self.reentry.append(str(e))
        else:
            self.reentry.append("re-entry was allowed")
        time.sleep(HOLD)
        return self.value


class YieldingFloat:
    """A sample whose __float__ lets other threads in and calls the same gate."""

    def __init__(self, value, gate):
        self.value, self.gate = value, gate

    def __float__(self):
        time.sleep(0)
        self.gate.compute_keep_mask([0.0, 1.0], 16000)
        return self.value


class YieldingRate:
    def __init__(self, value, gate):
        self.value, self.gate = value, gate

    def __index__(self):
        time.sleep(0)
        self.gate.apply_array_np(np.zeros(3, np.float32), 16000)
        return self.value


def replay(log, resets, outputs):
    """(context_len, repr(last_gain)) after the logged calls in order, with each
    reset placed somewhere in the span of the log it was seen in, or None when no
    placement reproduces every recorded output."""
    spans = [range(before, after + 1) for before, after in resets]
    for placement in itertools.islice(itertools.product(*spans), 2000):
        serial = StreamingEnergyTalvane(**STREAM_PARAMS)
        at = set(placement)
        ok = True
        for position, call in enumerate(log):
            if position in at:
                serial.reset()
            data, rate, is_last = chunk_for(call)
            if serial.process_chunk(data, rate, is_last).tobytes() != outputs[call]:
                ok = False
                break
        if not ok:
            continue
        if len(log) in at:
            serial.reset()
        return serial.context_len(), repr(serial.last_gain())
    return None


def test_shared_gates_under_eight_threads():
    gate = EnergyTalvane(pass_windows=1)
    streams = [StreamingEnergyTalvane(**STREAM_PARAMS) for _ in range(2)]
    logs = [[] for _ in streams]
    resets = [[] for _ in streams]
    outputs = {}
    reentry, refused, failures = [], [], []

    rng = np.random.default_rng(7)
    batch_inputs = [rng.normal(0, 0.05, 500).astype(np.float32) for _ in range(4)]
    expected = {
        (i, m): getattr(gate, m)(x, 16000)
        for i, x in enumerate(batch_inputs)
        for m in ("apply_array_np", "compact_array_np")
    }
    start = threading.Barrier(N_THREADS)

    def worker(tid):
        r = np.random.default_rng(tid)
        start.wait()
        for i in range(ITERATIONS):
            op = int(r.choice(5, p=[0.45, 0.05, 0.15, 0.15, 0.2]))
            s = int(r.integers(0, len(streams)))
            stream = streams[s]
            try:
                if op == 0:
                    call = (tid, i)
                    data, rate, is_last = chunk_for(call)
                    rate_arg = LoggingRate(rate, stream, call, logs[s], reentry)
                    out = stream.process_chunk(data, rate_arg, is_last)
                    outputs[call] = out.tobytes()
                elif op == 1:
                    before = len(logs[s])
                    stream.reset()
                    resets[s].append((before, len(logs[s])))
                elif op == 2:
                    stream.context_len()
                    stream.last_gain()
                elif op == 3:
                    k = int(r.integers(0, len(batch_inputs)))
                    x = batch_inputs[k]
                    hostile = x.tolist()
                    for j in (0, 250, 499):
                        hostile[j] = YieldingFloat(hostile[j], gate)
                    got = gate.compact_array(hostile, YieldingRate(16000, gate))
                    assert np.array_equal(np.array(got, np.float32), expected[k, "compact_array_np"])
                else:
                    k = int(r.integers(0, len(batch_inputs)))
                    got = gate.apply_array_np(batch_inputs[k], YieldingRate(16000, gate))
                    assert got.tobytes() == expected[k, "apply_array_np"].tobytes()
            except RuntimeError as e:
                refused.append(str(e))
            except BaseException as e:  # anything else fails the test
                failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert failures == []
    assert set(refused) <= BORROW_ERRORS
    assert set(reentry) == {"Already mutably borrowed"}
    assert refused, "the threads never met on a stream"

    # Every call that logged itself completed, and every completed call logged itself once.
    assert sorted(logs[0] + logs[1]) == sorted(outputs)
    for s, stream in enumerate(streams):
        explained = replay(logs[s], resets[s], outputs)
        assert explained == (stream.context_len(), repr(stream.last_gain()))


def test_a_stream_class_held_by_its_callback_refuses_other_threads():
    # Stream's callback runs while process holds the stream and lets the other
    # threads in: they are refused with the native stream's error and change
    # nothing, so the stream has taken exactly the frames of the calls that completed.
    refused, done = [], []
    stream = Stream(16000, on_event=lambda event: time.sleep(HOLD), **STREAM_PARAMS)
    start = threading.Barrier(N_THREADS)

    def worker(tid):
        start.wait()
        for i in range(ITERATIONS // 4):
            chunk = chunk_for((tid, i))[0]
            try:
                stream.process(chunk)
            except RuntimeError as e:
                refused.append(str(e))
            else:
                done.append(len(chunk))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(N_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert refused and set(refused) == {"Already borrowed"}
    assert stream.position == sum(done)


def test_first_uses_race_in_a_fresh_interpreter():
    """The process-wide items (NumPy's table, the Sequence class, the internal
    error type) are first needed by eight threads at once."""
    script = textwrap.dedent(
        """
        import threading
        import numpy as np
        from talvane_rs import EnergyTalvane
        gate, bad = EnergyTalvane(), EnergyTalvane(base_thresh=0.5, max_thresh=0.1)
        x = np.linspace(-1, 1, 4000, dtype=np.float32)
        barrier, seen = threading.Barrier(8), []
        def worker(i):
            barrier.wait()
            kind = i % 3
            try:
                if kind == 0:
                    seen.append(("array", gate.apply_array_np(x, 16000).shape))
                elif kind == 1:
                    gate.apply_array({1.0}, 16000)
                else:
                    bad.compute_keep_mask([0.1], 16000)
            except TypeError as e:
                seen.append(("type", str(e)))
            except BaseException as e:
                seen.append((type(e).__name__, str(e)))
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        for item in sorted(set(seen)): print(item)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "('InternalError', 'min > max, or either was NaN. min = 0.5, max = 0.1')",
        "('array', (4000,))",
        "('type', \"argument 'data': 'set' object cannot be cast as 'Sequence'\")",
    ]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_fork_while_another_thread_loads_numpy():
    """A child forked while another thread is inside the one-time NumPy setup
    must make the item itself rather than wait for a thread it does not have."""
    script = textwrap.dedent(
        """
        import os, threading, time, warnings
        import numpy as np, numpy.lib
        from talvane_rs import EnergyTalvane
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        real, inside, release, calls = numpy.lib.NumpyVersion, threading.Event(), threading.Event(), []
        def held_version(text):  # the first version check, in the setup, waits
            calls.append(text)
            if len(calls) == 1:
                inside.set()
                release.wait()
            return real(text)
        numpy.lib.NumpyVersion = held_version
        gate, x = EnergyTalvane(), np.zeros(480, np.float32)
        loader = threading.Thread(target=gate.compute_keep_mask_array, args=(x, 16000))
        loader.start()
        assert inside.wait(30)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if len(gate.compute_keep_mask_array(x, 16000)) == 480 else 1)
        deadline = time.monotonic() + 30
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if done[0] == 0:
            os.kill(pid, 9)
        release.set()
        loader.join()
        print("child", "hung" if done[0] == 0 else os.waitstatus_to_exitcode(done[1]))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "child 0\n"), result.stderr
