"""End-to-end Pipeline: build, single-query search, peak memory and scaling, against the peers a user
would otherwise combine (scikit-learn PCA for the projection, faiss for the search), in one run.

    .venv/bin/python -m pip install -r bench/requirements.txt
    .venv/bin/python bench/pipeline.py [--quick] [--only build,search,memory,scaling] [--max-n N]

Ratios below 1.0 mean korvane is faster than the reference row.
"""

import argparse
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, clustered, report  # noqa: E402

import korvane as kv  # noqa: E402

NO_INNER = {"inner_sphere": {"min_evr_improvement": 2.0}}  # an EVR gain above 1 is impossible: no inner spheres


def corpus(n, seed=0):
    x, labels = clustered(n, 384, centres=20, seed=seed, dtype=np.float32)
    return x, [f"topic-{c}" for c in labels]


def bench_build(x, categories, repeat):
    from sklearn.decomposition import PCA

    n = len(x)
    rows = []
    seconds, pipeline = best_of(lambda: kv.Pipeline(categories, x), repeat=repeat)
    rows.append(("korvane Pipeline (default config)", seconds))
    seconds, _ = best_of(lambda: kv.Pipeline(categories, x, config=NO_INNER), repeat=repeat)
    rows.append(("korvane Pipeline (no inner spheres)", seconds))
    seconds, projection = best_of(lambda: kv.PcaProjection.fit(x), repeat=repeat)
    rows.append(("  of which PcaProjection.fit", seconds))
    seconds, _ = best_of(lambda: projection.project_batch(x), repeat=repeat)
    rows.append(("  of which project_batch", seconds))
    seconds, _ = best_of(lambda: PCA(n_components=3, svd_solver="randomized", random_state=0).fit_transform(x),
                         repeat=repeat)
    rows.append(("sklearn PCA(3, randomized).fit_transform", seconds))
    times = dict(rows)
    rest = times["korvane Pipeline (default config)"] - times["  of which PcaProjection.fit"] \
        - times["  of which project_batch"]
    rows.insert(4, ("  rest: layer + index (difference)", rest))
    inner = times["korvane Pipeline (default config)"] - times["korvane Pipeline (no inner spheres)"]
    rows.insert(5, ("  inner spheres (default - none)", inner))
    report(f"Pipeline build on clustered {n}x{x.shape[1]} float32, 20 categories", rows,
           "sklearn PCA(3, randomized).fit_transform")
    print(f"  EVR {pipeline.explained_variance_ratio:.4f}; project_batch builds {n} Python SphericalPoint "
          "objects, so it overstates the in-core projection")
    return pipeline


def median_latency(fn, queries):
    times = np.empty(len(queries))
    for j, q in enumerate(queries):
        start = time.perf_counter()
        fn(q)
        times[j] = time.perf_counter() - start
    return float(np.median(times))


def bench_search(pipeline, x, queries_n, k=10):
    import faiss

    n = len(x)
    points = pipeline.exported_points()
    ids = {p["id"]: i for i, p in enumerate(points)}
    xyz = np.array([[p["x"], p["y"], p["z"]] for p in points], dtype=np.float32)
    xyz /= np.linalg.norm(xyz, axis=1, keepdims=True)
    sphere = faiss.IndexFlatIP(3)
    sphere.add(xyz)
    unit = x / np.linalg.norm(x, axis=1, keepdims=True)
    raw = faiss.IndexFlatIP(x.shape[1])
    raw.add(unit)

    picks = np.random.default_rng(7).choice(n, size=queries_n, replace=False)
    threads = faiss.omp_get_max_threads()
    # OpenMP start-up dominates a one-row search on a busy 2-core machine, so faiss runs single-threaded
    # for the latency rows; the default thread count is shown once for comparison.
    default_sphere = median_latency(lambda i: sphere.search(xyz[i][None, :], k), picks[:200])
    faiss.omp_set_num_threads(1)
    # korvane projects the raw embedding itself; faiss gets the item's exported position.
    rows = [("korvane Pipeline.nearest", median_latency(lambda i: pipeline.nearest(x[i], k=k), picks)),
            ("faiss IndexFlatIP, 3-d unit positions",
             median_latency(lambda i: sphere.search(xyz[i][None, :], k), picks)),
            ("faiss IndexFlatIP, 384-d unit embeddings (context)",
             median_latency(lambda i: raw.search(unit[i][None, :], k), picks))]
    faiss.omp_set_num_threads(threads)
    rows.append((f"faiss IndexFlatIP, 3-d, {threads} threads (200 queries)", default_sphere))
    print(f"\nsingle-query k={k} median latency over {queries_n} queries, {n} items (faiss 1 thread)")
    base = rows[1][1]
    for name, seconds in rows:
        print(f"  {name:52} {seconds * 1e6:9.1f} us   ratio {seconds / base:6.2f}")

    _, exact = sphere.search(xyz[picks], k)
    _, exact_raw = raw.search(unit[picks], k)
    hits = [[ids[h.id] for h in pipeline.nearest(x[i], k=k)] for i in picks]
    recall = np.mean([len(set(h) & set(e)) / k for h, e in zip(hits, exact)])
    recall_raw = np.mean([len(set(h) & set(e)) / k for h, e in zip(hits, exact_raw)])
    self_hit = np.mean([i in h for i, h in zip(picks, hits)])
    print(f"  recall@{k} of Pipeline.nearest against exact search on the sphere (by direction): {recall:.3f}")
    print(f"  (against exact 384-d cosine: {recall_raw:.3f}; query item itself returned: {self_hit:.3f})")


