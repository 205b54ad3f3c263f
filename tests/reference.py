"""Independent float32 model of the voice gate, for bit-exact comparison in tests.

Plain per-element loops over numpy.float32 scalars: slow but easy to check by
eye. Every float32 step is one numpy scalar operation, so each result is
rounded to float32 before the next step uses it; integer counts are Python
ints, so nothing here can wrap.
"""

import dataclasses
import math

import numpy as np

f32 = np.float32
U64_MAX = 2**64 - 1
ZERO = f32(0.0)
ONE = f32(1.0)

FLOAT_FIELDS = (
    "base_thresh",
    "threshold_ratio",
    "max_thresh",
    "smooth_alpha",
    "attenuation",
    "noise_floor_percentile",
)
COUNT_FIELDS = (
    "window_ms",
    "min_voice_windows",
    "max_silence_gap_windows",
    "fade_ms",
    "stream_context_ms",
    "pad_voice_windows",
    "pass_windows",
)


@dataclasses.dataclass(frozen=True)
class Config:
    """The fourteen gate parameters, as the gate stores them."""

    enabled: bool = True
    window_ms: int = 10
    base_thresh: np.float32 = f32(0.008)
    threshold_ratio: np.float32 = f32(2.0)
    max_thresh: np.float32 = f32(0.035)
    smooth_alpha: np.float32 = f32(0.2)
    min_voice_windows: int = 5
    attenuation: np.float32 = f32(0.0)
    noise_floor_percentile: np.float32 = f32(20.0)
    max_silence_gap_windows: int = 8
    fade_ms: int = 5
    stream_context_ms: int = 3000
    pad_voice_windows: int = 2
    pass_windows: int = 0

    def __post_init__(self):
        with np.errstate(all="ignore"):
            for name in FLOAT_FIELDS:
                object.__setattr__(self, name, f32(getattr(self, name)))
        for name in COUNT_FIELDS:
            value = getattr(self, name)
            if not 0 <= value <= U64_MAX:
                raise ValueError(f"{name} out of range: {value}")
        object.__setattr__(self, "enabled", bool(self.enabled))

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    def kwargs(self):
        """Constructor keyword arguments that store exactly these values."""
        out = {}
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            out[field.name] = float(value) if field.name in FLOAT_FIELDS else value
        return out


# One-sample windows at 1000 Hz, each smoothed energy |x| (a weight of 1), the
# threshold pinned at 0.25 whatever the floor and no cleaning passes: sample i is
# kept when |x[i]| > 0.25. Tests that pin single decisions start from it.
PER_SAMPLE = Config(
    window_ms=1,
    smooth_alpha=1.0,
    base_thresh=0.25,
    max_thresh=0.25,
    min_voice_windows=0,
    max_silence_gap_windows=0,
    pad_voice_windows=0,
    pass_windows=0,
)


class ThresholdError(Exception):
    """The analysis refused threshold limits that are out of order or NaN."""


def _quiet(fn):
    # Overflow to infinity and NaN results are part of the model, not warnings.
    def wrapper(*args, **kwargs):
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)

    wrapper.__name__ = fn.__name__
    wrapper.__doc__ = fn.__doc__
    return wrapper


def as_samples(data):
    """The samples as a list of float32 scalars."""
    return list(np.asarray(data, dtype=np.float32))


# --- lengths -----------------------------------------------------------------


def ms_to_samples(rate, ms):
    """round(rate * ms / 1000) in double, halves away from zero, saturating."""
    q = float(rate) * float(ms) / 1000.0
    if math.isnan(q):
        return 0
    if q >= 2.0**64:
        return U64_MAX
    whole = math.floor(q)
    # q is never negative; q - floor(q) is exact, so the tie test is too.
    return whole + 1 if q - whole >= 0.5 else whole


def window_len(cfg, rate):
    return max(1, ms_to_samples(rate, cfg.window_ms))


