"""Many streams in one process: CPU time per stream-hour and memory per stream.

    python bench/many_streams.py [--streams 10000] [--context-ms 3000] [--rounds 100]

Makes the streams (default parameters but the context), fills each one's context
by feeding them round-robin in 10 ms chunks at 16 kHz, then times further rounds
of one chunk per stream with the process's CPU clock. Prints one JSON line: CPU
seconds per stream-hour (the CPU time of one chunk times 360,000 chunks) and the
resident memory the streams added, per stream and as a multiple of the context
buffer (context samples times 4 bytes). Run it in a fresh process: the resident
size before the streams is the baseline.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RATE, CHUNK = 16000, 160


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--streams", type=int, default=10000)
    parser.add_argument("--context-ms", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=100, help="timed rounds, one chunk per stream each")
    args = parser.parse_args()

    sys.path.insert(0, HERE)
    import signals
    from talvane_rs import StreamingEnergyTalvane

    limit = RATE * args.context_ms // 1000
    fill_rounds = -(-limit // CHUNK)
    # One source of 60 s; stream s reads it from its own offset, wrapping around,
    # through views (no copies per stream).
    source = signals.speech_in_noise(60, RATE)
    chunks = [source[p : p + CHUNK] for p in range(0, len(source) - CHUNK + 1, CHUNK)]
    offsets = [(s * 7919) % len(chunks) for s in range(args.streams)]
    gc.collect()
    before = resident_bytes()
    streams = [StreamingEnergyTalvane(stream_context_ms=args.context_ms) for _ in range(args.streams)]

    def run(first_round: int, rounds: int) -> None:
        n_chunks = len(chunks)
        for r in range(first_round, first_round + rounds):
            for stream, offset in zip(streams, offsets):
                stream.process_chunk(chunks[(offset + r) % n_chunks], RATE, False)

    run(0, fill_rounds)
    if any(s.context_len() != limit for s in streams):
        raise RuntimeError("a context is not full")
    gc.collect()
    after = resident_bytes()
    t0 = time.process_time()
    run(fill_rounds, args.rounds)
    cpu = time.process_time() - t0
    per_chunk = cpu / (args.rounds * args.streams)
    per_stream = (after - before) / args.streams
    result = {
        "streams": args.streams,
        "context_ms": args.context_ms,
        "cpu_us_per_chunk": per_chunk * 1e6,
        "cpu_s_per_stream_hour": per_chunk * 3600 * RATE / CHUNK,
        "resident_bytes_per_stream": per_stream,
        "context_buffer_bytes": limit * 4,
        "memory_ratio": per_stream / (limit * 4),
    }
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
