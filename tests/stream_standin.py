"""A stand-in for talvane_rs.Stream until the native one lands, TODO(#22): mono
float32 only, no band, gated by StreamingEnergyTalvane.process_chunk, with the
floor, threshold and keep flags of each call from the stream's view of it. Run
as a script, it takes Stream's place and runs the talvane command line with the
arguments given."""

import sys
from collections import namedtuple

import numpy as np

from talvane_rs import StreamingEnergyTalvane, _analysis, stream_view

Event = namedtuple("Event", "kind sample time")


class Stream:
    def __init__(self, sample_rate, *, band=None, on_event=None, **gate_params):
        if band is not None:
            raise ValueError("the stand-in of Stream takes no band")
        self.sample_rate, self.on_event = sample_rate, on_event
        self.native = StreamingEnergyTalvane(**gate_params)
        self.reset()

    def reset(self):
        self.native.reset()
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
        view = stream_view(self.native) if len(mono) else None
        if view is not None:
            self.noise_floor, self.threshold, self.clamped = view.noise_floor, view.threshold, view.clamped
            self.gain = float(view.gains[-1])
            keep = np.concatenate([[self.kept], view.keep])
            changes = np.flatnonzero(keep[1:] != keep[:-1])
            self.events = tuple(
                Event("onset" if keep[i + 1] else "offset", self.position + i, (self.position + i) / self.sample_rate)
                for i in changes
            )
            self.kept = bool(keep[-1])
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
