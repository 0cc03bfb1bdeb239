import math

import pytest

from korvane import (
    CartesianPoint,
    GeoPoint,
    SphericalPoint,
    angular_distance,
    cartesian_to_spherical,
    chord_distance,
    geo_to_spherical,
    great_circle_distance,
    spherical_to_cartesian,
    spherical_to_geo,
)

NAN = float("nan")
INF = float("inf")


def as_tuple(p):
    for fields in (("r", "theta", "phi"), ("x", "y", "z"), ("lat", "lon", "alt")):
        if hasattr(p, fields[0]):
            return tuple(getattr(p, f) for f in fields)
    raise TypeError(p)


@pytest.mark.parametrize(
    "args, message",
    [
        ((-1, 0, 0), "invalid radius -1: must be >= 0"),
        ((1, 2 * math.pi, 0), "invalid theta 6.283185307179586: must be in [0, 2π)"),
        ((1, 7, 0), "invalid theta 7: must be in [0, 2π)"),
        ((1, -0.5, 0), "invalid theta -0.5: must be in [0, 2π)"),
        ((1, NAN, 0), "invalid theta NaN: must be in [0, 2π)"),
        ((1, 0, math.pi + 1e-9), "invalid phi 3.141592654589793: must be in [0, π]"),
        ((1, 0, NAN), "invalid phi NaN: must be in [0, π]"),
        ((-INF, NAN, NAN), "invalid radius -inf: must be >= 0"),  # first failing test wins
        ((1e-7 * -1, 0, 0), "invalid radius -0.0000001: must be >= 0"),
    ],
)
def test_spherical_point_validation(args, message):
    with pytest.raises(ValueError) as info:
        SphericalPoint(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        ((91, 0, 0), "invalid latitude 91: must be in [-90, 90]"),
        ((NAN, 0, 0), "invalid latitude NaN: must be in [-90, 90]"),
        ((0, 181, 0), "invalid longitude 181: must be in [-180, 180]"),
        ((0, -180.5, 0), "invalid longitude -180.5: must be in [-180, 180]"),
        ((0, 0, -0.5), "invalid altitude -0.5: must be >= 0"),
    ],
)
def test_geo_point_validation(args, message):
    with pytest.raises(ValueError) as info:
        GeoPoint(*args)
    assert str(info.value) == message


def test_boundary_values_are_accepted():
    assert as_tuple(SphericalPoint(1, 0, math.pi)) == (1, 0, math.pi)
    assert math.isnan(SphericalPoint(NAN, 0, 0).r)
    assert as_tuple(GeoPoint(0, 180, 0)) == (0, 180, 0)
    assert as_tuple(GeoPoint(-90, -180, 0)) == (-90, -180, 0)
    assert math.isnan(GeoPoint(0, 0, NAN).alt)


@pytest.mark.parametrize(
    "xyz, expected",
    [
        ((0, 0, 0), (0, 0, 0)),
        ((-1, 0, 0), (1, math.pi, math.pi / 2)),
        ((0, -1, 0), (1, 3 * math.pi / 2, math.pi / 2)),
        ((0, 0, -2), (2, 0, math.pi)),
        ((0, 0, 1e-17), (0, 0, 0)),  # below ε the point collapses to the origin
    ],
)
def test_cartesian_to_spherical(xyz, expected):
    got = as_tuple(cartesian_to_spherical(CartesianPoint(*xyz)))
    assert got == pytest.approx(expected, abs=1e-15)
    assert as_tuple(CartesianPoint(*xyz).to_spherical()) == got


def test_spherical_cartesian_round_trip():
    for r, theta, phi in [(1, 0.3, 1.2), (2.5, 6.0, 0.1), (0.7, 3.2, 3.0)]:
        back = cartesian_to_spherical(spherical_to_cartesian(SphericalPoint(r, theta, phi)))
        assert as_tuple(back) == pytest.approx((r, theta, phi), rel=1e-12)


def test_geographic_conversions():
    low = SphericalPoint(0.5, 0, 1)
    assert spherical_to_geo(low).alt == 0
    assert geo_to_spherical(low.to_geo()).r == 1
    assert as_tuple(GeoPoint(0, -90, 0).to_spherical()) == pytest.approx((1, 3 * math.pi / 2, math.pi / 2))
    assert as_tuple(GeoPoint(0, 0, 0).to_spherical()) == (1, 0, math.pi / 2)
    # Longitudes beyond 180 degrees wrap to negative values.
    assert spherical_to_geo(SphericalPoint(2, 3 * math.pi / 2, 0)).lon == pytest.approx(-90)
    assert as_tuple(spherical_to_geo(SphericalPoint(2, 0, 0))) == (90, 0, 1)
    g = GeoPoint(45, 30, 0.5)
    assert as_tuple(g.to_cartesian()) == as_tuple(g.to_spherical().to_cartesian())


