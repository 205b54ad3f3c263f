"""What `talvane cut` keeps of the bundled example under the settings the README recommends.

    python bench/cut_settings.py [--snr DB]

The example's noise is seeded (examples/make_example.py), so the clean speech is
the file less that noise. Speech is where the clean signal's 10 ms RMS exceeds
-46 dBFS; an onset is the start of such a stretch after at least 30 ms without.
For each setting the script prints the output's length, its joins, the share of
speech kept, and the onsets that lost more than 20 ms of speech in their first 100 ms. --snr
remixes the example with its noise scaled to that signal-to-noise ratio.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
import soundfile as sf

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
import make_example  # noqa: E402

from talvane_rs import analyse  # noqa: E402
from talvane_rs.cutting import plan_cut  # noqa: E402

SETTINGS = {
    "defaults": {},
    "listening: --keep-pause 300ms --crossfade 10ms": {"keep_pause": 0.3, "crossfade": 0.01},
    "recogniser: --pad-voice-windows 100ms --keep-pause 200ms --crossfade 10ms": {
        "pad": 0.1, "keep_pause": 0.2, "crossfade": 0.01,
    },
}


def speech_frames(clean: np.ndarray, rate: int) -> np.ndarray:
    w = rate // 100
    frames = clean[: len(clean) // w * w].reshape(-1, w)
    return np.sqrt(np.mean(frames.astype(np.float64) ** 2, axis=1)) > 10 ** (-46 / 20)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--snr", type=float, help="remix at this speech-to-noise ratio, dB")
    args = parser.parse_args()
    x, rate = sf.read(os.path.join(ROOT, "examples", "speech_in_noise.flac"), dtype="float64")
    noise = make_example.background(len(x), np.random.default_rng(2024))
    clean = x - noise
    if args.snr is not None:
        active = np.repeat(speech_frames(clean, rate), rate // 100)
        speech_rms = np.sqrt(np.mean(clean[: len(active)][active] ** 2))
        noise *= speech_rms / np.sqrt(np.mean(noise**2)) / 10 ** (args.snr / 20)
        x = clean + noise
    audio = x.astype(np.float32)
    active = speech_frames(clean, rate)
    w = rate // 100
    onsets = [i for i in range(len(active)) if active[i] and not active[max(0, i - 3) : i].any() and i >= 3]
    print(f"{len(audio) / rate:.2f} s at {rate} Hz; {active.mean():.0%} speech; {len(onsets)} onsets"
          + (f"; remixed at {args.snr:g} dB SNR" if args.snr is not None else ""))
    for name, s in SETTINGS.items():
        window = 10
        pad = round(s.get("pad", 0.02) * 1000 / window)
        view = analyse(audio, rate, pad_voice_windows=pad)
        pieces = plan_cut([(r.start, r.end) for r in view.regions], len(audio), rate,
                          round(s.get("keep_pause", 0) * rate), round(s.get("crossfade", 0) * rate))
        kept = np.zeros(len(audio), bool)
        for p in pieces:
            kept[p.start : p.end] = True
        out_len = sum(p.end - p.start - p.fade for p in pieces)
        frame_kept = kept[: len(active) * w].reshape(-1, w).all(axis=1)
        lost = ~kept[: len(active) * w] & np.repeat(active, w)  # speech samples dropped
        clipped = sum(1 for i in onsets if lost[i * w : i * w + 10 * w].sum() > 0.02 * rate)
        print(f"  {name}: {len(audio) / rate:.2f} s -> {out_len / rate:.2f} s, {len(pieces) - 1} joins, "
              f"speech kept {frame_kept[active].mean():.1%}, onsets clipped by > 20 ms: {clipped} of {len(onsets)}")


if __name__ == "__main__":
    main()
