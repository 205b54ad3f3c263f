"""Seeded music for the quality benchmark, synthesised with NumPy alone.

Four kinds, each a short piece in a random key and tempo whose loudness moves
from passage to passage (quiet verses, loud choruses, swells and fades) as
recorded music's does:

- ``chords``: held chords of strings and an organ over a bass, changing every
  bar or two, with slow swells;
- ``beat``: a drum kit (kick, snare, hats) with a plucked bass line and short
  chord stabs, at 90 to 130 beats per minute;
- ``piano``: a piano's decaying notes, a melody over broken chords;
- ``sung``: a voice-like line (a glottal tone with vibrato through vowel
  formants, in phrases with breaths) over a pad and a bass.

Each instrument reads a one-cycle table of its harmonics (limited to below the
Nyquist frequency) at a running phase, so a note costs a few operations per
sample whatever its timbre. ``music(kind, rng, n, rate)`` returns n samples at
unit RMS; the same generator state gives the same samples.
"""

from __future__ import annotations

import functools

import numpy as np
from scipy import signal as sps

KINDS = ("chords", "beat", "piano", "sung")

_TABLE = 4096  # samples per cycle of a wavetable
_MAJOR = np.array([0, 2, 4, 5, 7, 9, 11])
_MINOR = np.array([0, 2, 3, 5, 7, 8, 10])
# Chord roots as scale degrees: common progressions of popular music.
_PROGRESSIONS = ((0, 4, 5, 3), (0, 5, 3, 4), (5, 3, 0, 4), (0, 3, 4, 4), (0, 5, 1, 4))
# Vowel formants (Hz) and bandwidths for the sung line: a, e, i, o, u.
_VOWELS = ((800, 1150, 2900), (400, 1600, 2700), (350, 2000, 2800), (450, 800, 2830), (325, 700, 2530))
_FORMANT_WIDTHS = (80.0, 90.0, 120.0)


def _hz(midi):
    return 440.0 * 2.0 ** ((np.asarray(midi, dtype=float) - 69.0) / 12.0)


# Harmonic amplitudes by instrument, as functions of the harmonic number k.
_SHAPES = {
    "strings": lambda k: 1.0 / k,
    "organ": lambda k: np.where(np.isin(k, (1, 2, 3, 4, 6, 8)), 1.0 / np.sqrt(k), 0.0),
    "bass": lambda k: 0.7 ** (k - 1),
    "pluck": lambda k: 0.6 ** (k - 1),
    "stab": lambda k: 1.0 / k**1.5,
    "pad": lambda k: 1.0 / k**1.5,
    "bright": lambda k: 1.0 / k**0.9,
    "mellow": lambda k: 1.0 / k**2.2,
}


@functools.lru_cache(maxsize=None)
def _table(timbre, count: int) -> np.ndarray:
    """One cycle of the first `count` harmonics of a timbre: an instrument's name,
    or ("voice", vowel, pitch in Hz) for a sung vowel."""
    k = np.arange(1, count + 1)
    if isinstance(timbre, tuple):
        _, vowel, hz = timbre
        f = k * hz
        amplitudes = sum(1.0 / np.sqrt(1 + ((f - fc) / bw) ** 2) for fc, bw in zip(_VOWELS[vowel], _FORMANT_WIDTHS))
        amplitudes = amplitudes / k  # a glottal tone, 6 dB per octave down before its formants
    else:
        amplitudes = _SHAPES[timbre](k)
    t = np.arange(_TABLE) / _TABLE
    return np.sin(2 * np.pi * np.outer(t, k)) @ np.asarray(amplitudes, dtype=float)


class _Score:
    """The sum of the instruments' notes, placed by start sample."""

    def __init__(self, rng: np.random.Generator, n: int, rate: int):
        self.rng, self.n, self.rate = rng, n, rate
        self.out = np.zeros(n)

    def tone(self, start: int, hz: float, seconds: float, timbre, envelope, vibrato=0.0, detune=0.0, level=1.0):
        """A note of a timbre (see _table), its amplitude envelope(t in s, length in
        s), a vibrato depth (fraction of the pitch, at about 5.5 Hz)."""
        if start >= self.n or seconds <= 0:
            return
        m = min(int(seconds * self.rate), self.n - start)
        t = np.arange(m) / self.rate
        top = hz * (1 + vibrato) * (1 + detune)
        table = _table(timbre, max(1, int(0.45 * self.rate / top)))  # harmonics below the Nyquist frequency
        f = hz * (1 + detune) * (1 + vibrato * np.sin(2 * np.pi * self.rng.uniform(5.0, 6.0) * t))
        phase = (np.cumsum(f) / self.rate + self.rng.random()) % 1.0
        self.out[start:start + m] += level * envelope(t, seconds) * table[(phase * _TABLE).astype(np.int64)]

    def hit(self, start: int, sound: np.ndarray, level=1.0):
        if start < self.n:
            m = min(len(sound), self.n - start)
            self.out[start:start + m] += level * sound[:m]


