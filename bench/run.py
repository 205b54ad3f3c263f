"""Speed and memory of the gate against same-process baselines and peer tools.

    python bench/run.py [--quick] [--json PATH] [--only P1,P6]

Every speed figure is a ratio of two medians taken side by side in this process
(warm-up first, the two timed alternately), so a busy machine slows both sides
alike. Prints a Markdown table with each target and PASS or MISS, and writes
the raw medians as JSON (bench/results.json by default).
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import gc
import importlib.metadata
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from typing import Callable

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import numpy_gate  # noqa: E402
import signals  # noqa: E402
import talvane_rs  # noqa: E402
from talvane_rs import EnergyTalvane, StreamingEnergyTalvane, analyse  # noqa: E402

PEER_DISTRIBUTIONS = ("numpy", "scipy", "webrtcvad-wheels", "librosa", "auditok", "pedalboard")
ALL_IDS = ("P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8", "P9", "P11", "P12", "P13", "A1", "A2", "B1", "D1")
MEMORY_BUDGET_PER_WINDOW = 32  # bytes; the analysis keeps about 15 per window


@dataclasses.dataclass(frozen=True)
class Sizes:
    big_seconds: float  # P1 to P3 and P7, at 48 kHz
    list_seconds: float  # P4, at 16 kHz
    peer_seconds: float  # P6 and the stream source, at 16 kHz
    big_repeats: int
    small_repeats: int
    stream_chunks: int  # timed chunks per context length in P5 and P8
    peer_budget_s: float  # a slow peer stops repeating after this long (at least 3 runs)
    file_seconds: float  # B1, a 48 kHz 16-bit WAV through the command line
    file_repeats: int
    streams: int  # P9


FULL = Sizes(600, 60, 600, big_repeats=11, small_repeats=21, stream_chunks=2000, peer_budget_s=30,
             file_seconds=3600, file_repeats=5, streams=10000)
QUICK = Sizes(60, 10, 60, big_repeats=3, small_repeats=5, stream_chunks=200, peer_budget_s=5,
              file_seconds=60, file_repeats=3, streams=1000)


@dataclasses.dataclass
class Row:
    id: str
    what: str
    measured: str
    target: str = ""
    verdict: str = ""  # PASS, MISS, or empty for a figure without a target
    raw: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass(frozen=True)
class Timing:
    method_s: float  # median
    baseline_s: float  # median
    runs: int

    @property
    def ratio(self) -> float:
        return self.method_s / self.baseline_s


def time_pair(method: Callable, baseline: Callable, repeats: int, budget_s: float | None = None) -> Timing:
    """Medians of `method` and `baseline` after one warm-up call of each, timed in
    turns (the first of each pair alternating), with the collector off."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        method()
        baseline()
        times: tuple[list, list] = ([], [])
        start = time.perf_counter()
        for i in range(repeats):
            order = (0, 1) if i % 2 == 0 else (1, 0)
            for side in order:
                fn = (method, baseline)[side]
                t0 = time.perf_counter()
                result = fn()
                times[side].append(time.perf_counter() - t0)
                del result
            if budget_s is not None and i >= 2 and time.perf_counter() - start > budget_s:
                break
    finally:
        if collecting:
            gc.enable()
    return Timing(statistics.median(times[0]), statistics.median(times[1]), len(times[0]))


def at_most(measured: float, target: float) -> str:
    return "PASS" if measured <= target else "MISS"


def minutes(seconds: float) -> str:
    return f"{seconds / 60:g} min" if seconds >= 60 else f"{seconds:g} s"


def ratio_row(id_: str, what: str, timing: Timing, target: float, **raw) -> Row:
    return Row(
        id_,
        what,
        f"{timing.ratio:.2f} ×",
        f"≤ {target:.2f} ×",
        at_most(timing.ratio, target),
        {"method_median_s": timing.method_s, "baseline_median_s": timing.baseline_s, "runs": timing.runs,
         "ratio": timing.ratio, "target_ratio": target, **raw},
    )


# --- P1 to P3: whole-recording NumPy methods against one pass over memory ----


def bench_arrays(x48: np.ndarray, sizes: Sizes, ids: set[str]) -> list[Row]:
    rate = 48000
    gate = EnergyTalvane()
    span = f"{minutes(sizes.big_seconds)} at 48 kHz"
    cases = (
        ("P1", "compute_keep_mask_array / x.sum()",
         lambda: gate.compute_keep_mask_array(x48, rate), lambda: x48.sum(), 2.0),
        ("P2", "apply_array_np / np.copy(x)", lambda: gate.apply_array_np(x48, rate), lambda: np.copy(x48), 2.0),
        ("P3", "compact_array_np / np.copy(x)", lambda: gate.compact_array_np(x48, rate), lambda: np.copy(x48),
         2.0),
        # The analysis view, its per-sample fields not read: the same work, O(windows) out.
        ("A1", "analyse / compute_keep_mask_array", lambda: analyse(x48, rate),
         lambda: gate.compute_keep_mask_array(x48, rate), 1.2),
    )
    rows = []
    for id_, what, method, baseline, target in cases:
        if id_ in ids:
            progress(id_)
            timing = time_pair(method, baseline, sizes.big_repeats)
            rows.append(ratio_row(id_, f"{what}, {span}", timing, target, samples=len(x48), sample_rate=rate))
    return rows


