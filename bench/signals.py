"""Seeded speech-in-noise recordings for the benchmarks, generated with NumPy alone.

Syllables of voiced sound (a harmonic series on a gliding pitch, shaped by a
vowel-like spectrum and a rise-and-fall envelope, some opened by a short
fricative hiss) are grouped into utterances separated by pauses, over a coloured
noise floor whose level drifts slowly. The per-syllable plan is drawn as short
arrays; the samples are computed vectorised, one block at a time, so that the
temporaries stay in cache and ten minutes at 48 kHz take a second or two.
"""

from __future__ import annotations

import numpy as np

# Harmonic weights of two vowel-like spectra; each syllable mixes them.
_OPEN_VOWEL = np.array([0.6, 1.0, 0.8, 0.45, 0.3, 0.2, 0.12, 0.08], dtype=np.float32)
_CLOSE_VOWEL = np.array([1.0, 0.35, 0.15, 0.25, 0.3, 0.12, 0.05, 0.03], dtype=np.float32)
_NOISE_OCTAVES = 7  # octave bands of the pink-ish floor
_BLOCK = 1 << 16  # samples generated at a time, so the temporaries stay in cache
_PINK_SCALE = (3.0 / _NOISE_OCTAVES) ** 0.5  # octaves of uniform [-1, 1) noise to unit RMS
_TWO_PI = 2.0 * np.pi
_RAMP = np.arange(_BLOCK, dtype=np.float32)


def speech_in_noise(seconds: float, sample_rate: int, seed: int = 2024, noise_rms: float = 0.004) -> np.ndarray:
    """A float32 recording of `seconds` at `sample_rate`: speech over noise.

    About 60 % of the time is voiced syllables (peaks around 0.05 to 0.4), the
    rest short gaps between syllables and pauses of 0.3 to 1.5 s between
    utterances; the noise floor has an RMS of about `noise_rms` (a 1/f-like
    spectrum, its level drifting by about 3 dB over tens of seconds). The same
    arguments give the same samples.
    """
    rng = np.random.default_rng(seed)
    n = max(0, int(round(seconds * sample_rate)))
    out = np.empty(n, dtype=np.float32)
    plan = _Plan(rng, n, sample_rate)
    drift_phase = rng.random()
    for b0 in range(0, n, _BLOCK):
        b1 = min(n, b0 + _BLOCK)
        block = out[b0:b1]
        # The level drifts over tens of seconds: one value per block is smooth enough.
        drift = 1.0 + 0.35 * np.sin(_TWO_PI * (b0 / sample_rate / 23.0 + drift_phase))
        white = _uniform(rng, b1 - b0)
        block[:] = _pink(rng, white)
        block *= np.float32(noise_rms * drift * _PINK_SCALE)
        block += plan.speech(b0, b1, white)
        np.clip(block, -1.0, 1.0, out=block)
    return out


def _uniform(rng, m):
    """m float32 values uniform in [-1, 1): cheaper to draw than normal ones,
    and the sum of the octaves below is close to normal anyway."""
    u = rng.random(m, dtype=np.float32)
    u *= 2.0
    u -= 1.0
    return u


def _pink(rng, white):
    # Voss-McCartney: white noise held for 1, 2, 4, ... samples and summed gives
    # roughly equal power per octave. Built from the coarsest octave down, so
    # each repeat works on a short array.
    m = len(white)
    top = _NOISE_OCTAVES - 1
    held = _uniform(rng, -(-m >> top))
    for k in range(top - 1, 0, -1):
        held = np.repeat(held, 2)
        held += _uniform(rng, len(held))
    return np.repeat(held, 2)[:m] + white


