"""Seeded test signals, the report header, the shared Dask cluster, and the
helpers the test files share: pattern samples, waiting, stopping a process."""

import io
import logging
import os
import shutil
import signal as signals
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import reference as ref

SIGNAL_KINDS = ("silence", "noise", "speech", "spiky", "huge")


def pytest_report_header(config):
    lines = [f"python {sys.version.split()[0]}, numpy {np.__version__}"]
    try:
        import soundfile
    except ImportError:
        return lines
    mp3 = "MP3" in soundfile.available_formats()
    return [*lines, f"libsndfile {soundfile.__libsndfile_version__} (MP3 {'read and written' if mp3 else 'not supported'})"]


def pytest_generate_tests(metafunc):
    # A test that takes `kind` runs once per kind of signal.
    if "kind" in metafunc.fixturenames:
        metafunc.parametrize("kind", SIGNAL_KINDS)


def make_signal(kind, n, seed):
    """n float32 samples of the named kind, the same for the same seed.

    silence: all zeros; noise: quiet white noise; speech: louder tone bursts of
    random length and level over a noise floor; spiky: speech with a few
    positive quiet NaNs and infinities; huge: speech with two samples whose
    squares overflow float32.
    """
    rng = np.random.default_rng(seed)
    if kind == "silence":
        return np.zeros(n, dtype=np.float32)
    floor = rng.normal(0.0, rng.choice([0.001, 0.004, 0.02]), n)
    if kind == "noise":
        return floor.astype(np.float32)
    x = floor.copy()
    pos = 0
    while pos < n:
        pos += int(rng.integers(0, max(2, n // 4)))
        length = int(rng.integers(1, max(2, n // 3)))
        level = rng.choice([0.02, 0.1, 0.5])
        t = np.arange(min(length, max(0, n - pos)))
        x[pos : pos + len(t)] += level * np.sin(t * rng.uniform(0.05, 0.5)) * rng.uniform(0.5, 1.0)
        pos += length
    x = x.astype(np.float32)
    if kind == "spiky" and n:
        for value in (np.nan, np.inf, -np.inf):
            where = rng.integers(0, n, size=int(rng.integers(0, 3)))
            x[where] = value
    elif kind == "huge" and n:
        x[rng.integers(0, n, size=2)] = np.float32(3e19)
    elif kind not in ("speech", "spiky", "huge"):
        raise ValueError(kind)
    return x


@pytest.fixture
def signal():
    return make_signal


def pattern_samples(pattern, voice=1.0):
    """float32 samples: X a voice sample (voice), a dot a quiet one (0.125), N a NaN."""
    return np.array([{"X": voice, ".": 0.125, "N": np.nan}[c] for c in pattern], dtype=np.float32)


def wait_for(condition, what, seconds=60, processes=()):
    """Polls condition until it is true; fails after seconds, or as soon as one of
    the processes ends."""
    deadline = time.monotonic() + seconds
    while not condition():
        for p in processes:
            assert p.poll() is None, f"{what}: {p.args[2:4]} ended with status {p.returncode}"
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.005)


TOOL = [sys.executable, "-m", "talvane_rs"]


def bursts(rate, seconds, spans, seed=0):
    """Quiet noise with loud tone bursts over the given (start, end) spans in seconds."""
    rng = np.random.default_rng(seed)
    x = rng.normal(0.0, 0.003, int(rate * seconds))
    t = np.arange(len(x)) / rate
    for a, b in spans:
        inside = (t >= a) & (t < b)
        x[inside] += 0.3 * np.sin(2 * np.pi * 220 * t[inside])
    return x.astype(np.float32)


def one_line(text):
    lines = text.strip().splitlines()
    assert len(lines) == 1, text
    return lines[0]


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


def read(path):
    """The samples of an audio file as float32, and its rate."""
    import soundfile

    return soundfile.read(path, dtype="float32")


RATE = 16000  # of the files the command-line tests share


@pytest.fixture(scope="session")
def everyday(tmp_path_factory):
    """speech.wav (float, mono), talk.mp3 (when MP3 is written here), stereo.wav
    (16-bit), a float file with NaN and infinite samples, a tree with a subfolder
    and a stray file, a folder of mixed files, one of them broken, and d/a.wav at 1000 Hz."""
    sf = pytest.importorskip("soundfile")
    root = tmp_path_factory.mktemp("everyday")
    speech = bursts(RATE, 3.0, [(0.3, 1.0), (1.6, 2.5)], seed=4)
    if "MP3" in sf.available_formats() and sf.check_format("MP3", "MPEG_LAYER_III"):
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
    sf.write(root / "speech.wav", bursts(RATE, 1.5, [(0.3, 0.7), (1.0, 1.3)]), RATE, subtype="FLOAT")
    folder = root / "folder"
    folder.mkdir()
    shutil.copy(root / "speech.wav", folder / "a.wav")
    left = bursts(22050, 1.0, [(0.2, 0.6)], seed=1)
    sf.write(folder / "stereo.flac", np.stack([left, 0.5 * left], axis=1), 22050)
    sf.write(folder / "short.ogg", bursts(RATE, 0.5, [(0.1, 0.3)], seed=2), RATE)
    (folder / "broken.wav").write_text("not audio")
    (folder / "notes.txt").write_text("not picked up")
    (root / "d").mkdir()
    sf.write(root / "d" / "a.wav", bursts(1000, 2.0, [(0.5, 1.5)]), 1000, subtype="FLOAT")
    return root


def global_state():
    """What a run of the command could leave changed in this process."""
    loggers = {name: level for name, logger in logging.root.manager.loggerDict.items()
               if (level := getattr(logger, "level", logging.NOTSET)) != logging.NOTSET}  # fmt: skip
    handlers = {signum: signals.getsignal(signum) for signum in (signals.SIGINT, signals.SIGTERM)}
    return {"cwd": os.getcwd(), "signals": handlers, "warnings": list(warnings.filters), "numpy": np.geterr(),
            "logging": {**loggers, "": logging.root.level}, "streams": (sys.stdin, sys.stdout, sys.stderr)}


# The gate's original settings, which the command-line tests compare with the
# library's defaults: a batch command that names no preset is given this one.
CLASSIC = ("--preset", "classic")


def classic(args):
    """args, with --preset classic for a batch command that names no preset."""
    args = tuple(args)
    if args and args[0] in ("gate", "cut", "mask", "split") and "--preset" not in args and "--help" not in args:
        return (*args, *CLASSIC)
    return args


def talvane(*args, cwd, input=None, binary=False, umask=None):
    """talvane's main(args) run in this process, in the folder cwd, as the
    subprocess.run of the command would: standard input a pipe holding input
    (empty when None), standard output and error captured (bytes with binary),
    and the status a SystemExit carries. The run must leave the process's
    signal handlers, warnings filters, log levels and streams as they were.
    A batch command naming no preset runs the classic one (classic())."""
    from talvane_rs.cli.command import main

    argv = [str(a) for a in classic(args)]
    before = global_state()
    read_end, write_end = os.pipe()
    feeder = threading.Thread(target=feed, args=(write_end, input or b""), daemon=True)
    feeder.start()
    out, err = io.BytesIO(), io.BytesIO()
    sys.stdin = open(read_end, encoding="utf-8")
    sys.stdout, sys.stderr = (io.TextIOWrapper(b, encoding="utf-8", write_through=True) for b in (out, err))
    old_mask = None if umask is None else os.umask(umask)
    try:
        os.chdir(cwd)
        try:
            code = main(argv)
        except SystemExit as e:
            code = e.code if isinstance(e.code, int) else 0 if e.code is None else 1
        stdout, stderr = out.getvalue(), err.getvalue()
    finally:
        sys.stdin.close()
        sys.stdin, sys.stdout, sys.stderr = before["streams"]
        os.chdir(before["cwd"])
        if old_mask is not None:
            os.umask(old_mask)
        feeder.join(timeout=60)
    assert global_state() == before, "the run left the process changed"
    if not binary:
        stdout, stderr = stdout.decode(), stderr.decode()
    return subprocess.CompletedProcess(["talvane", *argv], code, stdout, stderr)


# A scheduler that cannot be reached is given up on after this, not the default 30 s.
QUICK_CONNECT = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}


def talvane_process(*args, cwd, tool=TOOL, env=None, **options):
    """The command run end to end, as a process of its own (classic() as talvane)."""
    env = {**os.environ, **QUICK_CONNECT, **(env or {})}
    return subprocess.run([*tool, *map(str, classic(args))], cwd=cwd, capture_output=True, text=True, timeout=120, env=env,
                          **options)  # fmt: skip


def feed(fd, data):
    """Writes data into a pipe and closes it; a reader that stopped early is no error."""
    try:
        with open(fd, "wb") as pipe:
            pipe.write(data)
    except BrokenPipeError:
        pass


def stop(process, how=signals.SIGTERM, seconds=30, group=False):
    """Sends how to a process (with group, to everything in its session), kills
    what still runs after seconds, and returns the process's status."""
    send = (lambda signum: os.killpg(process.pid, signum)) if group else process.send_signal
    try:
        if group or process.poll() is None:
            send(how)
        return process.wait(timeout=seconds)
    except ProcessLookupError:  # the session has ended
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        try:
            send(signals.SIGKILL)
        except ProcessLookupError:
            pass
        return process.wait(timeout=seconds)


def bits(a):
    """float32 values as their uint32 bit patterns."""
    return np.asarray(a, dtype=np.float32).view(np.uint32)


def assert_same_f32(actual, expected):
    """Bit-exact float32 equality; NaN only has to be NaN in the same places."""
    actual = np.asarray(actual, dtype=np.float32)
    expected = np.asarray(expected, dtype=np.float32)
    assert actual.shape == expected.shape
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(actual), nan), np.flatnonzero(np.isnan(actual) != nan)
    diff = np.flatnonzero(bits(actual)[~nan] != bits(expected)[~nan])
    assert diff.size == 0, (
        f"first differences at {np.flatnonzero(~nan)[diff][:5]}: "
        f"{actual[~nan][diff][:5]} != {expected[~nan][diff][:5]}"
    )


@pytest.fixture
def same_f32():
    return assert_same_f32


NAN = float("nan")
U64_MAX = ref.U64_MAX

# Value pools for random configurations: defaults weighted up, then boundaries,
# huge counts, NaN and negative floats.
POOLS = {
    "enabled": [True, True, True, False],
    "window_ms": [10, 10, 1, 0, 3, 25, U64_MAX],
    "limits": [(0.008, 0.035)] * 4 + [(0.0, float("inf")), (0.01, 0.01), (-1.0, 0.02), (0.05, 0.01), (NAN, 0.03)],
    "threshold_ratio": [2.0, 2.0, 1.0, 0.0, -1.0, 10.0, NAN, float("inf")],
    "smooth_alpha": [0.2, 0.2, 0.5, 1.0, 0.0, -0.5, 1.5, NAN],
    "min_voice_windows": [5, 5, 0, 1, 3, U64_MAX],
    "attenuation": [0.0, 0.0, -0.0, 0.5, 1.0, 2.0, NAN, 0.1],
    "noise_floor_percentile": [20.0, 20.0, 0.0, 50.0, 100.0, -5.0, 150.0, NAN, 33.3],
    "max_silence_gap_windows": [8, 8, 0, 1, 3, U64_MAX],
    "fade_ms": [5, 5, 0, 1, 2, 20, U64_MAX],
    "stream_context_ms": [3000, 200, 50, 0, U64_MAX],
    "pad_voice_windows": [2, 2, 0, 1, 5, U64_MAX],
    "pass_windows": [0, 0, 1, 3, U64_MAX],
}
# Infinite energies meet 0 * inf or inf - inf in the smoothing for weights
# outside (0, 1); the sign of the NaN made there is not fixed, and it decides
# where that NaN sorts, so such recordings keep to these weights.
SAFE_ALPHAS = [0.2, 0.5, 0.9, NAN]


def random_config(rng, **fixed):
    """A random configuration: each field default or drawn from its pool."""
    changes = {}
    for name, pool in POOLS.items():
        if rng.random() < 0.65:
            continue
        value = pool[int(rng.integers(len(pool)))]
        if name == "limits":
            changes["base_thresh"], changes["max_thresh"] = value
        else:
            changes[name] = value
    changes.update(fixed)
    return ref.Config(**changes)


def has_infinite_energy(x):
    with np.errstate(over="ignore"):
        return not np.all(np.isfinite(x.astype(np.float32) ** 2) | np.isnan(x))


def random_case(kind, rate, seed, n=None, **fixed):
    """(config, samples): a seeded random configuration and a recording of n
    samples, by default 0, 1, W - 1, W or W + 1 samples or a few dozen windows
    (at most 12000 samples)."""
    rng = np.random.default_rng([seed, rate, SIGNAL_KINDS.index(kind)])
    cfg = random_config(rng, **fixed)
    w = ref.window_len(cfg, rate)
    if n is None and rng.random() < 0.3:
        n = min([0, 1, w - 1, w, w + 1][int(rng.integers(5))], 12000)
    elif n is None:
        n = min(int(rng.integers(2, 48)) * w - int(rng.random() * w), 12000)
    x = make_signal(kind, n, seed)
    alpha = cfg.smooth_alpha
    if has_infinite_energy(x) and not (0 < alpha < 1 or np.isnan(alpha)):
        cfg = cfg.replace(smooth_alpha=SAFE_ALPHAS[int(rng.integers(len(SAFE_ALPHAS)))])
    return cfg, x


@pytest.fixture
def case():
    return random_case


@pytest.fixture(scope="session")
def dask_cluster(tmp_path_factory):
    """A scheduler and two workers on 127.0.0.1, shared by the tests that need one."""
    pytest.importorskip("distributed", reason="dask[distributed] is not installed (pip install '.[test]')")
    if os.name != "posix":
        pytest.skip("the cluster's processes are ended by process group, which this platform lacks")
    from cluster import Cluster

    cluster = Cluster(tmp_path_factory.mktemp("cluster"))
    yield cluster
    cluster.stop()
