#include "projection/kernel_pca.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "common/log.hpp"
#include "common/parallel.hpp"
#include "common/simd.hpp"
#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "projection/power_iteration.hpp"

namespace korvane::projection {
namespace {

constexpr double kEps = geometry::kEpsilon;
constexpr std::size_t kWarnAt = 2000;
constexpr std::size_t kAllPairsUpTo = 100;
constexpr std::size_t kSampledPairs = 5000;
constexpr std::uint64_t kBandwidthSeed = 0xCAFEBABE;
constexpr std::uint64_t kIterationSeed = 0xBEEFCAFE;
constexpr std::size_t kMaxIterations = 300;
constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr double kMinSigma = 1e-8;

using simd::V4;

// Two four-lane accumulators. Shared by the fit and by queries, so a training point queried again
// meets exactly the kernel row it was fitted with.
KORVANE_AVX2_CLONES
double squared_distance(const double* __restrict a, const double* __restrict b, std::size_t len) noexcept {
    V4 acc0 = {0.0, 0.0, 0.0, 0.0}, acc1 = acc0;
    std::size_t k = 0;
    for (; k + 8 <= len; k += 8) {
        V4 a0, a1, b0, b1;
        std::memcpy(&a0, a + k, sizeof a0);
        std::memcpy(&a1, a + k + 4, sizeof a1);
        std::memcpy(&b0, b + k, sizeof b0);
        std::memcpy(&b1, b + k + 4, sizeof b1);
        const V4 d0 = a0 - b0, d1 = a1 - b1;
        acc0 += d0 * d0;
        acc1 += d1 * d1;
    }
    const V4 acc = acc0 + acc1;
    double s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; k < len; ++k) {
        const double d = a[k] - b[k];
        s += d * d;
    }
    return s;
}

// Rows [begin, end) of the packed upper triangle times v, into the chunk's partial p (which
// covers rows begin..n−1): row i's dot product goes to p[i], its mirrored column to p[j > i].
KORVANE_AVX2_CLONES
void packed_rows_product(const double* __restrict data, std::size_t n, std::size_t begin, std::size_t end,
                         const double* __restrict v, double* __restrict p) noexcept {
    std::fill(p, p + (n - begin), 0.0);
    for (std::size_t i = begin; i < end; ++i) {
        const double* __restrict a = data + (i * n - i * (i - 1) / 2);  // a[t] is entry (i, i + t)
        const double* __restrict x = v + i;
        double* __restrict pr = p + (i - begin);
        const std::size_t len = n - i;
        const double vi = v[i];
        const V4 vi4 = {vi, vi, vi, vi};
        V4 acc[4] = {};
        std::size_t t = 1;
        for (; t + 16 <= len; t += 16) {
            for (std::size_t q = 0; q < 4; ++q) {
                V4 aq, xq, pq;
                std::memcpy(&aq, a + t + 4 * q, sizeof aq);
                std::memcpy(&xq, x + t + 4 * q, sizeof xq);
                std::memcpy(&pq, pr + t + 4 * q, sizeof pq);
                acc[q] += aq * xq;
                pq += aq * vi4;
                std::memcpy(pr + t + 4 * q, &pq, sizeof pq);
            }
        }
        const V4 sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
        double tail = 0.0;
        for (; t < len; ++t) {
            tail += a[t] * x[t];
            pr[t] += a[t] * vi;
        }
        pr[0] += a[0] * vi + (((sum[0] + sum[1]) + (sum[2] + sum[3])) + tail);
    }
}

// A zero distance is exactly 1 even when γ overflowed to infinity (σ below about 5e-155), where
// exp(−γ·0) would be NaN.
double rbf(double gamma, double d2) noexcept { return d2 > 0.0 ? std::exp(-gamma * d2) : 1.0; }

// Upper triangle (diagonal included) of a symmetric matrix, row-packed: half the memory and half
// the traffic of the dense matrix in every product.
//
// Rows are cut into chunks of about equal area that depend on n only. A product accumulates each
// chunk into its own partial vector (row dot products for its rows, mirrored column updates for
// the rows below) and adds the partials in chunk order, so the result is bit-identical for any
// number of threads.
class PackedSymmetric {
public:
    explicit PackedSymmetric(std::size_t n) : n_(n), data_(n * (n + 1) / 2) {
        const std::size_t chunks = std::clamp<std::size_t>(n / 64, 1, 32);
        const double area_per_chunk = static_cast<double>(data_.size()) / static_cast<double>(chunks);
        starts_.push_back(0);
        std::size_t area = 0;
        for (std::size_t i = 0; i < n; ++i) {
            area += n - i;
            const double boundary = area_per_chunk * static_cast<double>(starts_.size());
            if (static_cast<double>(area) >= boundary && i + 1 < n && starts_.size() < chunks) {
                starts_.push_back(i + 1);
            }
        }
        starts_.push_back(n);
        partial_offsets_.push_back(0);
        for (std::size_t c = 0; c + 1 < starts_.size(); ++c) {
            partial_offsets_.push_back(partial_offsets_.back() + (n - starts_[c]));
        }
        partials_.resize(partial_offsets_.back());
    }

