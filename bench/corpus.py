"""The labelled speech-in-noise corpus of the quality benchmark, in two parts.

Speech comes from espeak-ng (Debian's package espeak-ng): utterances by several
voices at several rates and pitches. Each part has its own voices, sentences and
seeds; the tuning part is where decision rules are chosen, the held-out part
(voices, texts and noise never used for choosing) where they are confirmed.

A part holds tracks of two kinds:
- tracks with pauses of 0.2 to 3 s between utterances (about half speech), at
  active speech levels spread over -35 to -15 dBFS;
- mostly-speech tracks, pauses of 0.1 to 0.5 s (75 to 85 % speech).

Labels come from the clean track alone, before mixing: a 10 ms frame is speech
when its RMS is above 1 % (-40 dB) of the track's loudest frame. No detector is
involved. Noises (unit RMS) are mixed at 20, 10, 5 and 0 dB SNR, the active
speech power (over the speech frames) against the noise's mean power:
- out of speech's band: white, pink, brown, mains hum, rumble;
- in it: babble (6 talkers), a fan, a crowd (16 talkers in a room);
- music (bench/music.py): held chords, a beat, a piano, a sung line.

The speech and the talkers of babble and crowd are built once and cached under
build/quality/; the other noises are drawn again from their seeds on each run.
"""

from __future__ import annotations

import dataclasses
import io
import os
import subprocess
import sys
import time
from typing import Callable

import music
import numpy as np
import soundfile as sf
from scipy import signal as sps

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(os.path.dirname(HERE), "build", "quality")
VERSION = 3  # bump when the recipe changes, so the cache is rebuilt

RATE = 16000
FRAME = RATE // 100  # 10 ms: the gate's window and WebRTC's frame
LABEL_FRACTION = 0.01  # of the track's loudest frame RMS: -40 dB
SNRS = (20, 10, 5, 0)
OUT_OF_BAND = ("white", "pink", "brown", "hum", "rumble")
IN_BAND = ("babble", "fan", "crowd")
MUSIC = tuple(f"music-{kind}" for kind in music.KINDS)
NOISES = OUT_OF_BAND + IN_BAND + MUSIC
SETS = {"main": OUT_OF_BAND, "in-band": IN_BAND, "music": MUSIC}


@dataclasses.dataclass(frozen=True)
class Part:
    name: str
    voices: tuple[str, ...]
    sentences: tuple[str, ...]
    seed: int
    levels: tuple[float, ...]  # active speech level of each track with pauses, dBFS
    mostly_levels: tuple[float, ...]  # of each mostly-speech track
    seconds: float


LEVELS = (-35.0, -32.0, -29.0, -26.0, -23.0, -20.0, -17.0, -15.0)
MOSTLY_LEVELS = (-30.0, -24.0, -18.0)

TUNING = Part(
    "tuning",
    voices=("en-us+m3", "en-us+f2", "en-gb+m1", "en-gb+f4", "en-gb-scotland+m4", "en-gb-scotland+f3",
            "en-029+m2", "en-gb-x-rp+f1", "en-us-nyc+m6", "en-gb-x-gbclan+f5"),
    sentences=(
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
    ),
    seed=20261209,
    levels=LEVELS,
    mostly_levels=MOSTLY_LEVELS,
    seconds=60.0,
)

HELD_OUT = Part(
    "held-out",
    voices=("en-gb-x-gbcwmd+m5", "en-us+m7", "en-gb+m8", "en-029+Annie", "en-gb-scotland+linda",
            "en-us-nyc+belinda", "en-gb-x-rp+Andy", "en-us+klatt3", "en-gb-x-gbclan+edward", "en-us+aunty"),
    sentences=(
        "Most of the letters arrived a week after the holiday had ended.",
        "The engineer opened the panel and found a loose wire behind the fuse.",
        "Six orange boxes were stacked against the wall of the garage.",
        "When the tide goes out you can walk across the sand to the island.",
        "Her brother plays the violin in a small orchestra on Sunday evenings.",
        "The train to the airport leaves from platform nine every twenty minutes.",
        "Keep the receipt, because the shop will not change the shoes without it.",
        "A strong wind blew the leaves across the square and into the fountain.",
        "We will need three more chairs and a longer table for the guests.",
        "The museum closes early on Fridays, so go in the morning.",
        "He wrote the address on the back of an envelope and lost it.",
        "Thirty one, fifty six, two hundred, and one thousand and four.",
        "The soup was too hot, the bread too hard, and the waiter too slow.",
        "After the storm the whole street was covered in broken branches.",
        "Please turn off your phones and take your seats; the film is starting.",
        "The pilot announced that we would land half an hour ahead of time.",
        "Nobody answered the door, so she left the parcel with the neighbour.",
        "The old mill by the canal has been turned into a library.",
        "Right. Good. Not today. See you on Monday.",
        "Water the plants twice a week and keep them out of direct sunlight.",
        "The team practised every evening for a month before the final.",
        "Our neighbours keep bees, and every autumn they give us a jar of honey.",
        "The hotel had a view of the harbour and the lighthouse beyond it.",
        "Mix the paint slowly, or the colour will come out uneven on the wall.",
        "The concert was cancelled because the singer had lost her voice.",
        "From the top of the hill you can see three villages and the sea.",
        "He keeps his tools in a wooden chest under the stairs.",
        "The report is due on Thursday, but the figures are still missing.",
        "Grandmother told us stories about the winter when the river froze.",
        "The ferry was full, so we waited on the pier for the next one.",
    ),
    seed=77310423,
    levels=tuple(level + 1.0 for level in LEVELS[:-1]) + (-15.0,),
    mostly_levels=(-33.0, -26.0, -16.0),
    seconds=60.0,
)

