import threading
import time

import numpy as np
import pytest

import korvane as kv


def clustered(n=300, d=16, centres=4, seed=0, spread=0.3):
    rng = np.random.default_rng(seed)
    means = rng.normal(size=(centres, d)) * 3
    labels = rng.integers(0, centres, size=n)
    return means[labels] + rng.normal(scale=spread, size=(n, d))


def fields(p):
    pos = p.position
    return (pos.r, pos.theta, pos.phi, p.certainty, p.intensity, p.projection_magnitude)


def numpy_pca(x):
    """Reference: eigen-decomposition of the covariance of the normalised, centred rows."""
    u = x / np.linalg.norm(x, axis=1, keepdims=True)
    c = u - u.mean(axis=0)
    values, vectors = np.linalg.eigh(c.T @ c / len(c))
    order = np.argsort(values)[::-1]
    return c, values[order], vectors[:, order[:3]]


class TestPcaAgainstNumpy:
    def test_explained_variance_ratio(self):
        x = clustered()
        c, values, _ = numpy_pca(x)
        expected = values[:3].sum() / (np.sum(c * c) / len(c))
        assert kv.PcaProjection.fit(x).explained_variance_ratio == pytest.approx(expected, rel=1e-9)

    def test_volumetric_radius_and_certainty_are_the_subspace_projection(self):
        x = clustered(seed=3)
        c, _, top = numpy_pca(x)
        inside = np.linalg.norm(c @ top, axis=1)  # sign-free: length of the part the axes capture
        certainty = inside**2 / np.sum(c * c, axis=1)
        points = kv.PcaProjection.fit(x, volumetric=True).project_rich_batch(x)
        assert [p.position.r for p in points] == pytest.approx(inside, rel=1e-7)
        assert [p.projection_magnitude for p in points] == pytest.approx(inside, rel=1e-7)
        assert [p.certainty for p in points] == pytest.approx(certainty, rel=1e-6)


