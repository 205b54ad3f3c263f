"""The threshold rules tried in choosing the preset's, on the tuning part only
(``python bench/quality.py --candidates``): one row per rule, batch and in a
stream, the band "speech" and the cleaning of the preset throughout."""

from __future__ import annotations

import dataclasses
import sys

import corpus
import music_measure
import music_stream
import numpy as np
import quality
import rules
from corpus import NOISES, SETS

R = rules.Rule


def tried() -> list[rules.Rule]:
    fixed = [R(f"ratio {r:g}", ratio=r) for r in (1.1, 1.15, 1.2, 1.25, 1.3, 1.4, 1.5, 2.0)]
    guarded = [R(f"ratio {r:g}, guard {g:g} x q5", ratio=r, guard=g) for r in (1.2, 1.25) for g in (1.5, 2.0, 3.0)]
    adaptive = [R(f"(q{h:g}/F)^(1/{2 ** k})", roots=k, high=h) for k in (2, 3, 4) for h in (90.0, 95.0, 99.0)]
    adaptive_guarded = [R(f"(q95/F)^(1/8), guard {g:g} x q5", roots=3, guard=g) for g in (1.5, 2.0, 3.0)]
    lower_floor = [R("ratio 1.2, floor q10", ratio=1.2, floor_percentile=10.0),
                   R("(q95/F)^(1/8), floor q10", roots=3, floor_percentile=10.0),
                   R("(q95/F)^(1/8), floor q5", roots=3, floor_percentile=5.0)]
    bases = [R(f"(q95/F)^(1/8), base {b:g}", roots=3, base=b) for b in (0.004, 0.002)]
    at_least = [R(f"max({m:g}, (q95/F)^(1/{2 ** k}))", roots=k, min_ratio=m) for k in (2, 3) for m in (1.15, 1.2, 1.25)]
    faster = [R(f"ratio {r:g}, alpha {a:g}", ratio=r, alpha=a) for a in (0.3, 0.4) for r in (1.2, 1.3, 1.4)]
    faster += [R(f"max({m:g}, (q95/F)^(1/4)), alpha {a:g}", roots=2, min_ratio=m, alpha=a)
               for a in (0.3, 0.4) for m in (1.2, 1.3)]
    return fixed + guarded + adaptive + adaptive_guarded + lower_floor + bases + at_least + faster


def measures() -> list[music_measure.Measure]:
    """Forms of the music measure tried with the preset's rule; the first is the chosen."""
    M = music_measure.Measure
    return [M("preset + music measure"), M("preset + music, raw cosine", centred=False, steady=0.6, steady_full=0.75,
                                           novel=0.3, novel_full=0.2),
            M("preset + music, 24 bands", bands=24, steady=0.45, steady_full=0.6, novel=0.28, novel_full=0.18),
            M("preset + music, novelty over 12", novel_frames=12), M("preset + music, at most 6", most=6.0),
            M("preset + music, rising 0.1 a spectrum", rise=0.1),
            *(dataclasses.replace(f, name=f"preset + music, {f.name}") for f in music_stream.forms())]


def main(tracks, snrs, quick: bool) -> int:
    candidates = tried()
    dets = [("band, ratio rule, batch", lambda m: rules.batch_flags(m.banded[0], corpus.RATE, m.banded[1], rules.CLASSIC),
             False)]
    for rule in candidates:
        dets += quality.rule_detectors(rule, rule.name)
    for measure in measures():
        dets += quality.music_detectors(measure, measure.name)
    r = quality.evaluate(tracks, dets, quick)
    rows = []
    for rule in ["band, ratio rule", *(c.name for c in candidates), *(m.name for m in measures())]:
        batch = quality.by_snr(r, f"{rule}, batch", NOISES, "pauses", snrs)
        row = {"overall": batch["overall"], "0 dB": batch["0 dB"], "clean": batch["clean"],
               "mostly": quality.by_snr(r, f"{rule}, batch", NOISES, "mostly", snrs)["overall"]}
        for name, kinds in SETS.items():
            row[name] = quality.by_snr(r, f"{rule}, batch", kinds, "pauses", snrs)["overall"]
        if (f"{rule}, Stream", "pauses", None, None) in r.counts:
            stream = quality.by_snr(r, f"{rule}, Stream", NOISES, "pauses", snrs)
            delays = np.concatenate([r.delays[(f"{rule}, Stream", s)] for s in [None, *snrs]])
            row.update({"Stream": stream["overall"], "Stream 0 dB": stream["0 dB"],
                        "Stream music": quality.by_snr(r, f"{rule}, Stream", SETS["music"], "pauses", snrs)["overall"],
                        "onset": f"{10 * np.median(delays):.0f} ms"})
        else:
            row.update({"Stream": float("nan"), "Stream 0 dB": float("nan"), "Stream music": float("nan"),
                        "onset": "-"})
        rows.append((rule, row))
    quality.print_table("Rules tried (tuning part): balanced accuracy, all noise kinds unless named; batch unless "
                        "Stream", rows)
    print(file=sys.stderr)
    return 0
