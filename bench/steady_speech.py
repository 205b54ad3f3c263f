"""What the music measure does to speech that is itself steady: a monotone
synthetic voice and sung notes, with the speech-music preset against the speech
preset, batch and in a stream of 10 ms chunks.

    python bench/steady_speech.py

- monotone: the held-out part's voices and sentences spoken by espeak-ng with the
  flattest intonation it has (SSML prosody range x-low), at a fixed pitch, in
  one-minute tracks with pauses of 0.2 to 3 s, clean and in pink noise at 10 dB;
- sung: the singer of bench/music.py's sung line alone (vowels held on notes of
  0.3 to 1 s with vibrato, phrases and breaths), as if it were the speech.

Labels from the clean signal (frames above -40 dB of the loudest), balanced
accuracy and the share of labelled frames kept, per 10 ms frame.
"""

from __future__ import annotations

import io
import subprocess
import sys

import corpus
import music
import numpy as np
import scipy.signal as sps
import soundfile as sf
from corpus import FRAME, RATE

from talvane_rs import Stream, analyse

SECONDS = 60.0


def monotone(text: str, voice: str, wpm: int) -> np.ndarray:
    ssml = f'<speak><prosody range="x-low">{text}</prosody></speak>'
    wav = subprocess.run(["espeak-ng", "-m", "-v", voice, "-s", str(wpm), "-p", "50", "--stdout", ssml],
                         check=True, capture_output=True).stdout  # fmt: skip
    x, rate = sf.read(io.BytesIO(wav), dtype="float64")
    x = sps.resample_poly(x, RATE, rate) if rate != RATE else x
    loud = np.flatnonzero(np.abs(x) > 1e-4)
    return x[loud[0]: loud[-1] + 1] / np.max(np.abs(x))


def monotone_track(rng: np.random.Generator) -> np.ndarray:
    part = corpus.HELD_OUT
    parts, n = [], 0
    while n < SECONDS * RATE:
        gap = np.zeros(int(rng.uniform(0.2, 3.0) * RATE))
        x = monotone(part.sentences[rng.integers(len(part.sentences))], part.voices[rng.integers(len(part.voices))],
                     int(rng.integers(120, 211)))  # fmt: skip
        parts += [gap, x]
        n += len(gap) + len(x)
    x = np.concatenate(parts)[: int(SECONDS * RATE)]
    return x / np.max(np.abs(x))


def sung_track(rng: np.random.Generator) -> np.ndarray:
    """The sung line's singer alone: music._sung's voice notes, its accompaniment left out."""
    score = music._Score(rng, int(SECONDS * RATE), RATE)
    silent = music._Score(rng, score.n, RATE)  # takes the accompaniment's notes
    tone = score.tone

    def voice_only(start, hz, seconds, timbre, *args, **kwargs):
        (tone if isinstance(timbre, tuple) else silent.tone)(start, hz, seconds, timbre, *args, **kwargs)

    score.tone = voice_only  # type: ignore[method-assign]
    music._sung(score, rng)
    return score.out / np.max(np.abs(score.out))


def stream_frames(x: np.ndarray, preset: str) -> np.ndarray:
    stream = Stream(RATE, preset=preset, attenuation=0.5, fade_ms=0)
    out = np.empty(len(x) // FRAME, dtype=bool)
    for i in range(len(out)):
        stream.process(x[i * FRAME: (i + 1) * FRAME])
        out[i] = stream.gain == 1.0
    return out


def scores(keep: np.ndarray, labels: np.ndarray) -> tuple[float, float]:
    n = min(len(keep), len(labels))
    keep, labels = keep[:n], labels[:n]
    kept = np.mean(keep[labels])
    dropped = np.mean(~keep[~labels]) if (~labels).any() else 1.0
    return (kept + dropped) / 2, kept


def main() -> int:
    rng = np.random.default_rng(20261210)
    level = 10 ** (-23 / 20)
    cases = []
    for i in range(3):
        x = monotone_track(rng)
        cases.append((f"monotone {i + 1}, clean", x * level, x))
        noise = corpus.shaped(rng, len(x), lambda f: 1.0 / np.sqrt(np.maximum(f, 20.0)))
        speech_rms = np.sqrt(np.mean(x[corpus.labels_of(x).repeat(FRAME)[: len(x)]] ** 2)) if len(x) else 1.0
        cases.append((f"monotone {i + 1}, pink 10 dB", (x + noise * speech_rms / 10 ** 0.5) * level, x))
    for i in range(3):
        x = sung_track(rng)
        cases.append((f"sung {i + 1}, clean", x * level, x))
    print("| track | speech: bal. acc. | speech-music | speech, kept | speech-music, kept | "
          "Stream speech | Stream speech-music | Stream kept | Stream speech-music kept |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, mixed, clean in cases:
        mixed = mixed.astype(np.float32)
        labels = corpus.labels_of(clean)
        row = []
        for preset in ("speech", "speech-music"):
            row.append(scores(analyse(mixed, RATE, preset=preset).keep_windows, labels))
        for preset in ("speech", "speech-music"):
            row.append(scores(stream_frames(mixed, preset), labels))
        (b0, k0), (b1, k1), (s0, sk0), (s1, sk1) = row
        print(f"| {name} | {b0:.3f} | {b1:.3f} | {k0:.1%} | {k1:.1%} | {s0:.3f} | {s1:.3f} | {sk0:.1%} | {sk1:.1%} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
