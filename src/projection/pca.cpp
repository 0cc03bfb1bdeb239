#include "projection/pca.hpp"

#include <algorithm>
#include <cmath>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "projection/gram.hpp"
#include "projection/linalg.hpp"

namespace korvane::projection {
namespace {

using geometry::kEpsilon;

constexpr std::uint64_t kPowerIterationSeed = 0xDEADBEEF;
constexpr int kMaxIterations = 200;
constexpr double kConvergence = 1e-10;

// Rows per chunk of a pass over the corpus: a few hundred KiB of input each. Depends on d only,
// so the summation order, and with it every bit of the result, is fixed by the input shape.
std::size_t row_grain(std::size_t d) { return std::max<std::size_t>(16, (std::size_t{1} << 15) / std::max<std::size_t>(d, 1)); }

// Inputs below this many values are not worth waking the pool for.
constexpr std::size_t kParallelValues = 1 << 16;

// out = Σ_i (row i's contribution), where add_row(i, acc) adds d values into acc. Partials per
// chunk are summed in chunk order, so the result is the same for any thread count.
template <class AddRow>
void sum_over_rows(std::size_t n, std::size_t d, std::vector<double>& partials, std::vector<double>& out,
                   AddRow&& add_row) {
    const std::size_t grain = row_grain(d);
    const std::size_t chunks = parallel::chunk_count(n, grain);
    partials.assign(chunks * d, 0.0);
    parallel::for_each_chunk(
        n, grain,
        [&](std::size_t chunk, std::size_t begin, std::size_t end) {
            double* acc = partials.data() + chunk * d;
            for (std::size_t i = begin; i < end; ++i) add_row(i, acc);
        },
        n * d >= kParallelValues ? 0 : n + 1);
    out.assign(d, 0.0);
    for (std::size_t c = 0; c < chunks; ++c) linalg::axpy(1.0, partials.data() + c * d, out.data(), d);
}

// out = (XᵀX) v for the n×d matrix X whose rows `accumulate_row` adds as (row · v) · row.
template <class AccumulateRow>
void gram_product(std::size_t n, std::size_t d, const std::vector<double>& v, std::vector<double>& out,
                  std::vector<double>& partials, AccumulateRow&& accumulate_row) {
    sum_over_rows(n, d, partials, out, [&](std::size_t i, double* acc) { accumulate_row(i, v.data(), acc); });
}

void normalize_in_place(std::vector<double>& v) {
    const double m = linalg::norm(v);
    if (m > kEpsilon)
        for (double& x : v) x /= m;
}

// Power iteration with Gram–Schmidt deflation against the components already found, on the
// operator (1/n)·XᵀX given by `product`.
template <class Product>
Eigen3 power_iterate(std::size_t n, std::size_t d, Product&& product) {
    Eigen3 result;
    std::uint64_t state = kPowerIterationSeed;
    std::vector<double> w(d);
    for (int k = 0; k < 3; ++k) {
        std::vector<double> v = random::gaussian_vector(state, d);
        normalize_in_place(v);
        double lambda = 0.0;
        for (int iteration = 1;; ++iteration) {
            product(v, w);
            for (int j = 0; j < k; ++j) {
                const auto& u = result.vectors[static_cast<std::size_t>(j)];
                linalg::axpy(-linalg::dot(w, u), u.data(), w.data(), d);
            }
            const double m = linalg::norm(w);
            if (m > kEpsilon)
                for (double& x : w) x /= m;
            if (m < kEpsilon) break;  // v stays the component, with the previous estimate
            lambda = m / static_cast<double>(n);
            const double change = std::max(1.0 - std::fabs(linalg::dot(w, v)), 0.0);
            v.swap(w);
            if (change < kConvergence || iteration == kMaxIterations) break;
        }
        result.vectors[static_cast<std::size_t>(k)] = std::move(v);
        result.values[static_cast<std::size_t>(k)] = lambda;
    }
    return result;
}

std::optional<ProjectionError> validate_weights(const RowsView& embeddings, std::span<const double> weights) {
    if (weights.size() != embeddings.size()) return ProjectionError{LengthMismatch{embeddings.size(), weights.size()}};
    return std::nullopt;
}

// The training rows are sqrt(w_i)·(u_i − mean) with u_i the normalised embedding. They are
// never materialised: a pass reads the caller's embeddings and centres on the fly, so a fit
// needs no memory beyond its input.
struct CentredCorpus {
    const RowsView& embeddings;
    std::vector<double> inverse_norm;  // 1/|e_i|, or 0 for a (near-)zero embedding
    std::vector<double> root_weight;   // sqrt(w_i)
    std::vector<double> mean;
    std::size_t d;

