#include "projection/umap_layout.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "common/parallel.hpp"
#include "common/simd.hpp"
#include "common/random.hpp"
#include "geometry/points.hpp"

namespace korvane::projection {
namespace {

using geometry::kEpsilon;
using geometry::Vec3;
__extension__ using u128 = unsigned __int128;

constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kNodeGrain = 256;
constexpr std::size_t kSumBlock = 8 * kNodeGrain;  // nodes summed per overlapped step
constexpr double kMinSquaredDistance = 1e-6;

// ---------------------------------------------------------------------------------------------
// exp and log for the kernel powers. Plain double arithmetic only, so every machine and thread
// gets the same bits.

constexpr double kLn2Hi = 6.93147180369123816490e-01;  // low 32 bits zero: k·kLn2Hi is exact
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;
constexpr double kRoundMagic = 6755399441055744.0;  // 1.5·2^52: adding it rounds to an integer

// ln x for positive normal x. x = 2^e·m with m in [√½, √2); ln m = 2·atanh(s), s = (m−1)/(m+1),
// |s| < 0.172, summed to s^21 (the next term is below 2^-60 relative). Integer adds, shifts and
// masks find e and m without a comparison, so loops over this vectorise.
inline double log_normal(double x) noexcept {
    constexpr std::uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCDULL;  // √½
    // Offsetting the bits by (1 − √½) moves the exponent step to √2.
    const std::uint64_t shifted = std::bit_cast<std::uint64_t>(x) + (0x3FF0000000000000ULL - kSqrtHalfBits);
    const double m = std::bit_cast<double>((shifted & 0x000FFFFFFFFFFFFFULL) + kSqrtHalfBits);
    // The biased exponent converted exactly through the 2^52 mantissa trick.
    const double e = std::bit_cast<double>((shifted >> 52) | 0x4330000000000000ULL) - (4503599627370496.0 + 1023.0);
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    double p = 1.0 / 21.0;
    p = p * z + 1.0 / 19.0;
    p = p * z + 1.0 / 17.0;
    p = p * z + 1.0 / 15.0;
    p = p * z + 1.0 / 13.0;
    p = p * z + 1.0 / 11.0;
    p = p * z + 1.0 / 9.0;
    p = p * z + 1.0 / 7.0;
    p = p * z + 1.0 / 5.0;
    p = p * z + 1.0 / 3.0;
    const double two_s = 2.0 * s;
    const double log_m = two_s + two_s * (z * p);
    return e * kLn2Hi + (log_m + e * kLn2Lo);
}

// e^y for |y| ≤ 708: y = k·ln 2 + r with |r| ≤ ½ln 2, e^r by its Taylor series to r^13
// (remainder below 2^-57 relative), then scaled by 2^k through the exponent bits.
inline double exp_in_range(double y) noexcept {
    const double shifted = y * kInvLn2 + kRoundMagic;  // mantissa holds 2^51 + k
    const double k = shifted - kRoundMagic;
    const double r = (y - k * kLn2Hi) - k * kLn2Lo;
    double p = 1.0 / 6227020800.0;  // 1/13!
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    const std::uint64_t k_bits = std::bit_cast<std::uint64_t>(shifted) - 0x4338000000000000ULL;  // k, two's complement
    return p * std::bit_cast<double>((k_bits + 1023) << 52);
}

inline double exp_clamped(double y) noexcept { return exp_in_range(std::min(std::max(y, -708.0), 708.0)); }

inline Vec3 sub(const Vec3& p, const Vec3& q) noexcept { return {p[0] - q[0], p[1] - q[1], p[2] - q[2]}; }
inline double squared(const Vec3& v) noexcept { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; }

// The SplitMix64 output after `drawn` earlier draws from `state`. The stream is a counter, so
// draws can be taken out of order, on any thread, and still be the sequential stream's.
inline std::uint64_t draw_at(std::uint64_t state, std::uint64_t drawn) noexcept {
    std::uint64_t s = state + drawn * kGolden;
    return random::splitmix64_next_u64(s);
}


KORVANE_AVX2_CLONES void attraction_pass(double a, double b, double two_ab, const double* clamped,
                                           const double* w, double* out, std::size_t count) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        const double d = clamped[j];
        const double lower = exp_in_range((b - 1.0) * log_normal(d));
        out[j] = two_ab * lower / (1.0 + a * (lower * d)) * w[j];
    }
}

