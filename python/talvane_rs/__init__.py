"""Energy-based voice gate for mono float32 audio.

``EnergyTalvane`` gates whole recordings (keep mask, gains with ramps, or the
silence cut out); ``StreamingEnergyTalvane`` gates a live stream chunk by chunk
with no delay. Both take the same fourteen parameters. ``keep_regions`` turns
a keep mask into its kept stretches.
"""

from talvane_rs._native import EnergyTalvane, StreamingEnergyTalvane
from talvane_rs.regions import Region, keep_regions

__version__ = "0.1.0"
__all__ = ["EnergyTalvane", "Region", "StreamingEnergyTalvane", "__version__", "keep_regions"]
