"""Leak check: every entry point, on success and on each failure path, called many
times in a loop; over the second half of each loop the resident set may grow by
less than 1 MiB and the interpreter's allocated blocks by fewer than 100. A case
over a limit is run once more and fails only if it is over again.

Usage: python tools/leak_check.py [--iterations N] [--only SUBSTRING]
Exits non-zero when any case goes over either limit. Standard error is sent to
/dev/null while the cases run, since internal failures report there.
"""

import argparse
import gc
import itertools
import os
import sys
import time

import numpy as np

from talvane_rs import BandFilter, EnergyTalvane, Stream, StreamingEnergyTalvane, analyse, band_filter, stream_view

RSS_LIMIT = 1 << 20  # bytes
BLOCKS_LIMIT = 100
PAGE = os.sysconf("SC_PAGESIZE")

rng = np.random.default_rng(0)
SPEECH = rng.normal(0, 0.005, 2000).astype(np.float32)
SPEECH[600:1400] += (0.3 * np.sin(np.arange(800) * 0.2)).astype(np.float32)
SPEECH_LIST = SPEECH.tolist()
STRIDED = np.zeros(64, np.float32)[::2]
MISALIGNED = np.frombuffer(b"\0" + SPEECH.tobytes(), np.float32, offset=1)
STEREO_PCM = np.round(np.stack([SPEECH, SPEECH / 2], axis=1) * 16384).astype(np.int16)

GATE = EnergyTalvane()
BAD_LIMITS = EnergyTalvane(base_thresh=0.5, max_thresh=0.1)
STREAM = StreamingEnergyTalvane(stream_context_ms=100)
BAD_STREAM = StreamingEnergyTalvane(base_thresh=0.5, max_thresh=0.1)


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom


