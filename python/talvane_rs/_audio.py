"""One file through the gate: read in blocks, decide once on the mono mix, write
every channel in blocks, plot, summarise.

Memory: the mono mix of the whole file is held (the decision needs all of it),
and everything else goes by blocks: the output, the gains, and for several
channels a second reading of the file.
"""

from __future__ import annotations

import csv
import errno
import io
import json
import math
import os
import secrets
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
import soundfile as sf

from talvane_rs import EnergyTalvane, StreamingEnergyTalvane
from talvane_rs._jobs import STDIO, Job, Outcome, temporary_prefix
from talvane_rs._storage import Location, Url, describe_error, open_url, replace_url
from talvane_rs._options import format_db, gain_to_db, resolve_settings
from talvane_rs.analysis import Analysis, analyse
from talvane_rs.cutting import Piece, crossfade, cut_steps, output_length, plan_cut

FloatArray = npt.NDArray[np.float32]
BoolArray = npt.NDArray[np.bool_]
# Called between the steps of a job, none of them a write; raising there stops the job.
Checkpoint = Callable[[], None]

BLOCK = 1 << 20  # frames read or written at a time
LOSSY = frozenset({"MPEG_LAYER_I", "MPEG_LAYER_II", "MPEG_LAYER_III", "VORBIS", "OPUS"})
FLOAT_SUBTYPES = frozenset({"FLOAT", "DOUBLE"})

# Containers (and a subtype some imply) of the extensions whose soundfile name differs.
EXTENSIONS = {
    ".aif": ("AIFF", None),
    ".aifc": ("AIFF", None),
    ".oga": ("OGG", None),
    ".opus": ("OGG", "OPUS"),
    ".snd": ("AU", None),
    ".sph": ("NIST", None),
    ".sf": ("IRCAM", None),
    ".iff": ("SVX", None),
    ".mat": ("MAT5", None),
}
# The containers --format names, for standard output or an output without an extension.
FORMATS = {
    "wav": ("WAV", None),
    "flac": ("FLAC", None),
    "ogg": ("OGG", "VORBIS"),
    "opus": ("OGG", "OPUS"),
    "mp3": ("MP3", "MPEG_LAYER_III"),
    "aiff": ("AIFF", None),
    "au": ("AU", None),
    "caf": ("CAF", None),
    "w64": ("W64", None),
    "rf64": ("RF64", None),
}


class FileError(Exception):
    """A failure tied to one file, reported as one line."""


class CannotWrite(Exception):
    """The output's format and subtype cannot be written here (said why)."""


def container_of(suffix: str) -> tuple[str, str | None] | None:
    """The container (and implied subtype) of an extension, or None when soundfile has none."""
    suffix = suffix.lower()
    if suffix in EXTENSIONS:
        return EXTENSIONS[suffix]
    name = suffix[1:].upper()
    return (name, None) if name and name in sf.available_formats() else None


# --- reading --------------------------------------------------------------------


@dataclass
class Stats:
    """What the read found besides the samples."""

    nonfinite: int = 0  # NaN and infinite samples, over every channel
    first_bad: int = -1  # frame of the first one


def replace_nonfinite(block: FloatArray, offset: int, stats: Stats | None) -> None:
    """Sets NaN and infinite samples of block to 0.0 in place, counting them in stats."""
    bad = ~np.isfinite(block)
    if not bad.any():
        return
    if stats is not None:
        stats.nonfinite += int(np.count_nonzero(bad))
        if stats.first_bad < 0:
            rows = bad if bad.ndim == 1 else bad.any(axis=1)
            stats.first_bad = offset + int(np.argmax(rows))
    block[bad] = 0.0