KORVANE_AVX2_CLONES void repulsion_pass(double a, double b, double neg_two_b, const double* clamped,
                                          double* out, std::size_t count) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        const double d = clamped[j];
        out[j] = neg_two_b / ((1.0 + a * exp_in_range(b * log_normal(d))) * d);
    }
}

// Attraction 2ab·max(D, 1e-6)^(b−1) / (1 + a·D^b) and repulsion −2b / ((1 + a·D_s^b)·D_s),
// D_s = max(D, 1e-6), for squared chord lengths D.
class Kernel {
public:
    explicit Kernel(const CurveParameters& curve)
        : a_(curve.a), b_(curve.b), two_ab_(2.0 * curve.a * curve.b), neg_two_b_(-2.0 * curve.b) {}

    double attraction(double d2) const noexcept {
        const double clamped = std::max(d2, kMinSquaredDistance);
        const double lower = exp_clamped((b_ - 1.0) * log_normal(clamped));  // clamped^(b−1)
        double power;                                                      // d2^b
        if (d2 >= kMinSquaredDistance) {
            power = lower * d2;
        } else if (d2 >= std::numeric_limits<double>::min()) {
            power = exp_clamped(b_ * log_normal(d2));
        } else {
            power = 0.0;  // d2^b < 2^-100 for b ≥ 0.1: 1 + a·d2^b rounds to 1 anyway
        }
        return two_ab_ * lower / (1.0 + a_ * power);
    }
    double repulsion(double d2) const noexcept {
        const double ds = std::max(d2, kMinSquaredDistance);
        return neg_two_b_ / ((1.0 + a_ * exp_clamped(b_ * log_normal(ds))) * ds);
    }

    // Branch-free passes over squared distances already clamped to at least 1e-6, vectorised.
    // out[j] = attraction(clamped[j]) · w[j]; that is attraction(D)·w for the unclamped D only
    // when D ≥ 1e-6, so callers redo the clamped ones with attraction().
    void attraction_batch(const double* clamped, const double* w, double* out, std::size_t count) const noexcept {
        attraction_pass(a_, b_, two_ab_, clamped, w, out, count);
    }
    // out[j] = repulsion(clamped[j]), exact for any D since the repulsion clamps anyway.
    void repulsion_batch(const double* clamped, double* out, std::size_t count) const noexcept {
        repulsion_pass(a_, b_, neg_two_b_, clamped, out, count);
    }

private:
    double a_, b_, two_ab_, neg_two_b_;
};

// g_i += c·(x_i − x_j); g_j −= c·(x_i − x_j), c already carrying the weight.
inline void push_pull(const Vec3& xi, const Vec3& xj, double c, Vec3& gi, Vec3& gj) noexcept {
    for (int k = 0; k < 3; ++k) {
        const double t = c * (xi[k] - xj[k]);
        gi[k] += t;
        gj[k] -= t;
    }
}

struct Categories {
    std::vector<std::uint32_t> group_of;              // per node
    std::vector<std::vector<std::uint32_t>> members;  // groups by first appearance, members ascending
};

Categories group_by_label(std::span<const std::uint32_t> labels) {
    Categories c;
    c.group_of.resize(labels.size());
    std::unordered_map<std::uint32_t, std::uint32_t> id;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto [it, inserted] = id.try_emplace(labels[i], static_cast<std::uint32_t>(c.members.size()));
        if (inserted) c.members.emplace_back();
        c.group_of[i] = it->second;
        c.members[it->second].push_back(static_cast<std::uint32_t>(i));
    }
    return c;
}

class LayoutOptimizer {
public:
    LayoutOptimizer(const UmapGraph& graph, std::span<const std::uint32_t> labels, const UmapFitParams& params)
        : graph_(graph),
          params_(params),
          kernel_(fit_curve_parameters(params.min_dist)),
          n_(graph.size()),
          offsets_(graph.row_offsets()),
          neighbors_(graph.all_neighbors()),
          weights_(graph.all_weights()),
          labels_(labels),
          modulo_n_(static_cast<std::uint32_t>(graph.size())),
          rng_(params.seed) {
        x_.assign(graph.initial_positions().begin(), graph.initial_positions().end());
        g_.assign(n_, Vec3{});
        m_.assign(n_, Vec3{});
        v_.assign(n_, Vec3{});
        const std::size_t samples = neighbors_.size() * params.negative_sample_rate;
        attract_.resize(neighbors_.size());
        attract_d2_.resize(neighbors_.size());
        sample_.resize(samples);
        repel_.resize(samples);
        repel_d2_.resize(samples);
        if (!labels_.empty()) {
            categories_ = group_by_label(labels_);
            partner_.resize(n_);
            other_.resize(n_);
            partner_pull_.resize(n_);
            other_push_.resize(n_);
        }
    }

