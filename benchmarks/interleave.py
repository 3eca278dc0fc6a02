"""Compare builds of vellum on bench.py's workloads, one process per build in turn.

    python3 benchmarks/interleave.py [--rounds N] [--only NAME,...] [--warm] [--json FILE]
                                     [--pairs] SITE SITE...

Each SITE is a directory holding one build of vellum (`pip install --target SITE .`
from the tree to measure).  Every round times each workload in one process per
build, the builds one after the other in an order that rotates and reverses from
workload to workload, so that a slow spell of the machine falls on every build
alike.  A process times vellum's dumps, loads and verify_stream_fast on its
workload with bench.py's own loop (results kept alive, garbage collector off,
best of 5) and hands the times back as JSON.  The table gives the first build's
medians over the rounds and, for every other build, the median over the rounds
of its time as a ratio to the first build's time in the same round (below 1 is
faster): each ratio compares two runs made seconds apart.

--pairs takes the sites as pairs, BEFORE AFTER BEFORE AFTER ..., each pair two
builds of the two trees with one set of compiler flags (say -falign-functions=16,
32 and 64): where the linker puts a hot loop moves a workload by a few percent
from one build to the next, so a ratio pooled over several layouts, the last
column, tells the change's own effect from its placement.

--warm runs the processes on the C allocator told to keep what it frees
(PYTHONMALLOC=malloc and bench.py's glibc settings): the heap a load finds then
no longer depends on what the process freed before, which otherwise moves a
workload's time by several percent from one build to the next.
"""

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = ("dumps", "loads", "verify")


def child(only):
    """Times of every workload in this process's build, as JSON on stdout."""
    sys.path.insert(0, HERE)
    import bench
    import vellum
    from vellum._vellum import verify_stream_fast

    def best(fn, arg):
        n = bench.calibrate(fn, arg, None)
        return min(bench.timed_run(fn, arg, n, None) for _ in range(5))

    out = {}
    for name, (build, count) in bench.WORKLOADS.items():
        if only and name not in only:
            continue
        obj = build(random.Random(f"{bench.SEED}:{name}"), count)
        try:
            data = vellum.dumps(obj)
        except Exception:  # a workload this build cannot write
            continue
        out[name] = [best(vellum.dumps, obj), best(vellum.loads, data),
                     best(lambda d: verify_stream_fast(d, False), data)]
        del obj, data
        gc.collect()
    if not only or "many small calls" in only:
        msgs = [dict(bench.SMALL_MESSAGE, id=12345 + i) for i in range(bench.SMALL_CALLS)]
        datas = [vellum.dumps(m) for m in msgs]
        out["many small calls"] = [min(bench.small_calls_run(vellum.dumps, msgs, 3) for _ in range(5)) / 1e9,
                                   min(bench.small_calls_run(vellum.loads, datas, 3) for _ in range(5)) / 1e9,
                                   None]
    json.dump(out, sys.stdout)


def workload_names(only):
    sys.path.insert(0, HERE)
    import bench
    names = list(bench.WORKLOADS) + ["many small calls"]
    return [n for n in names if not only or n in only]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("sites", nargs="+")
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--only", default="")
    ap.add_argument("--warm", action="store_true")
    ap.add_argument("--json", help="also write every time measured to this file")
    ap.add_argument("--pairs", action="store_true",
                    help="the sites are pairs BEFORE AFTER ...: compare each AFTER with its BEFORE")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    only = [w for w in args.only.split(",") if w]
    if args.child:
        return child(only)

    env = dict(os.environ)
    if args.warm:
        sys.path.insert(0, HERE)
        from bench import WARM_HEAP_ENV
        env.update(WARM_HEAP_ENV, PYTHONMALLOC="malloc")
    sites = args.sites
    names = workload_names(only)
    # times[site][workload]: one [dumps, loads, verify] per round
    times = {site: {w: [] for w in names} for site in sites}
    for r in range(args.rounds):
        for k, workload in enumerate(names):
            shift = (r + k) % len(sites)
            order = sites[shift:] + sites[:shift]
            for site in order[::-1] if (r + k) % 2 else order:
                cmd = [sys.executable, os.path.abspath(__file__), "--child", "--only", workload, site]
                out = subprocess.run(cmd, env=dict(env, PYTHONPATH=site), capture_output=True,
                                     text=True, check=True).stdout
                row = json.loads(out).get(workload)
                if row is not None:
                    times[site][workload].append(row)
        print(f"round {r + 1}/{args.rounds}", file=sys.stderr, flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(times, f)

    report(times, names, sites, args.pairs)


def ratio_cells(times, workload, comparisons):
    """Per op, the median of the per-round ratios over every comparison given."""
    cells = []
    for i in range(len(OPS)):
        ratios = [a[i] / b[i] for new, old in comparisons
                  for a, b in zip(times[new][workload], times[old][workload]) if a[i] and b[i]]
        cells.append(f"{statistics.median(ratios):>8.3f}" if ratios else f"{'-':>8}")
    return "  " + "".join(cells).rjust(26)


def report(times, names, sites, pairs):
    if pairs:
        comparisons = [(sites[k + 1], sites[k]) for k in range(0, len(sites) - 1, 2)]
    else:
        comparisons = [(site, sites[0]) for site in sites[1:]]
    heads = [os.path.basename(new.rstrip("/"))[-26:] for new, _ in comparisons]
    if pairs and len(comparisons) > 1:
        heads.append("all pairs")
    base = sites[0]
    print(f"{'workload':<20}" + "".join(f"{op + ' us':>10}" for op in OPS) +
          "".join(f"  {h:>26}" for h in heads))
    for workload in names:
        rows = times[base][workload]
        if not rows:
            continue
        med = [statistics.median(row[i] for row in rows) if rows[0][i] else None
               for i in range(len(OPS))]
        line = f"{workload:<20}" + "".join(f"{m * 1e6:>10.{1 if m >= 1e-5 else 3}f}" if m else f"{'-':>10}"
                                           for m in med)
        line += "".join(ratio_cells(times, workload, [c]) for c in comparisons)
        if pairs and len(comparisons) > 1:
            line += ratio_cells(times, workload, comparisons)
        print(line)

if __name__ == "__main__":
    main()