def fade_len(cfg, rate):
    return ms_to_samples(rate, cfg.fade_ms)


def context_limit(cfg, rate):
    return max(1, ms_to_samples(rate, cfg.stream_context_ms))


# --- analysis ----------------------------------------------------------------


def window_bounds(n_samples, w):
    """(start, stop) of each window of length w over n_samples samples."""
    return [(start, min(n_samples, start + w)) for start in range(0, n_samples, w)]


@_quiet
def window_energies(x, w):
    energies = []
    for start, stop in window_bounds(len(x), w):
        acc = ZERO
        for v in x[start:stop]:
            acc = acc + v * v
        energies.append(np.sqrt(acc / f32(stop - start)))
    return energies


@_quiet
def smooth(energies, alpha):
    if not energies:
        return []
    keep = ONE - alpha
    running = energies[0]
    out = []
    for e in energies:
        running = keep * running + alpha * e
        out.append(running)
    return out


def total_order_key(v):
    """Integer key that sorts float32 values in IEEE totalOrder."""
    bits = int(f32(v).view(np.int32))
    return bits ^ 0x7FFFFFFF if bits < 0 else bits


@_quiet
def noise_floor(smoothed, percentile):
    n = len(smoothed)
    if n == 0:
        return ZERO
    if n == 1:
        return smoothed[0]
    ordered = sorted(smoothed, key=total_order_key)
    p = f32(percentile)
    if p < 0:
        p = f32(0.0)
    if p > 100:
        p = f32(100.0)
    r = float(n - 1) * float(p) / 100.0
    if math.isnan(r):
        lo = hi = 0
    else:
        lo, hi = math.floor(r), math.ceil(r)
    if lo == hi:
        return ordered[lo]
    frac = f32(r - lo)
    return ordered[hi] * frac + (ONE - frac) * ordered[lo]


def format_f32(v):
    """Shortest round-trip text of a float32, as the threshold message shows it."""
    v = f32(v)
    if np.isnan(v):
        return "NaN"
    sign = "-" if np.signbit(v) else ""
    a = abs(v)
    if np.isinf(a):
        return sign + "inf"
    if a != 0 and (a < f32(1e-4) or a >= f32(1e16)):
        text = np.format_float_scientific(a, unique=True, trim="-", exp_digits=1)
        return sign + text.replace("e+", "e")
    return sign + np.format_float_positional(a, unique=True, trim="0")


def check_limits(cfg):
    if not cfg.base_thresh <= cfg.max_thresh:
        raise ThresholdError(
            "min > max, or either was NaN. min = "
            f"{format_f32(cfg.base_thresh)}, max = {format_f32(cfg.max_thresh)}"
        )


@_quiet
def threshold(floor, cfg):
    t = floor * cfg.threshold_ratio
    if t < cfg.base_thresh:
        t = cfg.base_thresh
    if t > cfg.max_thresh:
        t = cfg.max_thresh
    return t


RULE_HIGH_PERCENTILE = 95.0


@_quiet
def noise_rule(smoothed, cfg):
    """(floor, high, ratio, threshold, clamped) of the noise-relative rule: the
    threshold follows the floor times the larger of threshold_ratio and the
    eighth root of high / floor, each value's root taken apart (three float32
    square roots); a floor of 0 or below, or a high not above the floor, keeps
    threshold_ratio; a NaN threshold becomes base_thresh; then the two limits."""
    floor = noise_floor(smoothed, cfg.noise_floor_percentile)
    high = noise_floor(smoothed, RULE_HIGH_PERCENTILE)
    ratio = cfg.threshold_ratio
    if floor > 0 and high > floor:
        root_high, root_floor = high, floor
        for _ in range(3):
            root_high, root_floor = np.sqrt(root_high), np.sqrt(root_floor)
        adaptive = root_high / root_floor
        if not ratio >= adaptive:
            ratio = adaptive
    t, clamped = floor * ratio, None
    if math.isnan(t) or t < cfg.base_thresh:
        t, clamped = cfg.base_thresh, "low"
    if t > cfg.max_thresh:
        t, clamped = cfg.max_thresh, "high"
    return floor, high, ratio, t, clamped