# --- A2: the analysis read through the speech band ----------------------------


def bench_band(x16: np.ndarray, sizes: Sizes) -> list[Row]:
    """analyse(band="speech") against webrtcvad on the same recording as ready
    10 ms int16 frames (its best case: no conversion, its cheapest calls), and
    against the analysis without the band."""
    progress("A2")
    rate, frame = 16000, 160
    x = x16[: int(sizes.peer_seconds * rate)]
    span = f"{minutes(sizes.peer_seconds)} at 16 kHz"
    banded = lambda: analyse(x, rate, band="speech")  # noqa: E731
    own = time_pair(banded, lambda: analyse(x, rate), sizes.big_repeats)
    rows = [Row("A2", f'analyse(band="speech") / analyse, {span}: what the band costs', f"{own.ratio:.2f} ×",
                raw={"method_median_s": own.method_s, "baseline_median_s": own.baseline_s, "runs": own.runs,
                     "ratio": own.ratio})]
    preset = time_pair(lambda: analyse(x, rate, preset="speech"), banded, sizes.big_repeats)
    rows.append(ratio_row("A2", f'analyse(preset="speech") / analyse(band="speech"), {span}: what the rule costs',
                          preset, 1.1))
    try:
        import webrtcvad

        vad = webrtcvad.Vad(3)
    except Exception as e:  # reported, not fatal
        reason = f"{type(e).__name__}: {e}".splitlines()[0][:100]
        return [*rows, Row("A2", 'analyse(band="speech") / webrtcvad', f"unavailable ({reason})")]
    pcm = memoryview((np.clip(x, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes())
    step = 2 * frame

    def webrtc() -> list[bool]:
        return [vad.is_speech(pcm[i : i + step], rate) for i in range(0, len(pcm) - step + 1, step)]

    timing = time_pair(banded, webrtc, sizes.big_repeats)
    what = f'analyse(band="speech") / webrtcvad (mode 3, ready 10 ms int16 frames), {span}'
    music = time_pair(lambda: analyse(x, rate, preset="speech-music"), webrtc, sizes.big_repeats)
    return [ratio_row("A2", what, timing, 0.2, samples=len(x), sample_rate=rate), *rows,
            ratio_row("A2", what.replace('band="speech"', 'preset="speech-music"'), music, 1 / 3),
            Row("A2", 'analyse(preset="speech-music") / analyse(band="speech"): what the music measure costs',
                f"{music.method_s / timing.method_s:.2f} ×")]


# --- P4: the list method against NumPy's own list round trip ----------------


def bench_list(x16: np.ndarray, sizes: Sizes) -> list[Row]:
    progress("P4")
    rate = 16000
    gate = EnergyTalvane()
    samples = x16[: int(sizes.list_seconds * rate)].tolist()
    timing = time_pair(
        lambda: gate.apply_array(samples, rate),
        lambda: np.array(samples, dtype=np.float32).tolist(),
        sizes.small_repeats,
    )
    what = f"apply_array(list) / np.array(list, float32).tolist(), {minutes(sizes.list_seconds)} at 16 kHz"
    return [ratio_row("P4", what, timing, 1.2, samples=len(samples), sample_rate=rate)]


# --- P5: one streaming chunk against one analysis of context plus chunk ------


def filled_stream(x16: np.ndarray, context_ms: int, chunk: int = 160) -> tuple[StreamingEnergyTalvane, int]:
    """A stream at 16 kHz whose context is full, and the sample position it reached."""
    rate = 16000
    stream = StreamingEnergyTalvane(stream_context_ms=context_ms)
    limit = rate * context_ms // 1000
    pos = 0
    for _ in range(-(-limit // chunk)):
        stream.process_chunk(x16[pos : pos + chunk], rate, False)
        pos += chunk
    if stream.context_len() != limit:
        raise RuntimeError(f"context holds {stream.context_len()} samples, expected {limit}")
    return stream, pos


def chunk_views(x: np.ndarray, start: int, chunk: int, count: int) -> list[np.ndarray]:
    """Consecutive chunks of x from `start`, cut before any timing."""
    return [x[start + i * chunk : start + (i + 1) * chunk] for i in range(count)]


def time_turns(calls: list[Callable], turns: int) -> list[float]:
    """Median time of each call over `turns` turns, the calls timed in turn (the
    order rotating), each turn's calls made with that turn's index; the first
    turn is a warm-up."""
    times: list[list[float]] = [[] for _ in calls]
    collecting = gc.isenabled()
    gc.disable()
    try:
        for i in range(turns + 1):
            for k in range(len(calls)):
                side = (k + i) % len(calls)
                t0 = time.perf_counter()
                result = calls[side](i)
                elapsed = time.perf_counter() - t0
                del result
                if i:
                    times[side].append(elapsed)
    finally:
        if collecting:
            gc.enable()
    return [statistics.median(t) for t in times]


def bench_stream(x16: np.ndarray, context_ms: int, chunks: int, target: float) -> Row:
    progress(f"P5 ({context_ms} ms)")
    rate, chunk = 16000, 160
    gate = EnergyTalvane(stream_context_ms=context_ms)
    stream, start = filled_stream(x16, context_ms, chunk)
    limit = stream.context_len()
    if len(x16) < start + (chunks + 1) * chunk:
        raise ValueError("the stream source is too short for this context")
    # The analysis runs over what the stream sees: its context followed by the chunk.
    pieces = chunk_views(x16, start, chunk, chunks + 1)
    combined = [x16[start + i * chunk - limit : start + (i + 1) * chunk] for i in range(chunks + 1)]
    method, baseline = time_turns([lambda i: stream.process_chunk(pieces[i], rate, False),
                                   lambda i: gate.compute_keep_mask_array(combined[i], rate)], chunks)
    what = f"process_chunk (10 ms) / compute_keep_mask_array(context + chunk), stream_context_ms {context_ms}"
    return ratio_row("P5", what, Timing(method, baseline, chunks), target,
                     context_ms=context_ms, context_samples=limit, chunk_samples=chunk)


def bench_stream_scaling(x16: np.ndarray, chunks: int) -> list[Row]:
    """One 10 ms chunk on a full 3 s and 30 s context against the same on 100 ms,
    the three streams fed the same chunks in turn."""
    progress("P5 (context lengths)")
    rate, chunk = 16000, 160
    contexts = (100, 3000, 30000)
    streams = [filled_stream(x16, ms, chunk)[0] for ms in contexts]
    start = (rate * max(contexts) // 1000 // chunk + 1) * chunk
    if len(x16) < start + (chunks + 1) * chunk:
        raise ValueError("the stream source is too short for this context")
    pieces = chunk_views(x16, start, chunk, chunks + 1)
    medians = time_turns([lambda i, s=s: s.process_chunk(pieces[i], rate, False) for s in streams], chunks)
    rows = []
    for ms, median, target in ((3000, medians[1], 1.2), (30000, medians[2], 1.5)):
        rows.append(ratio_row("P5", f"process_chunk (10 ms), stream_context_ms {ms} / the same at 100",
                              Timing(median, medians[0], chunks), target, context_ms=ms,
                              per_chunk_us=median * 1e6, per_chunk_100ms_us=medians[0] * 1e6))
    return rows


# --- P8: a 10 ms chunk against the WebRTC voice detector's 10 ms frame ---------


def bench_webrtc_frame(x16: np.ndarray, chunks: int) -> list[Row]:
    progress("P8")
    rate, chunk = 16000, 160
    try:
        import webrtcvad

        vad = webrtcvad.Vad(2)
    except Exception as e:  # reported, not fatal
        reason = f"{type(e).__name__}: {e}".splitlines()[0][:100]
        return [Row("P8", "process_chunk / webrtcvad per 10 ms", f"unavailable ({reason})")]
    stream, start = filled_stream(x16, 3000, chunk)
    if len(x16) < start + (chunks + 1) * chunk:
        raise ValueError("the stream source is too short")
    pieces = chunk_views(x16, start, chunk, chunks + 1)
    # Its best case: frames already 16-bit PCM bytes; then from the same float32
    # chunks, the conversion counted.
    pcm = (np.clip(x16[start : start + (chunks + 1) * chunk], -1.0, 1.0) * 32767.0).astype(np.int16)
    frames = [pcm[i * chunk : (i + 1) * chunk].tobytes() for i in range(chunks + 1)]
    ours, from_int16, from_float = time_turns([
        lambda i: stream.process_chunk(pieces[i], rate, False),
        lambda i: vad.is_speech(frames[i], rate),
        lambda i: vad.is_speech((np.clip(pieces[i], -1.0, 1.0) * 32767.0).astype(np.int16).tobytes(), rate),
    ], chunks)
    what = "process_chunk (10 ms, stream_context_ms 3000) / webrtcvad.is_speech (mode 2) per 10 ms frame"
    return [
        ratio_row("P8", f"{what}, from 16-bit PCM bytes", Timing(ours, from_int16, chunks), 0.8),
        Row("P8", f"{what}, from float32 (its conversion counted)", f"{ours / from_float:.2f} ×",
            raw={"method_median_s": ours, "baseline_median_s": from_float, "runs": chunks,
                 "ratio": ours / from_float}),
    ]


# --- P11: chunks off the window grid against the nearest whole-window chunk ---

# (rate, chunk off the grid, the nearest whole-window chunk, target): 10 ms
# windows; the grid of 44.1 kHz with 512 or 1024 frames returns only every 441
# calls, and lengths drawn anew every call (5-25 ms at 48 kHz, "240-1200") never
# return to a grid.
OFF_GRID = ((48000, 512, 480, 1.5), (48000, 1024, 960, 1.5), (16000, 256, 320, 1.5), (16000, 512, 480, 1.5),
            (8000, 256, 240, 1.5), (44100, 512, 441, None), (44100, 1024, 882, None), (48000, "240-1200", 480, None))
CHANGING_SEED = 2026
WHOLE_WINDOW_ADVICE = "chunks of whole windows (441 samples or a multiple at 44.1 kHz) run as fast as on the grid"


def chunk_lengths(chunk: int | str, count: int) -> list[int]:
    """`count` chunk lengths: a fixed one, or "LOW-HIGH" drawn anew each call (seeded)."""
    if isinstance(chunk, int):
        return [chunk] * count
    low, high = (int(v) for v in chunk.split("-"))
    return [int(n) for n in np.random.default_rng(CHANGING_SEED).integers(low, high + 1, count)]


def filled_at(x: np.ndarray, rate: int, context_ms: int, chunk: int | str) -> tuple[StreamingEnergyTalvane, int]:
    """A stream whose context is full, fed chunks of `chunk` samples (or lengths drawn
    from its range), and the sample position it reached."""
    stream = StreamingEnergyTalvane(stream_context_ms=context_ms)
    pos = 0
    lengths = itertools.repeat(chunk) if isinstance(chunk, int) else iter(chunk_lengths(chunk, rate * context_ms // 1000))
    while pos < rate * context_ms // 1000 + 1200:
        n = next(lengths)
        stream.process_chunk(x[pos : pos + n], rate, False)
        pos += n
    return stream, pos


def chunk_pieces(x: np.ndarray, pos: int, chunk: int | str, count: int) -> list[np.ndarray]:
    """`count` consecutive chunks of x from pos on, of the lengths chunk_lengths gives."""
    if isinstance(chunk, int):
        return chunk_views(x, pos, chunk, count)
    pieces = []
    for n in chunk_lengths(chunk, count + 1000)[1000:]:  # past the lengths the filling drew
        pieces.append(x[pos : pos + n])
        pos += n
    return pieces


def bench_off_grid(sizes: Sizes) -> list[Row]:
    """P11: one chunk off the window grid against one on it, two streams fed in turn."""
    rows = []
    chunks = sizes.stream_chunks
    for context_ms in (3000, 30000):
        for rate, off, on, target in OFF_GRID:
            progress(f"P11 ({rate} Hz, {off} and {on}, {context_ms} ms)")
            longest = int(str(off).split("-")[-1])
            x = signals.speech_in_noise(context_ms / 1000 + 2 + chunks * longest / rate, rate)
            streams, pieces = [], []
            for n in (off, on):
                stream, pos = filled_at(x, rate, context_ms, n)
                streams.append(stream)
                pieces.append(chunk_pieces(x, pos, n, chunks + 1))
            off_s, on_s = time_turns([lambda i, s=s, p=p: s.process_chunk(p[i], rate, False)
                                      for s, p in zip(streams, pieces)], chunks)
            what = f"process_chunk, {rate / 1000:g} kHz, {off} frames / {on} frames, stream_context_ms {context_ms}"
            raw = dict(rate=rate, off_grid=off, on_grid=on, context_ms=context_ms, off_us=off_s * 1e6,
                       on_us=on_s * 1e6)
            if target is None:
                note = WHOLE_WINDOW_ADVICE if rate == 44100 else "a new length every call, no grid returns"
                rows.append(Row("P11", f"{what} ({note})", f"{off_s / on_s:.2f} ×",
                                raw={**raw, "ratio": off_s / on_s}))
            else:
                rows.append(ratio_row("P11", what, Timing(off_s, on_s, chunks), target, **raw))
    return rows


# --- P12: the view of a stream's last call -----------------------------------


def bench_stream_view(x16: np.ndarray, chunks: int) -> list[Row]:
    """stream_view and its three scalars after each 10 ms call: two streams fed the
    same chunks in blocks of 20, one read after every call; the extra time over the
    calls alone."""
    progress("P12")
    from talvane_rs import stream_view  # imported here, so that other ids also time builds without it

    rate, chunk, block = 16000, 160, 20
    plain, viewed = (filled_stream(x16, 3000, chunk) for _ in range(2))
    start = plain[1]
    pieces = chunk_views(x16, start, chunk, (chunks + 1) * block)

    def calls(i: int) -> None:
        process = plain[0].process_chunk
        for piece in pieces[i * block : (i + 1) * block]:
            process(piece, rate, False)

    def calls_and_views(i: int) -> None:
        stream = viewed[0]
        process = stream.process_chunk
        for piece in pieces[i * block : (i + 1) * block]:
            process(piece, rate, False)
            v = stream_view(stream)
            v.noise_floor, v.threshold, v.clamped

    alone, with_views = time_turns([calls, calls_and_views], chunks)
    what = ("stream_view(stream) and its noise_floor, threshold and clamped after each 10 ms process_chunk "
            "(3 s context): the time they add / the call's")
    return [ratio_row("P12", what, Timing(with_views - alone, alone, chunks), 0.2,
                      call_us=alone / block * 1e6, view_us=(with_views - alone) / block * 1e6)]


# --- P13: Stream, the class for applications ---------------------------------


def bench_stream_class(x16: np.ndarray, chunks: int) -> list[Row]:
    """Stream.process on 10 ms chunks with a full 3 s context, its events read after
    each call: mono float32 against process_chunk on the same chunks, and int16
    against webrtcvad's is_speech on the same 16-bit frames as ready bytes."""
    progress("P13")
    from talvane_rs import Stream  # imported here, so that other ids also time builds without it

    rate, chunk = 16000, 160
    native, start = filled_stream(x16, 3000, chunk)
    pcm = (np.clip(x16, -1.0, 1.0) * 32767.0).astype(np.int16)
    mono, ints, preset = Stream(rate), Stream(rate), Stream(rate, preset="speech")
    music = Stream(rate, preset="speech-music")
    for a in range(0, start, chunk):
        mono.process(x16[a : a + chunk])
        for stream in (ints, preset, music):
            stream.process(pcm[a : a + chunk])
    pieces = chunk_views(x16, start, chunk, chunks + 1)
    frames = chunk_views(pcm, start, chunk, chunks + 1)
    ready = [f.tobytes() for f in frames]
    rows = []

    def read_events(stream: Stream, piece: np.ndarray) -> None:
        stream.process(piece)
        stream.events

    ours, theirs = time_turns([lambda i: read_events(mono, pieces[i]),
                               lambda i: native.process_chunk(pieces[i], rate, False)], chunks)
    rows.append(ratio_row("P13", "Stream.process (mono float32, 10 ms, 3 s context, events read) / process_chunk",
                          Timing(ours, theirs, chunks), 1.5, stream_us=ours * 1e6, process_chunk_us=theirs * 1e6))
    try:
        import webrtcvad

        vad = webrtcvad.Vad(2)
    except Exception as e:  # reported, not fatal
        reason = f"{type(e).__name__}: {e}".splitlines()[0][:100]
        return [*rows, Row("P13", "Stream.process (int16) / webrtcvad per 10 ms", f"unavailable ({reason})")]
    ours, theirs = time_turns([lambda i: read_events(ints, frames[i]), lambda i: vad.is_speech(ready[i], rate)],
                              chunks)
    what = "Stream.process (int16, 10 ms at 16 kHz, 3 s context, events read) / webrtcvad.is_speech (mode 2) on " \
        "the same frames as ready 16-bit bytes"  # fmt: skip
    rows.append(ratio_row("P13", what, Timing(ours, theirs, chunks), 1.0, stream_us=ours * 1e6,
                          webrtcvad_us=theirs * 1e6))
    ours, theirs = time_turns([lambda i: read_events(preset, frames[i]), lambda i: vad.is_speech(ready[i], rate)],
                              chunks)
    rows.append(ratio_row("P13", what.replace("Stream.process", 'Stream(preset="speech").process'),
                          Timing(ours, theirs, chunks), 1.0, stream_us=ours * 1e6, webrtcvad_us=theirs * 1e6))
    ours, theirs = time_turns([lambda i: read_events(music, frames[i]), lambda i: read_events(preset, frames[i])],
                              chunks)
    rows.append(ratio_row("P13", 'Stream(preset="speech-music").process / Stream(preset="speech").process (int16, '
                          "10 ms at 16 kHz, 3 s context): what the music measure costs a call",
                          Timing(ours, theirs, chunks), 1.5, music_us=ours * 1e6, speech_us=theirs * 1e6))
    return rows


# --- P9: many streams in one process -----------------------------------------


def bench_many_streams(sizes: Sizes) -> list[Row]:
    progress(f"P9 ({sizes.streams} streams)")
    command = [sys.executable, os.path.join(HERE, "many_streams.py"), "--streams", str(sizes.streams)]
    proc = subprocess.run(command, capture_output=True, text=True, timeout=1800)
    try:
        data = json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        data = {"error": (proc.stderr.strip().splitlines() or ["no output"])[-1][:100]}
    what = f"{sizes.streams} streams at 16 kHz, 3 s contexts, fed round-robin in 10 ms chunks"
    if "error" in data:
        return [Row("P9", what, f"unavailable ({data['error']})", raw=data)]
    ratio = data["memory_ratio"]
    return [
        Row("P9", f"{what}: CPU seconds per stream-hour", f"{data['cpu_s_per_stream_hour']:.2f} s", raw=data),
        Row("P9", f"{what}: resident memory per stream / its context buffer",
            f"{ratio:.2f} × ({data['resident_bytes_per_stream'] / 1e3:.0f} kB)", "≤ 1.50 ×", at_most(ratio, 1.5),
            raw=data),
    ]


# --- P6: real-time factors against peer tools --------------------------------


def make_webrtcvad() -> Callable:
    import webrtcvad

    vad = webrtcvad.Vad(2)

    def run(x, rate):
        # Conversion to 16-bit PCM and the framing are part of its cost. 30 ms
        # frames are its cheapest framing; memoryview slices avoid copies.
        pcm = memoryview((np.clip(x, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes())
        step = 2 * (rate * 30 // 1000)
        return [vad.is_speech(pcm[i : i + step], rate) for i in range(0, len(pcm) - step + 1, step)]

    return run


def make_librosa() -> Callable:
    import librosa

    return lambda x, rate: librosa.effects.split(x)  # defaults: top_db=60


def make_auditok() -> Callable:
    import auditok

    # Releases that read 4-byte samples as float32 take the array's own bytes;
    # older ones get 16-bit PCM.
    takes_float = getattr(getattr(auditok, "signal", None), "SAMPLE_WIDTH_TO_DTYPE", {}).get(4) is np.float32

    def run(x, rate):
        if takes_float:
            data, width = x.tobytes(), 4
        else:
            data, width = (np.clip(x, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes(), 2
        return list(auditok.split(data, sampling_rate=rate, sample_width=width, channels=1))

    return run


def make_numpy_gate() -> Callable:
    return numpy_gate.keep_mask


def make_pedalboard() -> Callable:
    from pedalboard import NoiseGate

    gate = NoiseGate(threshold_db=-40.0, ratio=10.0, attack_ms=1.0, release_ms=100.0)
    return lambda x, rate: gate(x, rate)


DETECTORS = (
    ("webrtcvad", "webrtcvad (mode 2, 30 ms int16 frames)", make_webrtcvad),
    ("librosa", "librosa.effects.split (top_db=60)", make_librosa),
    ("auditok", "auditok.split (raw bytes, defaults)", make_auditok),
    ("numpy_gate", "bench/numpy_gate.py (NumPy/SciPy)", make_numpy_gate),
)
GATES = (("pedalboard", "pedalboard NoiseGate", make_pedalboard),)


def bench_peers(x16: np.ndarray, sizes: Sizes) -> list[Row]:
    rate = 16000
    duration = len(x16) / rate
    gate = EnergyTalvane()
    ours = {
        "mask": lambda: gate.compute_keep_mask_array(x16, rate),
        "apply": lambda: gate.apply_array_np(x16, rate),
    }
    groups = (
        ("mask", "compute_keep_mask_array", DETECTORS),
        ("apply", "apply_array_np", GATES),
    )
    rows = []
    for kind, our_name, peers in groups:
        speedups = {}
        for name, label, make in peers:
            progress(f"P6 {name}")
            try:
                run = make()
                timing = time_pair(ours[kind], lambda: run(x16, rate), sizes.big_repeats, sizes.peer_budget_s)
            except Exception as e:  # an unavailable or broken peer is reported, not fatal
                reason = f"{type(e).__name__}: {e}".splitlines()[0][:100]
                rows.append(Row("P6", f"{label} vs {our_name}", f"unavailable ({reason})",
                                raw={"peer": name, "error": reason}))
                continue
            ours_rtf, peer_rtf = duration / timing.method_s, duration / timing.baseline_s
            speedups[name] = (label, ours_rtf / peer_rtf)
            rows.append(Row(
                "P6",
                f"{label} vs {our_name}",
                f"{peer_rtf:,.0f}× RT vs ours {ours_rtf:,.0f}× RT: ours/peer {ours_rtf / peer_rtf:.2f} ×",
                raw={"peer": name, "ours_median_s": timing.method_s, "peer_median_s": timing.baseline_s,
                     "runs": timing.runs, "ours_rtf": ours_rtf, "peer_rtf": peer_rtf, "audio_s": duration},
            ))
        if speedups:
            best = min(speedups, key=lambda k: speedups[k][1])
            label, speedup = speedups[best]
            rows.append(Row(
                "P6",
                f"{our_name} real-time factor / the fastest peer's ({best}), {minutes(duration)} at 16 kHz",
                f"{speedup:.2f} ×",
                "≥ 5.00 ×",
                "PASS" if speedup >= 5.0 else "MISS",
                {"fastest_peer": best, "speedup": speedup, "target_speedup": 5.0},
            ))
        else:
            rows.append(Row("P6", f"{our_name} real-time factor / the fastest peer's", "no peer available",
                            "≥ 5.00 ×", "MISS"))
    return rows


def numpy_gate_agreement(x16: np.ndarray) -> float:
    """Share of samples on which the NumPy model and the extension agree."""
    ours = EnergyTalvane().compute_keep_mask_array(x16, 16000)
    return float(np.mean(ours == numpy_gate.keep_mask(x16, 16000)))


# --- P7: extra peak memory, each method in a fresh process -------------------


def bench_memory(sizes: Sizes) -> list[Row]:
    rows = []
    for method in ("np.copy", "apply_array_np", "compute_keep_mask_array"):
        progress(f"P7 {method}")
        command = [sys.executable, os.path.join(HERE, "peak_memory.py"), method,
                   "--seconds", str(sizes.big_seconds), "--rate", "48000"]
        proc = subprocess.run(command, capture_output=True, text=True, timeout=900)
        try:
            data = json.loads(proc.stdout.strip().splitlines()[-1])
        except (IndexError, json.JSONDecodeError):
            data = {"error": (proc.stderr.strip().splitlines() or ["no output"])[-1][:100]}
        what = f"extra peak RSS of {method}, {minutes(sizes.big_seconds)} at 48 kHz"
        if "error" in data:
            rows.append(Row("P7", what, f"unavailable ({data['error']})", raw=data))
            continue
        result, extra = data["result_bytes"], data["extra_peak_bytes"]
        measured = extra / result
        shown = f"{measured:.3f} × result ({extra / 1e6:.1f} MB)"
        if method == "np.copy":  # checks the method: a copy's extra peak is its result
            rows.append(Row("P7", what + " (method check)", shown, raw=data))
            continue
        allowed = 1.1 + MEMORY_BUDGET_PER_WINDOW * data["windows"] / result
        target = f"≤ 1.1 × result + {MEMORY_BUDGET_PER_WINDOW} B/window ({allowed:.3f} ×)"
        rows.append(Row("P7", what, shown, target, at_most(measured, allowed),
                        {**data, "ratio": measured, "allowed_ratio": allowed}))
    return rows


# --- B1: the command line on a big file, in fresh processes --------------------


def bench_big_file(sizes: Sizes) -> list[Row]:
    progress("B1")
    command = [sys.executable, os.path.join(HERE, "big_file.py"),
               "--seconds", str(sizes.file_seconds), "--repeats", str(sizes.file_repeats)]
    proc = subprocess.run(command, capture_output=True, text=True, timeout=3600)
    span = f"{minutes(sizes.file_seconds)} 48 kHz 16-bit mono WAV"
    try:
        data = json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        reason = (proc.stderr.strip().splitlines() or ["no output"])[-1][:100]
        return [Row("B1", f"talvane on a {span}", f"unavailable ({reason})")]
    rows = []
    for name, target in (("gate", 2.5), ("cut", 2.5), ("mask", 1.5)):
        ratio = data[f"{name}_extra_ratio"]
        extra = data[f"{name}_peak_bytes"] - data["version_peak_bytes"]
        rows.append(Row("B1", f"talvane {name}: peak RSS above talvane --version / float32 samples, {span}",
                        f"{ratio:.2f} × ({extra / 1e6:.0f} MB)", f"≤ {target:.2f} ×", at_most(ratio, target),
                        {**data, "ratio": ratio, "target_ratio": target}))
    plot_mb, plot_s = data["plot_extra_bytes"] / 1e6, data["plot_extra_s"]
    rows.append(Row("B1", f"talvane gate --plot: extra time and peak RSS over gate, {span}",
                    f"{plot_s:.1f} s, {plot_mb:.0f} MB", "< 10 s, < 500 MB",
                    "PASS" if plot_s < 10 and plot_mb < 500 else "MISS", data))
    ratio = data["time_ratio"]
    rows.append(Row("B1", f"talvane gate end to end / soundfile read + write (16-bit), {span}",
                    f"{ratio:.2f} × ({data['gate_median_s']:.1f} s / {data['read_write_median_s']:.1f} s)",
                    "≤ 1.50 ×", at_most(ratio, 1.5), data))
    return rows


# --- D1: a folder on a Dask cluster against local worker processes ------------


def bench_cluster(quick: bool) -> list[Row]:
    progress("D1")
    files, seconds, repeats = (20, 10, 3) if quick else (200, 60, 5)
    command = [sys.executable, os.path.join(HERE, "cluster.py"), "--files", str(files), "--seconds", str(seconds),
               "--repeats", str(repeats)]  # fmt: skip
    proc = subprocess.run(command, capture_output=True, text=True, timeout=3600)
    what = f"talvane gate on {files} files of {minutes(seconds)} at 16 kHz: --dask, 2 local workers / -j 2"
    try:
        data = json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        reason = (proc.stderr.strip().splitlines() or ["no output"])[-1][:100]
        return [Row("D1", what, f"unavailable ({reason})")]
    shown = (f"{data['ratio']:.2f} × ({data['dask_files_per_s']:.1f} / {data['local_files_per_s']:.1f} "
             "files per second)")  # fmt: skip
    return [Row("D1", what, shown, "≤ 1.30 ×", at_most(data["ratio"], 1.3), data)]


# --- driver -------------------------------------------------------------------


def progress(what: str) -> None:
    print(f"  running {what} ...", file=sys.stderr, flush=True)


def distribution_version(name: str) -> str | None:
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return None


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def table(rows: list[Row]) -> str:
    lines = ["| id | what | measured | target | result |", "|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r.id} | {r.what} | {r.measured} | {r.target or '—'} | {r.verdict or '—'} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short inputs and few repeats: a smoke run")
    parser.add_argument("--json", default=os.path.join(os.path.relpath(HERE), "results.json"),
                        help="where to write the raw figures (default: bench/results.json)")
    parser.add_argument("--only", default=",".join(ALL_IDS), help="comma-separated ids to run, e.g. P1,P6")
    args = parser.parse_args()
    ids = {i.strip().upper() for i in args.only.split(",") if i.strip()}
    unknown = ids - set(ALL_IDS)
    if unknown:
        parser.error(f"unknown ids: {', '.join(sorted(unknown))}")
    sizes = QUICK if args.quick else FULL

    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "quick": args.quick,
        "sizes": dataclasses.asdict(sizes),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "talvane_rs": talvane_rs.__version__,
        "peers": {name: distribution_version(name) for name in PEER_DISTRIBUTIONS},
        "platform": platform.platform(),
        "cpu": cpu_model(),
        "cpus": os.cpu_count(),
        "load_average": list(os.getloadavg()) if hasattr(os, "getloadavg") else None,
    }
    print(f"talvane_rs {meta['talvane_rs']}, Python {meta['python']}, NumPy {np.__version__}, "
          f"{meta['cpu']} ({meta['cpus']} CPUs){', quick run' if args.quick else ''}", flush=True)

    t0 = time.perf_counter()
    x48 = signals.speech_in_noise(sizes.big_seconds, 48000) if ids & {"P1", "P2", "P3", "A1"} else None
    x16 = None
    if ids & {"P4", "P5", "P6", "P8", "P12", "P13", "A2"}:
        x16 = signals.speech_in_noise(max(sizes.peer_seconds, sizes.list_seconds), 16000)
    meta["signal_seconds"] = time.perf_counter() - t0

    rows: list[Row] = []
    if x48 is not None:
        rows += bench_arrays(x48, sizes, ids)
        del x48
    if "A2" in ids:
        rows += bench_band(x16, sizes)
    if "P4" in ids:
        rows += bench_list(x16, sizes)
    if "P5" in ids:
        rows += [bench_stream(x16, ms, sizes.stream_chunks, target) for ms, target in ((3000, 0.2), (30000, 0.03))]
        rows += bench_stream_scaling(x16, sizes.stream_chunks)
    if "P6" in ids:
        peer_input = x16[: int(sizes.peer_seconds * 16000)]
        meta["numpy_gate_agreement"] = numpy_gate_agreement(peer_input)
        rows += bench_peers(peer_input, sizes)
    if "P7" in ids:
        rows += bench_memory(sizes)
    if "P8" in ids:
        rows += bench_webrtc_frame(x16, sizes.stream_chunks)
    if "P9" in ids:
        rows += bench_many_streams(sizes)
    if "P11" in ids:
        rows += bench_off_grid(sizes)
    if "P12" in ids:
        rows += bench_stream_view(x16, sizes.stream_chunks)
    if "P13" in ids:
        rows += bench_stream_class(x16, sizes.stream_chunks)
    if "B1" in ids:
        rows += bench_big_file(sizes)
    if "D1" in ids:
        rows += bench_cluster(args.quick)

    print(table(rows))
    if "numpy_gate_agreement" in meta:
        agreement = meta["numpy_gate_agreement"]
        print(f"\nbench/numpy_gate.py keeps the same samples as the extension on {agreement:.2%} of the input.")
    with open(args.json, "w", encoding="utf-8") as f:
        results = {"meta": meta, "rows": [dataclasses.asdict(r) for r in rows]}
        json.dump(results, f, indent=2, ensure_ascii=False)
        f.write("\n")
    print(f"raw figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
