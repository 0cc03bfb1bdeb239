import math
import re

import numpy as np
import pytest

import korvane as kv


def separated(n=200, d=16, groups=4, seed=0, scale=0.3):
    rng = np.random.default_rng(seed)
    labels = np.arange(n) % groups
    x = np.eye(d)[:groups][labels] * 3 + rng.normal(scale=scale, size=(n, d))
    return x, ["abcdefgh"[i] for i in labels]


@pytest.fixture(scope="module")
def layer(hooks):
    x, cats = separated()
    return hooks.category_layer(x, cats, path=("a", "c"), drill=("b", x[1], 3))


@pytest.fixture(scope="module")
def noisy(hooks):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(120, 64))
    return hooks.category_layer(x, ["p", "q", "r"] * 40, path=("p", "p"))


def test_summaries(layer, hooks):
    first = layer["summaries"][0]
    assert [s.name for s in layer["summaries"]] == ["a", "b", "c", "d"]
    assert first.member_count == 50
    assert 0 <= first.centroid_theta < 2 * math.pi and 0 <= first.centroid_phi <= math.pi
    assert first.cohesion == pytest.approx(1 / (1 + first.angular_spread))
    assert repr(first) == (
        f'CategorySummaryInfo(name="a", members=50, cohesion={first.cohesion:.4f}, '
        f"bridge_quality={first.bridge_quality:.4f})"
    )
    x, cats = separated()
    again = hooks.category_layer(x, cats)["summaries"][0]
    assert again == first and not (again != first) and again is not first
    assert first != layer["summaries"][1]
    with pytest.raises(TypeError):
        hash(first)
    with pytest.raises(AttributeError):
        first.name = "z"


def test_path_steps_and_bridges(layer, noisy):
    path = layer["path"]
    assert [s.category_name for s in path.steps] == ["a", "c"]
    assert repr(path) == f"CategoryPathResult(steps=2, total_distance={path.total_distance:.4f}, path_conf={path.path_confidence:.4f})"
    steps = path.steps
    steps.clear()
    assert len(path.steps) == 2
    last = path.steps[-1]
    assert last.bridges_to_next == [] and last.hop_confidence == 0.0
    assert repr(last) == f'CategoryPathStep(category="c", distance={last.cumulative_distance:.4f}, bridges=0, hop_conf=0.0000)'
    itself = noisy["path"]
    assert len(itself.steps) == 1 and itself.steps[0].bridges_to_next == []
    assert "steps=1" in repr(itself) and "path_conf=1.0000" in repr(itself)


def test_bridges_carry_no_relation(hooks):
    # Overlapping categories produce bridges; none of them has an inferred relation.
    x, cats = separated(scale=1.5, seed=4)
    layer = hooks.category_layer(x, cats, path=("a", "b"))
    bridges = [b for step in layer["path"].steps for b in step.bridges_to_next]
    assert bridges
    for b in bridges:
        assert b.relation is None
        assert b.classification in {"Genuine", "OverlapArtifact", "Weak"}
        assert repr(b) == (
            f"BridgeItemInfo(item={b.item_index}, src={b.source_category}, tgt={b.target_category}, "
            f"strength={b.bridge_strength:.4f}, class={b.classification})"
        )


def test_drill_down_hits(layer):
    hits = layer["drill"]
    assert [h.item_index for h in hits][0] == 1 and hits[0].distance == 0
    assert all(not h.used_inner_sphere for h in hits)
    assert repr(hits[0]) == "DrillDownHit(item=1, distance=0.0000, inner=false)"


def test_domain_groups(layer):
    group = layer["groups"][0]
    names = group.category_names
    names.append("zzz")
    assert "zzz" not in group.category_names
    assert len(group.member_categories) == len(group.category_names)
    assert repr(group) == f"DomainGroupInfo(categories={len(group.member_categories)}, items={group.total_items}, cohesion={group.cohesion:.4f})"


def test_low_variance_projection_warns(noisy):
    [warning] = noisy["warnings"]
    assert warning.evr == pytest.approx(noisy["evr"])
    assert warning.severity in {"Info", "Warning", "Critical"}
    assert re.fullmatch(rf'ProjectionWarningInfo\(severity={warning.severity}, evr=\d\.\d{{4}}, msg=".+"\)', repr(warning))


def test_no_class_is_constructible():
    for cls in (kv.CategorySummaryInfo, kv.BridgeItemInfo, kv.CategoryPathStep, kv.CategoryPathResult,
                kv.DrillDownHit, kv.InnerSphereInfo, kv.DomainGroupInfo, kv.ProjectionWarningInfo):
        with pytest.raises(TypeError):
            cls()