def runs(flags):
    """(value, start, stop) of each maximal run of equal flags."""
    out = []
    start = 0
    for i in range(1, len(flags) + 1):
        if i == len(flags) or flags[i] != flags[start]:
            out.append((flags[start], start, i))
            start = i
    return out


def drop_short_runs(voice, min_len):
    out = list(voice)
    for value, start, stop in runs(voice):
        if value and stop - start < min_len:
            out[start:stop] = [False] * (stop - start)
    return out


def fill_gaps(voice, max_gap):
    out = list(voice)
    if max_gap == 0:
        return out
    for value, start, stop in runs(voice):
        inner = start > 0 and stop < len(voice)
        if not value and inner and stop - start <= max_gap:
            out[start:stop] = [True] * (stop - start)
    return out


def pad(voice, width):
    """Set every window within width windows of a voice window."""
    n = len(voice)
    out = [False] * n
    last = None  # index of the nearest voice window at or before j
    for j in range(n):
        if voice[j]:
            last = j
        if last is not None and j - last <= width:
            out[j] = True
    following = None  # the nearest voice window at or after j
    for j in range(n - 1, -1, -1):
        if voice[j]:
            following = j
        if following is not None and following - j <= width:
            out[j] = True
    return out


def keep_pass_windows(padded, count):
    out = []
    c = 0
    for flag in padded:
        if flag:
            c = 0
            out.append(True)
        else:
            c += 1
            out.append(c <= count)
    return out


def stages(cfg, samples, rate, rule=None):
    """Window flags after the voice decision and after each pass, and W; rule
    "noise" takes the threshold from noise_rule."""
    x = as_samples(samples)
    w = window_len(cfg, rate)
    smoothed = smooth(window_energies(x, w), cfg.smooth_alpha)
    floor = noise_floor(smoothed, cfg.noise_floor_percentile)
    check_limits(cfg)
    t = threshold(floor, cfg) if rule is None else noise_rule(smoothed, cfg)[3]
    voice = [bool(s > t) for s in smoothed]
    pass1 = drop_short_runs(voice, cfg.min_voice_windows)
    pass2 = fill_gaps(pass1, cfg.max_silence_gap_windows)
    pass3 = pad(pass2, cfg.pad_voice_windows)
    pass4 = keep_pass_windows(pass3, cfg.pass_windows)
    return [voice, pass1, pass2, pass3, pass4], w


def keep_windows(cfg, samples, rate):
    """(flags, W): the final keep flag of each window and the window length."""
    flags, w = stages(cfg, samples, rate)
    return flags[-1], w


