"""Writes the seed corpus of fuzz_core into fuzz/corpus: a few realistic gates and
streams, spelled out in the order fuzz_core reads its input.

fuzz_core reads numbers from the end of its input (last byte first) and sample
bytes from the front, as FuzzedDataProvider does. A seed written here stays a
valid input when that order changes; it then only describes another case.
Usage: python fuzz/make_seeds.py
"""

import pathlib
import struct

import numpy as np

U64_MAX = 2**64 - 1
# Choice numbers of fuzz_core's pickers.
USUAL, ZERO, ONE, SMALL, UP_TO_5000, WORD_MAX, RAW = 0, 1, 2, 3, 4, 5, 6  # pick_count
F_USUAL, F_ZERO, F_NEG_ZERO, F_ONE, F_NAN, F_INF, F_NEG_INF = 0, 1, 2, 3, 4, 5, 6  # pick_float
RATES = [16000, 1000, 8000, 44100, 0, 1, 2, 50, 100, 200, 300]
MODE_RAMP, MODE_STREAM, MODE_BATCH, MODE_BAND, MODE_LIVE = 0, 1, 2, 3, 4
F32, F64, I16, I32 = 0, 1, 2, 3  # check_live's sample types
AGAIN = -1  # a stream call's length: the one before
SCALES = [1 / 128, 1 / 4096, 1e-5, 0.05, 3e19, 0.0]


class Seed:
    def __init__(self):
        self.front = bytearray()  # read from the front
        self.tail = []  # numbers, in reading order

    def int_in_range(self, lo, hi, value):
        assert lo <= value <= hi
        span, v, width = hi - lo, value - lo, 0
        while width < 64 and (span >> width) > 0:
            width += 8
        # The first byte read is the most significant one.
        self.tail += list(v.to_bytes(width // 8, "big"))

    def flag(self, value):
        self.int_in_range(0, 255, int(value))

    def raw(self, data):
        self.front += data

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.tail))

    # --- the pickers of fuzz_core

    def count(self, choice, value=None):
        self.int_in_range(0, 7, choice)
        if choice == SMALL:
            self.int_in_range(2, 12, value)
        elif choice == UP_TO_5000:
            self.int_in_range(0, 5000, value)
        elif choice == RAW:
            self.int_in_range(0, U64_MAX, value)

    def level(self, choice):
        assert choice <= F_NEG_INF
        self.int_in_range(0, 11, choice)

    def rate(self, hz):
        if hz in RATES:
            self.int_in_range(0, 3, 0)
            self.int_in_range(0, len(RATES) - 1, RATES.index(hz))
        elif hz <= 50000:
            self.int_in_range(0, 3, 2)
            self.int_in_range(0, 50000, hz)
        else:
            self.int_in_range(0, 3, 3)
            self.flag(hz == U64_MAX)
            if hz != U64_MAX:
                self.int_in_range(0, U64_MAX, hz)

    def config(self, enabled=True, counts=None, levels=None):
        """counts and levels map a field to a choice, or (choice, value) for counts."""
        counts, levels = counts or {}, levels or {}
        self.int_in_range(0, 3, 0 if enabled else 3)
        for kind, name in [
            ("c", "window_ms"), ("f", "base_thresh"), ("f", "threshold_ratio"), ("f", "max_thresh"),
            ("f", "smooth_alpha"), ("c", "min_voice_windows"), ("f", "attenuation"),
            ("f", "noise_floor_percentile"), ("c", "max_silence_gap_windows"), ("c", "fade_ms"),
            ("c", "stream_context_ms"), ("c", "pad_voice_windows"), ("c", "pass_windows"),
        ]:
            if kind == "c":
                choice = counts.get(name, USUAL)
                self.count(*(choice if isinstance(choice, tuple) else (choice,)))
            else:
                self.level(levels.get(name, F_USUAL))
        self.level(F_USUAL)  # the second formatted value

    def samples(self, n, pattern, scale=0, specials=()):
        """n samples tiled from int8 pattern values times SCALES[scale]."""
        self.flag(False)
        self.int_in_range(0, len(SCALES) - 1, scale)
        self.int_in_range(0, 8192, n)
        self.int_in_range(1, 64, len(pattern))
        self.raw(bytes(np.array(pattern, dtype=np.int8).view(np.uint8)))
        self.int_in_range(0, 3, len(specials))
        for position, kind in specials:
            self.int_in_range(0, n - 1, position)
            self.int_in_range(0, 4, kind)

    def raw_samples(self, values):
        self.flag(True)
        self.int_in_range(0, 256, len(values))
        for v in values:
            self.int_in_range(0, 2**32 - 1, struct.unpack("<I", struct.pack("<f", v))[0])

    def stream(self, pool_size, rates, calls):
        """calls: ("reset",) or (length, offset, use_second_rate, is_last, planned);
        a length of AGAIN repeats the one before."""
        self.rate(rates[0])
        self.rate(rates[1])
        self.int_in_range(0, 48, len(calls))
        had_length = False
        for call in calls:
            if call == ("reset",):
                self.int_in_range(0, 9, 9)
                continue
            length, offset, second, is_last, planned = call
            self.int_in_range(0, 9, 0)
            self.int_in_range(0, 7, 7 if second else 0)
            if had_length:
                self.int_in_range(0, 3, 0 if length == AGAIN else 1)
            if length != AGAIN:
                self.flag(length <= 64)
                self.int_in_range(0, 64 if length <= 64 else 4096, length)
            had_length = True
            self.int_in_range(0, pool_size, offset)
            self.int_in_range(0, 5, 5 if is_last else 0)
            self.flag(planned)

    def live(self, pool_size, kind, rate, channels, band, calls):
        """calls: ("reset",) or (frames, offset, decision kept before the commit)."""
        self.int_in_range(0, 3, kind)
        self.rate(rate)
        self.int_in_range(1, 4, channels)
        self.flag(band)
        if band:
            self.int_in_range(0, 7, 0)  # the usual edges: 200 and 4000 Hz
            self.int_in_range(0, 7, 0)
        self.int_in_range(0, 24, len(calls))
        for call in calls:
            if call == ("reset",):
                self.int_in_range(0, 9, 9)
                continue
            frames, offset, keep = call
            self.int_in_range(0, 9, 0)
            self.int_in_range(0, 600, frames)
            self.int_in_range(0, pool_size - frames * channels, offset)
            self.flag(keep)


