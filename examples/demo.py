"""korvane on real data: scikit-learn's bundled handwritten digits (1,797 images of 8x8
pixels, ten classes) as an embedding corpus labelled by digit, projected onto the sphere and
queried. Writes the projected corpus as JSON and CSV."""

import argparse
import math
import time
from pathlib import Path

import numpy as np
from sklearn.datasets import load_digits

import korvane as kv


def section(title: str) -> None:
    print(f"\n== {title}")


def geometry_tour() -> None:
    section("spherical geometry")
    paris = kv.GeoPoint(48.8566, 2.3522, 0.0).to_spherical()
    tokyo = kv.GeoPoint(35.6762, 139.6503, 0.0).to_spherical()
    angle = kv.angular_distance(paris, tokyo)
    print(f"Paris to Tokyo: {angle:.4f} rad ({math.degrees(angle):.1f}°), "
          f"{kv.great_circle_distance(paris, tokyo, 6371.0):.0f} km on the Earth")


def projection_families(x: np.ndarray, labels: np.ndarray) -> None:
    section("projection families (share of images whose nearest neighbour on the sphere shows the same digit)")
    for name, fit in [
        ("PCA", lambda: kv.PcaProjection.fit(x)),
        ("kernel PCA", lambda: kv.KernelPcaProjection.fit(x)),
        ("Laplacian eigenmap", lambda: kv.LaplacianEigenmap.fit(x)),
        ("random projection", lambda: kv.RandomProjection(x.shape[1])),
    ]:
        start = time.perf_counter()
        projection = fit()
        points = projection.project_batch(x)
        seconds = time.perf_counter() - start
        xyz = np.array([[c.x, c.y, c.z] for c in (p.to_cartesian() for p in points)])
        unit = xyz / np.maximum(np.linalg.norm(xyz, axis=1, keepdims=True), 1e-300)
        similarity = unit @ unit.T
        np.fill_diagonal(similarity, -np.inf)
        agreement = np.mean(labels[similarity.argmax(axis=1)] == labels)
        print(f"  {name:20} {agreement:6.1%}  {seconds * 1e3:7.1f} ms  {projection!r}")


def pipeline_tour(x: np.ndarray, labels: np.ndarray, out: Path) -> None:
    categories = [f"digit-{d}" for d in labels]
    start = time.perf_counter()
    pipeline = kv.Pipeline(categories, x)
    seconds = time.perf_counter() - start

    section("pipeline")
    print(f"{pipeline!r}: {len(pipeline)} items, projection {pipeline.projection_kind}, "
          f"EVR {pipeline.explained_variance_ratio:.4f}, built in {seconds * 1e3:.0f} ms")
    warnings = pipeline.projection_warnings()
    print("warnings:", ", ".join(f"{w.severity}: {w.message}" for w in warnings) if warnings else "none")

    section("categories (cohesion: how tightly a digit clusters; bridge quality: how well it links to others)")
    summaries, spheres = pipeline.category_stats()
    for s in summaries:
        print(f"  {s.name:8} {s.member_count:4} items  cohesion {s.cohesion:.3f}  bridge quality {s.bridge_quality:.3f}")
    for sphere in spheres:
        print(f"  inner sphere for {sphere.category_name}: {sphere.projection_type}, EVR {sphere.global_subset_evr:.3f} "
              f"-> {sphere.inner_evr:.3f}")

    section("queries")
    query = x[0]
    print(f"nearest to image s-0000 (a {labels[0]}):")
    for hit in pipeline.nearest(query, k=5):
        print(f"  {hit.id} {hit.category:8} {hit.distance:.4f} rad  certainty {hit.certainty:.3f}")
    path = pipeline.concept_path("s-0000", "s-0010", graph_k=10)
    if path:
        print(f"concept path s-0000 -> s-0010 ({labels[10]}): "
              + " -> ".join(f"{s.id}({s.category[-1]})" for s in path.steps)
              + f", {path.total_distance:.3f} rad")
    route = pipeline.category_concept_path("digit-1", "digit-7")
    if route:
        print("category path digit-1 -> digit-7: "
              + " -> ".join(s.category_name for s in route.steps) + f", confidence {route.path_confidence:.3f}")
    print("neighbours of digit-3:", ", ".join(s.name for s in pipeline.category_neighbors("digit-3", k=3)))
    globs = pipeline.detect_globs(max_k=10)
    print(f"{len(globs)} dense regions; largest: "
          + ", ".join(f"{g.member_count} items mostly {g.top_categories[0][0]}" for g in sorted(globs, key=lambda g: -g.member_count)[:3]))

    section("domain groups")
    for group in pipeline.domain_groups():
        print(f"  {', '.join(group.category_names):40} {group.total_items:4} items  cohesion {group.cohesion:.3f}")

    out.mkdir(parents=True, exist_ok=True)
    (out / "digits.json").write_text(pipeline.to_json())
    (out / "digits.csv").write_text(pipeline.to_csv())
    section("export")
    print(f"wrote {out / 'digits.json'} and {out / 'digits.csv'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", type=Path, default=Path("build/demo"), help="folder for the JSON and CSV export")
    args = parser.parse_args()
    digits = load_digits()
    x = np.ascontiguousarray(digits.data)  # the bundled matrix is a strided view
    geometry_tour()
    projection_families(x, digits.target)
    pipeline_tour(x, digits.target, args.out)


if __name__ == "__main__":
    main()