class _Plan:
    """Syllables alternating with gaps, one gap in five a pause between
    utterances, and the sound of each syllable; `speech` renders a block."""

    def __init__(self, rng, n, sample_rate):
        # Enough pairs to cover n samples even if every draw were the shortest.
        shortest = max(1, round(0.08 * sample_rate)) + max(1, round(0.02 * sample_rate))
        count = n // shortest + 1
        syllable = rng.uniform(0.08, 0.30, count)
        pause = rng.random(count) < 0.2
        gap = np.where(pause, rng.uniform(0.3, 1.5, count), rng.uniform(0.02, 0.08, count))
        lengths = np.empty(2 * count, dtype=np.int64)
        lengths[0::2] = np.maximum(1, np.round(syllable * sample_rate))
        lengths[1::2] = np.maximum(1, np.round(gap * sample_rate))
        self.ends = np.cumsum(lengths)
        self.starts = self.ends - lengths
        self.inv_len = (1.0 / lengths).astype(np.float32)

        # One level and pitch per utterance, varied a little per syllable. Every
        # attribute is per segment; gaps get a level of 0 and keep the pitch of
        # the syllable before them.
        utterance = np.concatenate(([0], np.cumsum(pause)[:-1]))
        utterances = utterance[-1] + 1
        level = rng.uniform(0.05, 0.3, utterances)[utterance] * rng.uniform(0.6, 1.4, count)
        fricative = np.where(rng.random(count) < 0.3, rng.uniform(0.1, 0.25, count), 0.0)
        self.level = _voiced_only(0.35 * level)
        self.fricative = _voiced_only(fricative * level)
        self.f0 = np.repeat(rng.uniform(90.0, 220.0, utterances)[utterance] * rng.uniform(0.9, 1.1, count), 2)
        self.glide = np.repeat(rng.uniform(-0.15, 0.1, count), 2).astype(np.float32)
        self.vowel = np.repeat(rng.random(count), 2).astype(np.float32)
        self.step = _TWO_PI / sample_rate  # phase advance per hertz
        self.hiss_len = 0.04 * sample_rate
        self.phase = 0.0  # pitch phase carried from block to block

    def speech(self, b0, b1, white):
        first = int(np.searchsorted(self.ends, b0, side="right"))
        last = int(np.searchsorted(self.ends, b1 - 1, side="right")) + 1
        spans = np.minimum(self.ends[first:last], b1) - np.maximum(self.starts[first:last], b0)

        def per_sample(values):
            return np.repeat(values[first:last], spans)

        # Position in the segment; small integers, exact in float32.
        pos = _RAMP[: b1 - b0] - per_sample((self.starts - b0).astype(np.float32))
        frac = pos * per_sample(self.inv_len)

        # Pitch glides across the syllable; the phase is summed in double and
        # carried over, so the tone is continuous across blocks.
        pitch = per_sample(self.glide) * (frac - 0.5)
        pitch += 1.0
        phase = np.cumsum(per_sample(self.f0) * pitch, dtype=np.float64)
        phase *= self.step
        phase += self.phase
        phase -= _TWO_PI * np.floor(phase * (1.0 / _TWO_PI))
        self.phase = float(phase[-1])
        phase = phase.astype(np.float32)

        # Harmonics by the recurrence sin((h+1)p) = 2 cos(p) sin(hp) - sin((h-1)p);
        # the two vowel spectra are summed apart and mixed per syllable.
        two_cos = 2.0 * np.cos(phase)
        prev = np.zeros_like(phase)
        cur = np.sin(phase)
        open_part = np.zeros_like(phase)
        close_part = np.zeros_like(phase)
        for a, b in zip(_OPEN_VOWEL, _CLOSE_VOWEL):
            open_part += a * cur
            close_part += (b - a) * cur
            prev, cur = cur, two_cos * cur - prev
        close_part *= per_sample(self.vowel)
        tone = open_part + close_part

        # Rise and fall over the syllable, zero in the gaps.
        envelope = frac * (1.0 - frac)
        envelope *= 4.0
        np.sqrt(envelope, out=envelope)
        envelope *= per_sample(self.level)
        tone *= envelope

        # Fricative onsets: a high-pass hiss (differenced noise, reversed so it
        # does not follow the floor) over the first 40 ms of the syllable, fading out.
        hiss_env = np.clip(1.0 - pos / np.float32(self.hiss_len), 0.0, 1.0)
        hiss_env *= per_sample(self.fricative)
        hiss = np.diff(white[::-1], append=white[0])
        hiss *= hiss_env
        tone += hiss
        return tone


def _voiced_only(values):
    """Per-syllable values spread over syllable and gap segments, 0 in the gaps."""
    out = np.zeros(2 * len(values), dtype=np.float32)
    out[0::2] = values
    return out