def speech_pattern(length=64, seed=0):
    """int8 values: a quiet floor with a louder burst in the middle."""
    rng = np.random.default_rng(seed)
    x = rng.normal(0, 2, length)
    x[length // 3 : 2 * length // 3] += 90 * np.sin(np.arange(2 * length // 3 - length // 3) * 0.7)
    return np.clip(np.round(x), -128, 127).astype(int).tolist()


def seeds():
    s = Seed()
    s.config()
    s.int_in_range(0, 4, MODE_BATCH)
    s.rate(16000)
    s.samples(8000, speech_pattern(), specials=[(100, 0)])
    s.flag(128)
    yield "batch_default_speech_16k", s

    s = Seed()
    s.config(counts={"pass_windows": (SMALL, 3), "pad_voice_windows": ZERO}, levels={"attenuation": F_ONE})
    s.int_in_range(0, 4, MODE_BATCH)
    s.rate(44100)
    s.samples(4410, speech_pattern(50, 1), scale=3)
    s.flag(0)
    yield "batch_44k_pass_windows", s

    s = Seed()
    s.config(levels={"attenuation": F_NAN, "smooth_alpha": F_ONE})
    s.int_in_range(0, 4, MODE_BATCH)
    s.rate(8000)
    s.raw_samples([0.0, 0.5, -0.5, float("inf"), 0.25, float("nan")] * 8)
    s.flag(0)
    yield "batch_nan_attenuation_raw", s

    s = Seed()
    s.config(counts={name: WORD_MAX for name in ("window_ms", "fade_ms", "min_voice_windows")})
    s.int_in_range(0, 4, MODE_BATCH)
    s.rate(U64_MAX)
    s.samples(300, [1, -1, 100, -100])
    s.flag(200)
    yield "batch_word_max", s

    s = Seed()
    s.config(levels={"base_thresh": F_INF})
    s.int_in_range(0, 4, MODE_BATCH)
    s.rate(0)
    s.samples(10, [5])
    s.flag(0)
    yield "batch_limits_out_of_order", s

    # Trims that leave the context off the window grid, then calls that reuse it.
    s = Seed()
    s.config(counts={"stream_context_ms": (UP_TO_5000, 3003)})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(8192, speech_pattern(64, 2))
    calls = [(3005, 0, False, False, True), (777, 100, False, False, True), (40, 5, False, False, True),
             (4096, 7, False, False, False), (1, 0, False, False, True), (333, 999, False, False, True),
             (2500, 50, True, False, True), (2500, 60, True, False, True), (0, 0, False, False, True),
             (64, 3, False, True, True), (1000, 0, False, False, True)]
    s.stream(8192, (1000, 8000), calls)
    yield "stream_1k_misaligned_trims", s

    s = Seed()
    s.config(levels={"attenuation": F_NEG_ZERO})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(6000, speech_pattern(48, 3), scale=3)
    calls = [(160, 0, False, False, True), (1600, 160, False, False, True), ("reset",),
             (4000, 200, False, False, False), (7, 11, False, False, True), (3000, 0, True, False, True),
             (20, 0, False, True, False)]
    s.stream(6000, (16000, 44100), calls)
    yield "stream_16k_rate_change_reset", s

    s = Seed()
    s.config(counts={"fade_ms": (SMALL, 4), "window_ms": ONE, "stream_context_ms": (SMALL, 12)})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(500, [0, 0, 0, 100, 100, 100, 100, -100, 0, 0])
    s.stream(500, (1000, 300), [(n, n, n % 3 == 0, False, n % 2 == 0) for n in range(1, 24)])
    yield "stream_one_sample_windows", s

    # A full context of hundreds of windows fed whole windows: smoothing lanes, kept
    # keys and the bounded cleaning passes serve these calls.
    s = Seed()
    s.config(counts={"window_ms": ONE, "stream_context_ms": (UP_TO_5000, 300)})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(8192, speech_pattern(64, 4), scale=3)
    calls = [(400, 0, False, False, True)] + [(1 + n % 3, 500 + 37 * n, False, False, n % 2 == 0) for n in range(22)]
    s.stream(8192, (1000, 8000), calls)
    yield "stream_1k_full_context_whole_windows", s

    s = Seed()
    s.config(counts={"stream_context_ms": (UP_TO_5000, 2000), "pass_windows": (SMALL, 2)})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(8192, speech_pattern(64, 5), scale=3)
    calls = [(2000, 0, False, False, True)] + [(10 * (1 + n % 2), 2100 + 61 * n, False, False, n % 3 == 0)
                                               for n in range(23)]
    s.stream(8192, (1000, 16000), calls)
    yield "stream_1k_10ms_windows_full_context", s

    # Chunks off the window grid (14 samples, 1 ms windows at 8 kHz: the grid returns
    # every 4 calls) on a full context of 300 windows: the phase caches, with their
    # smoothing lanes and kept keys, serve these calls.
    s = Seed()
    s.config(counts={"window_ms": ONE, "stream_context_ms": (UP_TO_5000, 300)})
    s.int_in_range(0, 4, MODE_STREAM)
    s.samples(8192, speech_pattern(64, 6), scale=3)
    calls = [(2400, 0, False, False, True), (14, 2400, False, False, True)] + [
        (AGAIN, 2414 + 14 * n, False, False, n % 2 == 0) for n in range(44)]
    s.stream(8192, (8000, 16000), calls)
    yield "stream_8k_off_grid_phases", s

    s = Seed()
    s.config()
    s.int_in_range(0, 4, MODE_BAND)
    s.rate(16000)
    s.int_in_range(0, 7, 0)  # check_band's low edge: the usual 200 Hz
    s.int_in_range(0, 7, 0)  # and high edge: 4000 Hz
    s.samples(8000, speech_pattern(64, 2), specials=[(100, 0)])
    for length in (160, 0, 7, 300, 45, 1):  # chunk lengths; the rest in one call
        s.int_in_range(0, 300, length)
    yield "band_speech_16k_chunks", s

    # Live streams: mono float32 through the speech band, with onsets and offsets;
    # stereo int16 frames (from the pool's bits), rounded and saturated.
    s = Seed()
    # 1 ms windows, no smoothing and no cleaning: the bursts of the 4 ms pattern come and go.
    flicker = {"window_ms": ONE, "min_voice_windows": ONE, "max_silence_gap_windows": ZERO, "pad_voice_windows": ZERO}
    s.config(counts={**flicker, "stream_context_ms": (UP_TO_5000, 200)}, levels={"smooth_alpha": F_ONE})
    s.int_in_range(0, 4, MODE_LIVE)
    s.samples(8192, speech_pattern(64, 7), scale=0, specials=[(3000, 0)])
    s.live(8192, F32, 16000, 1, True, [(160, 160 * n, n % 2 == 0) for n in range(20)] + [("reset",), (600, 0, True)])
    yield "live_16k_mono_speech_band", s

    s = Seed()
    s.config(levels={"attenuation": F_NEG_ZERO, "smooth_alpha": F_ONE}, counts={**flicker, "fade_ms": (SMALL, 3)})
    s.int_in_range(0, 4, MODE_LIVE)
    s.samples(8192, speech_pattern(48, 8), scale=3)
    s.live(8192, I16, 8000, 2, False, [(80 + n, 170 * n, False) for n in range(24)])
    yield "live_8k_stereo_int16", s

    s = Seed()
    s.config()
    s.int_in_range(0, 4, MODE_RAMP)
    # check_ramp_rule: length, then each gain's index into its list, fade and entry.
    gains = [1, 1, 0, 0, 4, 4, 1, 1, 1, 2, 2, 0, 0, 0, 6, 1]
    s.int_in_range(0, 300, len(gains))
    for g in gains:
        s.int_in_range(0, 6, g)
    s.flag(True)
    s.int_in_range(2, 40, 4)
    s.flag(True)
    s.int_in_range(0, 6, 0)
    yield "ramp_rule_mixed", s


def main():
    out = pathlib.Path(__file__).parent / "corpus"
    out.mkdir(exist_ok=True)
    for name, seed in seeds():
        (out / name).write_bytes(seed.bytes())
        print(f"{name}: {len(seed.bytes())} bytes")


if __name__ == "__main__":
    main()
