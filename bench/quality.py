"""Decision quality in noise: balanced accuracy of the gate, with and without a
speech band, and of the WebRTC detector, on a labelled speech-in-noise corpus.

    python bench/quality.py [--quick] [--rebuild] [--no-speed]

The corpus is made here from espeak-ng (Debian's package espeak-ng): tracks of
utterances by several voices at several rates and pitches, separated by pauses
of 0.2 to 3 s, at an active speech level of -20 dBFS give or take 5 dB (where
recordings made for listening, podcasts and meetings, are levelled; it is also
where, at 0 dB SNR, the noise pushes the default threshold against its upper
limit, the failure the band is for; --speech-dbfs moves it: -26 is the
telephone's nominal level, where less noise reaches that limit), mixed with eight
noise kinds at 20, 10, 5 and 0 dB SNR, plus the clean tracks. Everything is drawn from one seed and cached under
build/quality/, so a rerun only measures.

Labels come from the clean track alone, before mixing: a 10 ms frame is speech
when its RMS is above 1 % (-40 dB) of the track's loudest frame. No detector is
involved. The SNR is the active speech power (over the speech frames) against
the noise's mean power.

Balanced accuracy = (speech frames kept + non-speech frames dropped) / 2, with
the frames of all tracks of a condition pooled. The noises form two sets, as the
targets do: the main set (white, pink, brown, mains hum, rumble: noise mostly
outside speech's band) and the in-band set (babble, fan, crowd). In each set's
table a column averages the set's noise kinds at one SNR, and "overall" averages
the five columns (clean, 20, 10, 5, 0 dB).

Needs the bench extra (NumPy, SciPy, soundfile, webrtcvad) and espeak-ng.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import io
import os
import statistics
import subprocess
import sys
import time
from typing import Callable

import numpy as np
import soundfile as sf
from scipy import signal as sps

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CACHE = os.path.join(ROOT, "build", "quality")

import talvane_rs  # noqa: E402
from talvane_rs import EnergyTalvane, Stream, analyse  # noqa: E402

RATE = 16000
FRAME = RATE // 100  # 10 ms: the gate's window and WebRTC's frame
SEED = 20261209
CORPUS_VERSION = 2  # bump when the corpus recipe changes, so the cache is rebuilt
LABEL_FRACTION = 0.01  # of the track's loudest frame RMS: -40 dB
SNRS = (20, 10, 5, 0)
OUT_OF_BAND = ("white", "pink", "brown", "hum", "rumble")
IN_BAND = ("babble", "fan", "crowd")
NOISES = OUT_OF_BAND + IN_BAND

# Bands tried besides the preset: (low_hz, high_hz), None for an absent edge.
BANDS_TRIED = (
    (200.0, None),
    (None, 4000.0),
    (100.0, 4000.0),
    (150.0, 3000.0),
    (200.0, 3000.0),
    (250.0, 3500.0),
    (300.0, 3400.0),
    (300.0, 3000.0),
    (400.0, 3000.0),
    (200.0, 5000.0),
)

VOICES = (
    "en-us+m3", "en-us+f2", "en-gb+m1", "en-gb+f4", "en-gb-scotland+m4", "en-gb-scotland+f3",
    "en-029+m2", "en-gb-x-rp+f1", "en-us-nyc+m6", "en-gb-x-gbclan+f5",
)

SENTENCES = (
    "The morning train was late again, so we walked along the river to the old bridge.",
    "Please put the blue folder on the desk by the window before you leave.",
    "Seven hundred people came to the meeting, far more than anyone expected.",
    "She said the weather would clear up by the afternoon, but it rained until night.",
    "Turn left at the bakery, then follow the road past the school and the church.",
    "We measured the noise in every room and wrote the numbers down in a small book.",
    "A quiet voice is still a voice, and a loud fan is still only a fan.",
    "The recipe needs two eggs, a cup of flour and a pinch of salt.",
    "He forgot his keys at the office and had to wait outside for an hour.",
    "Could you repeat the last number, please? I did not catch it.",
    "The children played football in the yard while their parents talked.",
    "Every winter the lake freezes over and the village holds a skating race.",
    "Our budget for the next quarter is smaller, so we must choose carefully.",
    "The doctor asked him to breathe slowly and to count from one to ten.",
    "Thunder rolled over the hills, and the dogs hid under the kitchen table.",
    "I think the answer is somewhere in the third chapter of that book.",
    "The market opens at six, and the best fish is gone by eight.",
    "If the light turns red, stop the machine and call the engineer on duty.",
    "They painted the fence white and planted roses along the garden path.",
    "Nobody knew why the clock in the tower had stopped at a quarter past four.",
    "Bring a warm coat; the evenings in the mountains are colder than you think.",
    "The recording starts now. Speak clearly and keep a steady distance from the microphone.",
    "Fresh bread, strong coffee and a newspaper: that was his whole breakfast.",
    "The shop on the corner sells old maps, postcards and broken radios.",
    "Yes. No. Maybe later. Thank you very much.",
    "Forty two, seventeen, eighty one, and finally nine hundred and nine.",
    "The bus driver waited for the old woman to sit down before he drove on.",
    "Scientists found that the birds return to the same tree every spring.",
    "Check the oil, the tyres and the lights before every long journey.",
    "Somewhere behind the clouds, a small plane was circling the airport.",
)


# --- corpus -------------------------------------------------------------------


def speak(text: str, voice: str, wpm: int, pitch: int) -> np.ndarray:
    """One utterance from espeak-ng, at RATE, float64, silence trimmed off both ends."""
    wav = subprocess.run(["espeak-ng", "-v", voice, "-s", str(wpm), "-p", str(pitch), "--stdout", text],
                         check=True, capture_output=True).stdout
    x, rate = sf.read(io.BytesIO(wav), dtype="float64")
    x = sps.resample_poly(x, RATE, rate) if rate != RATE else x
    loud = np.flatnonzero(np.abs(x) > 1e-4)
    return x[loud[0]: loud[-1] + 1] if len(loud) else x[:0]


def speech_track(rng: np.random.Generator, seconds: float, pause: tuple[float, float],
                 voices: tuple[str, ...]) -> np.ndarray:
    """Utterances of random voices, rates and pitches with pauses drawn from
    `pause` (seconds) before each, up to `seconds`; peak 1."""
    parts, n = [], 0
    target = int(seconds * RATE)
    while n < target:
        gap = np.zeros(int(rng.uniform(*pause) * RATE))
        utterance = speak(SENTENCES[rng.integers(len(SENTENCES))], voices[rng.integers(len(voices))],
                          int(rng.integers(120, 211)), int(rng.integers(25, 76)))
        utterance *= 10 ** (rng.uniform(-4, 4) / 20)  # utterances differ in level by a few dB
        parts += [gap, utterance]
        n += len(gap) + len(utterance)
    parts.append(np.zeros(int(rng.uniform(*pause) * RATE)))
    x = np.concatenate(parts)
    return x / np.max(np.abs(x))


def frame_rms(x: np.ndarray) -> np.ndarray:
    n = len(x) // FRAME
    return np.sqrt(np.mean(x[: n * FRAME].reshape(n, FRAME) ** 2, axis=1))


def labels_of(clean: np.ndarray) -> np.ndarray:
    rms = frame_rms(clean)
    return rms > LABEL_FRACTION * rms.max()


def shaped(rng: np.random.Generator, n: int, gain: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
    """Gaussian noise whose spectrum is multiplied by gain(frequency in Hz), unit RMS."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / RATE)
    y = np.fft.irfft(spectrum * gain(f), n)
    return y / np.sqrt(np.mean(y**2))