    std::size_t chunks() const noexcept { return starts_.size() - 1; }
    std::size_t chunk_begin(std::size_t c) const noexcept { return starts_[c]; }
    std::size_t chunk_end(std::size_t c) const noexcept { return starts_[c + 1]; }

    // Row i from the diagonal on: entries (i, i), (i, i + 1), ..., (i, n − 1).
    double* row(std::size_t i) noexcept { return data_.data() + offset(i); }

    // Runs fn(row_begin, row_end) for every chunk, on the pool when there are several.
    template <class Fn>
    void for_each_row_chunk(Fn&& fn) const {
        parallel::for_each_chunk(chunks(), 1, [&](std::size_t c_begin, std::size_t c_end) {
            for (std::size_t c = c_begin; c < c_end; ++c) fn(chunk_begin(c), chunk_end(c));
        });
    }

    // out = A·v. Not reentrant: the partial buffers belong to the matrix.
    void multiply(std::span<const double> v, std::span<double> out) {
        parallel::for_each_chunk(chunks(), 1, [&](std::size_t c_begin, std::size_t c_end) {
            for (std::size_t c = c_begin; c < c_end; ++c) multiply_chunk(c, v.data());
        });
        const double* first = partials_.data();
        std::copy(first, first + n_, out.begin());
        for (std::size_t c = 1; c < chunks(); ++c) {
            const double* p = partials_.data() + partial_offsets_[c];
            const std::size_t b = starts_[c];
            for (std::size_t j = b; j < n_; ++j) out[j] += p[j - b];
        }
    }

private:
    std::size_t offset(std::size_t i) const noexcept { return i * n_ - i * (i - 1) / 2; }

    void multiply_chunk(std::size_t c, const double* v) noexcept {
        packed_rows_product(data_.data(), n_, starts_[c], starts_[c + 1], v, partials_.data() + partial_offsets_[c]);
    }

    std::size_t n_;
    std::vector<double> data_;
    std::vector<std::size_t> starts_;           // chunk c covers rows [starts_[c], starts_[c + 1])
    std::vector<std::size_t> partial_offsets_;  // chunk c's partial covers rows [starts_[c], n)
    std::vector<double> partials_;
};

double median_bandwidth(const std::vector<double>& training, std::size_t n, std::size_t d) {
    if (n <= 1) return 1.0;
    const auto distance = [&](std::size_t i, std::size_t j) {
        return std::sqrt(squared_distance(&training[i * d], &training[j * d], d));
    };
    std::vector<double> distances;
    if (n <= kAllPairsUpTo) {
        distances.reserve(n * (n - 1) / 2);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) distances.push_back(distance(i, j));
        }
    } else {
        distances.reserve(kSampledPairs);
        random::SplitMix64 rng{kBandwidthSeed};
        for (std::size_t s = 0; s < kSampledPairs; ++s) {
            const std::size_t i = static_cast<std::size_t>(rng.next_u64() % n);
            std::size_t j = static_cast<std::size_t>(rng.next_u64() % n);
            if (j == i) j = i + 1 == n ? 0 : i + 1;
            distances.push_back(distance(i, j));
        }
    }
    const auto middle = distances.begin() + static_cast<std::ptrdiff_t>(distances.size() / 2);
    std::nth_element(distances.begin(), middle, distances.end());
    return std::max(*middle * kInvSqrt2, kMinSigma);
}

void warn_cost(std::size_t n, std::size_t d) {
    log::emit(log::Event{
        "korvane_embed::kernel_pca",
        log::Level::Warn,
        {{"n", std::uint64_t{n}}, {"dim", std::uint64_t{d}}},
        "KernelPcaProjection::fit: O(n²·d) cost, expect minutes-to-hours. Consider PCA or downsampling.",
    });
}

}  // namespace

Result<KernelPcaProjection, ProjectionError> KernelPcaProjection::fit(const RowsView& embeddings,
                                                                      RadialStrategy radial) {
    return fit_impl(embeddings, nullptr, radial);
}

Result<KernelPcaProjection, ProjectionError> KernelPcaProjection::fit_with_sigma(const RowsView& embeddings,
                                                                                 double sigma,
                                                                                 RadialStrategy radial) {
    if (!(sigma > 0.0)) return Err{ProjectionError{InvalidBandwidth{sigma}}};
    return fit_impl(embeddings, &sigma, radial);
}

