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
from common import best_of, clustered, manifold_clusters, report  # noqa: E402

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


def bench_kernel_pca(n):
    from sklearn.decomposition import KernelPCA

    x, _ = clustered(n, 64, seed=1, dtype=np.float64)
    seconds, fitted = best_of(lambda: kv.KernelPcaProjection.fit(x))
    # Same bandwidth and the same normalised rows, so both solve the same eigenproblem.
    gamma = 0.5 / fitted.sigma**2
    unit = x / np.linalg.norm(x, axis=1, keepdims=True)
    peer, _ = best_of(lambda: KernelPCA(n_components=3, kernel="rbf", gamma=gamma).fit(unit))
    report(f"kernel PCA fit on {n}x64", [("korvane KernelPcaProjection.fit", seconds),
                                         ("sklearn KernelPCA(3, rbf).fit", peer)], "sklearn KernelPCA(3, rbf).fit")


def neighbour_sets(points, k):
    """Exact k nearest neighbours by cosine of unit rows (self excluded)."""
    unit = points / np.linalg.norm(points, axis=1, keepdims=True)
    out = np.empty((len(unit), k), dtype=np.int64)
    for start in range(0, len(unit), 2048):
        sims = unit[start:start + 2048] @ unit.T
        for row, i in enumerate(range(start, min(start + 2048, len(unit)))):
            sims[row, i] = -np.inf
        out[start:start + 2048] = np.argpartition(-sims, k, axis=1)[:, :k]
    return out


def preservation(high, low, k=10):
    a, b = neighbour_sets(high, k), neighbour_sets(low, k)
    return np.mean([len(set(a[i]) & set(b[i])) / k for i in range(len(a))])


def bench_umap(x, labels, title):
    import umap

    categories = [f"c{c}" for c in labels]
    n = len(x)

    def korvane_fit():
        return kv._native._testhooks.fit_umap(x, categories)

    seconds, fitted = best_of(korvane_fit, repeat=1)
    layout = np.array(fitted)
    settings = dict(n_components=2, n_neighbors=15, min_dist=0.1, output_metric="haversine", random_state=0,
                    compatibility_layout=True)
    umap.UMAP(**settings).fit(x[:500])  # JIT warm-up outside the timing
    peer, embedding = best_of(lambda: umap.UMAP(**settings).fit_transform(x), repeat=1)
    lat, lon = embedding[:, 0], embedding[:, 1]
    peer_xyz = np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=1)
    report(f"UMAP sphere layout on {title} {n}x{x.shape[1]}", [("korvane UmapSphere fit", seconds),
                                             ("umap-learn haversine fit", peer)], "umap-learn haversine fit")
    print(f"  neighbour preservation@10: korvane {preservation(x, layout):.3f}, "
          f"umap-learn {preservation(x, peer_xyz):.3f}")


def bench_ann(x, title):
    import pynndescent

    n = len(x)
    hooks = kv._native._testhooks
    seconds, neighbours = best_of(lambda: hooks.ann_neighbours(x, 10), repeat=1)
    pynndescent.NNDescent(x[:2000], metric="cosine", n_neighbors=11, random_state=0)  # JIT warm-up
    peer, _ = best_of(lambda: pynndescent.NNDescent(x, metric="cosine", n_neighbors=11, random_state=0), repeat=1)
    exact = neighbour_sets(x, 10)
    recall = np.mean([len(set(neighbours[i]) & set(exact[i])) / 10 for i in range(n)])
    report(f"neighbour index build + all-points query on {title} {n}x{x.shape[1]}",
           [("korvane AnnIndex build+query", seconds), ("pynndescent NNDescent build", peer)],
           "pynndescent NNDescent build")
    print(f"  korvane recall@10 against exact search: {recall:.3f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller data, for a smoke run")
    parser.add_argument("--only", default="pca,kpca,umap,ann", help="comma-separated subset to run")
    args = parser.parse_args()
    only = set(args.only.split(","))

    from sklearn.datasets import load_digits

    # The bundled digits are a strided view; korvane reads only contiguous arrays.
    digits = load_digits()
    digits_x = np.ascontiguousarray(digits.data)
    if "pca" in only:
        bench_pca(clustered(20_000 if args.quick else 100_000, 384)[0], "clustered")
        bench_pca(digits_x, "digits")
    if "kpca" in only:
        bench_kernel_pca(2000)
    if "umap" in only:
        bench_umap(digits_x, digits.target, "digits")
        bench_umap(*manifold_clusters(2000 if args.quick else 10_000, 64, centres=10, seed=2), "manifold clusters")
    if "ann" in only:
        n = 5000 if args.quick else 20_000
        bench_ann(manifold_clusters(n, 64, centres=50, seed=3)[0], "manifold clusters")
        bench_ann(clustered(n, 64, centres=50, seed=3, dtype=np.float64)[0], "isotropic clusters (hard case)")


if __name__ == "__main__":
    main()
