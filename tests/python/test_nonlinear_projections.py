import logging
import time

import numpy as np
import pytest

import korvane as kv

WARNING = "KernelPcaProjection::fit: O(n²·d) cost, expect minutes-to-hours. Consider PCA or downsampling."


def separated(n, d=6, centres=3, seed=0):
    rng = np.random.default_rng(seed)
    means = np.eye(d)[:centres] * 4
    return means[np.arange(n) % centres] + rng.normal(scale=0.2, size=(n, d))


class TestKernelPca:
    def test_explained_variance_against_numpy(self):
        x = separated(60)
        sigma = 0.7
        u = x / np.linalg.norm(x, axis=1, keepdims=True)
        sq = np.sum((u[:, None, :] - u[None, :, :]) ** 2, axis=2)
        k = np.exp(-sq / (2 * sigma**2))
        n = len(k)
        centring = np.eye(n) - np.ones((n, n)) / n
        kc = centring @ k @ centring
        top = np.sort(np.linalg.eigvalsh(kc))[::-1][:3]
        p = kv.KernelPcaProjection.fit(x, sigma=sigma)
        assert p.explained_variance_ratio == pytest.approx(top.sum() / np.trace(kc), rel=1e-8)

    def test_fixed_bandwidth_and_attributes(self):
        x = separated(30)
        p = kv.KernelPcaProjection.fit(x, sigma=0.5)
        assert p.sigma == 0.5 and p.num_training_points == 30 and p.dimensionality == 6
        assert repr(p) == f"KernelPcaProjection(dim=6, sigma=0.5000, explained_variance={p.explained_variance_ratio:.4f})"

    def test_fits_are_deterministic_and_training_points_are_certain(self):
        x = separated(90)
        a, b = kv.KernelPcaProjection.fit(x), kv.KernelPcaProjection.fit(x)
        assert a.sigma == b.sigma
        rich = a.project_rich_batch(x)
        assert [(q.position.theta, q.certainty) for q in rich] == [(q.position.theta, q.certainty) for q in b.project_rich_batch(x)]
        assert np.median([q.certainty for q in rich]) > 0.9

    def test_volumetric_radius(self):
        x = separated(30)
        rich = kv.KernelPcaProjection.fit(x, volumetric=True).project_rich_batch(x)
        assert [q.position.r for q in rich] == pytest.approx([q.projection_magnitude for q in rich])

    @pytest.mark.parametrize("sigma, shown", [(0, "0"), (-1, "-1"), (float("nan"), "NaN")])
    def test_bandwidth_must_be_positive(self, sigma, shown):
        with pytest.raises(ValueError) as info:
            kv.KernelPcaProjection.fit(separated(10), sigma=sigma)
        assert str(info.value) == f"kernel bandwidth σ must be positive, got {shown}"

    def test_other_errors(self):
        with pytest.raises(ValueError, match="^embedding dimension 2 is below the minimum 3 for this projection$"):
            kv.KernelPcaProjection.fit([[1.0, 2.0]])
        with pytest.raises(ValueError, match="^expected dimension 6, got 2$"):
            kv.KernelPcaProjection.fit(separated(10)).project([1.0, 2.0])
        with pytest.raises(TypeError):
            kv.KernelPcaProjection()

    @pytest.mark.parametrize("n, expected", [(1999, 0), (2000, 1)])
    def test_cost_warning_from_2000_embeddings(self, caplog, n, expected):
        x = separated(n, d=3)
        with caplog.at_level(logging.WARNING):
            kv.KernelPcaProjection.fit(x, sigma=1.0)
        records = [r for r in caplog.records if r.getMessage() == WARNING]
        assert len(records) == expected
        for record in records:
            assert (record.levelno, record.n, record.dim) == (logging.WARNING, n, 3)
            assert record.name == "korvane_embed.kernel_pca"


class TestLaplacianEigenmap:
    def test_attributes_and_repr(self):
        p = kv.LaplacianEigenmap.fit(separated(40))
        assert p.explained_variance_ratio == p.connectivity_ratio
        values = p.eigenvalues
        assert len(values) == 3 and values == sorted(values, reverse=True)
        assert p.eigenvalues is not p.eigenvalues
        assert repr(p) == (
            f"LaplacianEigenmap(dim=6, connectivity={p.connectivity_ratio:.4f}, "
            f"eigenvalues=[{values[0]:.3f}, {values[1]:.3f}, {values[2]:.3f}])"
        )

    def test_accepts_queries_of_any_length(self):
        p = kv.LaplacianEigenmap.fit(separated(40))
        for query in ([1.0], [0.5] * 6, [0.1] * 50):
            assert isinstance(p.project(query), kv.SphericalPoint)

    def test_parameters_change_the_fit(self):
        x = separated(60)
        base = kv.LaplacianEigenmap.fit(x)
        assert base.eigenvalues == kv.LaplacianEigenmap.fit(x, k_neighbors=15, active_threshold=0.05).eigenvalues
        assert base.eigenvalues != kv.LaplacianEigenmap.fit(x, k_neighbors=5).eigenvalues

    def test_errors(self):
        with pytest.raises(ValueError, match="^need at least 4 embeddings, got 3$"):
            kv.LaplacianEigenmap.fit(separated(3))
        with pytest.raises(OverflowError):
            kv.LaplacianEigenmap.fit(separated(10), k_neighbors=-1)
        with pytest.raises(TypeError):
            kv.LaplacianEigenmap()