    // Normalised embedding i, or the first basis vector for a zero one, dotted with x.
    double unit_dot(std::size_t i, const double* x) const {
        return inverse_norm[i] == 0.0 ? x[0] : linalg::dot(embeddings[i].data(), x, d) * inverse_norm[i];
    }
    void add_unit(std::size_t i, double alpha, double* out) const {
        if (inverse_norm[i] == 0.0)
            out[0] += alpha;
        else
            linalg::axpy(alpha * inverse_norm[i], embeddings[i].data(), out, d);
    }
};

// When d <= n the d×d Gram matrix is no larger than the corpus, and building it once (a blocked,
// cache-friendly pass) makes every power-iteration product a d×d one instead of a pass over all
// n rows. Beyond this width the rows are streamed each iteration instead.
constexpr std::size_t kMaxGramWidth = 4096;
constexpr std::size_t kGramBlockRows = 128;

bool use_gram(std::size_t n, std::size_t d) { return d <= n && d <= kMaxGramWidth; }

// XᵀX of the centred rows (full, symmetric), each row written into a block as it is centred.
std::vector<double> centred_gram(const CentredCorpus& corpus, std::size_t n) {
    const std::size_t d = corpus.d, width = gram_width(d);
    // Partial matrices per chunk, summed in chunk order; their number depends only on n and d
    // and is capped so the partials stay smaller than the corpus.
    const std::size_t chunks = std::clamp<std::size_t>(n / (8 * d), 1, 16);
    const std::size_t grain = (n + chunks - 1) / chunks;
    std::vector<std::vector<double>> partials(parallel::chunk_count(n, grain));
    parallel::for_each_chunk(n, grain, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
        std::vector<double>& c = partials[chunk];
        c.assign(width * width, 0.0);
        std::vector<double> block(kGramBlockRows * width, 0.0);
        for (std::size_t first = begin; first < end; first += kGramBlockRows) {
            const std::size_t rows = std::min(kGramBlockRows, end - first);
            for (std::size_t k = 0; k < rows; ++k) {
                const std::size_t i = first + k;
                double* row = block.data() + k * width;
                std::fill(row, row + d, 0.0);
                corpus.add_unit(i, corpus.root_weight[i], row);
                for (std::size_t j = 0; j < d; ++j) row[j] -= corpus.root_weight[i] * corpus.mean[j];
            }
            accumulate_gram_upper(c.data(), block.data(), rows, width);
        }
    });
    std::vector<double> gram(width * width, 0.0);
    for (const auto& c : partials)
        for (std::size_t a = 0; a < width; ++a) linalg::axpy(1.0, c.data() + a * width + a, gram.data() + a * width + a, width - a);
    symmetrize_from_upper(gram, width);
    return gram;
}

Result<PcaProjection, ProjectionError> fit_corpus(const RowsView& embeddings, std::vector<double> weights,
                                                  RadialStrategy radial) {
    const std::size_t n = embeddings.size();
    const std::size_t d = embeddings[0].size();
    CentredCorpus corpus{embeddings, std::vector<double>(n), std::vector<double>(n), std::vector<double>(d, 0.0), d};

    double total_weight = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double m = magnitude(embeddings[i]);
        corpus.inverse_norm[i] = m < kEpsilon ? 0.0 : 1.0 / m;
        corpus.root_weight[i] = std::sqrt(weights[i]);
        total_weight += weights[i];
    }

    // Weighted mean of the normalised embeddings.
    std::vector<double> partials;
    const std::size_t grain = row_grain(d);
    sum_over_rows(n, d, partials, corpus.mean, [&](std::size_t i, double* acc) { corpus.add_unit(i, weights[i], acc); });
    for (double& x : corpus.mean) x /= total_weight;