    std::vector<Vec3> run() {
        for (std::size_t t = 1; t <= params_.n_epochs; ++t) {
            std::fill(g_.begin(), g_.end(), Vec3{});
            edge_phase();
            if (!labels_.empty()) category_phase();
            if (params_.warm_start_anchor > 0.0) anchor_phase();
            update(t);
        }
        return std::move(x_);
    }

private:
    // Positions stay fixed within an epoch, so the kernel values (and the draws, addressable by
    // their place in the stream) can be computed in any order, on the pool. The gradient sums are
    // formed on one thread in the fixed edge order, a block of nodes at a time, overlapping with
    // the kernel values of the next block.
    void edge_phase() {
        const std::uint64_t epoch_state = rng_;
        const std::size_t blocks = parallel::chunk_count(n_, kSumBlock);
        auto block_end = [&](std::size_t b) { return std::min(n_, (b + 1) * kSumBlock); };
        parallel::for_each_chunk(
            block_end(0), kNodeGrain, [&](std::size_t begin, std::size_t end) { edge_kernels(epoch_state, begin, end); },
            2 * kNodeGrain);
        for (std::size_t b = 1; b <= blocks; ++b) {
            // Task 0 sums block b − 1; tasks 1.. compute the kernels of block b in grains.
            const std::size_t next_begin = b * kSumBlock;
            const std::size_t next_nodes = b < blocks ? block_end(b) - next_begin : 0;
            parallel::for_each_chunk(
                1 + parallel::chunk_count(next_nodes, kNodeGrain), 1,
                [&](std::size_t task, std::size_t, std::size_t) {
                    if (task == 0) {
                        accumulate_edges((b - 1) * kSumBlock, block_end(b - 1));
                        return;
                    }
                    const std::size_t begin = next_begin + (task - 1) * kNodeGrain;
                    edge_kernels(epoch_state, begin, std::min(begin + kNodeGrain, next_begin + next_nodes));
                },
                2);
        }
        rng_ = epoch_state + static_cast<std::uint64_t>(neighbors_.size() * params_.negative_sample_rate) * kGolden;
    }

