"""A stand-in for talvane_rs.Stream until the native one lands, TODO(#22): mono
float32 only, no band, gated by StreamingEnergyTalvane.process_chunk, with the
floor, threshold and keep flags of each call from analyse() over the context
and the chunk. Run as a script, it takes Stream's place and runs the talvane
command line with the arguments given."""

import sys
from collections import namedtuple

import numpy as np

from talvane_rs import StreamingEnergyTalvane, _analysis, analyse
from talvane_rs.params import DEFAULTS
from talvane_rs.units import ms_to_samples

Event = namedtuple("Event", "kind sample time")


class Stream:
    def __init__(self, sample_rate, *, band=None, on_event=None, **gate_params):
        if band is not None:
            raise ValueError("the stand-in of Stream takes no band")
        self.sample_rate, self.on_event = sample_rate, on_event
        self.params = {**DEFAULTS, **gate_params}
        self.native = StreamingEnergyTalvane(**gate_params)
        self.limit = max(1, ms_to_samples(sample_rate, self.params["stream_context_ms"]))
        self.reset()

    def reset(self):
        self.native.reset()
        self.context = np.empty(0, dtype=np.float32)
        self.kept = False
        self.position = 0
        self.noise_floor = self.threshold = self.clamped = self.gain = None
        self.events = ()

    def process(self, chunk):
        if chunk.dtype != np.float32:
            raise TypeError("the stand-in of Stream takes float32 only")
        if chunk.ndim == 2 and chunk.shape[1] != 1:
            raise ValueError("the stand-in of Stream takes one channel only")
        mono = np.ascontiguousarray(chunk.reshape(-1))
        out = self.native.process_chunk(mono, self.sample_rate, False)
        self.events = ()
        if len(mono) and self.params["enabled"]:
            both = np.concatenate([self.context, mono])
            view = analyse(both, self.sample_rate, **self.params)
            self.context = both[-self.limit :].copy()
            self.noise_floor, self.threshold, self.clamped = view.noise_floor, view.threshold, view.clamped
            keep = np.concatenate([[self.kept], view.mask[len(both) - len(mono) :]])
            changes = np.flatnonzero(keep[1:] != keep[:-1])
            self.events = tuple(
                Event("onset" if keep[i + 1] else "offset", self.position + i, (self.position + i) / self.sample_rate)
                for i in changes
            )
            self.kept = bool(keep[-1])
            self.gain = float(out[-1] / mono[-1]) if mono[-1] else None
            for event in self.events if self.on_event else ():
                self.on_event(event)
        self.position += len(mono)
        return out.reshape(chunk.shape)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.reset()


def install():
    if not hasattr(_analysis, "Stream"):
        _analysis.Stream = Stream


if __name__ == "__main__":
    install()
    from talvane_rs.cli import main

    sys.exit(main(sys.argv[1:]))
