"""Shared helpers for the benchmarks: data sets and a timer that reports the best of a few runs."""

import time

import numpy as np


def clustered(n, d, centres=20, seed=0, dtype=np.float32, spread=0.35):
    """Unit-scale clustered data, the shape of an embedding corpus with `centres` topics."""
    rng = np.random.default_rng(seed)
    means = rng.normal(size=(centres, d))
    means /= np.linalg.norm(means, axis=1, keepdims=True)
    labels = rng.integers(0, centres, size=n)
    x = means[labels] + rng.normal(scale=spread / np.sqrt(d), size=(n, d))
    return x.astype(dtype), labels


def manifold_clusters(n, d, centres=20, latent=4, seed=0, dtype=np.float64):
    """Clusters that each spread along a few latent directions, as real embeddings do: local
    neighbourhoods carry structure instead of isotropic noise."""
    rng = np.random.default_rng(seed)
    means = rng.normal(size=(centres, d))
    means /= np.linalg.norm(means, axis=1, keepdims=True)
    bases = rng.normal(size=(centres, latent, d)) / np.sqrt(d)
    labels = rng.integers(0, centres, size=n)
    coords = rng.normal(scale=0.6, size=(n, latent))
    x = means[labels] + np.einsum("nl,nld->nd", coords, bases[labels]) + rng.normal(scale=0.01, size=(n, d))
    return x.astype(dtype), labels


def best_of(fn, repeat=3):
    """Best wall time of `repeat` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(title, rows, reference):
    """Print seconds and ratios against the row named `reference`."""
    base = dict(rows)[reference]
    print(f"\n{title}")
    for name, seconds in rows:
        print(f"  {name:44} {seconds * 1e3:10.1f} ms   ratio {seconds / base:6.2f}")
