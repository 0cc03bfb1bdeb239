"""A short tour of korvane's spherical geometry."""

import math

import korvane as kv


def main() -> None:
    paris = kv.GeoPoint(48.8566, 2.3522, 0.0)
    tokyo = kv.GeoPoint(35.6762, 139.6503, 0.0)
    a, b = paris.to_spherical(), tokyo.to_spherical()
    print("Paris as a spherical point:", a)
    print("Tokyo as a Cartesian point:", tokyo.to_cartesian())
    angle = kv.angular_distance(a, b)
    print(f"angle between them: {angle:.6f} rad ({math.degrees(angle):.2f}°)")
    print(f"great-circle distance on the Earth: {kv.great_circle_distance(a, b, 6371.0):.1f} km")
    print(f"chord through the Earth:            {kv.chord_distance(a, b) * 6371.0:.1f} km")

    north = kv.SphericalPoint(1.0, 0.0, 0.0)
    south = kv.SphericalPoint(1.0, 0.0, math.pi)
    print("antipodal angle:", kv.angular_distance(north, south))
    print("origin normalised stays at the origin:", kv.CartesianPoint(0, 0, 0).normalize())

    try:
        kv.SphericalPoint(-1.0, 0.0, 0.0)
    except ValueError as error:
        print("validation:", error)


if __name__ == "__main__":
    main()
