import json

import numpy as np
import pytest

DEFAULT_KEYS = [
    "projection_kind",
    "inner_sphere",
    "bridges",
    "routing",
    "laplacian",
    "umap",
    "spatial",
    "min_category_size",
]


def test_defaults_in_declared_order(hooks):
    config = hooks.pipeline_config({})
    assert list(config) == DEFAULT_KEYS
    assert config["projection_kind"] == "Pca"
    assert config["umap"]["seed"] == 0xA1B2C3D4
    assert hooks.pipeline_config([]) == config


def test_returned_dict_reads_back_unchanged(hooks):
    config = hooks.pipeline_config({"umap": {"seed": 5, "min_dist": 0.25}, "projection_kind": "UmapSphere"})
    assert config["umap"]["seed"] == 5 and config["umap"]["n_epochs"] == 200
    assert hooks.pipeline_config(config) == config
    assert hooks.pipeline_config(json.loads(json.dumps(config))) == config


def test_python_and_numpy_values(hooks):
    config = hooks.pipeline_config(
        {"min_category_size": np.uint64(3), "bridges": {"threshold_base": np.float32(0.5)}, "routing": (7,)}
    )
    assert config["min_category_size"] == 3
    assert config["bridges"]["threshold_base"] == 0.5
    assert config["routing"]["num_domain_groups"] == 7


@pytest.mark.parametrize(
    "value, message",
    [
        ({"projection_kind": "pca"}, "unknown variant `pca`, expected one of `Pca`, `KernelPca`, `LaplacianEigenmap`, `UmapSphere`"),
        ({"min_category_size": -1}, "expected u64"),
        ({"min_category_size": 2.5}, "expected u64"),
        ({"umap": {"min_dist": "x"}}, "expected f64"),
        ({"umap": 3}, "expected struct UmapConfig"),
        ("not a mapping", "expected struct PipelineConfig"),
    ],
)
def test_reading_errors(hooks, value, message):
    with pytest.raises(ValueError) as info:
        hooks.pipeline_config(value)
    assert message in str(info.value)


def test_unconvertible_values_are_type_errors(hooks):
    with pytest.raises(TypeError):
        hooks.pipeline_config({"umap": {1: 2}})
    with pytest.raises(TypeError):
        hooks.pipeline_config({"umap": object()})
    nested = []
    nested.append(nested)
    with pytest.raises(ValueError, match="nesting too deep"):
        hooks.pipeline_config({"x": nested})