    // Attraction and repulsion coefficients (weights included) of the edges of nodes [begin, end).
    void edge_kernels(std::uint64_t epoch_state, std::size_t begin, std::size_t end) {
        const std::size_t nsr = params_.negative_sample_rate;
        const std::size_t e0 = offsets_[begin], e1 = offsets_[end];
        // Draws first, then the gathers: independent loads overlap better.
        for (std::size_t q = e0 * nsr; q < e1 * nsr; ++q) sample_[q] = modulo_n_(draw_at(epoch_state, q));
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3 xi = x_[i];
            for (std::size_t e = offsets_[i]; e < offsets_[i + 1]; ++e) {
                attract_d2_[e] = std::max(squared(sub(xi, x_[neighbors_[e]])), kMinSquaredDistance);
                for (std::size_t q = e * nsr; q < (e + 1) * nsr; ++q) {
                    // Unused when the sample is i itself.
                    repel_d2_[q] = std::max(squared(sub(xi, x_[sample_[q]])), kMinSquaredDistance);
                }
            }
        }
        kernel_.attraction_batch(attract_d2_.data() + e0, weights_.data() + e0, attract_.data() + e0, e1 - e0);
        kernel_.repulsion_batch(repel_d2_.data() + e0 * nsr, repel_.data() + e0 * nsr, (e1 - e0) * nsr);
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t e = offsets_[i]; e < offsets_[i + 1]; ++e) {
                if (attract_d2_[e] == kMinSquaredDistance) {  // near-coincident pair
                    attract_[e] = kernel_.attraction(squared(sub(x_[i], x_[neighbors_[e]]))) * weights_[e];
                }
                for (std::size_t q = e * nsr; q < (e + 1) * nsr; ++q) repel_[q] *= weights_[e];
            }
        }
    }

    // The gradient sums of the edges of nodes [begin, end), in edge order.
    void accumulate_edges(std::size_t begin, std::size_t end) {
        const std::size_t nsr = params_.negative_sample_rate;
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3 xi = x_[i];
            // Neighbours and samples are never i itself, so g_i can stay in registers for the row.
            Vec3 gi = g_[i];
            for (std::size_t e = offsets_[i]; e < offsets_[i + 1]; ++e) {
                push_pull(xi, x_[neighbors_[e]], attract_[e], gi, g_[neighbors_[e]]);
                for (std::size_t q = e * nsr; q < (e + 1) * nsr; ++q) {
                    const std::uint32_t s = sample_[q];
                    if (s != i) push_pull(xi, x_[s], repel_[q], gi, g_[s]);
                }
            }
            g_[i] = gi;
        }
    }

    void category_phase() {
        // The draws depend on the labels only (their number too), so they are taken first, in
        // stream order; the kernel values follow on the pool, the sums in node order.
        for (std::size_t i = 0; i < n_; ++i) {
            const auto& group = categories_.members[categories_.group_of[i]];
            partner_[i] = kNone;
            if (group.size() > 1) {
                std::uint32_t j = group[random::splitmix64_next_u64(rng_) % (group.size() - 1)];
                if (j == i) j = group.back();
                partner_[i] = j;
            }
            other_[i] = kNone;
            for (int tries = 0; tries < 8; ++tries) {
                const std::uint32_t s = modulo_n_(random::splitmix64_next_u64(rng_));
                if (labels_[s] != labels_[i]) {
                    other_[i] = s;
                    break;
                }
            }
        }
        const double weight = params_.category_weight;
        parallel::for_each_chunk(
            n_, kNodeGrain,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const std::uint32_t j = partner_[i], s = other_[i];
                    partner_pull_[i] = j == kNone ? 0.0 : kernel_.attraction(squared(sub(x_[i], x_[j]))) * weight;
                    other_push_[i] = s == kNone ? 0.0 : kernel_.repulsion(squared(sub(x_[i], x_[s]))) * weight;
                }
            },
            2 * kNodeGrain);
        for (std::size_t i = 0; i < n_; ++i) {
            if (partner_[i] != kNone) push_pull(x_[i], x_[partner_[i]], partner_pull_[i], g_[i], g_[partner_[i]]);
            if (other_[i] != kNone) push_pull(x_[i], x_[other_[i]], other_push_[i], g_[i], g_[other_[i]]);
        }
    }

    void anchor_phase() {
        const auto start = graph_.initial_positions();
        const double anchor = params_.warm_start_anchor;
        parallel::for_each_chunk(
            n_, kNodeGrain,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const Vec3 diff = sub(x_[i], start[i]);
                    const double c = kernel_.attraction(squared(diff)) * anchor;
                    for (int k = 0; k < 3; ++k) g_[i][k] += c * diff[k];
                }
            },
            2 * kNodeGrain);
    }

    // Adam on the tangent component of the gradient, then back onto the sphere.
    void update(std::size_t t) {
        const double lr =
            params_.learning_rate * (1.0 - static_cast<double>(t) / static_cast<double>(params_.n_epochs));
        const double bias1 = 1.0 - std::pow(0.9, static_cast<double>(t));
        const double bias2 = 1.0 - std::pow(0.999, static_cast<double>(t));
        parallel::for_each_chunk(
            n_, 2048,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    Vec3& x = x_[i];
                    const Vec3& g = g_[i];
                    const double radial = g[0] * x[0] + g[1] * x[1] + g[2] * x[2];
                    for (int k = 0; k < 3; ++k) {
                        const double tangent = g[k] - radial * x[k];
                        m_[i][k] = 0.9 * m_[i][k] + 0.1 * tangent;
                        v_[i][k] = 0.999 * v_[i][k] + 0.001 * (tangent * tangent);
                    }
                    for (int k = 0; k < 3; ++k) {
                        x[k] = x[k] - lr * (m_[i][k] / bias1) / (std::sqrt(v_[i][k] / bias2) + 1e-8);
                    }
                    const double len = std::sqrt(squared(x));
                    if (len > kEpsilon) {
                        for (int k = 0; k < 3; ++k) x[k] /= len;
                    }
                }
            },
            4096);
    }

    const UmapGraph& graph_;
    const UmapFitParams& params_;
    const Kernel kernel_;
    const std::size_t n_;
    std::span<const std::size_t> offsets_;
    std::span<const std::uint32_t> neighbors_;
    std::span<const double> weights_;
    std::span<const std::uint32_t> labels_;
    const detail::FastModulo modulo_n_;
    std::uint64_t rng_;

    std::vector<Vec3> x_, g_, m_, v_;
    std::vector<double> attract_, repel_, attract_d2_, repel_d2_;
    std::vector<std::uint32_t> sample_;

    Categories categories_;
    std::vector<std::uint32_t> partner_, other_;
    std::vector<double> partner_pull_, other_push_;
};

}  // namespace

