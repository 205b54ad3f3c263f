"""Units as people write them and as the gate counts them: levels in dB and dBFS,
durations in ms and s, and the rounding of milliseconds to whole samples.

Each parser takes the text of one option value and returns the value, or raises
argparse.ArgumentTypeError with the range it expected; argparse turns that into
a one-line usage error (exit status 2).
"""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable
from dataclasses import dataclass

U64_MAX = 2**64 - 1

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?|[-+]?inf"
_DB = re.compile(rf"\s*({_NUMBER})\s*db(?:fs)?\s*", re.IGNORECASE)  # dB, or dBFS for a level
_DURATION = re.compile(rf"\s*({_NUMBER})\s*(ms|s)\s*", re.IGNORECASE)


def _invalid(text: str, expected: str) -> argparse.ArgumentTypeError:
    return argparse.ArgumentTypeError(f"invalid value {text!r}: expected {expected}")


def _number(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return None if math.isnan(value) else value


def db_to_gain(db: float) -> float:
    """Decibels to an amplitude ratio: 20 log10 of it, so -6 dB is about 0.5."""
    return 0.0 if db == -math.inf else 10.0 ** (db / 20.0)


def gain_to_db(gain: float) -> float:
    return 20.0 * math.log10(gain) if gain > 0 else -math.inf


def format_db(gain: float) -> str:
    db = gain_to_db(gain)
    return "-inf dBFS" if db == -math.inf else f"{db:.1f} dBFS"


def level(name: str, allow_inf: bool = False) -> Callable[[str], float]:
    """A level or ratio of at least 0, or dB (relative to full scale 1.0 for a level)."""

    def parse(text: str) -> float:
        match = _DB.fullmatch(text)
        value = db_to_gain(float(match[1])) if match else _number(text)
        if value is None or not value >= 0 or (math.isinf(value) and not allow_inf):
            most = " (or inf)" if allow_inf else ""
            raise _invalid(text, f"{name} of at least 0{most}, or dB such as -42dB")
        return value

    return parse


def parse_gain(text: str) -> float:
    """A gain from 0 to 1, or dB up to 0 (-inf dB is 0)."""
    match = _DB.fullmatch(text)
    value = db_to_gain(float(match[1])) if match else _number(text)
    if value is None or not 0.0 <= value <= 1.0:
        raise _invalid(text, "a gain from 0 to 1, or dB up to 0 such as -20dB")
    return value


def bounded(low: float, high: float, what: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = _number(text)
        if value is None or not low <= value <= high:
            raise _invalid(text, f"{what} from {low:g} to {high:g}")
        return value

    return parse


def _switch(text: str, expected: str) -> bool:
    value = text.strip().lower()
    if value in ("true", "yes", "on", "1"):
        return True
    if value in ("false", "no", "off", "0"):
        return False
    raise _invalid(text, expected)


def parse_bool(text: str) -> bool:
    return _switch(text, "true or false")


def parse_on_off(text: str) -> bool:
    """As parse_bool, for an option whose help shows on|off: its error names those."""
    return _switch(text, "on or off")


def _seconds(text: str) -> float | None:
    """The seconds of '300ms' or '0.5s', else None."""
    match = _DURATION.fullmatch(text)
    if not match:
        return None
    value = float(match[1]) / (1000.0 if match[2].lower() == "ms" else 1.0)
    return value if math.isfinite(value) else None


def milliseconds(least: int, most: int = U64_MAX) -> Callable[[str], int]:
    """Whole milliseconds from least to most: a number of ms, or a duration such as 20ms or 0.5s."""

    def parse(text: str) -> int:
        seconds = _seconds(text)
        value = seconds * 1000.0 if seconds is not None else _number(text)
        if value is None or not least <= value <= most or value != round(value):
            span = f"of at least {least}" if most == U64_MAX else f"from {least} to {most}"
            raise _invalid(text, f"a whole number of ms {span}, or a duration such as 20ms or 0.5s")
        return int(round(value))

    return parse


def parse_chunk(text: str) -> float:
    """Chunk length in ms, above 0: a number of ms, or a duration."""
    seconds = _seconds(text)
    value = seconds * 1000.0 if seconds is not None else _number(text)
    if value is None or not (value > 0 and math.isfinite(value)):
        raise _invalid(text, "a number of ms above 0, or a duration such as 20ms")
    return value


@dataclass(frozen=True)
class Duration:
    """A time given where a count of windows or samples is wanted; it becomes
    one once the file's sample rate is known."""

    seconds: float
    text: str

    def samples(self, rate: int) -> int:
        """Whole samples at rate: halves away from zero, as the gate counts ms."""
        return round_half_up(self.seconds * float(rate))

    def windows(self, rate: int, window_ms: int) -> int:
        """Whole windows of window_ms at rate, to the nearest (halves up); a
        window is round(rate * window_ms / 1000) samples, at least 1."""
        window = max(1, round_half_up(float(rate) * float(window_ms) / 1000.0))
        return round_half_up(self.seconds * float(rate) / window)


def round_half_up(value: float) -> int:
    whole = math.floor(value)
    return int(whole + (value - whole >= 0.5))


def ms_to_samples(rate: int, ms: float) -> int:
    """Milliseconds to whole samples as the gate counts them: in doubles, halves away from zero."""
    exact = float(rate) * float(ms) / 1000.0
    whole = math.floor(exact)
    return int(whole + (exact - whole >= 0.5))


def seconds_to_samples(seconds: float, rate: int) -> int:
    """A duration in seconds as whole samples, counted as the gate counts milliseconds."""
    return ms_to_samples(rate, seconds * 1000.0)


def seconds_text(seconds: float) -> str:
    return f"{seconds:.2f} s"


# The longest duration taken for a count of windows. A window of at least 1 ms is
# at least rate / 2000 samples long (rounded) and at least 1, so a duration of s
# seconds is at most 2000 * s windows at any rate: this many still fit 64 bits.
MAX_WINDOWS_SECONDS = 9e15


def parse_windows(text: str) -> int | Duration:
    """A whole number of windows, or a duration such as 300ms or 0.5s."""
    seconds = _seconds(text)
    if seconds is not None and 0 <= seconds <= MAX_WINDOWS_SECONDS:
        return Duration(seconds, text.strip())
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= U64_MAX:
        raise _invalid(text, f"a whole number of windows from 0 to {U64_MAX}, or a duration from 0 to "
                             "9e15 s such as 300ms or 0.5s")  # fmt: skip
    return value


def parse_duration(text: str) -> float:
    """A duration of at least 0, in seconds: a number of ms, or a number with ms or s."""
    seconds = _seconds(text)
    if seconds is None:
        number = _number(text)
        seconds = None if number is None or math.isinf(number) else number / 1000.0
    if seconds is None or seconds < 0:
        raise _invalid(text, "a duration of at least 0: ms, or a number with ms or s such as 200ms or 0.2s")
    return seconds


def parse_range(text: str) -> tuple[float, float | None]:
    """A stretch START-END in seconds: each a number of seconds or a duration with
    ms or s (90-120, 1.5s-2s, 500ms-1s); END may be left out (90-: to the end)."""
    start_text, dash, end_text = text.strip().partition("-")

    def seconds(part: str) -> float | None:
        found = _seconds(part)
        if found is None:
            number = _number(part)
            found = None if number is None or math.isinf(number) else number
        return found

    start = seconds(start_text)
    end = seconds(end_text) if end_text.strip() else None
    if not dash or start is None or start < 0 or (end_text.strip() and (end is None or end <= start)):
        raise _invalid(text, "START-END, each in s or a duration with ms or s, END after START (90-120, 1m is 60s)")
    return start, end