    if (use_gram(n, d)) {
        const std::vector<double> gram = centred_gram(corpus, n);
        const std::size_t width = gram_width(d);
        Eigen3 eigen = power_iterate(n, d, [&](const std::vector<double>& v, std::vector<double>& out) {
            out.resize(d);
            parallel::for_each_chunk(
                d, 64,
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t a = begin; a < end; ++a) out[a] = linalg::dot(gram.data() + a * width, v.data(), d);
                },
                d >= 512 ? 0 : d + 1);
        });
        // The trace of XᵀX is Σ_i |row_i|².
        double trace = 0.0;
        for (std::size_t a = 0; a < d; ++a) trace += gram[a * width + a];
        return PcaProjection::from_eigendecomp(std::move(eigen.vectors), eigen.values, std::move(corpus.mean), d,
                                               radial, trace / static_cast<double>(n));
    }

    Eigen3 eigen = power_iterate(n, d, [&](const std::vector<double>& v, std::vector<double>& out) {
        const double mean_v = linalg::dot(corpus.mean, v);
        // Σ_i s_i·row_i with s_i = row_i·v splits into a sum over the embeddings and one
        // multiple of the mean.
        std::vector<double> mean_coefficient(parallel::chunk_count(n, grain), 0.0);
        gram_product(n, d, v, out, partials, [&](std::size_t i, const double* x, double* acc) {
            const double rw = corpus.root_weight[i];
            if (rw == 0.0) return;
            const double s = rw * (corpus.unit_dot(i, x) - mean_v);
            corpus.add_unit(i, s * rw, acc);
            mean_coefficient[i / grain] += s * rw;
        });
        double mean_total = 0.0;
        for (double c : mean_coefficient) mean_total += c;
        linalg::axpy(-mean_total, corpus.mean.data(), out.data(), d);
    });

    // Σ_i w_i·|u_i − mean|² / n = Σ_i w_i·(1 − 2·u_i·mean + |mean|²) / n, but computed from the
    // centred row itself so that identical rows give exactly zero.
    std::vector<double> row_variance(n, 0.0);
    parallel::for_each_chunk(
        n, grain,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> row(d);
            for (std::size_t i = begin; i < end; ++i) {
                if (corpus.root_weight[i] == 0.0) continue;
                std::fill(row.begin(), row.end(), 0.0);
                corpus.add_unit(i, 1.0, row.data());
                for (std::size_t j = 0; j < d; ++j) row[j] -= corpus.mean[j];
                row_variance[i] = weights[i] * linalg::dot(row, row);
            }
        },
        n * d >= kParallelValues ? 0 : n + 1);
    double total_variance = 0.0;
    for (double r : row_variance) total_variance += r;
    total_variance /= static_cast<double>(n);

    return PcaProjection::from_eigendecomp(std::move(eigen.vectors), eigen.values, std::move(corpus.mean), d, radial,
                                           total_variance);
}

}  // namespace

Eigen3 top_k_eigenvectors(std::span<const double> rows, std::size_t n, std::size_t d) {
    std::vector<double> partials;
    return power_iterate(n, d, [&](const std::vector<double>& v, std::vector<double>& out) {
        gram_product(n, d, v, out, partials, [&](std::size_t i, const double* x, double* acc) {
            const double* row = rows.data() + i * d;
            linalg::axpy(linalg::dot(row, x, d), row, acc, d);
        });
    });
}

Result<PcaProjection, ProjectionError> PcaProjection::fit(const RowsView& embeddings, RadialStrategy radial) {
    if (auto error = validate_corpus(embeddings, 3)) return Err{*error};
    return fit_corpus(embeddings, std::vector<double>(embeddings.size(), 1.0), radial);
}

Result<PcaProjection, ProjectionError> PcaProjection::fit_weighted(const RowsView& embeddings,
                                                                   std::span<const double> weights,
                                                                   RadialStrategy radial) {
    if (auto error = validate_weights(embeddings, weights)) return Err{*error};
    if (auto error = validate_corpus(embeddings, 3)) return Err{*error};
    std::vector<double> clamped(weights.size());
    double total = 0.0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        clamped[i] = weights[i] > 0.0 ? weights[i] : 0.0;  // NaN fails the test and counts as 0
        total += clamped[i];
    }
    if (total < kEpsilon) return fit(embeddings, radial);
    return fit_corpus(embeddings, std::move(clamped), radial);
}

