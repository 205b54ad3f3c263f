"""Energy-based voice gate for mono float32 audio.

``EnergyTalvane`` gates whole recordings (keep mask, gains with ramps, or the
silence cut out); ``StreamingEnergyTalvane`` gates a live stream chunk by chunk
with no delay. Both take the same fourteen parameters.
"""

from talvane_rs._native import EnergyTalvane, StreamingEnergyTalvane

__version__ = "0.1.0"
__all__ = ["EnergyTalvane", "StreamingEnergyTalvane", "__version__"]
