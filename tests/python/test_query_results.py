import json

import pytest

from korvane import GlobInfo, ManifoldInfo, NearestHit, PathResult, PathStep

HIT = {"id": "s-0001", "category": 'he said "hi"\n', "distance": 0.123456, "certainty": 0.5, "intensity": 2.0}
STEP = {"id": "s-0002", "category": "b", "cumulative_distance": 1, "hop_distance": 0}
GLOB = {"id": 3, "member_count": 12, "radius": 0.25, "top_categories": [["a", 7], ["b", 5]], "centroid": [1, 0.5, -0.25]}
MANIFOLD = {"variance_ratio": 0.875, "centroid": [0.1, 0.2, 0.3], "normal": [0, 0, 1]}


def make(cls, fields):
    return cls.from_json(json.dumps(fields))


class TestRoundTrips:
    @pytest.mark.parametrize(
        "cls, fields",
        [
            (NearestHit, HIT),
            (PathStep, STEP),
            (PathStep, {**STEP, "bridge_strength": 0.5}),
            (PathResult, {"steps": [STEP, {**STEP, "id": "s-0003"}], "total_distance": 2.5}),
            (GlobInfo, GLOB),
            (ManifoldInfo, MANIFOLD),
        ],
    )
    def test_from_json_of_to_json_is_equal(self, cls, fields):
        value = make(cls, fields)
        again = cls.from_json(value.to_json())
        assert again == value and not (again != value)
        assert again is not value

    def test_keys_are_sorted_and_floats_keep_their_form(self):
        assert make(NearestHit, HIT).to_json() == (
            '{"category":"he said \\"hi\\"\\n","certainty":0.5,"distance":0.123456,"id":"s-0001","intensity":2.0}'
        )
        assert make(PathStep, STEP).to_json() == (
            '{"bridge_strength":null,"category":"b","cumulative_distance":1.0,"hop_distance":0.0,"id":"s-0002"}'
        )
        assert make(GlobInfo, GLOB).to_json() == (
            '{"centroid":[1.0,0.5,-0.25],"id":3,"member_count":12,"radius":0.25,"top_categories":[["a",7],["b",5]]}'
        )
        assert make(ManifoldInfo, MANIFOLD).to_json() == (
            '{"centroid":[0.1,0.2,0.3],"normal":[0.0,0.0,1.0],"variance_ratio":0.875}'
        )

    def test_nan_becomes_null_and_does_not_read_back(self):
        hit = make(NearestHit, HIT)
        text = hit.to_json().replace('"distance":0.123456', '"distance":1e999')
        with pytest.raises(ValueError):  # out of range: the reader rejects it
            NearestHit.from_json(text)
        nan_hit_json = json.dumps({**HIT, "distance": None})
        with pytest.raises(ValueError, match="^missing or non-numeric field: distance$"):
            NearestHit.from_json(nan_hit_json)