PcaProjection PcaProjection::from_eigendecomp(std::array<std::vector<double>, 3> components,
                                              std::array<double, 3> eigenvalues, std::vector<double> mean,
                                              std::size_t dimensionality, RadialStrategy radial,
                                              double total_variance) {
    auto state = std::make_shared<State>();
    state->components = std::move(components);
    state->eigenvalues = eigenvalues;
    state->mean = std::move(mean);
    state->dimensionality = dimensionality;
    state->total_variance = total_variance;
    return PcaProjection(std::move(state), radial);
}

double PcaProjection::explained_variance_ratio() const noexcept {
    const double total = state_->total_variance;
    if (total < kEpsilon) return 1.0;
    const auto& l = state_->eigenvalues;
    return std::clamp((l[0] + l[1] + l[2]) / total, 0.0, 1.0);
}

PcaResidual PcaProjection::project_xyz_residual(std::span<const double> e) const noexcept {
    const std::size_t d = state_->dimensionality;
    const double m = magnitude(e);
    const double scale = m >= kEpsilon ? 1.0 / m : 0.0;  // the zero vector stays zero here
    const auto& mean = state_->mean;
    const auto& c = state_->components;
    double x = 0.0, y = 0.0, z = 0.0, length2 = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double centred = e[j] * scale - mean[j];
        x += centred * c[0][j];
        y += centred * c[1][j];
        z += centred * c[2][j];
        length2 += centred * centred;
    }
    return {x, y, z, std::max(length2 - (x * x + y * y + z * z), 0.0)};
}

ProjectedPoint PcaProjection::project_rich(std::span<const double> e) const noexcept {
    const double m = magnitude(e);
    const PcaResidual r = project_xyz_residual(e);

    // Certainty measures the signal of the normalised input, where a zero input counts as the
    // first basis vector (as during fitting), not as the zero vector.
    double g = 0.0;
    const auto& mean = state_->mean;
    for (std::size_t j = 0; j < e.size(); ++j) {
        const double u = m >= kEpsilon ? e[j] / m : (j == 0 ? 1.0 : 0.0);
        g += (u - mean[j]) * (u - mean[j]);
    }
    const double certainty = g < kEpsilon ? 0.0 : std::clamp(1.0 - r.residual / g, 0.0, 1.0);

    const double p = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
    // Volumetric points keep the projected vector itself, so the radius is its length.
    const geometry::SphericalPoint position = volumetric_ ? geometry::cartesian_to_spherical({r.x, r.y, r.z})
                                                          : directed_point(r.x, r.y, r.z, p, radius_for(radial_, m));
    return {position, certainty, m, p};
}

std::optional<RandomProjection> RandomProjection::make(std::size_t dimensionality, RadialStrategy radial,
                                                       std::uint64_t seed) {
    if (dimensionality < 3) return std::nullopt;
    auto state = std::make_shared<State>();
    std::uint64_t stream = seed;
    for (auto& direction : state->directions) direction = random::gaussian_vector(stream, dimensionality);
    state->dimensionality = dimensionality;
    return RandomProjection(std::move(state), radial);
}

geometry::SphericalPoint RandomProjection::project(std::span<const double> e) const noexcept {
    const double m = magnitude(e);
    const auto& dirs = state_->directions;
    double x = 0.0, y = 0.0, z = 0.0;
    if (m < kEpsilon) {
        x = dirs[0][0], y = dirs[1][0], z = dirs[2][0];  // normalised zero vector: first basis vector
    } else {
        x = linalg::dot(e.data(), dirs[0].data(), e.size()) / m;
        y = linalg::dot(e.data(), dirs[1].data(), e.size()) / m;
        z = linalg::dot(e.data(), dirs[2].data(), e.size()) / m;
    }
    return directed_point(x, y, z, std::sqrt(x * x + y * y + z * z), radius_for(radial_, m));
}

}  // namespace korvane::projection