def voices_mixed(rng: np.random.Generator, n: int, talkers: int) -> np.ndarray:
    """Several talkers with short pauses, each at its own level: a babble."""
    mix = np.zeros(n)
    for _ in range(talkers):
        x = speech_track(rng, n / RATE + 1.0, (0.05, 0.4), VOICES)
        start = int(rng.integers(0, len(x) - n))
        mix += x[start: start + n] * 10 ** (rng.uniform(-6, 0) / 20)
    return mix


def make_noise(kind: str, rng: np.random.Generator, n: int) -> np.ndarray:
    """n samples of one noise kind, unit RMS."""
    t = np.arange(n) / RATE
    if kind == "white":
        y = rng.standard_normal(n)
    elif kind == "pink":
        y = shaped(rng, n, lambda f: 1 / np.sqrt(np.maximum(f, 10.0)))
    elif kind == "brown":
        y = shaped(rng, n, lambda f: 1 / np.maximum(f, 10.0))
    elif kind == "hum":
        # Mains at 50 or 60 Hz with odd and even harmonics falling off, a little jitter.
        mains = rng.choice([50.0, 60.0])
        y = np.zeros(n)
        for k in range(1, 10):
            y += (0.8 ** (k - 1)) * np.sin(2 * np.pi * mains * k * t + rng.uniform(0, 2 * np.pi))
        y += 0.02 * rng.standard_normal(n)
    elif kind == "rumble":
        # Traffic or machinery far away: noise below about 80 Hz.
        y = shaped(rng, n, lambda f: 1 / (1 + (f / 40.0) ** 4) * (f > 5))
    elif kind == "babble":
        y = voices_mixed(rng, n, 6)
    elif kind == "fan":
        # A band of noise with a broad hump and the blade tone with its harmonics,
        # slowly wavering.
        y = shaped(rng, n, lambda f: 1 / (1 + ((f - 700.0) / 900.0) ** 2) + 0.2 / (1 + (f / 3000.0) ** 2))
        blade = rng.uniform(90.0, 160.0)
        for k in range(1, 5):
            y += (0.5 / k) * np.sin(2 * np.pi * blade * k * t + rng.uniform(0, 2 * np.pi))
        y *= 1 + 0.1 * np.sin(2 * np.pi * 0.3 * t)
    elif kind == "crowd":
        # Many talkers, smeared by a room, over a murmur.
        talk = voices_mixed(rng, n, 16)
        room = rng.standard_normal(int(0.25 * RATE)) * np.exp(-np.arange(int(0.25 * RATE)) / (0.06 * RATE))
        talk = sps.fftconvolve(talk, room)[:n]
        talk /= np.sqrt(np.mean(talk**2))
        y = talk + 0.3 * shaped(rng, n, lambda f: 1 / np.sqrt(np.maximum(f, 50.0)) * (f < 5000))
    else:
        raise ValueError(kind)
    return y / np.sqrt(np.mean(y**2))


