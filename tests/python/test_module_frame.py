import inspect
from pathlib import Path
import math
import subprocess
import sys

import pytest

import korvane

# The module's full registration table; names of subsystems not built yet are simply absent.
REGISTRATION_ORDER = """
SphericalPoint CartesianPoint GeoPoint angular_distance great_circle_distance chord_distance
spherical_to_cartesian cartesian_to_spherical spherical_to_geo geo_to_spherical ProjectedPoint
PcaProjection RandomProjection KernelPcaProjection LaplacianEigenmap Pipeline NearestHit PathResult
PathStep GlobInfo ManifoldInfo CategorySummaryInfo BridgeItemInfo CategoryPathStep CategoryPathResult
DrillDownHit InnerSphereInfo DomainGroupInfo ProjectionWarningInfo NavigatorConfig NavigatorReport
AntipodalReport CoverageReport VoronoiCell CurvatureTriple LuneReport run_navigator visualize
visualize_pipeline corpus_features auto_tune run_self_tune load_default_store append_to_default_store
NearestNeighborMetaModel DistanceWeightedMetaModel FeedbackEvent FeedbackAggregator InMemoryStore
VectorStoreBridge
""".split()

BUILT = ["SphericalPoint", "CartesianPoint", "GeoPoint", "angular_distance", "ProjectedPoint", "PcaProjection",
         "RandomProjection", "KernelPcaProjection", "LaplacianEigenmap", "Pipeline", "NearestHit", "PathResult", "PathStep", "GlobInfo",
         "ManifoldInfo", "CategorySummaryInfo", "BridgeItemInfo", "CategoryPathStep", "CategoryPathResult",
         "DrillDownHit", "InnerSphereInfo", "DomainGroupInfo", "ProjectionWarningInfo"]


def public_names(namespace):
    return [name for name in vars(namespace) if not name.startswith("_")]


def test_names_follow_registration_order():
    names = public_names(korvane)
    assert names == [name for name in REGISTRATION_ORDER if name in names]
    assert set(BUILT) <= set(names)
    assert korvane.__all__ == names
    assert public_names(korvane._native) == names


def test_module_has_empty_docstring_and_no_extension_attribute():
    assert korvane.__doc__ == ""
    assert "korvane" not in vars(korvane)


def test_every_name_belongs_to_korvane():
    for name in public_names(korvane):
        assert getattr(korvane, name).__module__ == "korvane", name


SIGNATURES = {
    korvane.SphericalPoint: "(r, theta, phi)",
    korvane.CartesianPoint: "(x, y, z)",
    korvane.GeoPoint: "(lat, lon, alt)",
    korvane.angular_distance: "(a, b)",
    korvane.great_circle_distance: "(a, b, radius)",
    korvane.chord_distance: "(a, b)",
    korvane.spherical_to_cartesian: "(p)",
    korvane.cartesian_to_spherical: "(p)",
    korvane.spherical_to_geo: "(p)",
    korvane.geo_to_spherical: "(p)",
    korvane.SphericalPoint.to_cartesian: "(self, /)",
    korvane.SphericalPoint.to_geo: "(self, /)",
    korvane.CartesianPoint.to_spherical: "(self, /)",
    korvane.CartesianPoint.magnitude: "(self, /)",
    korvane.CartesianPoint.normalize: "(self, /)",
    korvane.GeoPoint.to_spherical: "(self, /)",
    korvane.GeoPoint.to_cartesian: "(self, /)",
    korvane.NearestHit.from_json: "(json)",
    korvane.NearestHit.to_json: "(self, /)",
    korvane.PcaProjection.fit: "(embeddings, *, radial=None, volumetric=False)",
    korvane.RandomProjection: "(dim, *, radial=None, seed=42)",
    korvane.PcaProjection.project_rich_batch: "(self, /, embeddings)",
}


@pytest.mark.parametrize("callable_, expected", SIGNATURES.items(), ids=lambda v: getattr(v, "__qualname__", v))
def test_signatures_are_introspectable(callable_, expected):
    assert str(inspect.signature(callable_)) == expected


def test_text_signature_and_doc_are_split():
    assert korvane.SphericalPoint.__text_signature__ == "(r, theta, phi)"
    assert korvane.angular_distance.__text_signature__ == "(a, b)"
    assert korvane.SphericalPoint.to_geo.__text_signature__ == "($self)"
    assert not korvane.angular_distance.__doc__.startswith("angular_distance(")


def test_bound_method_signature_drops_self():
    assert str(inspect.signature(korvane.SphericalPoint(1, 0, 0).to_cartesian)) == "()"


def test_extension_uses_multi_phase_init():
    # Re-executing a multi-phase module gives a fresh module object with fresh types; a
    # single-phase module would hand back the cached one.
    code = (
        "import importlib.util, sys, korvane\n"
        "spec = importlib.util.find_spec('korvane.korvane')\n"
        "first = sys.modules['korvane.korvane']\n"
        "second = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(second)\n"
        "assert second is not first and second.SphericalPoint is not first.SphericalPoint\n"
        "assert second.SphericalPoint(1, 0, 0) != first.SphericalPoint(1, 0, 0)\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_argument_parser_messages():
    p = korvane.SphericalPoint(1, 0, 0)
    cases = [
        (lambda: korvane.angular_distance(p), "angular_distance() missing required argument 'b' (pos 2)"),
        (lambda: korvane.angular_distance(p, p, p), "angular_distance() takes 2 positional arguments but 3 were given"),
        (lambda: korvane.angular_distance(p, p, c=p), "angular_distance() got an unexpected keyword argument 'c'"),
        (lambda: korvane.angular_distance(p, a=p), "argument for angular_distance() given by name ('a') and position (1)"),
        (lambda: korvane.SphericalPoint(1, 0), "SphericalPoint() missing required argument 'phi' (pos 3)"),
        (lambda: korvane.SphericalPoint(1, 0, "x"), "SphericalPoint() argument 'phi' must be a real number, not str"),
        (lambda: korvane.great_circle_distance(p, p, None), "great_circle_distance() argument 'radius' must be a real number, not NoneType"),
        (lambda: korvane.spherical_to_geo(korvane.CartesianPoint(1, 0, 0)), "spherical_to_geo() argument 'p' must be SphericalPoint, not CartesianPoint"),
        (lambda: korvane.SphericalPoint.to_geo(korvane.CartesianPoint(1, 0, 0)), None),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        if message is not None:
            assert str(info.value) == message


def test_keyword_arguments_and_number_protocol():
    class Half:
        def __float__(self):
            return 0.5

    p = korvane.SphericalPoint(phi=0.25, theta=Half(), r=2)
    assert (p.r, p.theta, p.phi) == (2.0, 0.5, 0.25)
    assert korvane.great_circle_distance(a=p, b=p, radius=3) == 0.0
    assert math.isclose(korvane.chord_distance(b=p, a=korvane.SphericalPoint(0, 0, 0)), 2.0)


def test_stub_file_matches_the_module():
    allowlist = Path(__file__).parent / "data" / "stubtest-allowlist.txt"
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "korvane", "--allowlist", str(allowlist)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
