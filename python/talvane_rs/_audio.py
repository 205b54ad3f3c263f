"""One file through the gate: read, gate, cut or mask, write, plot, summarise."""

from __future__ import annotations

import csv
import errno
import io
import json
import os
import secrets
import signal
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs import EnergyTalvane, Region, StreamingEnergyTalvane, keep_regions
from talvane_rs._jobs import Job, Outcome, temporary_prefix

FloatArray = npt.NDArray[np.float32]
BoolArray = npt.NDArray[np.bool_]
# Called between the steps of a job, none of them a write; raising there stops the job.
Checkpoint = Callable[[], None]

SOUNDFILE_FORMATS = {
    ".wav": "WAV",
    ".flac": "FLAC",
    ".ogg": "OGG",
    ".aiff": "AIFF",
    ".aif": "AIFF",
    ".au": "AU",
    ".caf": "CAF",
    ".w64": "W64",
}


class FileError(Exception):
    """A failure tied to one file, reported as one line."""


def read_mono(path: Path, notes: list[str]) -> tuple[FloatArray, int, str]:
    """The samples as one contiguous float32 channel, the rate, the file's subtype."""
    try:
        with sf.SoundFile(path) as f:
            rate, subtype, channels = f.samplerate, f.subtype, f.channels
            frames = f.read(dtype="float32", always_2d=True)
    except sf.LibsndfileError as e:
        raise FileError(f"not a readable audio file ({e.error_string})") from None
    except (OSError, RuntimeError, ValueError) as e:
        raise FileError(f"cannot read: {e}") from None
    if channels == 1:
        return np.ascontiguousarray(frames[:, 0]), rate, subtype
    notes.append(f"{path}: {channels} channels mixed down to mono")
    return np.ascontiguousarray(frames.mean(axis=1, dtype=np.float32)), rate, subtype


def create_temporary(dst: Path, token: str, mode: int) -> str:
    """A new empty file beside dst, its name marked with the run's token, created
    with mode less what the umask removes."""
    prefix = temporary_prefix(dst, token)
    for _ in range(100):
        tmp = dst.parent / f"{prefix}{secrets.token_hex(4)}{dst.suffix}"
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode))
        except FileExistsError:
            continue
        return str(tmp)
    raise FileExistsError(errno.EEXIST, "no free temporary name", str(dst.parent))


def replace_atomically(dst: Path, token: str, write: Callable[[str], object]) -> None:
    """Writes through a temporary file beside dst, so a failure leaves dst as it was.

    A new dst gets the mode the system gives any new file: the temporary is
    created with 0o666 and the kernel applies the umask (or the folder's
    default ACL). The umask itself is never read, since reading it means
    setting it process-wide, which races with other threads creating files.
    A dst that exists keeps its mode, given to the private temporary after the write.
    """
    try:
        mode: int | None = dst.stat().st_mode & 0o7777
    except OSError:
        mode = None
    try:
        tmp = create_temporary(dst, token, 0o666 if mode is None else 0o600)
    except OSError as e:
        raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
    try:
        write(tmp)
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, dst)
    except BaseException as e:
        os.unlink(tmp)
        if isinstance(e, OSError):
            raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
        raise


def write_audio(dst: Path, token: str, samples: FloatArray, rate: int, subtype: str, notes: list[str]) -> None:
    fmt = SOUNDFILE_FORMATS[dst.suffix.lower()]
    # Keep the input's sample format where the output container takes it.
    if not sf.check_format(fmt, subtype):
        subtype = sf.default_subtype(fmt)
    if subtype.startswith("PCM"):
        with np.errstate(invalid="ignore"):
            clipped = int(np.count_nonzero(~(np.abs(samples) <= 1.0)))
        if clipped:
            notes.append(f"{dst}: {clipped} samples beyond full scale clipped by the {subtype} format")
    replace_atomically(dst, token, lambda tmp: sf.write(tmp, samples, rate, format=fmt, subtype=subtype))


def region_rows(regions: list[Region]) -> list[dict[str, float | int]]:
    return [
        {"start_s": round(r.start_s, 6), "end_s": round(r.end_s, 6), "start_sample": r.start, "end_sample": r.end}
        for r in regions
    ]


def format_regions(job: Job, regions: list[Region], rate: int, n: int) -> str:
    rows = region_rows(regions)
    if job.fmt == "json":
        record = {"file": str(job.src), "sample_rate": rate, "samples": n, "regions": rows}
        return json.dumps(record, indent=2) + "\n"
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=["start_s", "end_s", "start_sample", "end_sample"], lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return text.getvalue()


def write_text(dst: Path, token: str, text: str) -> None:
    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    replace_atomically(dst, token, write)


def ms_to_samples(rate: int, ms: float) -> int:
    """Milliseconds to samples as the gate counts them: in doubles, halves away from zero."""
    exact = float(rate) * float(ms) / 1000.0
    whole = int(exact)
    return whole + (exact - whole >= 0.5)


def go_on() -> None:
    """The checkpoint of a job that only ends with its process."""


def stream_gate(
    x: FloatArray, rate: int, settings: dict[str, Any], step: int, checkpoint: Checkpoint = go_on
) -> FloatArray:
    """The streaming gate's output over chunks of step samples."""
    gate = StreamingEnergyTalvane(**settings)
    n = len(x)
    out = np.empty(n, dtype=np.float32)
    for a in range(0, n, step):
        checkpoint()
        b = min(n, a + step)
        out[a:b] = gate.process_chunk(x[a:b], rate, b == n)
    return out