namespace detail {

double kernel_pow(double x, double y) noexcept { return exp_clamped(y * log_normal(x)); }

FastModulo::FastModulo(std::uint32_t d) noexcept : divisor(d) {
    // Lemire, Kaser and Kurz: with M = ceil(2^128 / d), (M·v mod 2^128)·d / 2^128 is v mod d for
    // every 64-bit v and 32-bit d. For d = 1, M wraps to 0 and the result is 0, as it should be.
    const u128 m = ~u128{0} / (d == 0 ? 1 : d) + 1;
    magic_high = static_cast<std::uint64_t>(m >> 64);
    magic_low = static_cast<std::uint64_t>(m);
}

std::uint32_t FastModulo::operator()(std::uint64_t value) const noexcept {
    const u128 m = (u128{magic_high} << 64) | magic_low;
    const u128 low_bits = m * value;
    const u128 partial = ((u128{static_cast<std::uint64_t>(low_bits)} * divisor) >> 64) +
                         u128{static_cast<std::uint64_t>(low_bits >> 64)} * divisor;
    return static_cast<std::uint32_t>(partial >> 64);
}

}  // namespace detail

CurveParameters fit_curve_parameters(double min_dist) {
    constexpr std::size_t kSamples = 300;
    std::array<double, kSamples> t{}, y{};
    for (std::size_t j = 0; j < kSamples; ++j) {
        t[j] = 3.0 * static_cast<double>(j) / 299.0;
        y[j] = t[j] <= min_dist ? 1.0 : std::exp(-(t[j] - min_dist));
    }
    double lo_a = -3.0, hi_a = 1.0, lo_b = 0.1, hi_b = 2.5;
    double best_a = 1.0, best_b = 1.0, best_error = std::numeric_limits<double>::infinity();
    for (int pass = 0; pass < 6; ++pass) {
        const int steps = pass == 0 ? 24 : 8;
        for (int u = 0; u <= steps; ++u) {
            const double a = std::pow(10.0, lo_a + static_cast<double>(u) * (hi_a - lo_a) / static_cast<double>(steps));
            for (int v = 0; v <= steps; ++v) {
                const double b = lo_b + static_cast<double>(v) * (hi_b - lo_b) / static_cast<double>(steps);
                const double two_b = 2.0 * b;
                double error = 0.0;
                for (std::size_t j = 0; j < kSamples; ++j) {
                    const double r = 1.0 / (1.0 + a * std::pow(t[j], two_b)) - y[j];
                    error += r * r;
                }
                if (error < best_error) {
                    best_error = error;
                    best_a = a;
                    best_b = b;
                }
            }
        }
        if (pass == 5) break;
        const double h_a = (hi_a - lo_a) / 4.0, h_b = (hi_b - lo_b) / 4.0;
        const double log_a = std::log10(best_a);
        lo_a = std::max(log_a - h_a, -3.0);
        hi_a = std::min(log_a + h_a, 1.0);
        lo_b = std::max(best_b - h_b, 0.1);
        hi_b = std::min(best_b + h_b, 2.5);
    }
    return {best_a, best_b};
}

std::vector<Vec3> optimize_layout(const UmapGraph& graph, std::span<const std::uint32_t> labels,
                                  const UmapFitParams& params) {
    return LayoutOptimizer(graph, labels, params).run();
}

}  // namespace korvane::projection
