import csv
import io
import json
import math
import threading
import time

import numpy as np
import pytest

import korvane as kv

# Small Monte Carlo budgets: the spatial-quality record is not what these tests check.
FAST = {"spatial": {"coverage_samples": 2000, "exclusivity_samples": 1000, "voronoi_samples": 2000}}
EXPORT_KEYS = ["id", "category", "r", "theta", "phi", "x", "y", "z", "certainty", "intensity"]


def clustered(n=120, d=8, centres=4, seed=0, spread=0.4):
    rng = np.random.default_rng(seed)
    means = rng.normal(size=(centres, d)) * 3
    labels = rng.integers(0, centres, size=n)
    return means[labels] + rng.normal(scale=spread, size=(n, d)), [f"c{label}" for label in labels]


@pytest.fixture(scope="module")
def corpus():
    return clustered()


@pytest.fixture(scope="module")
def fitted(corpus):
    x, cats = corpus
    projection = kv.PcaProjection.fit(x)
    return kv.Pipeline(cats, x, projection=projection, config=FAST), projection


@pytest.fixture(scope="module")
def pipe(fitted):
    return fitted[0]


def angle(a, b):
    return math.atan2(np.linalg.norm(np.cross(a, b)), float(np.dot(a, b)))


def counting_thread():
    """A thread that counts while it can run; returns (read, stop)."""
    state = {"ticks": 0}
    done = threading.Event()

    def count():
        while not done.is_set():
            state["ticks"] += 1
            time.sleep(0)

    thread = threading.Thread(target=count)
    thread.start()

    def stop():
        done.set()
        thread.join()

    return (lambda: state["ticks"]), stop


# ---- construction ------------------------------------------------------------------------------


def test_ids_are_zero_padded_and_grow_past_four_digits():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(10001, 3)) + np.array([2.0, 0.0, 0.0])
    p = kv.Pipeline([f"c{i % 3}" for i in range(10001)], x, config=FAST)
    points = p.exported_points()
    assert len(p) == p.num_items == 10001
    assert [points[i]["id"] for i in (0, 1, 9999, 10000)] == ["s-0000", "s-0001", "s-9999", "s-10000"]
    assert p.to_json().startswith('[{"id":"s-0000",')
    assert p.to_csv().splitlines()[-1].startswith('"s-10000",')


@pytest.mark.parametrize(
    "categories, embeddings, message",
    [
        (["a", "b"], [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], "categories length (2) != embeddings length (3)"),
        (["a", "b", "c"], [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]], "categories length (3) != embeddings length (2)"),
        (["a", "b"], [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0]], "need at least 3 embeddings, got 2"),
        (["a", "b", "c"], [[0.1, float("nan")], [1.0, 2.0], [3.0, 4.0]],
         "embedding values must be finite (no NaN or Inf), found NaN at [0][1]"),
    ],
)
def test_construction_value_errors(categories, embeddings, message):
    with pytest.raises(ValueError) as info:
        kv.Pipeline(categories, embeddings)
    assert str(info.value) == message


def test_empty_corpus_is_a_value_error():
    with pytest.raises(ValueError):
        kv.Pipeline([], [])


THREE = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


@pytest.mark.parametrize(
    "call",
    [
        lambda: kv.Pipeline("abc", THREE),
        lambda: kv.Pipeline(["a", "b", 3], THREE),
        lambda: kv.Pipeline(["a", "b", "c"], "abc"),
        lambda: kv.Pipeline(["a", "b", "c"], THREE, projection="pca"),
        lambda: kv.Pipeline(["a", "b", "c"], THREE, config="{}"),
        lambda: kv.Pipeline(["a", "b", "c"], THREE, FAST),
        lambda: kv.Pipeline(["a", "b", "c"]),
    ],
    ids=["str-categories", "non-str-label", "str-embeddings", "str-projection", "str-config", "positional-config",
         "missing-embeddings"],
)
def test_construction_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_projection_argument_error_names_the_argument():
    with pytest.raises(TypeError, match="projection"):
        kv.Pipeline(["a", "b", "c"], THREE, projection=kv.RandomProjection(3))


@pytest.mark.parametrize(
    "config",
    [{"projection_kind": "pca"}, {"projection_kind": "Nope"}, {"routing": {"num_domain_groups": "many"}}],
)
def test_bad_config_dict_is_a_value_error(config):
    with pytest.raises(ValueError, match=r"^invalid PipelineConfig dict: ."):
        kv.Pipeline(["a", "b", "c"], THREE, config=config)