class TestAttributesAndRepr:
    def test_nearest_hit(self):
        hit = make(NearestHit, HIT)
        assert (hit.id, hit.category, hit.distance, hit.certainty, hit.intensity) == tuple(HIT.values())
        assert repr(hit) == 'NearestHit(id="s-0001", category="he said \\"hi\\"\\n", distance=0.1235)'

    def test_path_step_integers_read_as_floats(self):
        step = make(PathStep, STEP)
        assert (step.cumulative_distance, step.hop_distance, step.bridge_strength) == (1.0, 0.0, None)
        assert type(step.cumulative_distance) is float
        assert repr(step) == 'PathStep(id="s-0002", category="b", cumulative_distance=1.0000, hop=0.0000)'
        assert make(PathStep, {**STEP, "bridge_strength": "x"}).bridge_strength is None

    def test_path_result_steps_are_fresh_copies(self):
        path = make(PathResult, {"steps": [STEP], "total_distance": 1.5})
        assert repr(path) == "PathResult(steps=1, total_distance=1.5000)"
        steps = path.steps
        steps.clear()
        assert len(path.steps) == 1 and path.steps[0] == make(PathStep, STEP)
        assert path.steps[0] is not path.steps[0]

    def test_glob_and_manifold(self):
        glob = make(GlobInfo, GLOB)
        assert glob.top_categories == [("a", 7), ("b", 5)]
        assert glob.centroid == [1.0, 0.5, -0.25]
        assert repr(glob) == "GlobInfo(id=3, members=12, radius=0.2500)"
        manifold = make(ManifoldInfo, MANIFOLD)
        assert (manifold.centroid, manifold.normal) == ([0.1, 0.2, 0.3], [0.0, 0.0, 1.0])
        assert repr(manifold) == "ManifoldInfo(variance_ratio=0.8750)"

    def test_lenient_vectors(self):
        for centroid in ([1, 2], "x", None, [1, "a", 3, 4]):
            fields = {**GLOB, "centroid": centroid}
            expected = [1.0, 0.0, 3.0] if isinstance(centroid, list) and len(centroid) >= 3 else [0.0, 0.0, 0.0]
            assert make(GlobInfo, fields).centroid == expected
        assert make(ManifoldInfo, {"variance_ratio": 1}).normal == [0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "cls, text, message",
    [
        (NearestHit, "[1, 2]", "missing or non-string field: id"),
        (NearestHit, json.dumps({**HIT, "id": 5}), "missing or non-string field: id"),
        (NearestHit, json.dumps({k: v for k, v in HIT.items() if k != "intensity"}), "missing or non-numeric field: intensity"),
        (PathStep, json.dumps({"id": "a", "category": "b", "cumulative_distance": "1"}), "missing or non-numeric field: cumulative_distance"),
        (PathResult, "{}", "missing 'steps' array"),
        (PathResult, '{"steps": []}', "missing or non-numeric field: total_distance"),
        (PathResult, '{"steps": [{"id": 1}], "total_distance": 1}', "missing or non-string field: id"),
        (PathResult, '{"steps": [{"id": 1}]}', "missing or non-numeric field: total_distance"),
        (GlobInfo, json.dumps({**GLOB, "id": 1.0}), "missing or non-integer field: id"),
        (GlobInfo, json.dumps({**GLOB, "id": -1}), "missing or non-integer field: id"),
        (GlobInfo, json.dumps({**GLOB, "member_count": "3"}), "missing or non-integer field: member_count"),
        (GlobInfo, json.dumps({**GLOB, "top_categories": {}}), "missing 'top_categories' array"),
        (GlobInfo, json.dumps({**GLOB, "top_categories": [["a", 1], "b"]}), "top_categories[1] must be an array"),
        (GlobInfo, json.dumps({**GLOB, "top_categories": [[1, 1]]}), "top_categories[0][0] must be a string"),
        (GlobInfo, json.dumps({**GLOB, "top_categories": [["a", -1]]}), "top_categories[0][1] must be an integer"),
        (GlobInfo, json.dumps({**GLOB, "top_categories": [["a"]]}), "top_categories[0][1] must be an integer"),
        (ManifoldInfo, "{}", "missing or non-numeric field: variance_ratio"),
    ],
)
def test_from_json_errors(cls, text, message):
    with pytest.raises(ValueError) as info:
        cls.from_json(text)
    assert str(info.value) == message


def test_malformed_text_and_wrong_argument_types():
    with pytest.raises(ValueError, match="line 1 column"):
        NearestHit.from_json("{not json")
    with pytest.raises(TypeError, match="'json'"):
        NearestHit.from_json(b"{}")
    for cls in (NearestHit, PathResult, PathStep, GlobInfo, ManifoldInfo):
        with pytest.raises(TypeError):
            cls()


def test_equality_rules():
    hit = make(NearestHit, HIT)
    assert hit != "s-0001" and not (hit == make(PathStep, STEP))
    assert hit != make(NearestHit, {**HIT, "intensity": 2.5})
    with pytest.raises(TypeError):
        hit < hit
    with pytest.raises(TypeError):
        hash(hit)
    assert make(GlobInfo, GLOB) != make(GlobInfo, {**GLOB, "top_categories": [["a", 7]]})