@dataclasses.dataclass
class Corpus:
    clean: list[np.ndarray]  # float32, one per track
    labels: list[np.ndarray]  # bool per 10 ms frame
    noisy: dict[tuple[str, int], list[np.ndarray]]  # (kind, snr) -> float32 per track

    def conditions(self):
        yield ("clean", None), self.clean
        for key, tracks in self.noisy.items():
            yield key, tracks


def build_corpus(tracks: int, seconds: float, level_dbfs: float) -> Corpus:
    rng = np.random.default_rng(SEED)
    clean, labels = [], []
    for _ in range(tracks):
        x = speech_track(rng, seconds, (0.2, 3.0), VOICES)
        lab = labels_of(x)
        active = np.sqrt(np.mean(frame_rms(x)[lab] ** 2))
        x *= 10 ** (rng.uniform(level_dbfs - 5, level_dbfs + 5) / 20) / active  # active speech level
        clean.append(x)
        labels.append(lab)
    noisy = {}
    for kind in NOISES:
        for i, x in enumerate(clean):
            noise = make_noise(kind, rng, len(x))
            active_power = np.mean(frame_rms(x)[labels[i]] ** 2)
            for snr in SNRS:
                mixed = x + noise * np.sqrt(active_power / 10 ** (snr / 10))
                noisy.setdefault((kind, snr), []).append(np.clip(mixed, -1, 1).astype(np.float32))
    return Corpus([x.astype(np.float32) for x in clean], labels, noisy)


def load_corpus(tracks: int, seconds: float, level_dbfs: float, rebuild: bool) -> Corpus:
    path = os.path.join(CACHE, f"corpus-v{CORPUS_VERSION}-{SEED}-{tracks}x{seconds:g}s-{level_dbfs:g}dBFS.npz")
    if os.path.exists(path) and not rebuild:
        z = np.load(path)
        n = int(z["tracks"])
        noisy = {(k, s): [z[f"{k}_{s}_{i}"] for i in range(n)] for k in NOISES for s in SNRS}
        return Corpus([z[f"clean_{i}"] for i in range(n)], [z[f"labels_{i}"] for i in range(n)], noisy)
    started = time.perf_counter()
    corpus = build_corpus(tracks, seconds, level_dbfs)
    os.makedirs(CACHE, exist_ok=True)
    arrays = {"tracks": np.array(tracks)}
    for i in range(tracks):
        arrays[f"clean_{i}"] = corpus.clean[i]
        arrays[f"labels_{i}"] = corpus.labels[i]
    for (k, s), xs in corpus.noisy.items():
        for i, x in enumerate(xs):
            arrays[f"{k}_{s}_{i}"] = x
    np.savez(path + ".tmp.npz", **arrays)
    os.replace(path + ".tmp.npz", path)
    print(f"corpus built in {time.perf_counter() - started:.0f} s, cached in {os.path.relpath(path, ROOT)}",
          file=sys.stderr)
    return corpus


