"""A short tour of korvane on real data: scikit-learn's bundled handwritten digits
(1,797 images of 8x8 pixels, ten classes), projected onto the sphere."""

import math
import time

import numpy as np
from sklearn.datasets import load_digits

import korvane as kv


def geometry_tour() -> None:
    paris = kv.GeoPoint(48.8566, 2.3522, 0.0).to_spherical()
    tokyo = kv.GeoPoint(35.6762, 139.6503, 0.0).to_spherical()
    angle = kv.angular_distance(paris, tokyo)
    print("== geometry")
    print(f"Paris {paris}")
    print(f"Paris to Tokyo: {angle:.4f} rad ({math.degrees(angle):.1f}°), "
          f"{kv.great_circle_distance(paris, tokyo, 6371.0):.0f} km on the Earth")
    try:
        kv.SphericalPoint(-1.0, 0.0, 0.0)
    except ValueError as error:
        print(f"validation: {error}")


def neighbour_agreement(points, labels):
    """Share of images whose nearest neighbour on the sphere (by direction) shows the same digit."""
    xyz = np.array([[c.x, c.y, c.z] for c in (p.to_cartesian() for p in points)])
    unit = xyz / np.maximum(np.linalg.norm(xyz, axis=1, keepdims=True), 1e-300)
    similarity = unit @ unit.T
    np.fill_diagonal(similarity, -np.inf)
    return float(np.mean(labels[similarity.argmax(axis=1)] == labels))


def projections_tour() -> None:
    digits = load_digits()
    x = np.ascontiguousarray(digits.data)  # the bundled matrix is a strided view
    labels = digits.target
    print(f"\n== projections of the digits corpus ({x.shape[0]} x {x.shape[1]}, {len(np.unique(labels))} classes)")
    fits = [
        ("PCA", lambda: kv.PcaProjection.fit(x)),
        ("kernel PCA", lambda: kv.KernelPcaProjection.fit(x)),
        ("Laplacian eigenmap", lambda: kv.LaplacianEigenmap.fit(x)),
        ("random projection", lambda: kv.RandomProjection(x.shape[1])),
    ]
    for name, fit in fits:
        start = time.perf_counter()
        projection = fit()
        points = projection.project_batch(x)
        seconds = time.perf_counter() - start
        agreement = neighbour_agreement(points, labels)
        print(f"{name:20} {seconds * 1e3:7.1f} ms  nearest neighbour shows the same digit: {agreement:6.1%}")
        print(f"{'':20} {projection!r}")
    pca = kv.PcaProjection.fit(x)
    print(f"\nfirst image, digit {labels[0]}: {pca.project_rich(x[0])}")


if __name__ == "__main__":
    geometry_tour()
    projections_tour()
