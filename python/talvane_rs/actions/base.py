"""What an action is: the options the command line offers for it, what it does
to one file once the input is open, what it writes, and what its summary says.

An action is a small frozen record (its options) with a few methods; a job
carries one to whoever runs it, so it must pickle. Its module imports nothing
beyond the standard library at the top: the command line reads the actions'
options before it knows that NumPy and soundfile are there.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, ClassVar, Protocol

from talvane_rs.errors import Blocking, Checkpoint, FileError
from talvane_rs.io.storage import Location
from talvane_rs.params import GateSettings, Stage
from talvane_rs.sentences import nonfinite_phrase

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import soundfile as sf
    from matplotlib.figure import Figure

    from talvane_rs.analysis import Analysis
    from talvane_rs.io.atomic import Target
    from talvane_rs.io.frames import Stats

    FloatArray = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Option:
    """One command-line option of an action, as argparse takes it; dest is the
    field of the action it sets (None: the first long flag's name)."""

    flags: tuple[str, ...]
    help: str
    dest: str | None = None
    type: Callable[[str], Any] | None = None
    default: Any = None
    metavar: str | None = None
    flag: bool = False  # takes no value: true when given
    choices: tuple[str, ...] | None = None


Span = tuple[float, "float | None"] | None  # a stretch in seconds, its end None for the recording's end


class JobView(Protocol):
    """What an action reads of the job it runs for (a jobs.Job)."""

    @property
    def name(self) -> str: ...  # the source as messages name it
    @property
    def src(self) -> Location: ...
    @property
    def plot(self) -> Location | None: ...
    @property
    def plot_range(self) -> Span: ...
    @property
    def dst(self) -> Location | None: ...
    @property
    def settings(self) -> GateSettings: ...
    @property
    def token(self) -> str: ...
    @property
    def fmt(self) -> str | None: ...
    @property
    def strict(self) -> bool: ...
    @property
    def cwd(self) -> str | None: ...
    @property
    def no_fallback(self) -> str | None: ...
    def target(self, dst: Location) -> Target: ...
    def local(self, path: Path) -> Path: ...


@dataclass
class Context:
    """What an action is given to do its job's work."""

    job: JobView
    checkpoint: Checkpoint  # called between steps; raising there stops the job
    blocking: Blocking  # entered around a wait for input that a stop should end
    notes: list[str]
    warnings: list[str]


@dataclass
class Source(Context):
    """A job's open input, as an action that reads it whole gets it."""

    file: sf.SoundFile = None

    @property
    def rate(self) -> int:
        return int(self.file.samplerate)

    @property
    def channels(self) -> int:
        return int(self.file.channels)


@dataclass
class Decision:
    """The mono mix of a whole file and the analysis of it."""

    mix: FloatArray
    settings: GateSettings  # durations resolved to windows
    view: Analysis


@dataclass(frozen=True)
class Levels:
    """What set the one decision of a file: its noise floor and its threshold, and
    which limit clamped the threshold, for the summary and the warnings."""

    noise_floor: float
    threshold: float
    clamped: str | None
    ratio: float  # what the floor was multiplied by


@dataclass
class Done:
    """What an action did to one file: for its warnings, plot and summary."""

    samples: int  # frames of the input
    rate: int
    kept: int  # samples
    regions: int
    threshold: float  # the threshold (a stream's last), for a file with nothing kept
    levels: Levels | None = None  # None when no one decision made it (the streaming gate's)
    new_length: int | None = None  # samples written, when not the input's
    where: Location | None = None  # the output, if any
    draw: Callable[[str, Span], Figure] | None = None  # the picture of what was done, given its title and stretch
    what: str | None = None  # how the summary names what was done, when not the action's description
    record: dict[str, Any] | None = None  # what goes back in the outcome (the regions of mask)
    noise_floor: float = math.nan  # a stream's last noise floor; a file's is in levels


class Action:
    """The base of every action; subclasses are frozen dataclasses of their options."""

    name: ClassVar[str]  # the command
    tag: ClassVar[str]  # in the names of outputs named for you: talk.gated.wav
    description: ClassVar[str]
    examples: ClassVar[str]
    output_help: ClassVar[str]  # what -o names
    stages: ClassVar[frozenset[Stage]]  # which of the gate parameters it takes
    output_options: ClassVar[tuple[Option, ...]] = ()  # shown right after -o
    options: ClassVar[tuple[Option, ...]] = ()  # shown after the options every action has
    writes_folder: ClassVar[bool] = False  # its output for each source is a folder of files
    overwrite_help: ClassVar[str] = (
        "allow an output to replace an input file, or split to replace an earlier dataset in its folder; any other "
        "existing output is replaced anyway, atomically, and the summary says so"
    )

    @staticmethod
    def conflict(values: Mapping[str, Any]) -> str | None:
        """What the options given (by field name) cannot do together, or None."""
        return None

    @classmethod
    def from_options(cls, values: Mapping[str, Any]) -> Action:
        """The action with the options found in values (by field name); the rest keep their defaults."""
        return with_options(cls, values)

    def describe(self) -> str:
        """How the summary line names what was done."""
        return self.name

    # Planning: how the outputs of a run are named and checked.

    def choose_format(self, fmt: str | None, output: Location | None) -> str | None:
        """The format the run writes in, from --format and the output's name."""
        return fmt

    def combined_output(self, output: Location | None, output_folder: bool, fmt: str | None, several: bool) -> (
            Location | None):  # fmt: skip
        """The one output a run of a folder or several files (several) writes from all
        the files' records, given its -o (None: -o was not given), if any; raises
        UsageError for an output that can be neither that nor a folder."""
        return None

    def default_suffix(self, src: Location, fmt: str | None) -> str:
        raise NotImplementedError

    def fallback(self, dst: Location) -> Location | None:
        """Where the result goes should dst's format fail to be written; None: nowhere."""
        return None

    def check_output(self, dst: Location, fmt: str | None) -> None:
        """Raises ValueError for an output this action cannot write."""

    def check_shared_folder(self, sources: int) -> None:
        """Raises UsageError when this many sources cannot write into one folder."""

    # An action that writes a folder of files per source (writes_folder) keeps the
    # folder of its combined output whole, however the run ends.

    def check_earlier(self, combined: Location, overwrite: bool) -> None:
        """Raises UsageError when the combined output's folder holds an earlier run's
        results that only overwrite may replace."""

    def claim_names(self, jobs: Sequence[JobView]) -> list[tuple[str | None, str | None]]:
        """For each job, why it cannot run (its files' names meet those of an earlier
        job) and why it has no WAV fallback; None for each that is not so."""
        return [(None, None) for _ in jobs]

    def begin(self, jobs: Sequence[JobView], combined: Location, overwrite: bool) -> tuple[Any, list[str]]:
        """Readies the folder before the jobs run; what settle() is given, and notes."""
        return None, []

    # Running: one file.

    def perform(self, context: Context) -> Done:
        """Opens the input, decides on its mono mix as a whole, and applies the decision."""
        from talvane_rs.io.read import open_source

        job = context.job
        with open_source(job.src, job.cwd, context.checkpoint, context.blocking) as f:
            source = Source(job, context.checkpoint, context.blocking, context.notes, context.warnings, f)
            return self.apply(source, decide(source))

    def apply(self, source: Source, decision: Decision) -> Done:
        raise NotImplementedError

    def nothing_kept(self, done: Done, fixed: bool = False) -> str:
        """What the warning for a file with nothing kept suggests; fixed: the
        threshold was given as one level (--threshold)."""
        if fixed:
            return "lower --threshold to keep quieter speech"
        return "lower --base-thresh or --threshold-ratio to keep quieter speech"

    def write_combined(self, target: Location, fmt: str, token: str, records: list[dict[str, Any]]) -> None:
        """Writes the records of a folder's files as one output (see combines)."""
        raise NotImplementedError


def with_options(cls: type[Action], values: Mapping[str, Any]) -> Action:
    """An action of class cls with the options found in values."""
    fields = {f.name for f in dataclasses.fields(cls)}  # type: ignore[arg-type]
    return cls(**{k: v for k, v in values.items() if k in fields})


def decide(source: Source) -> Decision:
    """Reads the mono mix of the whole file and analyses it."""
    from talvane_rs.analysis import analyse_settings
    from talvane_rs.io.frames import declared_frames, read_mix, truncation

    job, rate = source.job, source.rate
    mix, stats = read_mix(source.file, source.checkpoint)
    short = truncation(declared_frames(source.file), len(mix), rate)
    if short is not None:
        source.notes.append(f"{job.name}: {short}")
    if stats.nonfinite:
        if job.strict:
            raise FileError(f"{nonfinite_found(stats, rate)} (--strict)")
        source.notes.append(f"{job.name}: {nonfinite_found(stats, rate)}, replaced by 0.0")
    source.checkpoint()
    settings = job.settings.resolved(rate)
    try:
        view = analyse_settings(mix, rate, settings)
    except ValueError as e:  # threshold limits out of order once durations are windows
        raise FileError(str(e)) from None
    return Decision(mix, settings, view)


def nonfinite_found(stats: Stats, rate: int) -> str:
    """What the read found of NaN and infinite samples, for a note or an error."""
    return nonfinite_phrase(stats.nonfinite, stats.first_bad, rate)


def regions_done(
    source: Source, decision: Decision, gains: Callable[[int, int], FloatArray] | None = None, **rest: Any
) -> Done:
    """A Done whose kept samples are the analysis's regions; its picture shows the
    analysis, and the gain curve when given."""
    view, n, settings = decision.view, len(decision.mix), decision.settings
    kept = sum(r.end - r.start for r in view.regions) if n else 0
    levels = Levels(view.noise_floor, view.threshold, view.clamped, view.ratio)

    def draw(title: str, span: Span) -> Figure:
        from talvane_rs.plot import plot_analysis

        samples = None if span is None else (round(span[0] * source.rate),
                                              n if span[1] is None else round(span[1] * source.rate))  # fmt: skip
        return plot_analysis(decision.mix, view, title, gains=gains, settings=settings, span=samples)

    return Done(n, source.rate, kept, len(view.regions) if n else 0, view.threshold, levels, draw=draw, **rest)