def libsndfile_cause(f: sf.SoundFile | None, e: Exception) -> str:
    """What libsndfile said, with the system's reason for a system error (which
    soundfile reports as a bare "System error.")."""
    text = getattr(e, "error_string", None) or str(e)
    if f is not None and getattr(e, "code", None) == 2:  # SFE_SYSTEM
        try:
            said = sf._ffi.string(sf._snd.sf_strerror(f._file)).decode(errors="replace")
        except Exception:  # soundfile's internals moved: keep its own words
            return text
        text = said.split(":", 1)[-1].strip().rstrip(".") or text
    return text


@contextmanager
def open_source(job: Job, checkpoint: Checkpoint) -> Iterator[sf.SoundFile]:
    """The job's input opened for reading; standard input is first copied to an
    anonymous temporary file unless it is a seekable file already."""
    spool: BinaryIO | None = None
    source: Any
    try:
        if isinstance(job.src, Url):
            try:
                source = spool = open_url(job.src)
            except Exception as e:  # the stores' errors have no common base
                raise FileError(f"cannot read: {describe_error(e)}") from None
        elif job.src == STDIO:
            stream = sys.stdin.buffer
            if stream.seekable():
                source = stream
            else:
                spool = tempfile.TemporaryFile()
                while chunk := stream.read(BLOCK):
                    checkpoint()
                    spool.write(chunk)
                spool.seek(0)
                source = spool
        else:
            source = job.local(job.src)
        try:
            f = sf.SoundFile(source)
        except sf.LibsndfileError as e:
            if e.code == 2 and isinstance(source, Path):  # a system error: ask the system which
                try:
                    open(source, "rb").close()
                except OSError as os_error:
                    raise FileError(f"cannot read: {os_error.strerror or os_error}") from None
            raise FileError(f"not a readable audio file ({e.error_string})") from None
        except (OSError, RuntimeError, TypeError, ValueError) as e:
            raise FileError(f"cannot read: {getattr(e, 'strerror', None) or e}") from None
        with f:
            yield f
    finally:
        if spool is not None:
            spool.close()


def nonfinite_possible(f: sf.SoundFile) -> bool:
    """Whether the file's samples can be NaN or infinite: not when stored as integers."""
    return not (f.subtype.startswith("PCM_") or f.subtype in ("ULAW", "ALAW", "DWVW_12", "DWVW_16", "DWVW_24"))


def read_blocks(f: sf.SoundFile, stats: Stats | None = None) -> Iterator[FloatArray]:
    """The file's frames from the start, (frames, channels) float32 blocks, with
    non-finite samples replaced by 0.0 (and counted in stats when given)."""
    f.seek(0)
    buffer = np.empty((BLOCK, f.channels), dtype=np.float32)
    check = nonfinite_possible(f)
    at = 0
    while True:
        try:
            block = f.read(out=buffer)
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if len(block) == 0:
            return
        if check:
            replace_nonfinite(block, at, stats)
        at += len(block)
        yield block


