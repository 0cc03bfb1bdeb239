"""Per-call cost of korvane's geometry functions from Python, against peers in the same run.

Peers: `math.atan2` (a builtin C function of two floats: the floor for any call from Python)
and the angular distance written in plain Python over tuples (what a user would otherwise
write). Timings are the best of several repeats; ratios are what to compare across machines.

    .venv/bin/python bench/geometry_calls.py
"""

import math
import timeit

import korvane as kv


def python_angular_distance(a, b):
    ax, ay, az = math.sin(a[2]) * math.cos(a[1]), math.sin(a[2]) * math.sin(a[1]), math.cos(a[2])
    bx, by, bz = math.sin(b[2]) * math.cos(b[1]), math.sin(b[2]) * math.sin(b[1]), math.cos(b[2])
    cx, cy, cz = ay * bz - az * by, az * bx - ax * bz, ax * by - ay * bx
    return math.atan2(math.sqrt(cx * cx + cy * cy + cz * cz), ax * bx + ay * by + az * bz)


def best_ns(statement, namespace, number=200_000, repeat=7):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    a, b = kv.SphericalPoint(1.0, 0.3, 1.2), kv.SphericalPoint(2.0, 2.1, 0.4)
    ta, tb = (1.0, 0.3, 1.2), (2.0, 2.1, 0.4)
    ns = dict(kv=kv, a=a, b=b, ta=ta, tb=tb, math=math, f=python_angular_distance)
    rows = [
        ("math.atan2(1.0, 2.0)", best_ns("math.atan2(1.0, 2.0)", ns)),
        ("python angular distance", best_ns("f(ta, tb)", ns)),
        ("kv.angular_distance(a, b)", best_ns("kv.angular_distance(a, b)", ns)),
        ("kv.angular_distance(a=a, b=b)", best_ns("kv.angular_distance(a=a, b=b)", ns)),
        ("kv.great_circle_distance(a, b, 2.0)", best_ns("kv.great_circle_distance(a, b, 2.0)", ns)),
        ("kv.SphericalPoint(1.0, 0.3, 1.2)", best_ns("kv.SphericalPoint(1.0, 0.3, 1.2)", ns)),
        ("a.to_cartesian()", best_ns("a.to_cartesian()", ns)),
    ]
    floor = rows[0][1]
    python = rows[1][1]
    print(f"{'call':40} {'ns/call':>9} {'÷ atan2':>8} {'÷ python':>9}")
    for name, t in rows:
        print(f"{name:40} {t:9.1f} {t / floor:8.2f} {t / python:9.3f}")


if __name__ == "__main__":
    main()
