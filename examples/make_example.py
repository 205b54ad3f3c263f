"""Makes speech_in_noise.flac: three synthetic spoken phrases with pauses, over
steady background noise, 16 kHz mono. Needs espeak-ng, NumPy and soundfile."""

import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import soundfile as sf

RATE = 16000  # Hz
TEXT = (
    "<speak>The gate keeps the speech. <break time='900ms'/> "
    "Pauses between phrases are dropped. <break time='700ms'/> "
    "Only the voice remains.</speak>"
)
SPEECH_PEAK = 0.5
NOISE_RMS = 0.008
LEAD_S, TAIL_S = 0.5, 0.6


def resample(x, rate_in, rate_out):
    """Band-limited resampling by zero-padding or truncating the spectrum."""
    n_out = round(len(x) * rate_out / rate_in)
    spectrum = np.fft.rfft(x)[: n_out // 2 + 1]
    return np.fft.irfft(spectrum, n_out) * (n_out / len(x))


def background(n, rng):
    """Low-passed white noise plus a faint mains hum, scaled to NOISE_RMS."""
    white = rng.normal(0.0, 1.0, n)
    rumble = np.zeros(n)
    level = 0.0
    for i, w in enumerate(white):
        level = 0.97 * level + 0.03 * w
        rumble[i] = level
    t = np.arange(n) / RATE
    noise = white / np.std(white) + 2.0 * rumble / np.std(rumble) + 0.5 * np.sin(2 * np.pi * 50 * t)
    return noise * (NOISE_RMS / np.sqrt(np.mean(noise**2)))


def main():
    out = Path(__file__).with_name("speech_in_noise.flac")
    with tempfile.TemporaryDirectory() as tmp:
        wav = Path(tmp) / "speech.wav"
        subprocess.run(["espeak-ng", "-m", "-v", "en", "-s", "150", "-w", str(wav), TEXT], check=True)
        speech, rate = sf.read(wav, dtype="float64")
    speech = resample(speech, rate, RATE)
    speech *= SPEECH_PEAK / np.max(np.abs(speech))
    x = np.concatenate([np.zeros(int(LEAD_S * RATE)), speech, np.zeros(int(TAIL_S * RATE))])
    x += background(len(x), np.random.default_rng(2024))
    sf.write(out, x.astype(np.float32), RATE, subtype="PCM_16")
    print(f"{out.name}: {len(x) / RATE:.2f} s at {RATE} Hz, {out.stat().st_size} bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