def keep_mask(cfg, samples, rate):
    """One keep flag per sample; empty input is not analysed."""
    x = as_samples(samples)
    if not x:
        return []
    flags, w = keep_windows(cfg, x, rate)
    return [flags[i // w] for i in range(len(x))]


def golden(flags):
    return "".join("X" if f else "." for f in flags)


# --- gains -------------------------------------------------------------------


@_quiet
def ramp(gains, fade, entry=None):
    """Ramped gains: a linear ramp of min(fade, samples left) samples after each
    change of gain, the later ramp winning; entry, when given, is the gain before
    sample 0. Only the latest ramp covering a sample matters, so this is one sweep.
    """
    gains = [f32(g) for g in gains]
    n = len(gains)
    out = list(gains)
    if fade < 2 or n == 0:
        return out
    current = None  # (start, old, delta, length) of the latest ramp
    if entry is not None and f32(entry) != gains[0]:
        current = (0, f32(entry), gains[0] - f32(entry), min(n, fade))
    for s in range(n):
        if s > 0 and gains[s] != gains[s - 1]:
            current = (s, gains[s - 1], gains[s] - gains[s - 1], min(n - s, fade))
        if current is not None and s - current[0] < current[3]:
            start, old, delta, length = current
            out[s] = old + delta * (f32(s - start + 1) / f32(length))
    return out


def _gain(cfg, keep):
    return ONE if keep else cfg.attenuation


def _array(values):
    return np.array(values, dtype=np.float32).reshape(-1)


@_quiet
def apply_list(cfg, samples, rate):
    """The list variant: per-sample gains from the keep mask, then ramps."""
    x = as_samples(samples)
    if not cfg.enabled or not x:
        return _array(x)
    gains = [_gain(cfg, m) for m in keep_mask(cfg, x, rate)]
    curve = ramp(gains, fade_len(cfg, rate))
    return _array([v * g for v, g in zip(x, curve)])


@_quiet
def apply_array(cfg, samples, rate):
    """The array variant: window flags written over zeros, ramps on window
    boundaries where the flag changes. The analysis runs also for empty input."""
    x = as_samples(samples)
    if not cfg.enabled:
        return _array(x)
    flags, w = keep_windows(cfg, x, rate)
    n = len(x)
    out = [ZERO] * n
    for j, (start, stop) in enumerate(window_bounds(n, w)):
        for s in range(start, stop):
            if flags[j]:
                out[s] = x[s]
            elif cfg.attenuation != 0:
                out[s] = x[s] * cfg.attenuation
    fade = fade_len(cfg, rate)
    if n > 0 and fade >= 2 and len(flags) >= 2:
        current = None  # (start, old, delta, length) of the latest ramp
        for j, (start, stop) in enumerate(window_bounds(n, w)):
            if j > 0 and flags[j] != flags[j - 1]:
                old = _gain(cfg, flags[j - 1])
                current = (start, old, _gain(cfg, flags[j]) - old, min(n - start, fade))
            for s in range(start, stop):
                if current is not None and s - current[0] < current[3]:
                    r0, old, delta, length = current
                    gain = old + delta * (f32(s - r0 + 1) / f32(length))
                    out[s] = gain * x[s]
    return _array(out)


def compact(cfg, samples, rate):
    """Kept samples in order; the first half second when nothing is kept."""
    x = as_samples(samples)
    if not x:
        return _array([])
    kept = [v for v, m in zip(x, keep_mask(cfg, x, rate)) if m]
    if not kept:
        kept = x[: min(rate // 2, len(x))]
    return _array(kept)


# --- streaming -----------------------------------------------------------------


class Stream:
    """Model of the streaming gate: stream_rate, context and last_gain."""

    def __init__(self, cfg):
        self.cfg = cfg
        self.reset()

    def reset(self):
        self.stream_rate = None
        self.context = []
        self.last_gain_ = None

    def context_len(self):
        return len(self.context)

    def last_gain(self):
        return None if self.last_gain_ is None else float(self.last_gain_)

    @_quiet
    def process_chunk(self, data, rate, is_last):
        """Gate one chunk. The new state is worked out aside and committed only
        after the analysis succeeded, so a refused configuration changes nothing."""
        cfg = self.cfg
        x = as_samples(data)
        context, last = self.context, self.last_gain_
        if self.stream_rate is None or self.stream_rate != rate:
            context, last = [], None
        if not x or not cfg.enabled:
            out = _array(x)
        else:
            combined = context + x
            mask = keep_mask(cfg, combined, rate)[len(context):]
            gains = [_gain(cfg, m) for m in mask]
            curve = ramp(gains, fade_len(cfg, rate), entry=last)
            out = _array([v * g for v, g in zip(x, curve)])
            context = combined[len(combined) - min(len(combined), context_limit(cfg, rate)):]
            last = curve[-1]
        self.stream_rate, self.context, self.last_gain_ = rate, context, last
        if is_last:
            self.reset()
        return out