def test_distances():
    a = SphericalPoint(1, 0.4, 1.1)
    assert angular_distance(a, SphericalPoint(5, 0.4, 1.1)) == 0
    north, south = SphericalPoint(1, 0, 0), SphericalPoint(1, 0, math.pi)
    assert angular_distance(north, south) == pytest.approx(math.pi, abs=1e-15)
    assert chord_distance(north, south) == pytest.approx(2)
    assert chord_distance(SphericalPoint(1, 0, 0), SphericalPoint(3, 0, 0)) == 2
    b = SphericalPoint(1, 2.0, 0.3)
    assert great_circle_distance(a, b, 6371.0) == 6371.0 * angular_distance(a, b)
    # atan2 keeps tiny angles accurate where acos of the dot product would round to 0.
    assert angular_distance(SphericalPoint(1, 0, 1), SphericalPoint(1, 0, 1 + 1e-12)) == pytest.approx(1e-12, rel=1e-3)


def test_normalize_and_magnitude():
    assert as_tuple(CartesianPoint(0, 0, 0).normalize()) == (0, 0, 0)
    assert as_tuple(CartesianPoint(1e-17, 0, 0).normalize()) == (0, 0, 0)
    assert as_tuple(CartesianPoint(3, 0, 4).normalize()) == pytest.approx((0.6, 0, 0.8))
    assert CartesianPoint(3, 0, 4).magnitude() == 5


def test_equality_is_exact_and_class_bound():
    assert SphericalPoint(1, 0, 0) == SphericalPoint(1, 0, 0)
    assert SphericalPoint(1, 0, 0) != SphericalPoint(1, 0, 1e-300)
    assert (SphericalPoint(1, 0, 0) == CartesianPoint(1, 0, 0)) is False
    assert (SphericalPoint(1, 0, 0) != CartesianPoint(1, 0, 0)) is True
    nan_point = CartesianPoint(NAN, 0, 0)
    assert nan_point != nan_point
    assert (SphericalPoint(1, 0, 0) == (1, 0, 0)) is False
    for make in (lambda: SphericalPoint(1, 0, 0), lambda: CartesianPoint(1, 0, 0), lambda: GeoPoint(0, 0, 0)):
        with pytest.raises(TypeError):
            make() < make()
        with pytest.raises(TypeError):
            hash(make())
        with pytest.raises(TypeError):
            {make()}


@pytest.mark.parametrize(
    "point, text",
    [
        (SphericalPoint(1, 0.5, 2), "SphericalPoint(r=1, theta=0.5, phi=2)"),
        (SphericalPoint(1e-7, 0, 0), "SphericalPoint(r=0.0000001, theta=0, phi=0)"),
        (CartesianPoint(-1.5, 1e20, NAN), "CartesianPoint(x=-1.5, y=100000000000000000000, z=NaN)"),
        (CartesianPoint(INF, -INF, 0.1), "CartesianPoint(x=inf, y=-inf, z=0.1)"),
        (GeoPoint(-90, 180, 0.25), "GeoPoint(lat=-90, lon=180, alt=0.25)"),
    ],
)
def test_repr(point, text):
    assert repr(point) == text


def test_attributes_are_read_only():
    p = SphericalPoint(1, 0, 0)
    for name in ("r", "theta", "phi"):
        with pytest.raises(AttributeError):
            setattr(p, name, 2.0)
    with pytest.raises(AttributeError):
        p.extra = 1
    with pytest.raises(TypeError):
        class Sub(SphericalPoint):  # noqa: F841 - the classes are final
            pass


class TestProjectedPoint:
    def test_cannot_be_constructed(self):
        from korvane import ProjectedPoint

        with pytest.raises(TypeError, match="cannot create 'korvane.ProjectedPoint' instances"):
            ProjectedPoint()

    def test_attributes_and_repr(self, hooks):
        p = hooks.projected_point(1, 0.5, 2.25, 0.123456, 3.00005, 0.75)
        assert repr(p) == "ProjectedPoint(r=1.0000, theta=0.5000, phi=2.2500, certainty=0.1235, intensity=3.0000)"  # binary 3.00005 lies below the tie
        assert p.position == SphericalPoint(1, 0.5, 2.25)
        assert p.position is not p.position  # a new point on every access
        assert (p.certainty, p.intensity, p.projection_magnitude) == (0.123456, 3.00005, 0.75)
        with pytest.raises(AttributeError):
            p.certainty = 0.5

    def test_identity_semantics(self, hooks):
        p = hooks.projected_point(1, 0, 0, 1, 1, 1)
        q = hooks.projected_point(1, 0, 0, 1, 1, 1)
        assert p == p and p != q
        assert isinstance(hash(p), int)
