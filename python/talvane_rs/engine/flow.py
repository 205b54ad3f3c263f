"""One file through the gate: the input is opened (a file, a pipe or a URL), the
job's action decides on its mono mix and writes its result, and what it did
becomes warnings, a plot and one summary line.

Every failure tied to the file ends in the outcome, never raised, so that one
file cannot end a folder run.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from talvane_rs.actions.base import Context, Done, Span
from talvane_rs.band import band_label
from talvane_rs.engine.jobs import Job, Outcome
from talvane_rs.errors import Blocking, Checkpoint, FileError, go_on, never_stops
from talvane_rs.io.storage import STDIO, Location
from talvane_rs.sentences import below_floor_advice, clamped_advice, kept_phrase, levels_phrase, preset_phrase
from talvane_rs.units import format_db, seconds_text

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def process(job: Job, checkpoint: Checkpoint = go_on, blocking: Blocking = never_stops) -> Outcome:
    """Runs one job; every failure tied to the file is in the outcome, not raised.
    checkpoint is called between steps (raising there stops the job); blocking
    is entered around waits for input that a stop should end."""
    outcome = Outcome(src=job.name, to_stdout=job.dst == STDIO)
    try:
        run_job(job, outcome, checkpoint, blocking)
    except FileError as e:
        outcome.error = f"{job.name}: {e}"
    except (KeyboardInterrupt, SystemExit):
        raise
    except MemoryError:
        outcome.error = f"{job.name}: not enough memory"
    except BaseException as e:  # one file must not end a folder run, even on the gate's internal error
        outcome.error = f"{job.name}: {type(e).__name__}: {e}"
    return outcome


def run_job(job: Job, outcome: Outcome, checkpoint: Checkpoint, blocking: Blocking) -> None:
    started = time.perf_counter()
    done = job.action.perform(Context(job, checkpoint, blocking, outcome.notes, outcome.warnings))
    elapsed = time.perf_counter() - started
    outcome.record = done.record
    outcome.warnings.extend(warnings(job, done))
    if job.plot is not None and done.draw is not None:
        checkpoint()
        check_plot_range(job.plot_range, done.samples, done.rate)
        draw(job, job.plot, done.draw, checkpoint, done.rate)
    outcome.summary = summary_line(job, done, elapsed)


def warnings(job: Job, done: Done) -> list[str]:
    """A file with nothing kept, a threshold clamped below the noise, and a fixed
    threshold below the noise floor."""
    found = []
    fixed = job.settings.fixed_threshold
    if done.samples and done.kept == 0:
        found.append(f"{job.name}: nothing kept (threshold {format_db(done.threshold)}); "
                     f"{job.action.nothing_kept(done, fixed)}")  # fmt: skip
    levels = done.levels
    floor = done.noise_floor if levels is None else levels.noise_floor
    if fixed and floor > done.threshold:
        found.append(f"{job.name}: {below_floor_advice(floor, done.threshold)}")
    if levels is not None and levels.clamped == "high" and not fixed:
        advice = clamped_advice(levels.clamped, levels.noise_floor, levels.threshold, levels.ratio)
        found.append(f"{job.name}: {advice}")
    return found


def check_plot_range(span: Span, samples: int, rate: int) -> None:
    """Refuses a --plot-range that starts at or after the end of the recording; one
    that overlaps it is drawn clipped to it."""
    if span is not None and span[0] * rate >= samples:
        raise FileError(f"no plot: --plot-range starts at {span[0]:g} s, at or after the end of the recording "
                        f"({samples / rate:.2f} s long)")


def draw(job: Job, plot: Location, picture: Callable[[str, Span], Figure], checkpoint: Checkpoint,
         done_rate: int | None = None) -> None:  # fmt: skip
    from talvane_rs.io.atomic import replace_atomically

    band = job.settings.band
    reads = "" if band is None or done_rate is None else f", band {band_label(band, done_rate)}"
    fig = picture(f"{job.name}, {job.action.describe()}{reads}", job.plot_range)
    checkpoint()
    replace_atomically(plot, job.token, lambda tmp: fig.savefig(tmp, format=plot.suffix[1:].lower()), job.cwd)


def summary_line(job: Job, done: Done, elapsed: float) -> str:
    n, rate = done.samples, done.rate
    seconds = n / rate
    speed = f"{seconds / elapsed:,.0f}x" if elapsed > 0 and n else "-"
    length = seconds_text(seconds)
    if done.new_length is not None:
        length += f" -> {seconds_text(done.new_length / rate)}"
    parts = [f"{job.name}: {length}", kept_phrase(done.kept, n, done.regions)]
    if done.levels is not None:
        parts.append(levels_phrase(done.levels.noise_floor, done.levels.threshold))
    if job.preset is not None:
        parts.append(preset_phrase(job.preset, job.settings))
    if job.settings.band is not None:
        parts.append(f"band {band_label(job.settings.band, rate)}")
    target = "" if done.where is None else f" -> {'standard output' if done.where == STDIO else done.where}"
    if done.where is not None and done.where == job.dst and job.replaces:
        target += " (replaced)"
    return ", ".join([*parts, f"{speed} real time", f"{done.what or job.action.describe()}{target}"])