def test_none_arguments_take_the_defaults(corpus):
    x, cats = corpus
    a = kv.Pipeline(cats, x, projection=None, config=None)
    b = kv.Pipeline(cats, x)
    assert a.config() == b.config() == kv.Pipeline(cats, x, config={}).config()
    assert a.to_json() == b.to_json()


# ---- special methods and properties ------------------------------------------------------------


def test_len_bool_repr_and_properties(corpus, pipe, fitted):
    x, cats = corpus
    assert len(pipe) == pipe.num_items == len(x)
    assert bool(pipe)
    assert repr(pipe) == f"Pipeline(items={len(x)})"
    assert pipe.categories == cats
    assert pipe.categories is not pipe.categories
    assert pipe.projection_kind == "pca"
    assert pipe.explained_variance_ratio == fitted[1].explained_variance_ratio


def test_properties_are_read_only(pipe):
    for name in ["num_items", "categories", "projection_kind", "explained_variance_ratio"]:
        with pytest.raises(AttributeError):
            setattr(pipe, name, 1)


def test_categories_keep_duplicates_and_unique_categories_do_not():
    x, _ = clustered(n=12, d=4, seed=2)
    labels = ["b", "a", "b", "c"] * 3
    p = kv.Pipeline(labels, x, config=FAST)
    assert p.categories == labels
    assert sorted(p.unique_categories()) == ["a", "b", "c"]


def test_mutating_returned_categories_does_not_change_the_pipeline(pipe):
    labels = pipe.categories
    labels[0] = "changed"
    assert pipe.categories[0] != "changed"


@pytest.mark.parametrize("kind, expected", [("KernelPca", "kernel_pca"), ("UmapSphere", "umap_sphere"), ("Pca", "pca")])
def test_projection_kind_follows_the_fitted_family(corpus, kind, expected):
    x, cats = corpus
    assert kv.Pipeline(cats, x, config={**FAST, "projection_kind": kind}).projection_kind == expected


def test_supplied_projection_wins_over_the_configured_family(corpus, fitted):
    x, cats = corpus
    p = kv.Pipeline(cats, x, projection=fitted[1], config={**FAST, "projection_kind": "UmapSphere"})
    assert p.projection_kind == "pca"
    assert p.config()["projection_kind"] == "UmapSphere"


def test_config_round_trips_through_the_constructor(corpus):
    x, cats = corpus
    wanted = {**FAST, "routing": {"num_domain_groups": 2, "group_routing_alpha": 0.5, "low_evr_threshold": 0.2},
              "min_category_size": 2}
    first = kv.Pipeline(cats, x, config=wanted)
    config = first.config()
    assert config["routing"] == wanted["routing"]
    assert config["spatial"] == FAST["spatial"]
    assert config["min_category_size"] == 2
    second = kv.Pipeline(cats, x, config=config)
    assert second.config() == config
    assert second.to_json() == first.to_json()
    config["min_category_size"] = 99
    assert first.config()["min_category_size"] == 2


def test_signatures_and_docstrings():
    assert kv.Pipeline.__text_signature__ == "(categories, embeddings, *, projection=None, config=None)"
    assert kv.Pipeline.nearest.__text_signature__ == "($self, query, k=5)"
    assert kv.Pipeline.config.__doc__ == "Return the [`PipelineConfig`] this pipeline was built with, as a dict."
    assert kv.Pipeline.projection_kind.__doc__.startswith("Short stable name of the projection family")


# ---- export ------------------------------------------------------------------------------------


def test_exported_points_follow_the_items(pipe, corpus):
    _, cats = corpus
    points = pipe.exported_points()
    assert [list(p) for p in points] == [EXPORT_KEYS] * len(cats)
    assert [p["id"] for p in points] == [f"s-{i:04d}" for i in range(len(cats))]
    assert [p["category"] for p in points] == cats
    for p in points:
        assert math.isclose(math.hypot(p["x"], p["y"], p["z"]), p["r"], rel_tol=1e-9)
        assert 0.0 <= p["certainty"] <= 1.0


