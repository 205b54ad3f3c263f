"""Options: typed units, and every refused command line in one line with status 2
(or 1 where a file is at fault)."""

import numpy as np
import pytest

from conftest import one_line, read, talvane, talvane_process
from talvane_rs import EnergyTalvane

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")


# Refused with status 2; stereo.wav is the input where a case names none.
REFUSED = [
    (["gate", "--window-ms", "-1"], "argument --window-ms: invalid value '-1'"),
    (["gate", "--attenuation", "nan"], "argument --attenuation: invalid value 'nan'"),
    (["gate", "--enabled", "maybe"], "argument --enabled: invalid value 'maybe'"),
    (["gate", "--music", "maybe"], "argument --music: invalid value 'maybe': expected on or off"),
    (["gate", "--base-thresh", "0.05"], "--base-thresh (0.05) must not be above --max-thresh"),
    (["gate", "--stream", "0"], "argument --stream: invalid value '0'"),
    (["gate", "--pad-voice-windows", "1e300s"], "invalid value '1e300s': expected a whole number of windows from 0 "
     "to 18446744073709551615, or a duration from 0 to 9e15 s"),
    (["gate", "tree", "-o", "nowhere://out/"], "nowhere://out/: Protocol not known: nowhere"),
    (["gate", "--threshold", "0.01", "--base-thresh", "0.001"], "--threshold sets both limits of the threshold"),
    (["gate", "--plot-range", "1-2"], "--plot-range chooses the stretch --plot draws: give --plot too"),
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
    (["gate", "tree", "-o", "single.wav"], "a folder input needs a folder for -o, not a .wav file"),
    (["mask", "tree", "-o", "all.wav"], "a folder input needs a folder for -o, not a .wav file"),
    (["gate", "tree", "--plot", "p.svg"], "a folder input need a folder of pictures here, not a .svg file"),
    (["cut", "stereo.wav", "tree/a.wav", "-o", "both.wav"], "several inputs need a folder for -o"),
    (["split", "stereo.wav", "-o", "pieces.wav"], "split writes a folder of files"),
    (["split", "stereo.wav", "tree/a.wav"], "split of several inputs needs -o with a folder"),
    (["split", "stereo.wav", "-o", "-"], "split writes a folder of files"),
]
# A file at fault: status 1.
FAILED = [
    (["gate", "missing.wav"], "talvane: error: missing.wav: no such file or folder"),
    (["gate", "folder/broken.wav"], "not a readable audio file"),
    (["gate", "stereo.wav", "-o", "stereo.wav/out.wav"], "cannot write stereo.wav/out.wav: Not a directory"),
    (["cut", "stereo.wav", "-o", "out.mp4"], "cannot write .mp4 files"),
    (["gate", "stereo.wav", "-o", "stereo.wav"], "stereo.wav is an input; pass --overwrite to replace it"),
    (["gate", "d", "-o", "d/", "--format", "mp3"], "its WAV fallback d/a.wav is an input"),  # MP3 holds no 1000 Hz
    (["gate", "d", "-o", "file://{cwd}/d/"], "d/a.wav is an input; pass --overwrite"),
    (["gate", "d/a.wav", "-o", "file://{cwd}/d/a.wav"], "d/a.wav is an input; pass --overwrite"),
    (["gate", "file://{cwd}/d/a.wav", "-o", "d/a.wav"], "d/a.wav is an input; pass --overwrite"),
]


@pytest.mark.parametrize(
    "args, code, message",
    [*[(a, 2, m) for a, m in REFUSED], *[(a, 1, m) for a, m in FAILED],
     pytest.param(["gate", "tree", "--dask", "tcp://127.0.0.1:9"], 1,
                  "cannot reach the Dask scheduler at tcp://127.0.0.1:9", marks=pytest.mark.slow)],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)  # fmt: skip
def test_refused_command_lines(everyday, args, code, message):
    args = [a.format(cwd=everyday) for a in args]
    if args[1].startswith("-"):
        args = [args[0], "stereo.wav", *args[1:]]
    before = {p: p.is_file() and p.read_bytes() for p in everyday.rglob("*")}
    # dask reads the scheduler's connect timeout from the environment as it is imported
    r = (talvane_process if "--dask" in args else talvane)(*args, cwd=everyday)
    assert r.returncode == code and r.stdout == ""
    assert message in one_line(r.stderr.replace("0 done, 1 failed, 0 skipped\n", ""))  # a folder run's tally aside
    assert {p: p.is_file() and p.read_bytes() for p in everyday.rglob("*")} == before  # nothing written


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
