"""korvane's projection fits against the library a user would otherwise pick, in one run.

    .venv/bin/python -m pip install -r bench/requirements.txt
    .venv/bin/python bench/projections.py [--quick]

Ratios below 1.0 mean korvane is faster than the reference row.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import best_of, clustered, report  # noqa: E402

import korvane as kv  # noqa: E402


def bench_pca(x, label):
    from sklearn.decomposition import PCA

    rows = []
    seconds, fitted = best_of(lambda: kv.PcaProjection.fit(x))
    rows.append(("korvane PcaProjection.fit", seconds))
    seconds, randomized = best_of(lambda: PCA(n_components=3, svd_solver="randomized", random_state=0).fit(x))
    rows.append(("sklearn PCA(3, randomized).fit", seconds))
    seconds, _ = best_of(lambda: PCA(n_components=3, svd_solver="full").fit(x), repeat=1)
    rows.append(("sklearn PCA(3, full).fit", seconds))
    report(f"PCA fit on {label} {x.shape[0]}x{x.shape[1]} {x.dtype}", rows, "sklearn PCA(3, randomized).fit")
    # The two do not measure the same thing (korvane normalises rows first), so show both.
    print(f"  korvane EVR {fitted.explained_variance_ratio:.4f}; "
          f"sklearn EVR (raw rows) {randomized.explained_variance_ratio_.sum():.4f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller data, for a smoke run")
    args = parser.parse_args()

    from sklearn.datasets import load_digits

    n = 20_000 if args.quick else 100_000
    x, _ = clustered(n, 384)
    bench_pca(x, "clustered")
    # The bundled digits are a strided view; korvane reads only contiguous arrays.
    bench_pca(np.ascontiguousarray(load_digits().data), "digits")


if __name__ == "__main__":
    main()