Result<KernelPcaProjection, ProjectionError> KernelPcaProjection::fit_impl(const RowsView& embeddings,
                                                                           const double* given_sigma,
                                                                           RadialStrategy radial) {
    // The cost warning comes after the empty/too-low checks but before the per-row length check.
    const std::optional<ProjectionError> invalid = validate_corpus(embeddings, 3);
    if (invalid && !std::holds_alternative<InconsistentDimension>(*invalid)) return Err{*invalid};
    const std::size_t n = embeddings.size();
    const std::size_t d = embeddings[0].size();
    if (n >= kWarnAt) warn_cost(n, d);
    if (invalid) return Err{*invalid};

    auto state = std::make_shared<State>();
    state->dimensionality = d;
    state->training.resize(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<double> unit = normalized(embeddings[i]);
        std::copy(unit.begin(), unit.end(), state->training.begin() + static_cast<std::ptrdiff_t>(i * d));
    }
    const std::vector<double>& x = state->training;

    state->sigma = given_sigma ? *given_sigma : median_bandwidth(x, n, d);
    state->gamma = 0.5 / (state->sigma * state->sigma);
    const double gamma = state->gamma;

    PackedSymmetric kernel(n);
    kernel.for_each_row_chunk([&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double* row = kernel.row(i);
            row[0] = 1.0;
            const double* xi = &x[i * d];
            for (std::size_t j = i + 1; j < n; ++j) row[j - i] = rbf(gamma, squared_distance(xi, &x[j * d], d));
        }
    });

    // Row sums through the same product, so they are thread-count independent too.
    const double nd = static_cast<double>(n);
    std::vector<double> sums(n);
    kernel.multiply(std::vector<double>(n, 1.0), sums);
    double total = 0.0;
    for (double s : sums) total += s;
    std::vector<double>& r = state->row_means;
    r.resize(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = sums[i] / nd;
    const double mu = total / (nd * nd);
    state->kernel_mean = mu;

    kernel.for_each_row_chunk([&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            double* row = kernel.row(i);
            const double ri = r[i];
            for (std::size_t j = i; j < n; ++j) row[j - i] = row[j - i] - ri - r[j] + mu;
        }
    });
    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) trace += kernel.row(i)[0];
    state->total_kernel_variance = trace / nd;

    SpectralComponents components = leading_eigenpairs(
        n, PowerIterationSettings{kIterationSeed, kMaxIterations, false}, {},
        [&kernel](std::span<const double> in, std::span<double> out) { kernel.multiply(in, out); });

    state->eigenvalues = components.values;
    for (std::size_t k = 0; k < 3; ++k) {
        std::vector<double>& alpha = state->coefficients[k];
        alpha.assign(n, 0.0);
        const double lambda = components.values[k];
        if (lambda > kEps) {
            const double root = std::sqrt(lambda);
            for (std::size_t i = 0; i < n; ++i) alpha[i] = components.vectors[k][i] / root;
        }
    }
    return KernelPcaProjection(std::move(state), radial);
}

double KernelPcaProjection::explained_variance_ratio() const noexcept {
    if (state_->total_kernel_variance < kEps) return 1.0;
    const auto& l = state_->eigenvalues;
    const double trace = state_->total_kernel_variance * static_cast<double>(num_training_points());
    return std::clamp((l[0] + l[1] + l[2]) / trace, 0.0, 1.0);
}

KernelCoordinates KernelPcaProjection::kernel_project(std::span<const double> unit) const {
    const State& s = *state_;
    const std::size_t n = s.row_means.size();
    const std::size_t d = s.dimensionality;
    const std::size_t len = std::min(unit.size(), d);

    std::vector<double> k(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        k[i] = rbf(s.gamma, squared_distance(unit.data(), &s.training[i * d], len));
        sum += k[i];
    }
    const double k_mean = sum / static_cast<double>(n);
    const double mu = s.kernel_mean;
    const auto& a = s.coefficients;
    double x = 0.0, y = 0.0, z = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double c = k[i] - k_mean - s.row_means[i] + mu;
        x += a[0][i] * c;
        y += a[1][i] * c;
        z += a[2][i] * c;
    }
    return {x, y, z, std::max(1.0 - 2.0 * k_mean + mu, 0.0)};
}

ProjectedPoint KernelPcaProjection::project_rich(std::span<const double> embedding) const {
    const double m = magnitude(embedding);
    const KernelCoordinates c = kernel_project(normalized(embedding));
    const double g = c.x * c.x + c.y * c.y + c.z * c.z;
    const double p = std::sqrt(g);
    const double certainty = c.feature_distance_sq > kEps ? std::min(g / c.feature_distance_sq, 1.0) : 0.0;
    const geometry::SphericalPoint position =
        volumetric_ ? geometry::cartesian_to_spherical({c.x, c.y, c.z})
                    : directed_point(c.x, c.y, c.z, p, radius_for(radial_, m));
    return {position, certainty, m, p};
}

}  // namespace korvane::projection