PARTS = (TUNING, HELD_OUT)


# --- speech ---------------------------------------------------------------------


def speak(text: str, voice: str, wpm: int, pitch: int) -> np.ndarray:
    """One utterance from espeak-ng, at RATE, float64, silence trimmed off both ends."""
    wav = subprocess.run(["espeak-ng", "-v", voice, "-s", str(wpm), "-p", str(pitch), "--stdout", text],
                         check=True, capture_output=True).stdout
    x, rate = sf.read(io.BytesIO(wav), dtype="float64")
    x = sps.resample_poly(x, RATE, rate) if rate != RATE else x
    loud = np.flatnonzero(np.abs(x) > 1e-4)
    return x[loud[0]: loud[-1] + 1] if len(loud) else x[:0]


class Utterances:
    """A pool of utterances of a part's voices and sentences, each spoken once at a
    random rate and pitch and a level varied by a few dB; tracks draw from it."""

    def __init__(self, part: Part, rng: np.random.Generator, size: int):
        self.pool = []
        for _ in range(size):
            x = speak(part.sentences[rng.integers(len(part.sentences))], part.voices[rng.integers(len(part.voices))],
                      int(rng.integers(120, 211)), int(rng.integers(25, 76)))
            self.pool.append(x * 10 ** (rng.uniform(-4, 4) / 20) / max(1e-9, np.max(np.abs(x))))

    def track(self, rng: np.random.Generator, seconds: float, pause: tuple[float, float]) -> np.ndarray:
        """Utterances with pauses drawn from `pause` (seconds) before each, up to
        `seconds`, and one after; peak 1."""
        parts, n = [], 0
        while n < seconds * RATE:
            gap = np.zeros(int(rng.uniform(*pause) * RATE))
            utterance = self.pool[rng.integers(len(self.pool))]
            parts += [gap, utterance]
            n += len(gap) + len(utterance)
        parts.append(np.zeros(int(rng.uniform(*pause) * RATE)))
        x = np.concatenate(parts)[: int(seconds * RATE)]
        return x / np.max(np.abs(x))


def frame_rms(x: np.ndarray) -> np.ndarray:
    n = len(x) // FRAME
    return np.sqrt(np.mean(np.asarray(x[: n * FRAME], dtype=np.float64).reshape(n, FRAME) ** 2, axis=1))


def labels_of(clean: np.ndarray) -> np.ndarray:
    rms = frame_rms(clean)
    return rms > LABEL_FRACTION * rms.max()


# --- noise ----------------------------------------------------------------------


def shaped(rng: np.random.Generator, n: int, gain: Callable[[np.ndarray], np.ndarray]) -> np.ndarray:
    """Gaussian noise whose spectrum is multiplied by gain(frequency in Hz), unit RMS."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / RATE)
    y = np.fft.irfft(spectrum * gain(f), n)
    return y / np.sqrt(np.mean(y**2))


def talkers(pool: Utterances, rng: np.random.Generator, n: int, count: int) -> np.ndarray:
    """Several talkers with short pauses, each at its own level."""
    mix = np.zeros(n)
    for _ in range(count):
        x = pool.track(rng, n / RATE + 1.0, (0.05, 0.4))
        mix += x[:n] * 10 ** (rng.uniform(-6, 0) / 20)
    return mix / np.sqrt(np.mean(mix**2))


def crowd(talk: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Many talkers smeared by a room, over a murmur."""
    n = len(talk)
    room = rng.standard_normal(int(0.25 * RATE)) * np.exp(-np.arange(int(0.25 * RATE)) / (0.06 * RATE))
    smeared = sps.fftconvolve(talk, room)[:n]
    smeared /= np.sqrt(np.mean(smeared**2))
    y = smeared + 0.3 * shaped(rng, n, lambda f: 1 / np.sqrt(np.maximum(f, 50.0)) * (f < 5000))
    return y / np.sqrt(np.mean(y**2))