def stream_keep_mask(
    x: FloatArray, rate: int, settings: dict[str, Any], step: int, checkpoint: Checkpoint = go_on
) -> BoolArray:
    """The keep flags the streaming gate used over chunks of step samples.

    It decides each chunk from the analysis of its context (the latest input,
    at most stream_context_ms of it) followed by the chunk, so the same flags
    come from the batch analysis of that stretch of the input.
    """
    n = len(x)
    kept = np.ones(n, dtype=np.bool_)
    if not settings["enabled"]:
        return kept
    batch = EnergyTalvane(**settings)
    limit = max(1, ms_to_samples(rate, settings["stream_context_ms"]))  # never below one sample
    for a in range(0, n, step):
        checkpoint()
        b = min(n, a + step)
        start = max(0, a - limit)
        kept[a:b] = batch.compute_keep_mask_array(x[start:b], rate)[a - start :]
    return kept


def gain_curve(x: FloatArray, out: FloatArray, kept: BoolArray, attenuation: float) -> npt.NDArray[np.float64]:
    """The gain each sample got, read back as out / x; samples that cannot tell
    (zero or non-finite) take the gain of the nearest earlier sample that can."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        valid = np.isfinite(x) & (x != 0) & np.isfinite(out)
    if not valid.any():
        return np.where(kept, 1.0, attenuation)
    index = np.where(valid, np.arange(len(x)), 0)
    np.maximum.accumulate(index, out=index)
    first = int(np.argmax(valid))
    index[:first] = first
    return out[index].astype(np.float64) / x[index].astype(np.float64)


def process(job: Job, checkpoint: Checkpoint = go_on) -> Outcome:
    outcome = Outcome(to_stdout=str(job.dst) == "-")
    try:
        outcome.summary = run_job(job, outcome.notes, checkpoint)
    except FileError as e:
        outcome.error = f"{job.src}: {e}"
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # one file must not end a folder run, even on the gate's internal error
        outcome.error = f"{job.src}: {type(e).__name__}: {e}"
    return outcome


def start_worker() -> None:
    """Readies a worker process of a folder run. A terminal's Ctrl-C reaches the
    whole process group, but only the parent decides what it means, so workers
    ignore it. SIGTERM keeps its default: the parent ends workers with it, and
    then removes the temporary file a worker leaves."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The parent started this process with SIGINT blocked, so that one arriving
    # before now was held rather than acted on; ignored, it is dropped.
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def chunk_len(job: Job, rate: int) -> int:
    assert job.stream_ms is not None
    return max(1, ms_to_samples(rate, job.stream_ms))


def gated(job: Job, x: FloatArray, rate: int, checkpoint: Checkpoint) -> FloatArray:
    """The output audio of gate or cut."""
    if job.command == "cut":
        return EnergyTalvane(**job.settings).compact_array_np(x, rate)
    if job.stream_ms is not None:
        return stream_gate(x, rate, job.settings, chunk_len(job, rate), checkpoint)
    return EnergyTalvane(**job.settings).apply_array_np(x, rate)


def keep_flags(job: Job, x: FloatArray, rate: int, checkpoint: Checkpoint) -> BoolArray:
    """Per sample, whether the job kept it."""
    if job.command == "gate" and job.stream_ms is not None:
        return stream_keep_mask(x, rate, job.settings, chunk_len(job, rate), checkpoint)
    if job.command == "gate" and not job.settings["enabled"]:
        return np.ones(len(x), dtype=np.bool_)  # a disabled gate passes everything
    return EnergyTalvane(**job.settings).compute_keep_mask_array(x, rate)


def run_job(job: Job, notes: list[str], checkpoint: Checkpoint) -> str:
    x, rate, subtype = read_mono(job.src, notes)
    checkpoint()
    n = len(x)
    # The speed reported is that of the job's own operation alone.
    started = time.perf_counter()
    if job.command == "mask":
        out, kept = None, keep_flags(job, x, rate, checkpoint)
        elapsed = time.perf_counter() - started
    else:
        out = gated(job, x, rate, checkpoint)
        elapsed = time.perf_counter() - started
        kept = keep_flags(job, x, rate, checkpoint)
    regions = keep_regions(kept, rate)
    checkpoint()

    if out is None:
        text = format_regions(job, regions, rate, n)
        if str(job.dst) == "-":
            sys.stdout.write(text)
            sys.stdout.flush()
        else:
            write_text(job.dst, job.token, text)
    else:
        if job.command == "cut" and not regions and n:
            notes.append(f"{job.src}: nothing kept; wrote the first {len(out) / rate:.2f} s unchanged")
        write_audio(job.dst, job.token, out, rate, subtype, notes)
    if job.plot is not None:
        checkpoint()
        from talvane_rs._plot import plot_gate

        title = f"{job.src.name}, {describe(job)}"
        if job.command == "gate" and out is not None:
            gain = gain_curve(x, out, kept, job.settings["attenuation"])
            fig = plot_gate(x, rate, regions, title, out=out, gain=gain)
        else:
            fig = plot_gate(x, rate, regions, title)
        checkpoint()
        replace_atomically(job.plot, job.token, lambda tmp: fig.savefig(tmp, format="png"))

    seconds = n / rate
    share = float(np.count_nonzero(kept)) / n if n else 0.0
    speed = f"{seconds / elapsed:,.0f}x" if elapsed > 0 else "-"
    noun = "region" if len(regions) == 1 else "regions"
    where = "standard output" if str(job.dst) == "-" else job.dst
    return (
        f"{job.src}: {seconds:.2f} s, kept {share:.1%} in {len(regions)} {noun}, "
        f"{speed} real time, {describe(job)} -> {where}"
    )


def describe(job: Job) -> str:
    if job.stream_ms is not None:
        return f"streaming gate, {job.stream_ms:g} ms chunks"
    return {"gate": "gated", "cut": "cut", "mask": "mask"}[job.command]