def test_json_export_equals_the_exported_points_in_key_order(pipe):
    text = pipe.to_json()
    assert text.startswith('[{"id":"s-0000","category":')
    assert " " not in text and "\n" not in text
    parsed = json.loads(text)
    assert [list(p) for p in parsed] == [EXPORT_KEYS] * len(parsed)
    assert parsed == pipe.exported_points()


def test_csv_export_has_header_quoted_strings_and_six_decimals(pipe):
    text = pipe.to_csv()
    lines = text.split("\n")
    assert lines[0] == ",".join(EXPORT_KEYS)
    assert lines[-1] == "" and len(lines) == len(pipe) + 2
    points = pipe.exported_points()
    for line, point in zip(lines[1:-1], points):
        fields = line.split(",")
        assert fields[0] == f'"{point["id"]}"' and fields[1] == f'"{point["category"]}"'
        assert fields[2:] == [f"{point[key]:.6f}" for key in EXPORT_KEYS[2:]]


@pytest.mark.parametrize(
    "label", ['plain', 'with,comma', 'say "hi"', 'two\nlines', '"', ',\n"', 'ünï'],
)
def test_csv_quoting_reads_back_with_the_csv_module(label):
    x, _ = clustered(n=9, d=4, seed=4)
    labels = [label, "other", label] * 3
    p = kv.Pipeline(labels, x, config=FAST)
    rows = list(csv.reader(io.StringIO(p.to_csv(), newline="")))
    assert rows[0] == EXPORT_KEYS
    assert [row[1] for row in rows[1:]] == labels
    assert json.loads(p.to_json())[0]["category"] == label
    first = p.to_csv().split("\n", 1)[1]
    escaped = label.replace('"', '""')
    assert first.startswith(f'"s-0000","{escaped}",')


def test_csv_numbers_match_the_json_numbers(pipe):
    rows = list(csv.reader(io.StringIO(pipe.to_csv(), newline="")))[1:]
    for row, point in zip(rows, json.loads(pipe.to_json())):
        for text, key in zip(row[2:], EXPORT_KEYS[2:]):
            assert text == f"{point[key]:.6f}"
            assert len(text.split(".")[1]) == 6


# ---- nearest -----------------------------------------------------------------------------------


def brute_force(pipe, projection, query, k):
    points = pipe.exported_points()
    c = projection.project(query).to_cartesian()
    q = np.array([c.x, c.y, c.z])
    scored = sorted(((angle(np.array([p["x"], p["y"], p["z"]]), q), i) for i, p in enumerate(points)))
    return [(points[i]["id"], points[i]["category"], d) for d, i in scored[:k]]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("k", [1, 5, 17])
def test_nearest_matches_a_brute_force_angular_search(fitted, seed, k):
    pipe, projection = fitted
    query = np.random.default_rng(100 + seed).normal(size=8) * 3
    hits = pipe.nearest(query, k)
    expected = brute_force(pipe, projection, query, k)
    assert [(h.id, h.category) for h in hits] == [(i, c) for i, c, _ in expected]
    assert [h.distance for h in hits] == pytest.approx([d for _, _, d in expected], abs=1e-12)


def test_nearest_of_an_item_is_the_item_itself(pipe, corpus):
    x, cats = corpus
    for i in (0, 7, len(x) - 1):
        hit = pipe.nearest(x[i], 1)[0]
        assert (hit.id, hit.category) == (f"s-{i:04d}", cats[i])
        assert hit.distance == pytest.approx(0.0, abs=1e-12)


def test_nearest_default_k_and_accepted_query_forms(pipe, corpus):
    x, _ = corpus
    expected = pipe.nearest(x[3], 5)
    assert len(expected) == 5
    assert pipe.nearest(x[3]) == expected
    assert pipe.nearest(query=list(x[3]), k=5) == expected
    assert pipe.nearest(tuple(float(v) for v in x[3])) == expected
    assert pipe.nearest(x[3], 0) == []
    assert len(pipe.nearest(x[3], 10**6)) == len(pipe)


@pytest.mark.parametrize("method", ["nearest", "nearest_json"])
@pytest.mark.parametrize("length", [2, 7, 9, 0])
def test_nearest_query_dimension_mismatch(pipe, method, length):
    with pytest.raises(ValueError) as info:
        getattr(pipe, method)([0.5] * length)
    assert str(info.value) == f"query dimension mismatch: expected 8, got {length}"