def _adsr(attack, release, decay=None):
    """Envelope rising over `attack` s, held (or decaying with time constant
    `decay` s), and falling over `release` s at the note's end."""

    def envelope(t, length):
        rise = np.minimum(1.0, t / attack)
        hold = np.exp(-t / decay) if decay else 1.0
        fall = np.clip((length - t) / release, 0.0, 1.0)
        return rise * hold * fall

    return envelope


def _key(rng):
    return int(rng.integers(45, 57)), (_MAJOR if rng.random() < 0.6 else _MINOR)


def _chord_notes(tonic, scale, degree, voicing=3):
    steps = [degree + 2 * j for j in range(voicing)]
    return [tonic + scale[s % 7] + 12 * (s // 7) for s in steps]


def _progression(rng, n_bars):
    pattern = _PROGRESSIONS[rng.integers(len(_PROGRESSIONS))]
    return [pattern[b % len(pattern)] for b in range(n_bars)]


def _chords(score: _Score, rng, bar_s: float) -> None:
    tonic, scale = _key(rng)
    bars = int(score.n / score.rate / bar_s) + 1
    for b, degree in enumerate(_progression(rng, bars)):
        start, length = int(b * bar_s * score.rate), bar_s * rng.choice([1.0, 1.0, 2.0])
        for note in _chord_notes(tonic + 12, scale, degree, 4):
            for detune in (-0.003, 0.003):
                score.tone(start, _hz(note), length + 0.3, "strings", _adsr(0.35, 0.5), 0.004, detune, 0.12)
            score.tone(start, _hz(note), length, "organ", _adsr(0.05, 0.2), 0.0, 0.0, 0.08)
        score.tone(start, _hz(tonic - 12 + scale[degree]), length, "bass", _adsr(0.02, 0.3), 0.0, 0.0, 0.35)


def _drums(rate, rng):
    t = np.arange(int(0.35 * rate)) / rate
    kick = np.sin(2 * np.pi * np.cumsum(45 + 90 * np.exp(-t / 0.03)) / rate) * np.exp(-t / 0.12)
    noise = rng.standard_normal(len(t))
    snare = (0.6 * np.diff(noise, prepend=0.0) + 0.5 * np.sin(2 * np.pi * 185 * t)) * np.exp(-t / 0.07)
    hat = np.diff(np.diff(noise, prepend=0.0), prepend=0.0)[: int(0.06 * rate)]
    hat *= np.exp(-np.arange(len(hat)) / (0.012 * rate)) / 3
    return kick, snare, hat


def _beat(score: _Score, rng) -> None:
    beat_s = 60.0 / rng.uniform(90, 130)
    tonic, scale = _key(rng)
    kick, snare, hat = _drums(score.rate, rng)
    beats = int(score.n / score.rate / beat_s) + 1
    degrees = _progression(rng, beats // 4 + 1)
    swing = rng.uniform(0.0, 0.08)
    for i in range(beats):
        at = int(i * beat_s * score.rate)
        off = int((i + 0.5 + swing) * beat_s * score.rate)
        degree = degrees[i // 4]
        score.hit(at, kick if i % 2 == 0 or rng.random() < 0.15 else snare, 0.6)
        score.hit(at, hat, 0.4)
        score.hit(off, hat, 0.3)
        bass_note = tonic - 12 + scale[degree] + (12 if rng.random() < 0.25 else 0)
        score.tone(at, _hz(bass_note), 0.45 * beat_s, "pluck", _adsr(0.005, 0.05, 0.25), level=0.45)
        if i % 2 == 1:
            for note in _chord_notes(tonic + 12, scale, degree):
                score.tone(off, _hz(note), 0.3 * beat_s, "stab", _adsr(0.005, 0.04, 0.12), level=0.1)
        if i % 4 == 0:  # a quiet pad under the bar
            for note in _chord_notes(tonic, scale, degree):
                score.tone(at, _hz(note), 4 * beat_s + 0.2, "pad", _adsr(0.3, 0.3), 0.003, level=0.04)


def _piano_note(score: _Score, start: int, midi: float, seconds: float, level: float) -> None:
    hz = float(_hz(midi))
    decay = 1.6 * (262.0 / hz) ** 0.6  # low notes ring longer
    # The upper partials die first: a bright attack crossfades into a mellow tone.
    score.tone(start, hz, seconds, "bright", _adsr(0.004, 0.08, 0.25 * decay), level=0.6 * level)
    score.tone(start, hz, seconds, "mellow", _adsr(0.004, 0.08, decay), level=level)


def _piano(score: _Score, rng) -> None:
    tonic, scale = _key(rng)
    beat_s = 60.0 / rng.uniform(70, 110)
    bars = int(score.n / score.rate / (4 * beat_s)) + 1
    for b, degree in enumerate(_progression(rng, bars)):
        bar = b * 4 * beat_s
        chord = _chord_notes(tonic, scale, degree)
        for j in range(8):  # broken chord in eighths
            _piano_note(score, int((bar + j * beat_s / 2) * score.rate), chord[[0, 1, 2, 1][j % 4]], 1.5, 0.25)
        t, step = 0.0, int(rng.integers(0, 7))
        while t < 4 * beat_s:  # melody
            length = beat_s * rng.choice([0.5, 0.5, 1.0, 1.0, 1.5, 2.0])
            if rng.random() < 0.85:
                _piano_note(score, int((bar + t) * score.rate), tonic + 12 + scale[step % 7] + 12 * (step // 7),
                            length + 0.4, 0.45)
            step = int(np.clip(step + rng.integers(-2, 3), 0, 11))
            t += length


def _sung(score: _Score, rng) -> None:
    tonic, scale = _key(rng)
    beat_s = 60.0 / rng.uniform(70, 100)
    bar_s = 4 * beat_s
    bars = int(score.n / score.rate / bar_s) + 1
    for b, degree in enumerate(_progression(rng, bars)):
        start = int(b * bar_s * score.rate)
        for note in _chord_notes(tonic, scale, degree):
            score.tone(start, _hz(note), bar_s + 0.3, "pad", _adsr(0.4, 0.5), 0.003, 0.0, 0.06)
        score.tone(start, _hz(tonic - 12 + scale[degree]), bar_s, "pluck", _adsr(0.02, 0.2, 1.5), level=0.25)
    singer = tonic + 12 + (12 if rng.random() < 0.5 else 0)  # a low or a high voice
    t, step = rng.uniform(0.5, 2.0), int(rng.integers(0, 5))
    total = score.n / score.rate
    while t < total:
        for _ in range(int(rng.integers(4, 9))):  # a phrase of notes, legato
            length = beat_s * rng.choice([0.5, 1.0, 1.0, 1.5, 2.0])
            hz = float(_hz(singer + scale[step % 7] + 12 * (step // 7)))
            voice = ("voice", int(rng.integers(len(_VOWELS))), hz)
            score.tone(int(t * score.rate), hz, length + 0.05, voice, _adsr(0.04, 0.06), 0.015, level=0.3)
            step = int(np.clip(step + rng.integers(-2, 3), 0, 9))
            t += length
        t += rng.uniform(0.3, 1.2)  # a breath


def _dynamics(rng, n: int, rate: int) -> np.ndarray:
    """Loudness over time: passages of 4 to 16 s at levels spread over about 14 dB,
    reached by swells or drops of 0.2 to 3 s, with a fade in and out."""
    points, levels = [0.0], [rng.uniform(-10, 0)]
    while points[-1] < n / rate:
        points += [points[-1] + rng.uniform(0.2, 3.0), points[-1] + rng.uniform(4, 16)]
        target = rng.uniform(-12, 2)
        levels += [target, target + rng.uniform(-1.5, 1.5)]
    db = np.interp(np.arange(n) / rate, points, levels)
    gain = 10 ** (db / 20)
    fade = int(min(n // 4, rng.uniform(0.5, 3.0) * rate))
    ramp = np.linspace(0.0, 1.0, fade) if fade > 0 else np.ones(0)
    gain[:fade] *= ramp
    gain[n - fade:] *= ramp[::-1]
    return gain


def music(kind: str, rng: np.random.Generator, n: int, rate: int) -> np.ndarray:
    """n samples of one kind of music at `rate`, unit RMS."""
    score = _Score(rng, n, rate)
    if kind == "chords":
        _chords(score, rng, 60.0 / rng.uniform(60, 90) * 4)
    elif kind == "beat":
        _beat(score, rng)
    elif kind == "piano":
        _piano(score, rng)
    elif kind == "sung":
        _sung(score, rng)
    else:
        raise ValueError(kind)
    y = _room(score.out, rng, rate)
    # Mastered as records are: peaks above 4 times the RMS softly limited.
    limit = 4 * np.sqrt(np.mean(y**2))
    y = limit * np.tanh(y / limit) * _dynamics(rng, n, rate)
    return y / np.sqrt(np.mean(y**2))


def _room(y: np.ndarray, rng, rate: int) -> np.ndarray:
    """The dry sound plus a room's tail: decaying noise of 0.3 to 1.2 s (the time
    to fall 60 dB), about 10 dB under the sound, low-passed as air and walls do."""
    rt60 = rng.uniform(0.3, 1.2)
    t = np.arange(int(rt60 * rate)) / rate
    tail = rng.standard_normal(len(t)) * 10 ** (-3 * t / rt60)
    tail = np.convolve(tail, np.ones(4) / 4, mode="same")
    wet = sps.fftconvolve(y, tail)[: len(y)]
    return y + wet * (0.3 * np.sqrt(np.mean(y**2)) / max(1e-12, np.sqrt(np.mean(wet**2))))
