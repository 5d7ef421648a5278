#!/usr/bin/env python3
"""Fills the keldrun-view page template with made-up but plausible data.

usage: view-sample.py TEMPLATE OUT [TRACKS [MINUTES]]

The side has TRACKS tracks (default 6) over MINUTES minutes (default 20), gaps
of 1 to 4 s with one of exactly 1 s, hiss at about -54 dB and one quiet
passage of 0.7 s inside track 2. Three candidates: the defaults, which miss
the 1-s gap, a recommendation that finds every track, and a threshold high
enough to split at the quiet passage too. The input's name needs escaping.
"""
import json, math, random, sys

template, out = sys.argv[1], sys.argv[2]
ntracks = int(sys.argv[3]) if len(sys.argv) > 3 else 6
minutes = float(sys.argv[4]) if len(sys.argv) > 4 else 20
rnd = random.Random(7)
R, name = 44100, 'side A <1> & "2".wav'
frames = int(minutes * 60 * R)

# Silent runs (start, stop) in frames: the lead-in, then the gaps between tracks.
runs, t = [(0, int(1.5 * R))], 1.5 * R
length = (frames - 1.5 * R - 8 * R) / max(ntracks, 1)
for i in range(1, ntracks):
    t += length * rnd.uniform(0.8, 1.1)
    runs.append((int(t), int(t + R * (1.0 if i == 3 else rnd.uniform(2.2, 4)))))
ends = [int(t + length * 0.9)] if ntracks else []
quiet = [] if ntracks < 2 else [(runs[1][1] + 40 * R, runs[1][1] + int(40.7 * R))]
silent = runs + [(e, frames) for e in ends] if ntracks else [(0, frames)]

phase = [rnd.uniform(0, 6) for _ in range(200)]


def level(f):  # the filtered level at frame f, dBFS: music with fades, hiss in the gaps
    if any(a <= f < b for a, b in silent + quiet):
        return -54 + 3 * math.sin(f / 5e3) + rnd.uniform(-2, 2)
    k = sum(b <= f for a, b in runs)
    edge = min([abs(f - x) for r in silent + quiet for x in r]) / R
    return (-19 + 4 * math.sin(phase[k]) + 5 * math.sin(f / R / 23 + phase[k + 1])
            + 3 * math.sin(f / R / 2.3) - max(0, 2 - edge) * 9 + rnd.uniform(-4, 0))


def loudest(a, n):
    return round(max(level(a + k * 2205) for k in range(max(1, n // 2205))), 1)


step = -(-frames // 4000)
hist = [0] * 100
for a in range(0, frames, 2205):
    hist[min(99, int(loudest(a, 2205) + 100))] += 1
panels = []
for a, b in runs[1:] + quiet:
    p0 = a - 3 * R
    db = [loudest(p0 + i * 441, 441) for i in range((b + 3 * R - p0) // 441)]
    clicks = sorted(rnd.randrange(a, b) for _ in range(rnd.randint(0, 3)))
    for c in clicks:
        db[(c - p0) // 441] = -40.0
    panels.append({"start": p0, "step": 441, "db": db, "clicks": clicks})


def mmss(f):
    ms = f * 1000 // R
    return "%02d:%02d.%03d" % (ms // 60000, ms // 1000 % 60, ms % 1000)


def candidate(label, switches, t, gap, breaks):
    """Tracks of a candidate that ends a track at the runs numbered in `breaks`."""
    cut, starts = int(gap * R), [runs[0][1]]
    gaps = [{"start": runs[i][0], "stop": runs[i][1], "panel": i - 1} for i in breaks if i < len(runs)]
    if quiet and len(breaks) > len(runs) - 1:  # the quiet passage too
        gaps = sorted(gaps + [{"start": quiet[0][0], "stop": quiet[0][1], "panel": len(runs) - 1}],
                      key=lambda g: g["start"])
    starts += [g["stop"] for g in gaps]
    stops = [g["stop"] - cut for g in gaps] + [frames - cut]
    tracks = [{"n": n + 1, "start": a, "end": b, "peak": round(rnd.uniform(0.3, 0.6), 3)}
              for n, (a, b) in enumerate(zip(starts, stops))] if ntracks else []
    near = [{"start": a, "stop": b, "panel": p, "why": "%.2f s of silence, %.2f s needed"
             % ((b - a) / R, gap)} for p, (a, b) in enumerate(runs[1:] + quiet)
            if (b - a) / R < gap and not any(g["panel"] == p for g in gaps)]
    near.sort(key=lambda m: m["start"] - m["stop"])
    return {"label": label, "switches": switches,
            "command": "keldrun %s '%s' TRACK" % (switches, name), "threshold_db": t,
            "gap_s": gap, "cut_s": gap, "filter": 10, "verified": True,
            "rows": "\n".join("%d\t%s\t%s\t%s\t%.3f" % (k["n"], mmss(k["start"]), mmss(k["end"]),
                                                        mmss(k["end"] - k["start"]), k["peak"])
                              for k in tracks),
            "tracks": tracks, "gaps": gaps, "near": near[:8], "note": ""}


every = range(1, len(runs))
cands = [candidate("current settings", "/T 0.05", -26.0, 2.0, [i for i in every if i != 3]),
         candidate("recommended: %d tracks" % ntracks, "/T 0.01 /G 0.85", -40.0, 0.85, every),
         candidate("%d tracks" % (ntracks + 1), "/T 0.1 /G 0.6", -20.0, 0.6, range(1, len(runs) + 1))]
cands[1]["note"] = "any /T from 0.004 to 0.021 gives %d tracks with /G 0.85" % ntracks
data = {"program": "keldrun-view 1.0.0", "input": name, "frames": frames, "rate": R,
        "overview": {"step": step, "db": [loudest(a, step) for a in range(0, frames, step)]},
        "histogram": {"db_min": -100, "db_step": 1, "counts": hist},
        "noise_floor_db": -54.0, "quietest_music_db": -31.5, "current": 0, "selected": min(1, ntracks),
        "candidates": cands if ntracks else cands[:1], "panels": panels}
page = open(template).read()
assert page.count("/*KELDRUN_DATA*/null") == 1
open(out, "w").write(page.replace("/*KELDRUN_DATA*/null", json.dumps(data).replace("</", "<\\/")))