# ru_maxrss of a forked child can carry the parent's peak across exec, so the child also reads VmHWM,
# the peak of its own address space only.
MEMORY_CHILD = r"""
import resource, sys
import numpy as np
import korvane as kv

def hwm():
    status = open("/proc/self/status").read()
    return int(status.split("VmHWM:")[1].split()[0])

x = np.load(sys.argv[1])
labels = np.load(sys.argv[2])
categories = [f"topic-{c}" for c in labels]
before = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, hwm())
pipeline = kv.Pipeline(categories, x)
after = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, hwm())
print(*before, *after)
"""


def bench_memory(n):
    x, labels = clustered(n, 384, centres=20, seed=0, dtype=np.float32)
    with tempfile.TemporaryDirectory() as tmp:
        xs, ls = os.path.join(tmp, "x.npy"), os.path.join(tmp, "labels.npy")
        np.save(xs, x)
        np.save(ls, labels)
        del x
        # A fresh process, so the peak RSS is the build's and not data generation's.
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, xs, ls], capture_output=True, text=True,
                             check=True).stdout.split()
    maxrss_before, before, maxrss_after, after = (int(v) * 1024 for v in out)  # both are in KiB on Linux
    delta = after - before
    f64 = n * 384 * 8
    print(f"\npeak memory of the {n}x384 build (fresh process, float32 input already loaded)")
    print(f"  peak RSS (VmHWM) before build {before / 2**20:8.1f} MiB, after {after / 2**20:8.1f} MiB, "
          f"delta {delta / 2**20:8.1f} MiB")
    print(f"  (ru_maxrss before {maxrss_before / 2**20:.1f} MiB, after {maxrss_after / 2**20:.1f} MiB, "
          f"delta {(maxrss_after - maxrss_before) / 2**20:.1f} MiB)")
    print(f"  delta / float64 input size ({f64 / 2**20:.1f} MiB): {delta / f64:.2f}x  "
          f"(input itself was float32, {f64 / 2 / 2**20:.1f} MiB, in the same process)")


def bench_scaling(sizes, repeat):
    print("\nbuild time against size (d=384, float32, 20 categories, default config)")
    previous = None
    for n in sizes:
        x, categories = corpus(n)
        seconds, _ = best_of(lambda: kv.Pipeline(categories, x), repeat=repeat if n <= 100_000 else 1)
        line = f"  n={n:>9,}  {seconds:8.2f} s"
        if previous is not None:
            line += f"   growth exponent vs n={previous[0]:,}: {math.log(seconds / previous[1]) / math.log(n / previous[0]):.2f}"
        print(line, flush=True)
        previous = (n, seconds)
        del x, categories


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller data, for a smoke run")
    parser.add_argument("--only", default="build,search,memory,scaling", help="comma-separated subset to run")
    parser.add_argument("--max-n", type=int, default=None, help="largest size in the scaling run")
    parser.add_argument("--repeat", type=int, default=None, help="repeats per timing (best of)")
    args = parser.parse_args()
    only = set(args.only.split(","))
    n = 20_000 if args.quick else 100_000
    repeat = args.repeat or (2 if args.quick else 3)

    pipeline = x = None
    if "build" in only or "search" in only:
        x, categories = corpus(n)
    if "build" in only:
        pipeline = bench_build(x, categories, repeat)
        sys.stdout.flush()
    if "search" in only:
        if pipeline is None:
            pipeline = kv.Pipeline(categories, x)
        bench_search(pipeline, x, 500 if args.quick else 2000)
        sys.stdout.flush()
    del pipeline, x
    if "memory" in only:
        bench_memory(n)
        sys.stdout.flush()
    if "scaling" in only:
        sizes = [2_000, 20_000, 200_000] if args.quick else [10_000, 100_000, 1_000_000]
        if args.max_n is not None:
            sizes = [s for s in sizes if s <= args.max_n]
        bench_scaling(sizes, repeat)


if __name__ == "__main__":
    main()