class TestPca:
    def test_fits_are_bit_identical_and_input_forms_agree(self):
        x = clustered(d=12).astype(np.float32)
        reference = [fields(p) for p in kv.PcaProjection.fit(x.astype(np.float64)).project_rich_batch(x)]
        for form in (x, x.astype(np.float64), np.asfortranarray(x.astype(np.float64)), x.astype(np.float64).tolist()):
            got = [fields(p) for p in kv.PcaProjection.fit(form).project_rich_batch(x)]
            assert got == reference

    def test_radial_strategies(self):
        x = clustered(n=60, d=6)
        norms = np.linalg.norm(x, axis=1)
        default = kv.PcaProjection.fit(x).project_batch(x)
        assert default == kv.PcaProjection.fit(x, radial="magnitude").project_batch(x)
        assert [p.r for p in default] == pytest.approx(norms)
        assert {p.r for p in kv.PcaProjection.fit(x, radial=1.0).project_batch(x)} == {1.0}
        volumetric = kv.PcaProjection.fit(x, volumetric=True).project_rich_batch(x)
        assert [p.position.r for p in volumetric] == [p.projection_magnitude for p in volumetric]

    def test_scaled_embeddings_share_axes_and_direction(self):
        x = clustered(n=80, d=5)
        p, q = kv.PcaProjection.fit(x), kv.PcaProjection.fit(x * 5)
        assert p.explained_variance_ratio == pytest.approx(q.explained_variance_ratio, rel=1e-12)
        a, b = p.project(x[0]), p.project(x[0] * 5)
        assert (a.theta, a.phi) == pytest.approx((b.theta, b.phi), abs=1e-12)
        assert b.r == pytest.approx(5 * a.r)

    def test_identical_rows_and_zero_embedding(self):
        x = np.tile([1.0, 2.0, 3.0, 4.0], (10, 1))
        p = kv.PcaProjection.fit(x)
        assert p.explained_variance_ratio == 1.0
        point = p.project_rich(x[0])
        assert (point.position.theta, point.position.phi) == (0, 0)
        assert point.projection_magnitude < 2.220446049250313e-16  # rounding of the mean only
        assert point.position.r == pytest.approx(np.linalg.norm(x[0]))
        zero = kv.PcaProjection.fit(clustered(n=40, d=4)).project_rich([0, 0, 0, 0])
        assert (zero.intensity, zero.position.r) == (0, 0)

    @pytest.mark.parametrize(
        "x, message",
        [
            ([[1, 0], [0, 1]], "embedding dimension 2 is below the minimum 3 for this projection"),
            ([[1, 0, 0], [0, 1, 0, 0]], "embedding 1 has dimension 4, expected 3"),
            ([], "need at least one embedding to fit a projection"),
            (np.zeros((0, 5)), "need at least one embedding to fit a projection"),
        ],
    )
    def test_fit_errors(self, x, message):
        with pytest.raises(ValueError) as info:
            kv.PcaProjection.fit(x)
        assert str(info.value) == message

    def test_wrong_input_length_leaves_projection_usable(self):
        p = kv.PcaProjection.fit(clustered(n=30, d=4))
        for call in (lambda: p.project([1, 2, 3]), lambda: p.project_batch([[1, 2, 3, 4], [1, 2]])):
            with pytest.raises(ValueError, match="^expected dimension 4, got [32]$"):
                call()
        assert p.project([1, 2, 3, 4]).r == pytest.approx(np.sqrt(30))

    def test_batches_match_single_projections(self):
        x = clustered(n=25, d=7)
        p = kv.PcaProjection.fit(x)
        assert [fields(q) for q in p.project_rich_batch(x)] == [fields(p.project_rich(row)) for row in x]
        assert p.project_batch(x) == [p.project(row) for row in x]
        assert p.project_batch(np.zeros((0, 7))) == [] and p.project_rich_batch([]) == []

    def test_repr_attributes_and_construction(self):
        p = kv.PcaProjection.fit(clustered(n=30, d=4))
        assert repr(p) == f"PcaProjection(dim=4, explained_variance={p.explained_variance_ratio:.4f})"
        assert p.dimensionality == 4
        with pytest.raises(AttributeError):
            p.dimensionality = 5
        with pytest.raises(TypeError):
            kv.PcaProjection()
        with pytest.raises(TypeError):
            kv.PcaProjection.fit(clustered(n=30, d=4), volumetric=1)


class TestRandomProjection:
    def test_seeding(self):
        x = clustered(n=20, d=8)
        default, same, other = kv.RandomProjection(8), kv.RandomProjection(8, seed=42), kv.RandomProjection(8, seed=7)
        assert default.project_batch(x) == same.project_batch(x)
        assert default.project_batch(x) != other.project_batch(x)
        assert repr(default) == "RandomProjection(dim=8)" and default.dimensionality == 8

    def test_rich_result_and_radius(self):
        x = clustered(n=20, d=8)
        rich = kv.RandomProjection(8, radial=2.5).project_rich_batch(x)
        assert {(p.certainty, p.projection_magnitude, p.position.r) for p in rich} == {(1.0, 1.0, 2.5)}
        assert [p.intensity for p in rich] == pytest.approx(np.linalg.norm(x, axis=1))

    def test_errors(self):
        with pytest.raises(ValueError, match="^embedding dimension must be >= 3$"):
            kv.RandomProjection(2)
        for bad in (-1, 2**64):
            with pytest.raises(OverflowError):
                kv.RandomProjection(bad)
        with pytest.raises(OverflowError):
            kv.RandomProjection(8, seed=-1)
        with pytest.raises(TypeError):
            kv.RandomProjection(8.0)
        with pytest.raises(ValueError, match="^expected dimension 8, got 3$"):
            kv.RandomProjection(8).project([1, 2, 3])


def test_long_work_releases_the_interpreter_lock():
    x = clustered(n=20000, d=64, seed=1)
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.01)
        before = ticks
        p = kv.PcaProjection.fit(x)
        p.project_rich_batch(x)
        during = ticks - before
    finally:
        done.set()
        counter.join()
    assert during > 10
