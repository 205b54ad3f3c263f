"""Where a Stream loses what the music measure gains batch: misses and false alarms
by noise kind, and how far any Stream-side use of the factor could go.

    python bench/music_stream.py [--part tuning|held-out] [--forms]

On the tuning part unless asked (the held-out part is for checking a choice once).
Every row is the speech preset's rule with the chosen measure's factor in the
NumPy emulation of a Stream in 10 ms chunks (bench/music_measure.py), against the
same emulation without the factor (the speech preset's Stream); the emulation
gives the gate's own Stream figures exactly. "Ceiling" keeps the factor's Stream
and gives back every speech frame the speech preset's Stream keeps: no change to
how a Stream uses the factor (hangover, holds, where it enters) can keep more
speech than that, so its gain over the speech preset's Stream bounds them all.
--forms adds the Stream-side forms tried (the candidates' list).
"""

from __future__ import annotations

import argparse
import statistics
import sys

import corpus
import music_measure
import quality
from corpus import MUSIC, NOISES, SNRS

M = music_measure.Measure


def forms() -> list[music_measure.Measure]:
    return [M("Stream keeps 3 windows after voice", stream_hang=3),
            M("Stream: factor 1 for 4 windows after voice", stream_hold=4),
            M("Stream: factor 1 for 8 windows after voice", stream_hold=8),
            M("Stream context 6 s", stream_context=600), M("Stream context 10 s", stream_context=1000)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--part", choices=[p.name for p in corpus.PARTS], default=corpus.TUNING.name)
    parser.add_argument("--forms", action="store_true", help="the Stream-side forms tried, too")
    args = parser.parse_args()
    part = next(p for p in corpus.PARTS if p.name == args.part)
    chosen = M()
    measures = [chosen, *(forms() if args.forms else [])]
    r = quality.Results()
    for i, track in enumerate(corpus.load_part(part)):
        for kind, snr, x in corpus.mixtures(track):
            m = quality.Mixture(x)
            plain = m.contexts(quality.PRESET.alpha).flags(quality.PRESET)
            r.add("speech", track, kind, snr, plain, False)
            for measure in measures:
                name, ctx = measure.name, m.contexts(quality.PRESET.alpha, measure.stream_context)
                keep = music_measure.stream_flags(ctx, quality.PRESET, m.factors(measure), measure.stream_hang,
                                                  measure.stream_hold)
                r.add(name, track, kind, snr, keep, False)
                if measure is chosen:
                    r.add("ceiling", track, kind, snr, keep | (plain & track.labels[: len(keep)]), False)
        print(f"  track {i + 1} measured", file=sys.stderr)
    names = [chosen.name, "ceiling", *(f.name for f in measures[1:])]
    rows = []
    for name in ["speech", *names]:
        row = {}
        for k in NOISES:
            tp, fn, tn, fp = sum(r.counts[(name, "pauses", k, s)] for s in SNRS)
            row[k] = f"{fn / (tp + fn):.3f} / {fp / (tn + fp):.3f}"
        rows.append((name, row))
    quality.print_table(f"Stream: speech missed / non-speech kept, all SNRs pooled ({part.name})", rows)
    base = quality.by_kind(r, "speech", SNRS)
    rows = []
    for name in names:
        a = quality.by_kind(r, name, SNRS)
        gain = {k: a[k] - base[k] for k in NOISES}
        others = [gain[k] for k in NOISES if k not in MUSIC]
        clean = r.accuracy(name, "pauses", None, None) - r.accuracy("speech", "pauses", None, None)
        mostly = (quality.by_snr(r, name, NOISES, "mostly", SNRS)["overall"]
                  - quality.by_snr(r, "speech", NOISES, "mostly", SNRS)["overall"])
        rows.append((name, {"instrumental": f"{statistics.mean(gain[k] for k in MUSIC if k != 'music-sung'):+.3f}",
                            **{k: f"{gain[k]:+.3f}" for k in MUSIC}, "worst other": f"{min(others):+.3f}",
                            "clean": f"{clean:+.3f}", "mostly speech": f"{mostly:+.3f}"}))
    quality.print_table(f"Stream gain over the speech preset's Stream, mean over the SNRs ({part.name})", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
