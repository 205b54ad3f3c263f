"""Summary of the keep mask of a generated speech-like recording."""

from __future__ import annotations

import math
import random

from talvane_rs import EnergyTalvane


def example_recording(sample_rate: int = 16000, seconds: float = 4.0) -> list[float]:
    """Bursts of a voiced tone (syllable-like envelopes) over low noise; seeded."""
    rng = random.Random(7)
    n = int(sample_rate * seconds)
    samples = [rng.gauss(0.0, 0.003) for _ in range(n)]
    for start_s, end_s in ((0.5, 1.4), (1.9, 2.3), (2.9, 3.6)):
        start, end = int(start_s * sample_rate), int(end_s * sample_rate)
        for i in range(start, end):
            t = (i - start) / sample_rate
            envelope = math.sin(math.pi * (i - start) / (end - start)) * (0.6 + 0.4 * math.sin(2 * math.pi * 4 * t))
            samples[i] += 0.2 * envelope * (math.sin(2 * math.pi * 140 * t) + 0.5 * math.sin(2 * math.pi * 280 * t))
    return samples


def main() -> None:
    rate = 16000
    samples = example_recording(rate)
    mask = EnergyTalvane().compute_keep_mask(samples, rate)
    regions = []
    start = None
    for i, kept in enumerate(mask + [False]):
        if kept and start is None:
            start = i
        elif not kept and start is not None:
            regions.append((start, i))
            start = None
    kept = sum(mask)
    print(f"example: {len(samples) / rate:.2f} s at {rate} Hz, kept {kept / len(samples):.1%} in {len(regions)} regions")
    for a, b in regions:
        print(f"  {a / rate:7.3f} s - {b / rate:7.3f} s")


if __name__ == "__main__":
    main()