def test_query_dimension_mismatch_on_a_three_dimensional_pipeline():
    p = kv.Pipeline(["a", "b", "c", "a"], THREE + [[1.0, 1.0, 0.0]], config=FAST)
    with pytest.raises(ValueError, match=r"^query dimension mismatch: expected 3, got 2$"):
        p.nearest([1.0, 0.0])


@pytest.mark.parametrize("method", ["nearest", "nearest_json"])
@pytest.mark.parametrize("k, error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("3", TypeError)])
def test_nearest_bad_counts(pipe, corpus, method, k, error):
    with pytest.raises(error):
        getattr(pipe, method)(corpus[0][0], k)


def test_count_is_converted_before_the_query(pipe):
    with pytest.raises(OverflowError):
        pipe.nearest([1.0], -1)


@pytest.mark.parametrize("query, error", [("abc", TypeError), ([1.0] * 7 + [float("inf")], ValueError), ({1, 2}, TypeError)])
def test_nearest_bad_queries(pipe, query, error):
    with pytest.raises(error):
        pipe.nearest(query)


@pytest.mark.parametrize("k", [0, 1, 5, 30])
def test_nearest_json_is_the_hits_to_json(pipe, corpus, k):
    x, _ = corpus
    text = pipe.nearest_json(x[11], k)
    hits = pipe.nearest(x[11], k)
    assert text == "[" + ",".join(h.to_json() for h in hits) + "]"
    assert [kv.NearestHit.from_json(json.dumps(o, separators=(",", ":"))) for o in json.loads(text)] == hits


# ---- threads and the interpreter lock ----------------------------------------------------------


def test_threads_querying_one_pipeline_get_identical_answers(pipe):
    queries = np.random.default_rng(9).normal(size=(40, 8)) * 3
    expected = [pipe.nearest_json(q, 7) for q in queries]
    results = {}

    def worker(n):
        results[n] = [pipe.nearest_json(q, 7) for q in queries for _ in range(3)][::3]

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 6
    assert all(r == expected for r in results.values())


def test_long_work_releases_the_interpreter_lock():
    x, cats = clustered(n=1000, d=16, seed=7)
    big_x, big_cats = clustered(n=60000, d=16, seed=8)
    big = kv.Pipeline(big_cats, big_x, config=FAST)
    read, stop = counting_thread()
    try:
        time.sleep(0.01)
        before = read()
        kv.Pipeline(cats, x, config={**FAST, "projection_kind": "UmapSphere"})
        during_build = read() - before
        before = read()
        big.nearest_json(big_x[0], len(big))
        during_query = read() - before
    finally:
        stop()
    assert during_build > 10
    assert during_query > 10


# ---- other queries -----------------------------------------------------------------------------


def cosine(a, b):
    return float(np.dot(a, b) / (np.linalg.norm(a) * np.linalg.norm(b)))


@pytest.mark.parametrize("min_cosine", [0.99, 0.9, 0.5])
def test_similar_above_keeps_items_whose_projected_direction_is_close(fitted, corpus, min_cosine):
    pipe, projection = fitted
    x, _ = corpus
    q = projection.project(x[5]).to_cartesian()
    qv = np.array([q.x, q.y, q.z])
    points = pipe.exported_points()
    expected = {p["id"] for p in points if cosine(np.array([p["x"], p["y"], p["z"]]), qv) >= min_cosine + 1e-9}
    borderline = {p["id"] for p in points
                  if abs(cosine(np.array([p["x"], p["y"], p["z"]]), qv) - min_cosine) <= 1e-9}
    got = {h.id for h in pipe.similar_above(x[5], min_cosine)}
    assert expected <= got <= expected | borderline
    assert "s-0005" in got


def test_similar_above_default_and_json(pipe, corpus):
    x, _ = corpus
    hits = pipe.similar_above(x[2])
    assert hits == pipe.similar_above(x[2], 0.8)
    for min_cosine in (0.8, 0.95, 0.0):
        text = pipe.similar_above_json(x[2], min_cosine=min_cosine)
        assert text == "[" + ",".join(h.to_json() for h in pipe.similar_above(x[2], min_cosine)) + "]"


def test_similar_above_argument_errors(pipe, corpus):
    with pytest.raises(TypeError):
        pipe.similar_above(corpus[0][0], "high")
    with pytest.raises(ValueError, match="^query dimension mismatch: expected 8, got 3$"):
        pipe.similar_above_json([1.0, 2.0, 3.0])


def line_corpus(n=30):
    """Points along an arc: every neighbour graph connects them in order."""
    angles = np.linspace(0.0, 1.2, n)
    x = np.stack([np.cos(angles), np.sin(angles), 0.3 + 0.01 * np.arange(n), np.full(n, 0.2)], axis=1)
    return x, [f"c{i * 3 // n}" for i in range(n)]


@pytest.fixture(scope="module")
def arc():
    x, cats = line_corpus()
    return kv.Pipeline(cats, x, config=FAST)


def test_concept_path_connects_the_two_items(arc):
    path = arc.concept_path("s-0000", "s-0029", graph_k=4)
    assert path is not None
    steps = path.steps
    assert steps[0].id == "s-0000" and steps[-1].id == "s-0029"
    assert steps[0].cumulative_distance == 0.0
    assert path.total_distance == pytest.approx(steps[-1].cumulative_distance)
    assert [s.category for s in steps] == [arc.categories[int(s.id[2:])] for s in steps]
    assert arc.concept_path_json("s-0000", "s-0029", graph_k=4) == path.to_json()
    assert arc.concept_path("s-0000", "s-0029", graph_k=4, query=[0.0] * 4) == path


def test_concept_path_between_disconnected_items_is_none():
    # Two tight, far-apart clusters: a neighbour graph with k=2 never links them.
    rng = np.random.default_rng(3)
    a = np.array([1.0, 0.0, 0.0, 0.0]) + rng.normal(scale=0.01, size=(10, 4))
    b = np.array([0.0, 0.0, 1.0, 0.0]) + rng.normal(scale=0.01, size=(10, 4))
    p = kv.Pipeline(["a"] * 10 + ["b"] * 10, np.vstack([a, b]), config=FAST)
    assert p.concept_path("s-0000", "s-0015", graph_k=2) is None
    assert p.concept_path_json("s-0000", "s-0015", graph_k=2) == "null"


@pytest.mark.parametrize("method", ["concept_path", "concept_path_json"])
@pytest.mark.parametrize("source, target, bad", [("s-0000", "s-0030", "s-0030"), ("nope", "s-0001", "nope")])
def test_concept_path_unknown_ids(arc, method, source, target, bad):
    with pytest.raises(ValueError) as info:
        getattr(arc, method)(source, target)
    assert str(info.value) == f'unknown id: "{bad}"'


@pytest.mark.parametrize(
    "kwargs, error",
    [({"graph_k": -1}, OverflowError), ({"query": [1.0, 2.0]}, ValueError), ({"graph_k": "x"}, TypeError)],
)
def test_concept_path_argument_errors(arc, kwargs, error):
    with pytest.raises(error):
        arc.concept_path("s-0000", "s-0001", **kwargs)


def test_concept_path_options_are_keyword_only(arc):
    with pytest.raises(TypeError):
        arc.concept_path("s-0000", "s-0001", 4)


def test_detect_globs_without_and_with_a_query(pipe):
    globs = pipe.detect_globs()
    assert globs and all(g.member_count > 0 for g in globs)
    assert pipe.detect_globs(query=[0.0] * 8) == globs
    assert pipe.detect_globs(k=None, max_k=10) == globs
    fixed = pipe.detect_globs(k=3)
    assert len(fixed) <= 3
    assert sum(g.member_count for g in fixed) <= len(pipe)
    assert pipe.detect_globs_json(k=3) == "[" + ",".join(g.to_json() for g in fixed) + "]"
    assert pipe.detect_globs_json() == "[" + ",".join(g.to_json() for g in globs) + "]"


@pytest.mark.parametrize(
    "kwargs, error",
    [({"query": [1.0]}, ValueError), ({"k": -1}, OverflowError), ({"max_k": -1}, OverflowError), ({"k": 1.5}, TypeError)],
)
def test_detect_globs_argument_errors(pipe, kwargs, error):
    with pytest.raises(error):
        pipe.detect_globs(**kwargs)
    with pytest.raises(error):
        pipe.detect_globs_json(**kwargs)


def test_detect_globs_dimension_message(pipe):
    with pytest.raises(ValueError, match="^query dimension mismatch: expected 8, got 1$"):
        pipe.detect_globs(query=[1.0])


def test_local_manifold_and_json(pipe, corpus):
    x, _ = corpus
    manifold = pipe.local_manifold(x[4])
    assert manifold == pipe.local_manifold(x[4], neighborhood_k=10)
    assert pipe.local_manifold_json(x[4]) == manifold.to_json()
    small = pipe.local_manifold(x[4], neighborhood_k=4)
    assert pipe.local_manifold_json(x[4], neighborhood_k=4) == small.to_json()
    assert 0.0 <= manifold.variance_ratio <= 1.0
    assert math.isclose(float(np.linalg.norm(manifold.normal)), 1.0, rel_tol=1e-9)


@pytest.mark.parametrize("call, error", [
    (lambda p: p.local_manifold([1.0, 2.0]), ValueError),
    (lambda p: p.local_manifold_json([0.0] * 8, neighborhood_k=-1), OverflowError),
    (lambda p: p.local_manifold([0.0] * 8, 10), TypeError),
])
def test_local_manifold_argument_errors(pipe, call, error):
    with pytest.raises(error):
        call(pipe)


def test_hierarchical_nearest_falls_back_to_nearest_when_evr_is_high(pipe, corpus):
    x, _ = corpus
    assert pipe.explained_variance_ratio > pipe.config()["routing"]["low_evr_threshold"]
    for i in (0, 9, 33):
        assert pipe.hierarchical_nearest(x[i], 6) == pipe.nearest(x[i], 6)
    assert len(pipe.hierarchical_nearest(x[0])) == 5


def test_hierarchical_nearest_routes_below_the_threshold(corpus):
    x, cats = corpus
    p = kv.Pipeline(cats, x, config={**FAST, "routing": {"low_evr_threshold": 1.0}})
    hits = p.hierarchical_nearest(x[0], 4)
    assert 0 < len(hits) <= 4
    assert [h.distance for h in hits] == sorted(h.distance for h in hits)


@pytest.mark.parametrize("call, error", [
    (lambda p: p.hierarchical_nearest([1.0]), ValueError),
    (lambda p: p.hierarchical_nearest([0.0] * 8, -1), OverflowError),
])
def test_hierarchical_nearest_argument_errors(pipe, call, error):
    with pytest.raises(error):
        call(pipe)


def test_drill_down_returns_hits_of_the_category(pipe, corpus):
    x, cats = corpus
    hits = pipe.drill_down(cats[0], x[0], 4)
    assert 0 < len(hits) <= 4
    assert len(pipe.drill_down(cats[0], x[0])) <= 10
    members = {i for i, c in enumerate(cats) if c == cats[0]}
    assert all(h.item_index in members for h in hits)
    assert [h.distance for h in hits] == sorted(h.distance for h in hits)


@pytest.mark.parametrize("category, query, k, error, message", [
    ("zz", [0.0] * 8, 3, ValueError, 'unknown category: "zz"'),
    ("c0", [0.0] * 2, 3, ValueError, "query dimension mismatch: expected 8, got 2"),
    ("c0", [0.0] * 8, -1, OverflowError, None),
    (5, [0.0] * 8, 3, TypeError, None),
])
def test_drill_down_errors(pipe, category, query, k, error, message):
    with pytest.raises(error) as info:
        pipe.drill_down(category, query, k)
    if message is not None:
        assert str(info.value) == message


def test_category_queries(pipe, corpus):
    _, cats = corpus
    names = pipe.unique_categories()
    assert sorted(names) == sorted(set(cats))
    summaries, spheres = pipe.category_stats()
    assert [s.name for s in summaries] == names
    assert isinstance(spheres, list)
    neighbours = pipe.category_neighbors(names[0], 2)
    assert len(neighbours) <= 2 and all(n.name != names[0] for n in neighbours)
    assert len(pipe.category_neighbors(names[0])) <= 5
    path = pipe.category_concept_path(names[0], names[1])
    assert path is None or isinstance(path, kv.CategoryPathResult)


@pytest.mark.parametrize("call, message", [
    (lambda p: p.category_neighbors("zz"), 'unknown category: "zz"'),
    (lambda p: p.category_concept_path("zz", "c0"), 'unknown category: "zz"'),
    (lambda p: p.category_concept_path("c0", "a\"b"), 'unknown category: "a\\"b"'),
])
def test_category_queries_unknown_names(pipe, call, message):
    with pytest.raises(ValueError) as info:
        call(pipe)
    assert str(info.value) == message


def test_category_neighbors_negative_k(pipe):
    with pytest.raises(OverflowError):
        pipe.category_neighbors("c0", -1)


def test_domain_groups_cover_the_categories(pipe, corpus):
    _, cats = corpus
    groups = pipe.domain_groups()
    assert groups and all(isinstance(g, kv.DomainGroupInfo) for g in groups)


@pytest.mark.parametrize("isotropic, expect_warnings", [(False, False), (True, True)])
def test_projection_warnings_follow_the_projection_quality(corpus, isotropic, expect_warnings):
    x, cats = corpus
    if isotropic:  # no three directions carry much of 64 equal variances
        x = np.random.default_rng(1).normal(size=(len(cats), 64))
    p = kv.Pipeline(cats, x, config=FAST)
    assert (p.explained_variance_ratio < 0.35) == isotropic
    warnings = p.projection_warnings()
    assert all(isinstance(w, kv.ProjectionWarningInfo) for w in warnings)
    assert bool(warnings) == expect_warnings


# ---- from_json ---------------------------------------------------------------------------------


def test_from_json_builds_with_the_default_configuration():
    p = kv.Pipeline.from_json('{"categories":["a","b","c"],"embeddings":[[1,0,0],[0,1,0],[0,0,1.5]]}')
    assert len(p) == 3 and p.categories == ["a", "b", "c"]
    assert p.config() == kv.Pipeline(["a", "b", "c"], [[1, 0, 0], [0, 1, 0], [0, 0, 1.5]]).config()
    with pytest.raises(ValueError, match="^query dimension mismatch: expected 3, got 2$"):
        p.nearest([1.0, 0.0])


@pytest.mark.parametrize("text, message", [
    ("[1]", "missing 'categories' array"),
    ('{"categories": "abc"}', "missing 'categories' array"),
    ('{"categories": ["a", 1], "embeddings": 3}', "category at index 1 must be a string"),
    ('{"categories": ["a"]}', "missing 'embeddings' array"),
    ('{"categories": ["a"], "embeddings": [[1], 2]}', "embedding at index 1 must be an array"),
    ('{"categories": ["a"], "embeddings": [[1, 2], [3, "x"]]}', "embedding[1][1] must be a number"),
    ('{"categories": ["a", "b"], "embeddings": [[1, 2, 0], [3, 4, 0]]}', "need at least 3 embeddings, got 2"),
])
def test_from_json_errors(text, message):
    with pytest.raises(ValueError) as info:
        kv.Pipeline.from_json(text)
    assert str(info.value) == message


def test_from_json_rejects_export_output_and_bad_text(pipe):
    with pytest.raises(ValueError):
        kv.Pipeline.from_json('{"categories": ["a", "b"], "embeddings": [[1, 2, 0], [3, 4, 0], [0, 0, 1]]}')
    with pytest.raises(ValueError, match="^missing 'categories' array$"):
        kv.Pipeline.from_json(pipe.to_json())
    with pytest.raises(ValueError):
        kv.Pipeline.from_json("{not json")
    with pytest.raises(TypeError):
        kv.Pipeline.from_json(b"{}")


# ---- threads for every lock-releasing query ----------------------------------------------------


def test_threads_running_mixed_queries_agree(pipe, corpus):
    x, cats = corpus
    calls = [
        lambda: pipe.nearest_json(x[1], 5),
        lambda: pipe.similar_above_json(x[2], 0.9),
        lambda: pipe.concept_path_json("s-0000", "s-0003"),
        lambda: pipe.detect_globs_json(k=3),
        lambda: pipe.local_manifold_json(x[3]),
        lambda: [repr(h) for h in pipe.hierarchical_nearest(x[4], 4)],
        lambda: [repr(h) for h in pipe.drill_down(cats[0], x[0], 4)],
        lambda: [repr(s) for s in pipe.category_stats()[0]],
    ]
    expected = [call() for call in calls]
    results = []

    def worker():
        results.append([call() for call in calls for _ in range(2)][::2])

    threads = [threading.Thread(target=worker) for _ in range(5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 5


def test_concept_path_releases_the_interpreter_lock():
    x, cats = clustered(n=40000, d=8, seed=11)
    p = kv.Pipeline(cats, x, config=FAST)
    read, stop = counting_thread()
    try:
        time.sleep(0.01)
        before = read()
        p.concept_path_json("s-0000", "s-0001", graph_k=12)
        during = read() - before
    finally:
        stop()
    assert during > 10