def made_noise(kind: str, rng: np.random.Generator, n: int) -> np.ndarray:
    """n samples of a noise kind that needs no speech, unit RMS."""
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
        y = sum((0.8 ** (k - 1)) * np.sin(2 * np.pi * mains * k * t + rng.uniform(0, 2 * np.pi)) for k in range(1, 10))
        y = y + 0.02 * rng.standard_normal(n)
    elif kind == "rumble":
        # Traffic or machinery far away: noise below about 80 Hz.
        y = shaped(rng, n, lambda f: 1 / (1 + (f / 40.0) ** 4) * (f > 5))
    elif kind == "fan":
        # A band of noise with a broad hump and the blade tone with its harmonics, slowly wavering.
        y = shaped(rng, n, lambda f: 1 / (1 + ((f - 700.0) / 900.0) ** 2) + 0.2 / (1 + (f / 3000.0) ** 2))
        blade = rng.uniform(90.0, 160.0)
        y = y + sum((0.5 / k) * np.sin(2 * np.pi * blade * k * t + rng.uniform(0, 2 * np.pi)) for k in range(1, 5))
        y = y * (1 + 0.1 * np.sin(2 * np.pi * 0.3 * t))
    elif kind.startswith("music-"):
        y = music.music(kind.removeprefix("music-"), rng, n, RATE)
    else:
        raise ValueError(kind)
    return y / np.sqrt(np.mean(y**2))


# --- tracks ---------------------------------------------------------------------


@dataclasses.dataclass
class Track:
    clean: np.ndarray  # float32
    labels: np.ndarray  # bool per 10 ms frame
    level: float  # active speech level, dBFS
    mostly: bool  # a mostly-speech track
    seed: tuple[int, ...]  # of the noises drawn on each run
    babble: np.ndarray  # float32, unit RMS
    crowd: np.ndarray

    @property
    def active_power(self) -> float:
        return float(np.mean(frame_rms(self.clean)[self.labels] ** 2))

    def noise(self, kind: str) -> np.ndarray:
        if kind == "babble":
            return self.babble
        if kind == "crowd":
            return self.crowd
        rng = np.random.default_rng([*self.seed, NOISES.index(kind)])
        return made_noise(kind, rng, len(self.clean)).astype(np.float32)

    def mixed(self, noise: np.ndarray, snr: float) -> np.ndarray:
        y = self.clean + noise * np.float32(np.sqrt(self.active_power / 10 ** (snr / 10)))
        return np.clip(y, -1, 1).astype(np.float32)


def build_part(part: Part) -> list[Track]:
    rng = np.random.default_rng(part.seed)
    pool = Utterances(part, rng, 260)
    tracks = []
    for i, (level, mostly) in enumerate([(lv, False) for lv in part.levels] + [(lv, True) for lv in part.mostly_levels]):
        x = pool.track(rng, part.seconds, (0.1, 0.5) if mostly else (0.2, 3.0))
        labels = labels_of(x)
        active = np.sqrt(np.mean(frame_rms(x)[labels] ** 2))
        x = (x * 10 ** (level / 20) / active).astype(np.float32)
        talk = talkers(pool, rng, len(x), 16)
        tracks.append(Track(x, labels, level, mostly, (part.seed, i), talkers(pool, rng, len(x), 6).astype(np.float32),
                            crowd(talk, rng).astype(np.float32)))
    return tracks


def load_part(part: Part, rebuild: bool = False) -> list[Track]:
    """The part's tracks, from the cache or built (a few minutes) and cached."""
    path = os.path.join(CACHE, f"{part.name}-v{VERSION}-{part.seed}.npz")
    if os.path.exists(path) and not rebuild:
        z = np.load(path)
        return [Track(z[f"clean_{i}"], z[f"labels_{i}"], float(z["levels"][i]), bool(z["mostly"][i]),
                      (part.seed, i), z[f"babble_{i}"], z[f"crowd_{i}"]) for i in range(len(z["levels"]))]
    started = time.perf_counter()
    tracks = build_part(part)
    os.makedirs(CACHE, exist_ok=True)
    arrays = {"levels": np.array([t.level for t in tracks]), "mostly": np.array([t.mostly for t in tracks])}
    for i, t in enumerate(tracks):
        arrays.update({f"clean_{i}": t.clean, f"labels_{i}": t.labels, f"babble_{i}": t.babble, f"crowd_{i}": t.crowd})
    np.savez(path + ".tmp.npz", **arrays)
    os.replace(path + ".tmp.npz", path)
    print(f"{part.name} part built in {time.perf_counter() - started:.0f} s, cached in {os.path.relpath(path)}",
          file=sys.stderr)
    return tracks


def conditions():
    """(noise kind, SNR) of every mixture, clean first as (None, None)."""
    yield None, None
    for kind in NOISES:
        for snr in SNRS:
            yield kind, snr


def mixtures(track: Track):
    """(kind, snr, samples) of the track: clean, then each noise at each SNR."""
    yield None, None, track.clean
    for kind in NOISES:
        noise = track.noise(kind)
        for snr in SNRS:
            yield kind, snr, track.mixed(noise, snr)
