"""Types of the analysis module; talvane_rs.analyse is its interface."""

from typing import Any

def analyse(
    data: Any,
    sample_rate: Any,
    enabled: Any,
    window_ms: Any,
    base_thresh: Any,
    threshold_ratio: Any,
    max_thresh: Any,
    smooth_alpha: Any,
    min_voice_windows: Any,
    attenuation: Any,
    noise_floor_percentile: Any,
    max_silence_gap_windows: Any,
    fade_ms: Any,
    stream_context_ms: Any,
    pad_voice_windows: Any,
    pass_windows: Any,
) -> tuple[int, Any, Any, float, float, Any, Any, Any, int, object]: ...
def mask(view: object) -> Any: ...
def gains(view: object) -> Any: ...
def gains_part(view: object, start: Any, stop: Any) -> Any: ...
def runs(view: object) -> list[tuple[int, int]]: ...
def band_filter(samples: Any, sample_rate: Any, low_hz: Any, high_hz: Any) -> Any: ...

class BandFilter:
    def __new__(cls, sample_rate: Any, low_hz: Any, high_hz: Any) -> BandFilter: ...
    def process(self, chunk: Any) -> Any: ...
    def reset(self) -> None: ...
