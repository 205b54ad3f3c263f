"""Energy-based voice gate for mono float32 audio.

``EnergyTalvane`` gates whole recordings (keep mask, gains with ramps, or the
silence cut out); ``StreamingEnergyTalvane`` gates a live stream chunk by chunk
with no delay. Both take the same fourteen parameters. ``keep_regions`` turns
a keep mask into its kept stretches, and ``analyse`` shows every intermediate
of a decision (energies, noise floor, threshold, voice and keep flags);
``cut`` cuts the dropped audio out with short pauses kept and crossfaded joins.
``band_filter`` and ``BandFilter`` give the signal a band (``"speech"``) keeps.
``stream_view(stream)`` shows what a stream's last call decided (floor,
threshold, kept samples, gains) as a ``StreamView``.
``Stream(sample_rate, band=..., on_event=...)`` is the class an application holds
per live stream: any dtype and channel count in and out, the band, and the
speech onsets and offsets of each chunk as ``Event`` tuples.
``run_folder`` does what the talvane command does to a file or a folder, in
this process, in local processes or on a Dask cluster, with paths or fsspec URLs.
"""

import importlib
from typing import TYPE_CHECKING, Any

from talvane_rs._version import __version__

if TYPE_CHECKING:
    from talvane_rs._analysis import Event, Stream, StreamView, stream_view
    from talvane_rs._native import EnergyTalvane, StreamingEnergyTalvane
    from talvane_rs.analysis import Analysis, analyse
    from talvane_rs.band import BandFilter, band_filter
    from talvane_rs.cutting import cut
    from talvane_rs.engine.execute import run_folder
    from talvane_rs.engine.jobs import Outcome
    from talvane_rs.regions import Region, keep_regions

# Each public name and the module it comes from, imported when first asked for,
# so that the command line starts without the extension and NumPy.
_HOMES = {
    "Analysis": "analysis", "analyse": "analysis",
    "BandFilter": "band", "band_filter": "band",
    "EnergyTalvane": "_native", "StreamingEnergyTalvane": "_native",
    "Event": "_analysis", "Stream": "_analysis", "StreamView": "_analysis", "stream_view": "_analysis",
    "Outcome": "engine.jobs", "run_folder": "engine.execute",
    "Region": "regions", "keep_regions": "regions",
    "cut": "cutting",
}  # fmt: skip


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOMES))


__all__ = [
    "Analysis",
    "BandFilter",
    "EnergyTalvane",
    "Event",
    "Outcome",
    "Region",
    "Stream",
    "StreamView",
    "StreamingEnergyTalvane",
    "__version__",
    "analyse",
    "band_filter",
    "cut",
    "keep_regions",
    "run_folder",
    "stream_view",
]