class Claims:
    """Three items behind a __len__ of 2**62."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 0.5


class FailsMidway:
    def __len__(self):
        return 5

    def __getitem__(self, i):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        yield 0.5
        raise Boom


class ReentrantRate:
    """Calls a getter of the stream it is converted for: refused while held."""

    def __index__(self):
        try:
            STREAM.last_gain()
        except RuntimeError:
            pass
        return 16000


class HeldRate:
    """Calls process_chunk of the stream it is converted for: refused while held."""

    def __index__(self):
        try:
            STREAM.process_chunk(SPEECH[:10], 16000, False)
        except RuntimeError:
            pass
        return 16000


class NestedInternal:
    """A nested call fails internally; the outer call resumes that failure."""

    def __index__(self):
        BAD_LIMITS.compute_keep_mask([0.1], 16000)
        return 16000


class ViewedRate:
    """Asks for the view of the stream it is converted for: refused while held."""

    def __index__(self):
        try:
            stream_view(STREAM)
        except RuntimeError:
            pass
        return 16000


class Heard:
    """A Stream's callback: counts its events, raises at the first of each call
    when told to, and tries the stream it is called from (refused while held)."""

    def __init__(self):
        self.stream = None
        self.fail = False

    def __call__(self, event):
        try:
            self.stream.process(SPEECH[:10])
        except RuntimeError:
            pass
        if self.fail:
            raise Boom


def cases():
    """(name, callable, expected exception type or None)."""
    g, s = GATE, STREAM
    yield "EnergyTalvane()", lambda: EnergyTalvane(), None
    yield "EnergyTalvane(all keywords)", lambda: EnergyTalvane(
        enabled=False, window_ms=20, base_thresh=0.01, threshold_ratio=3, max_thresh=0.04, smooth_alpha=0.3,
        min_voice_windows=3, attenuation=0.1, noise_floor_percentile=10, max_silence_gap_windows=4,
        fade_ms=7, stream_context_ms=500, pad_voice_windows=1, pass_windows=2), None
    yield "EnergyTalvane(too many)", lambda: EnergyTalvane(*([1] * 15)), TypeError
    yield "EnergyTalvane(unknown keyword)", lambda: EnergyTalvane(window=1), TypeError
    yield "EnergyTalvane(twice)", lambda: EnergyTalvane(True, enabled=True), TypeError
    yield "EnergyTalvane(bad bool)", lambda: EnergyTalvane(enabled=1), TypeError
    yield "EnergyTalvane(negative count)", lambda: EnergyTalvane(window_ms=-1), OverflowError
    yield "EnergyTalvane(float raises)", lambda: EnergyTalvane(base_thresh=BadFloat()), Boom
    yield "StreamingEnergyTalvane()", lambda: StreamingEnergyTalvane(fade_ms=3), None
    yield "StreamingEnergyTalvane(bad float)", lambda: StreamingEnergyTalvane(attenuation=None), TypeError

    for m in ("compute_keep_mask", "apply_array", "compact_array"):
        f = getattr(g, m)
        yield f"{m}(list)", lambda f=f: f(SPEECH_LIST, 16000), None
        yield f"{m}(array as sequence)", lambda f=f: f(SPEECH, 16000), None
        yield f"{m}(str)", lambda f=f: f("abc", 16000), TypeError
        yield f"{m}(set)", lambda f=f: f({1.0}, 16000), TypeError
        yield f"{m}(bad item)", lambda f=f: f([0.5, None], 16000), TypeError
        yield f"{m}(item raises)", lambda f=f: f([0.5, BadFloat()], 16000), Boom
        yield f"{m}(length 2**62)", lambda f=f: f(Claims(), 16000), None
        yield f"{m}(iterator raises)", lambda f=f: f(FailsMidway(), 16000), Boom
        yield f"{m}(negative rate)", lambda f=f: f(SPEECH_LIST, -1), OverflowError
        yield f"{m}(missing)", lambda f=f: f(SPEECH_LIST), TypeError
        yield f"{m}(limits)", lambda m=m: getattr(BAD_LIMITS, m)(SPEECH_LIST, 16000), BaseException
    for m in ("compute_keep_mask_array", "apply_array_np", "compact_array_np"):
        f = getattr(g, m)
        yield f"{m}(array)", lambda f=f: f(SPEECH, 16000), None
        yield f"{m}(misaligned)", lambda f=f: f(MISALIGNED, 16000), None
        yield f"{m}(empty)", lambda f=f: f(SPEECH[:0], 0), None
        yield f"{m}(list)", lambda f=f: f(SPEECH_LIST, 16000), TypeError
        yield f"{m}(float64)", lambda f=f: f(SPEECH.astype(np.float64), 16000), TypeError
        yield f"{m}(strided)", lambda f=f: f(STRIDED, 16000), TypeError
        yield f"{m}(float rate)", lambda f=f: f(SPEECH, 16000.0), TypeError
        yield f"{m}(unknown keyword)", lambda f=f: f(SPEECH, 16000, rate=1), TypeError
        yield f"{m}(limits)", lambda m=m: getattr(BAD_LIMITS, m)(SPEECH, 16000), BaseException
        yield f"{m}(nested internal)", lambda f=f: f(SPEECH, NestedInternal()), BaseException

    pc = s.process_chunk
    rates = itertools.cycle((8000, 16000))
    yield "process_chunk", lambda: pc(SPEECH[:320], 16000, False), None
    yield "process_chunk(numpy bool)", lambda: pc(SPEECH[:320], 16000, np.False_), None
    yield "process_chunk(rate change)", lambda: pc(SPEECH[:320], next(rates), False), None
    yield "process_chunk(last)", lambda: pc(SPEECH[:320], 16000, True), None
    yield "process_chunk(empty)", lambda: pc(SPEECH[:0], 16000, False), None
    yield "process_chunk(misaligned)", lambda: pc(MISALIGNED[:500], 16000, False), None
    yield "process_chunk(strided)", lambda: pc(STRIDED, 16000, False), TypeError
    yield "process_chunk(bad is_last)", lambda: pc(SPEECH[:10], 16000, 1), TypeError
    yield "process_chunk(too big rate)", lambda: pc(SPEECH[:10], 2**64, False), OverflowError
    yield "process_chunk(missing)", lambda: pc(SPEECH[:10]), TypeError
    yield "process_chunk(re-entrant getter)", lambda: pc(SPEECH[:320], ReentrantRate(), False), None
    yield "process_chunk(re-entrant call)", lambda: pc(SPEECH[:320], HeldRate(), False), None
    yield "process_chunk(limits)", lambda: BAD_STREAM.process_chunk(SPEECH[:320], 16000, False), BaseException
    yield "reset", s.reset, None
    yield "reset(argument)", lambda: s.reset(1), TypeError
    yield "context_len", s.context_len, None
    yield "last_gain", s.last_gain, None

    viewed = StreamingEnergyTalvane()
    viewed.process_chunk(MISALIGNED[:500], 16000, False)
    fields = ("noise_floor", "threshold", "clamped", "keep_windows", "keep", "gains")
    yield "stream_view", lambda: stream_view(viewed), None
    yield "stream_view(every field)", lambda: [getattr(stream_view(viewed), f) for f in fields], None
    yield "stream_view(none yet)", lambda: stream_view(StreamingEnergyTalvane()), None
    yield "stream_view(not a stream)", lambda: stream_view(s.reset), TypeError
    yield "stream_view(held)", lambda: pc(SPEECH[:320], ViewedRate(), False), None

    heard = Heard()
    live = Stream(16000, band="speech", on_event=heard, stream_context_ms=100)
    heard.stream = live
    stereo = STEREO_PCM
    live.process(stereo)
    assert live.events, "the stereo case has events"
    yield "Stream()", lambda: Stream(16000, attenuation=0.1), None
    yield "Stream(band, callback cycle)", lambda: (lambda h: setattr(h, "stream", Stream(8000, band="speech",
                                                   on_event=h)))(Heard()), None
    yield "Stream(bad band)", lambda: Stream(16000, band=(200, 9000)), ValueError
    yield "Stream(NaN level)", lambda: Stream(16000, attenuation=float("nan")), ValueError
    yield "Stream(limits)", lambda: Stream(16000, base_thresh=0.5, max_thresh=0.1), ValueError
    yield "Stream(positional)", lambda: Stream(16000, "speech"), TypeError
    yield "Stream.process(float32 mono)", lambda: live.process(SPEECH[:320]) if live.reset() is None else None, None
    yield "Stream.process(int16 stereo, events)", lambda: (live.reset(), live.process(stereo), live.events), None
    yield "Stream.process(misaligned)", lambda: (live.reset(), live.process(MISALIGNED[:500])), None
    yield "Stream.process(strided)", lambda: (live.reset(), live.process(STEREO_PCM[:1600:2])), None
    yield "Stream.process(float64)", lambda: (live.reset(), live.process(SPEECH.astype(np.float64))), None
    failing = Heard()
    failing.fail = True
    failing.stream = Stream(16000, on_event=failing)
    yield "Stream.process(callback raises)", lambda: failing.stream.process(stereo), Boom
    yield "Stream.process(bad dtype)", lambda: live.process(STRIDED.astype(np.int8)), TypeError
    yield "Stream.process(bad shape)", lambda: live.process(STEREO_PCM[:4].reshape(2, 2, 2)), ValueError
    yield "Stream.process(channels change)", lambda: (live.reset(), live.process(stereo), live.process(SPEECH[:9])), \
        ValueError
    yield "Stream attributes", lambda: (live.noise_floor, live.threshold, live.clamped, live.gain, live.position,
                                        live.events, live.band, stream_view(live)), None
    yield "Stream(with)", lambda: Stream(16000).__exit__(None, None, None), None

    yield "analyse(array)", lambda: analyse(SPEECH, 16000, pass_windows=1), None
    yield "analyse(list)", lambda: analyse(SPEECH_LIST, 16000), None
    yield "analyse(mask, gains, regions)", lambda: (lambda a: (a.mask, a.gains, a.regions))(analyse(SPEECH, 16000)), None
    yield "analyse(strided)", lambda: analyse(STRIDED, 16000), None
    yield "analyse(stereo int16)", lambda: analyse(STEREO_PCM, 16000, band="speech"), None
    yield "analyse(bad array)", lambda: analyse(STRIDED.astype(np.int8), 16000), TypeError
    yield "analyse(bad item)", lambda: analyse([0.5, None], 16000), TypeError
    yield "analyse(bad parameter)", lambda: analyse(SPEECH, 16000, attenuation=None), TypeError
    yield "analyse(limits)", lambda: analyse(SPEECH, 16000, base_thresh=0.5, max_thresh=0.1), ValueError

    bf = BandFilter(16000, "speech")
    yield "band_filter(array)", lambda: band_filter(SPEECH, 16000, "speech"), None
    yield "band_filter(list)", lambda: band_filter(SPEECH_LIST, 16000, (None, 3000)), None
    yield "band_filter(bad edge)", lambda: band_filter(SPEECH, 16000, (200, 8000)), ValueError
    yield "band_filter(bad edge type)", lambda: band_filter(SPEECH, 16000, ("200", None)), TypeError
    yield "BandFilter(bad edge)", lambda: BandFilter(16000, (0, None)), ValueError
    yield "BandFilter.process", lambda: bf.process(SPEECH[:320]), None
    yield "BandFilter.process(strided)", lambda: bf.process(STRIDED), TypeError
    yield "BandFilter.reset", bf.reset, None


def measure():
    gc.collect()
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * PAGE
    return rss, sys.getallocatedblocks()


def run_case(fn, expected, iterations):
    half = iterations // 2

    def loop(count):
        for _ in range(count):
            try:
                fn()
            except BaseException as e:
                if expected is None or not isinstance(e, expected):
                    raise
            else:
                if expected is not None and expected is not BaseException:
                    raise AssertionError(f"no {expected.__name__} raised")

    loop(half)
    rss0, blocks0 = measure()
    loop(iterations - half)
    rss1, blocks1 = measure()
    return rss1 - rss0, blocks1 - blocks0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--only", default="")
    args = parser.parse_args()

    selected = [c for c in cases() if args.only in c[0]]
    # Standard error goes to /dev/null, also at the descriptor level.
    saved_fd = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    failed = []
    worst_rss = worst_blocks = 0
    start = time.perf_counter()
    try:
        for name, fn, expected in selected:
            sys.stdout.flush()
            os.dup2(devnull, 2)
            sys.stderr = open(os.devnull, "w")
            try:
                rss, blocks = run_case(fn, expected, args.iterations)
                if rss >= RSS_LIMIT or blocks >= BLOCKS_LIMIT:
                    # Measured once more: a leak grows again, a one-time growth of the
                    # interpreter's free lists or caches (met by the case first) does not.
                    rss, blocks = run_case(fn, expected, args.iterations)
            finally:
                sys.stderr.close()
                sys.stderr = sys.__stderr__
                os.dup2(saved_fd, 2)
            worst_rss, worst_blocks = max(worst_rss, rss), max(worst_blocks, blocks)
            bad = rss >= RSS_LIMIT or blocks >= BLOCKS_LIMIT
            print(f"{'LEAK' if bad else 'ok  '} {name:45s} rss {rss / 1024:+9.1f} KiB  blocks {blocks:+6d}")
            if bad:
                failed.append(name)
    finally:
        os.close(devnull)
        os.close(saved_fd)
    elapsed = time.perf_counter() - start
    print(
        f"{len(selected)} cases x {args.iterations} calls in {elapsed:.0f} s; largest growth over a "
        f"second half: rss {worst_rss / 1024:+.1f} KiB, blocks {worst_blocks:+d} "
        f"(limits {RSS_LIMIT // 1024} KiB, {BLOCKS_LIMIT})"
    )
    if failed:
        print("over the limit: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