# --- detectors: one keep flag per 10 ms frame -----------------------------------


def gate_frames(x: np.ndarray, band=None) -> np.ndarray:
    return analyse(x, RATE, band=band).keep_windows


def stream_frames(x: np.ndarray, band=None) -> np.ndarray:
    """Stream, the application's streaming gate, in 10 ms chunks: a frame is kept
    when the gain at the end of its chunk is 1 (fades off, so the gain is the
    decision)."""
    stream = Stream(RATE, band=band, attenuation=0.5, fade_ms=0)
    out = np.empty(len(x) // FRAME, dtype=bool)
    for i in range(len(out)):
        stream.process(x[i * FRAME: (i + 1) * FRAME])
        out[i] = stream.gain == 1.0
    return out


def webrtc_frames(x: np.ndarray, mode: int) -> np.ndarray:
    import webrtcvad

    vad = webrtcvad.Vad(mode)
    pcm = memoryview((np.clip(x, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes())
    step = 2 * FRAME
    return np.array([vad.is_speech(pcm[i: i + step], RATE) for i in range(0, len(pcm) - step + 1, step)])


@dataclasses.dataclass
class Scores:
    kept: float  # of speech frames
    dropped: float  # of non-speech frames

    @property
    def balanced(self) -> float:
        return (self.kept + self.dropped) / 2


def score(detect: Callable[[np.ndarray], np.ndarray], tracks: list[np.ndarray], labels: list[np.ndarray]) -> Scores:
    tp = fn = tn = fp = 0
    for x, lab in zip(tracks, labels):
        keep = np.asarray(detect(x), dtype=bool)[: len(lab)]
        lab = lab[: len(keep)]
        tp += np.count_nonzero(keep & lab)
        fn += np.count_nonzero(~keep & lab)
        tn += np.count_nonzero(~keep & ~lab)
        fp += np.count_nonzero(keep & ~lab)
    return Scores(tp / max(1, tp + fn), tn / max(1, tn + fp))


def evaluate(corpus: Corpus, detect) -> dict:
    return {key: score(detect, tracks, corpus.labels) for key, tracks in corpus.conditions()}


def summary(results: dict, kinds: tuple[str, ...]) -> dict[str, float]:
    """Balanced accuracy over `kinds` by column: clean, each SNR, overall."""
    cols = {"clean": results[("clean", None)].balanced}
    for snr in SNRS:
        cols[f"{snr} dB"] = statistics.mean(results[(k, snr)].balanced for k in kinds)
    cols["overall"] = statistics.mean(cols[c] for c in ["clean"] + [f"{s} dB" for s in SNRS])
    return cols


def band_name(band) -> str:
    if isinstance(band, str):
        low, high = talvane_rs.band.resolve_band(band, RATE)
        return f'"{band}" ({edge(low)}-{edge(high)} Hz)'
    return f"{edge(band[0])}-{edge(band[1])} Hz"


def edge(hz) -> str:
    return "off" if hz is None else f"{hz:g}"


def print_table(title: str, rows: list[tuple[str, dict]]) -> None:
    columns = list(rows[0][1])
    print(f"\n{title}\n")
    print("| detector | " + " | ".join(columns) + " |")
    print("|---|" + "---|" * len(columns))
    for name, cols in rows:
        print(f"| {name} | " + " | ".join(f"{cols[c]:.3f}" for c in columns) + " |")


def by_kind(results: dict) -> dict[str, float]:
    return {k: statistics.mean(results[(k, s)].balanced for s in SNRS) for k in NOISES}


def kept_dropped(results: dict, kinds: tuple[str, ...]) -> dict[str, float]:
    cols = {}
    for snr in [None, *SNRS]:
        keys = [("clean", None)] if snr is None else [(k, snr) for k in kinds]
        name = "clean" if snr is None else f"{snr} dB"
        cols[f"kept {name}"] = statistics.mean(results[k].kept for k in keys)
        cols[f"dropped {name}"] = statistics.mean(results[k].dropped for k in keys)
    return cols


# --- speed ----------------------------------------------------------------------


def time_turns(calls: list[Callable], repeats: int) -> list[float]:
    """Median seconds of each call, after a warm-up, timed in turns with the collector off."""
    gc.disable()
    try:
        for call in calls:
            call()
        times: list[list[float]] = [[] for _ in calls]
        for r in range(repeats):
            order = range(len(calls)) if r % 2 == 0 else reversed(range(len(calls)))
            for i in order:
                t0 = time.perf_counter()
                calls[i]()
                times[i].append(time.perf_counter() - t0)
    finally:
        gc.enable()
    return [statistics.median(t) for t in times]


def speed_line(seconds: float, repeats: int) -> str:
    import webrtcvad

    sys.path.insert(0, HERE)
    import signals

    x = signals.speech_in_noise(seconds, RATE)
    vad = webrtcvad.Vad(3)
    pcm = memoryview((np.clip(x, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes())
    step = 2 * FRAME
    gate = EnergyTalvane()

    def webrtc():
        return [vad.is_speech(pcm[i: i + step], RATE) for i in range(0, len(pcm) - step + 1, step)]

    banded, vad_s, mask_s = time_turns([
        lambda: analyse(x, RATE, band="speech"),
        webrtc,
        lambda: gate.compute_keep_mask_array(x, RATE),
    ], repeats)
    return (f"speed, {seconds / 60:g} min at 16 kHz: webrtcvad (mode 3, ready int16 bytes, 10 ms frames) / "
            f'analyse(x, rate, band="speech") = {vad_s / banded:.2f} × (target ≥ 2); '
            f"the banded analysis / compute_keep_mask_array = {banded / mask_s:.2f} ×")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small corpus and a short speed run")
    parser.add_argument("--rebuild", action="store_true", help="build the corpus again, not from the cache")
    parser.add_argument("--no-speed", action="store_true", help="skip the speed line")
    parser.add_argument("--speech-dbfs", type=float, default=-20.0,
                        help="active speech level of the tracks, each drawn within 5 dB of it (default -20)")
    args = parser.parse_args()
    tracks, seconds = (3, 30.0) if args.quick else (8, 60.0)
    corpus = load_corpus(tracks, seconds, args.speech_dbfs, args.rebuild)
    frames = sum(len(lab) for lab in corpus.labels)
    speech = sum(int(lab.sum()) for lab in corpus.labels)
    print(f"corpus: {tracks} tracks, {frames / 100:.0f} s, {speech / frames:.0%} of the frames speech, active speech "
          f"level {args.speech_dbfs:g} dBFS give or take 5 dB; "
          f"{len(NOISES)} noise kinds ({', '.join(NOISES)}) at {', '.join(map(str, SNRS))} dB SNR, and clean")

    detectors: list[tuple[str, Callable]] = [("gate, defaults", gate_frames)]
    detectors.append((f"gate, band {band_name('speech')} (the preset)", lambda x: gate_frames(x, "speech")))
    for band in BANDS_TRIED:
        detectors.append((f"gate, band {band_name(band)}", lambda x, b=band: gate_frames(x, b)))
    detectors.append(("Stream, 10 ms chunks", stream_frames))
    detectors.append(('Stream, 10 ms chunks, band "speech"', lambda x: stream_frames(x, "speech")))
    for mode in range(4):
        detectors.append((f"webrtcvad, mode {mode}", lambda x, m=mode: webrtc_frames(x, m)))

    results = {}
    for name, detect in detectors:
        results[name] = evaluate(corpus, detect)
        print(f"  measured: {name}", file=sys.stderr)
    for title, kinds in (("main set", OUT_OF_BAND), ("in-band set", IN_BAND)):
        print_table(f"Balanced accuracy by SNR, {title} ({', '.join(kinds)})",
                    [(n, summary(r, kinds)) for n, r in results.items()])
    print_table("Balanced accuracy by noise kind (mean over the four SNRs)",
                [(n, by_kind(r)) for n, r in results.items()])
    for title, kinds in (("main set", OUT_OF_BAND), ("in-band set", IN_BAND)):
        print_table(f"Speech frames kept and non-speech frames dropped, {title}",
                    [(n, kept_dropped(r, kinds)) for n, r in results.items()])
    if not args.no_speed:
        print()
        print(speed_line(60.0 if args.quick else 600.0, 5 if args.quick else 11))
    return 0


if __name__ == "__main__":
    sys.exit(main())