def read_mix(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """The mono mix of the whole file (the mean of the channels in float32, or the
    one channel itself) and what the read found."""
    if f.channels > 1:
        stats = Stats()
        mix = np.empty(max(f.frames, 0), dtype=np.float32)
        at = 0
        for block in read_blocks(f, stats):
            checkpoint()
            if at + len(block) > len(mix):  # more frames than the header said
                mix = np.concatenate([mix[:at], np.empty(max(len(block), at // 4), dtype=np.float32)])
            mix[at : at + len(block)] = block.mean(axis=1, dtype=np.float32)
            at += len(block)
        return mix[:at], stats
    return read_mono(f, checkpoint)


def read_mono(f: sf.SoundFile, checkpoint: Checkpoint) -> tuple[FloatArray, Stats]:
    """A one-channel file read straight into its array, block by block."""
    stats = Stats()
    check = nonfinite_possible(f)
    x = np.empty(max(f.frames, 0), dtype=np.float32)
    at = 0
    f.seek(0)
    spare = np.empty(0, dtype=np.float32)
    while True:
        checkpoint()
        # Past the frames the header counts, into a spare block first: most files end there.
        into = x[at : at + BLOCK] if at < len(x) else spare
        if at == len(x) and len(spare) == 0:
            into = spare = np.empty(BLOCK, dtype=np.float32)
        try:
            got = len(f.read(out=into))
        except (sf.LibsndfileError, RuntimeError) as e:
            raise FileError(f"cannot read: {libsndfile_cause(f, e)}") from None
        if got == 0:
            break
        if into is spare:
            x = np.concatenate([x[:at], spare[:got], np.empty(max(BLOCK, at // 4), dtype=np.float32)])
        if check:
            replace_nonfinite(x[at : at + got], at, stats)
        at += got
    return x[:at], stats


def peak_of(f: sf.SoundFile, mix: FloatArray) -> float:
    """The largest magnitude of any channel (after the replacement of non-finite samples)."""
    if f.channels == 1:
        return float(max(np.max(mix, initial=0.0), -np.min(mix, initial=0.0)))
    return max((float(np.max(np.abs(block), initial=0.0)) for block in read_blocks(f)), default=0.0)


class Reread:
    """Frames of the file read again from the start, in increasing order: ranges
    are read forward, skipping what lies between."""

    def __init__(self, f: sf.SoundFile) -> None:
        self._blocks = read_blocks(f)
        self._held = np.empty((0, f.channels), dtype=np.float32)
        self._at = 0  # frame of self._held[0]

    def frames(self, start: int, stop: int) -> FloatArray:
        parts = []
        while start < stop:
            if start >= self._at + len(self._held):
                self._at += len(self._held)
                self._held = next(self._blocks, None)  # type: ignore[arg-type]
                if self._held is None:
                    raise FileError("the file ended early when read again")
                continue
            # A copy: the block's buffer is refilled by the next read.
            part = self._held[start - self._at : stop - self._at].copy()
            parts.append(part)
            start += len(part)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)


# --- writing --------------------------------------------------------------------


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


def replace_atomically(dst: Location, token: str, write: Callable[[str], object], cwd: str | None = None) -> None:
    """Writes through a temporary file beside dst, so a failure leaves dst as it was.

    Missing folders on the way to dst are made. A new dst gets the mode the
    system gives any new file: the temporary is created with 0o666 and the
    kernel applies the umask (or the folder's default ACL). The umask itself is
    never read, since reading it means setting it process-wide, which races
    with other threads creating files. A dst that exists keeps its mode, given
    to the private temporary after the write. A relative dst starts from cwd
    when given; messages name it as given. A URL goes through its store.
    """
    if isinstance(dst, Url):
        try:
            replace_url(dst, temporary_prefix(dst, token), write)
        except OSError as e:
            raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
        return
    at = dst if cwd is None or dst.is_absolute() else Path(cwd, dst)
    try:
        mode: int | None = at.stat().st_mode & 0o7777
    except OSError:
        mode = None
    try:
        at.parent.mkdir(parents=True, exist_ok=True)
        tmp = create_temporary(at, token, 0o666 if mode is None else 0o600)
    except FileExistsError:  # from mkdir: a file stands where a folder is needed
        raise FileError(f"cannot write {dst}: {os.strerror(errno.ENOTDIR)}") from None
    except OSError as e:
        raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
    try:
        write(tmp)
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, at)
    except BaseException as e:
        os.unlink(tmp)
        if isinstance(e, OSError):
            raise FileError(f"cannot write {dst}: {e.strerror or e}") from None
        raise


def to_stdout(write: Callable[[BinaryIO], object]) -> None:
    """Writes through an anonymous temporary file (containers go back to fill
    in their headers), then copies it to standard output."""
    with tempfile.TemporaryFile() as spool:
        write(spool)
        spool.seek(0)
        try:
            shutil.copyfileobj(spool, sys.stdout.buffer, BLOCK)
            sys.stdout.buffer.flush()
        except OSError as e:
            raise FileError(f"cannot write to standard output: {e.strerror or e}") from None


@dataclass(frozen=True)
class AudioFormat:
    container: str
    subtype: str


def output_format(job: Job, dst: Location, source: sf.SoundFile) -> AudioFormat:
    """The input's subtype in the output's container where it takes it, else the
    container's default subtype."""
    if dst == STDIO or not dst.suffix:
        container, implied = FORMATS[job.fmt or "wav"]
    else:
        found = container_of(dst.suffix)
        if found is None:
            raise FileError(f"cannot write {dst.suffix} files")
        container, implied = found
    if implied is not None:
        return AudioFormat(container, implied)
    if container == source.format:
        return AudioFormat(container, source.subtype)
    if source.subtype not in LOSSY and sf.check_format(container, source.subtype):
        return AudioFormat(container, source.subtype)
    return AudioFormat(container, sf.default_subtype(container))


def fallback_format(source: sf.SoundFile, peak: Callable[[], float]) -> AudioFormat:
    """WAV for an input whose own format cannot be written: its subtype where WAV
    takes it, else float for float input or audio beyond full scale, else 16-bit."""
    if source.subtype not in LOSSY and sf.check_format("WAV", source.subtype):
        return AudioFormat("WAV", source.subtype)
    return AudioFormat("WAV", "FLOAT" if source.subtype in FLOAT_SUBTYPES or peak() > 1.0 else "PCM_16")


class AudioWriter:
    """Blocks of audio into a file being written, counting clipped samples."""

    def __init__(self, target: str | BinaryIO, fmt: AudioFormat, rate: int, channels: int) -> None:
        try:
            self.file = sf.SoundFile(
                target, "w", samplerate=rate, channels=channels, format=fmt.container, subtype=fmt.subtype
            )
        except (sf.LibsndfileError, RuntimeError, ValueError, TypeError) as e:
            raise CannotWrite(getattr(e, "error_string", None) or str(e)) from None
        self.fmt = fmt
        self.clipped = 0
        self.frames = 0

    def write(self, block: FloatArray) -> None:
        if self.fmt.subtype.startswith("PCM") or self.fmt.subtype in ("ULAW", "ALAW"):
            self.clipped += int(np.count_nonzero(np.abs(block) > 1.0))
        try:
            self.file.write(block)
        except (sf.LibsndfileError, RuntimeError, AssertionError) as e:
            raise OSError(libsndfile_cause(self.file, e)) from None
        self.frames += len(block)

    def close(self) -> None:
        try:
            self.file.close()
        except (sf.LibsndfileError, RuntimeError) as e:
            raise OSError(libsndfile_cause(None, e)) from None


def write_audio(
    job: Job,
    source: sf.SoundFile,
    rate: int,
    channels: int,
    peak: Callable[[], float],
    blocks: Callable[[], Iterator[FloatArray]],
    notes: list[str],
) -> Location:
    """Writes the blocks to the job's output (or its WAV fallback); returns where they went."""
    assert job.dst is not None
    dst = job.dst
    fmt = output_format(job, dst, source)
    if source.subtype in FLOAT_SUBTYPES and fmt.subtype not in FLOAT_SUBTYPES and fmt.subtype not in LOSSY:
        notes.append(f"{dst if dst != STDIO else 'standard output'}: {fmt.container} cannot hold "
                     f"{source.subtype} samples here; written as {fmt.subtype}")
    written: list[AudioWriter] = []

    def write(target: str | BinaryIO, fmt: AudioFormat) -> None:
        writer = AudioWriter(target, fmt, rate, channels)
        try:
            for block in blocks():
                writer.write(block)
        except BaseException:
            try:
                writer.file.close()
            except Exception:
                pass
            raise
        writer.close()
        written.append(writer)

    try:
        try:
            if dst == STDIO:
                to_stdout(lambda spool: write(spool, fmt))
            else:
                replace_atomically(dst, job.token, lambda tmp: write(tmp, fmt), job.cwd)
        except CannotWrite as e:
            if job.fallback is None:
                raise FileError(f"cannot write {fmt.container} ({fmt.subtype}) to {dst}: {e}") from None
            wav = fallback_format(source, peak)
            notes.append(
                f"{job.name}: {fmt.container} ({fmt.subtype}) cannot be written here ({e}); "
                f"wrote WAV ({wav.subtype}) instead"
            )
            dst, fmt = job.fallback, wav
            replace_atomically(dst, job.token, lambda tmp: write(tmp, wav), job.cwd)
    except CannotWrite as e:
        raise FileError(f"cannot write {fmt.container} ({fmt.subtype}) to {dst}: {e}") from None
    clipped = written[-1].clipped if written else 0
    if clipped:
        where = "standard output" if dst == STDIO else dst
        notes.append(f"{where}: {clipped} samples beyond full scale clipped by the {fmt.subtype} format")
    return dst


# --- regions ----------------------------------------------------------------------


def region_rows(regions: list[tuple[int, int]], rate: int) -> list[dict[str, float | int]]:
    return [
        {"start_s": round(a / rate, 6), "end_s": round(b / rate, 6), "start_sample": a, "end_sample": b}
        for a, b in regions
    ]


CSV_FIELDS = ["start_s", "end_s", "start_sample", "end_sample"]


def format_records(records: list[dict[str, Any]], fmt: str, combined: bool) -> str:
    """Regions as CSV (a file column when combined), JSON (an object, or a list
    of them when combined) or Audacity labels (start and end in seconds, label)."""
    if fmt == "json":
        return json.dumps(records if combined else records[0], indent=2) + "\n"
    text = io.StringIO()
    if fmt == "audacity":
        for record in records:
            for row in record["regions"]:
                text.write(f"{row['start_s']:.6f}\t{row['end_s']:.6f}\tkept\n")
        return text.getvalue()
    fields = (["file"] if combined else []) + CSV_FIELDS
    writer = csv.DictWriter(text, fieldnames=fields, lineterminator="\n")
    writer.writeheader()
    for record in records:
        for row in record["regions"]:
            writer.writerow({"file": record["file"], **row} if combined else row)
    return text.getvalue()


def write_text(dst: Location, token: str, text: str, cwd: str | None = None) -> None:
    if dst == STDIO:
        try:
            sys.stdout.write(text)
            sys.stdout.flush()
        except OSError as e:
            raise FileError(f"cannot write to standard output: {e.strerror or e}") from None
        return

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(text)

    replace_atomically(dst, token, write, cwd)


# --- the streaming gate -------------------------------------------------------------


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


def stream_gains(x: FloatArray, out: FloatArray, kept: BoolArray, attenuation: float) -> FloatArray:
    """The gain each sample got, read back as out / x; samples that cannot tell
    (zero or non-finite) take the gain of the nearest earlier sample that can."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        valid = np.isfinite(x) & (x != 0) & np.isfinite(out)
    if not valid.any():
        return np.where(kept, np.float32(1.0), np.float32(attenuation)).astype(np.float32)
    index = np.where(valid, np.arange(len(x)), 0)
    np.maximum.accumulate(index, out=index)
    first = int(np.argmax(valid))
    index[:first] = first
    return (out[index] / x[index]).astype(np.float32)


# --- one job ------------------------------------------------------------------------


def process(job: Job, checkpoint: Checkpoint = go_on) -> Outcome:
    """Runs one job; every failure tied to the file is in the outcome, not raised."""
    outcome = Outcome(src=job.name, to_stdout=job.dst == STDIO)
    try:
        run_job(job, outcome, checkpoint)
    except FileError as e:
        outcome.error = f"{job.name}: {e}"
    except (KeyboardInterrupt, SystemExit):
        raise
    except MemoryError:
        outcome.error = f"{job.name}: not enough memory"
    except BaseException as e:  # one file must not end a folder run, even on the gate's internal error
        outcome.error = f"{job.name}: {type(e).__name__}: {e}"
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


def gate_blocks(
    f: sf.SoundFile, mix: FloatArray, view: Analysis, every_channel: bool, checkpoint: Checkpoint
) -> Iterator[FloatArray]:
    """The gated audio: each channel (or the mix) times the analysis's gains."""
    if not every_channel:
        for a in range(0, len(mix), BLOCK):
            checkpoint()
            b = min(len(mix), a + BLOCK)
            gains = view.gains_part(a, b)
            yield np.multiply(mix[a:b], gains, out=gains)
        return
    a = 0
    for block in read_blocks(f):
        checkpoint()
        b = a + len(block)
        if b > len(mix):
            raise FileError("the file grew longer when read again")
        yield np.multiply(block, view.gains_part(a, b)[:, np.newaxis], out=block)
        a = b


def cut_blocks(
    f: sf.SoundFile, mix: FloatArray, pieces: list[Piece], every_channel: bool, checkpoint: Checkpoint
) -> Iterator[FloatArray]:
    """The cut audio, step by step, long copies in blocks."""
    reread = Reread(f) if every_channel else None

    def frames(a: int, b: int) -> FloatArray:
        return reread.frames(a, b) if reread is not None else mix[a:b]

    for kind, start, end, length in cut_steps(pieces):
        checkpoint()
        if kind == "copy":
            for a in range(start, end, BLOCK):
                yield frames(a, min(end, a + BLOCK))
        else:  # start is the tail fading out, end the head fading in
            yield crossfade(frames(start, start + length), frames(end, end + length))


def chunk_len(job: Job, rate: int) -> int:
    assert job.stream_ms is not None
    return max(1, ms_to_samples(rate, job.stream_ms))


def seconds_text(seconds: float) -> str:
    return f"{seconds:.2f} s"


def run_job(job: Job, outcome: Outcome, checkpoint: Checkpoint) -> None:
    started = time.perf_counter()
    notes, warnings = outcome.notes, outcome.warnings
    with open_source(job, checkpoint) as f:
        rate, channels = f.samplerate, f.channels
        mix, stats = read_mix(f, checkpoint)
        if stats.nonfinite:
            found = f"{stats.nonfinite} NaN or infinite samples, the first at {stats.first_bad / rate:.3f} s"
            if job.strict:
                raise FileError(f"{found} (--strict)")
            notes.append(f"{job.name}: {found}, replaced by 0.0")
        checkpoint()
        n = len(mix)
        settings = resolve_settings(job.settings, rate)
        try:
            view = analyse(mix, rate, **settings)
        except ValueError as e:  # threshold limits out of order once durations are windows
            raise FileError(str(e)) from None
        every_channel = channels > 1 and not job.mono
        stream_kept: BoolArray | None = None
        stream_out: FloatArray | None = None
        new_length = None
        where: Location | None = job.dst
        if job.command == "mask":
            regions = [(r.start, r.end) for r in view.regions] if n else []
            record = {"file": job.name, "sample_rate": rate, "samples": n, "regions": region_rows(regions, rate)}
            outcome.record = record
            if job.dst is not None:
                write_text(job.dst, job.token, format_records([record], job.fmt or "csv", combined=False), job.cwd)
        else:
            if job.command == "gate" and job.stream_ms is not None:
                if every_channel:
                    notes.append(f"{job.name}: the streaming gate takes one channel: "
                                 f"{channels} channels mixed down to mono")
                    every_channel = False
                step = chunk_len(job, rate)
                stream_out = stream_gate(mix, rate, settings, step, checkpoint)
                stream_kept = stream_keep_mask(mix, rate, settings, step, checkpoint)
                out_blocks: Callable[[], Iterator[FloatArray]] = lambda: (  # noqa: E731
                    stream_out[a : a + BLOCK] for a in range(0, n, BLOCK)
                )
            elif job.command == "gate":
                out_blocks = lambda: gate_blocks(f, mix, view, every_channel, checkpoint)  # noqa: E731
            else:
                runs = [(r.start, r.end) for r in view.regions] if n else []
                pieces = plan_cut(runs, n, rate, round_samples(job.keep_pause, rate),
                                  round_samples(job.crossfade, rate))
                new_length = output_length(pieces)
                out_blocks = lambda: cut_blocks(f, mix, pieces, every_channel, checkpoint)  # noqa: E731
            where = write_audio(job, f, rate, channels if every_channel else 1, lambda: peak_of(f, mix), out_blocks,
                                notes)
    elapsed = time.perf_counter() - started

    if stream_kept is not None:
        kept_samples = int(np.count_nonzero(stream_kept))
        region_count = count_runs(stream_kept)
    else:
        kept_samples = sum(r.end - r.start for r in view.regions) if n else 0
        region_count = len(view.regions) if n else 0
    if n and kept_samples == 0:
        if job.command == "cut":
            warnings.append(f"{job.name}: nothing kept (threshold {format_db(view.threshold)}); "
                            f"wrote the first {seconds_text((new_length or 0) / rate)} unchanged")
        else:
            warnings.append(f"{job.name}: nothing kept (threshold {format_db(view.threshold)}); "
                            "lower --base-thresh or --threshold-ratio to keep quieter speech")
    if view.clamped == "high" and stream_kept is None:
        wanted = view.noise_floor * settings["threshold_ratio"]
        warnings.append(
            f"{job.name}: the noise floor ({format_db(view.noise_floor)}) asks for a threshold of "
            f"{format_db(wanted)}, above --max-thresh ({format_db(view.threshold)}), so noise louder than "
            f"--max-thresh counts as voice; if the recording is that noisy, raise it "
            f"(--max-thresh {math.ceil(gain_to_db(wanted))}dB)"
        )

    if job.plot is not None:
        checkpoint()
        from talvane_rs._plot import plot_analysis

        title = f"{job.name}, {describe(job)}"
        gains: Callable[[int, int], FloatArray] = view.gains_part
        if job.command != "gate":
            gains = None  # type: ignore[assignment]
        elif stream_out is not None and stream_kept is not None:
            full = stream_gains(mix, stream_out, stream_kept, settings["attenuation"])
            gains = lambda a, b: full[a:b]  # noqa: E731
        fig = plot_analysis(mix, view, title, gains=gains, kept=stream_kept, settings=settings)
        checkpoint()
        plot = job.plot
        replace_atomically(plot, job.token, lambda tmp: fig.savefig(tmp, format=plot.suffix[1:].lower()), job.cwd)

    seconds = n / rate
    share = kept_samples / n if n else 0.0
    speed = f"{seconds / elapsed:,.0f}x" if elapsed > 0 and n else "-"
    noun = "region" if region_count == 1 else "regions"
    length = seconds_text(seconds)
    if new_length is not None:
        length += f" -> {seconds_text(new_length / rate)}"
    levels = "" if stream_kept is not None else (
        f"noise floor {format_db(view.noise_floor)}, threshold {format_db(view.threshold)}, "
    )
    target = "" if where is None else f" -> {'standard output' if where == STDIO else where}"
    outcome.summary = (
        f"{job.name}: {length}, kept {share:.1%} in {region_count} {noun}, {levels}"
        f"{speed} real time, {describe(job)}{target}"
    )


def round_samples(seconds: float, rate: int) -> int:
    return ms_to_samples(rate, seconds * 1000.0)


def count_runs(flags: BoolArray) -> int:
    if len(flags) == 0:
        return 0
    return int(np.count_nonzero(flags[1:] & ~flags[:-1])) + int(flags[0])


def describe(job: Job) -> str:
    if job.stream_ms is not None:
        return f"streaming gate, {job.stream_ms:g} ms chunks"
    if job.command == "cut" and (job.keep_pause or job.crossfade):
        return f"cut (pauses {job.keep_pause * 1000:g} ms, crossfades {job.crossfade * 1000:g} ms)"
    return {"gate": "gated", "cut": "cut", "mask": "mask"}[job.command]
