#include "category/bridges.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "category/check.hpp"
#include "category/float_order.hpp"
#include "category/territory.hpp"
#include "common/parallel.hpp"
#include "common/simd.hpp"
#include "geometry/points.hpp"

namespace korvane::category {
namespace {

using simd::V4;

// Dot products of one row with every column of the d × padded matrix `columns` (padded a
// multiple of 4). Each lane adds its products in index order from 0.0, exactly as the scalar
// cosine does, so the lanes reproduce its sums bit for bit.
KORVANE_AVX2_CLONES
void dot_with_columns(const double* row, std::size_t d, const double* columns, std::size_t padded, double* out) {
    std::size_t c = 0;
    for (; c + 16 <= padded; c += 16) {
        V4 s0 = {}, s1 = {}, s2 = {}, s3 = {};
        const double* col = columns + c;
        for (std::size_t k = 0; k < d; ++k, col += padded) {
            const double x = row[k];
            const V4 xv = {x, x, x, x};
            V4 b0, b1, b2, b3;
            std::memcpy(&b0, col, sizeof b0);
            std::memcpy(&b1, col + 4, sizeof b1);
            std::memcpy(&b2, col + 8, sizeof b2);
            std::memcpy(&b3, col + 12, sizeof b3);
            s0 += xv * b0;
            s1 += xv * b1;
            s2 += xv * b2;
            s3 += xv * b3;
        }
        std::memcpy(out + c, &s0, sizeof s0);
        std::memcpy(out + c + 4, &s1, sizeof s1);
        std::memcpy(out + c + 8, &s2, sizeof s2);
        std::memcpy(out + c + 12, &s3, sizeof s3);
    }
    for (; c < padded; c += 4) {
        V4 s = {};
        const double* col = columns + c;
        for (std::size_t k = 0; k < d; ++k, col += padded) {
            const double x = row[k];
            const V4 xv = {x, x, x, x};
            V4 b;
            std::memcpy(&b, col, sizeof b);
            s += xv * b;
        }
        std::memcpy(out + c, &s, sizeof s);
    }
}

double sequential_norm_sq(const double* a, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * a[i];
    return s;
}

}  // namespace

std::string_view display_name(BridgeClassification classification) {
    switch (classification) {
        case BridgeClassification::Genuine: return "Genuine";
        case BridgeClassification::OverlapArtifact: return "OverlapArtifact";
        case BridgeClassification::Weak: return "Weak";
    }
    return "Weak";
}

std::string_view display_name(BridgeRelation relation) {
    switch (relation) {
        case BridgeRelation::Studies: return "studies";
        case BridgeRelation::AppliesTo: return "applies_to";
        case BridgeRelation::Enables: return "enables";
        case BridgeRelation::CausedBy: return "caused_by";
        case BridgeRelation::Contains: return "contains";
        case BridgeRelation::SharedMethod: return "shared_method";
        case BridgeRelation::HistoricalLink: return "historical_link";
    }
    return "studies";
}

namespace {

// The centroids transposed for dot_with_columns, with their norms.
struct CentroidColumns {
    std::size_t d = 0;
    std::size_t count = 0;
    std::size_t padded = 0;
    std::vector<double> columns;  // d × padded
    std::vector<double> norms;

    explicit CentroidColumns(std::span<const CategorySummary> summaries)
        : d(summaries.empty() ? 0 : summaries[0].centroid.size()),
          count(summaries.size()),
          padded((summaries.size() + 3) / 4 * 4),
          columns(d * padded, 0.0),
          norms(count) {
        for (std::size_t c = 0; c < count; ++c) {
            const auto& centroid = summaries[c].centroid;
            require(centroid.size() == d, "centroid and member share fixed embedding dimensionality");
            for (std::size_t k = 0; k < d; ++k) columns[k * padded + c] = centroid[k];
            norms[c] = std::sqrt(sequential_norm_sq(centroid.data(), d));
        }
    }

    // Similarities of rows[begin, end) into out (row-major, `count` per row).
    void fill(const RowsView& embeddings, std::span<const std::uint64_t> rows, std::size_t begin, std::size_t end,
              double* out) const {
        constexpr std::size_t kGrain = 64;
        parallel::for_each_chunk(
            end - begin, kGrain,
            [&](std::size_t lo, std::size_t hi) {
                std::vector<double> dots(padded);
                for (std::size_t r = lo; r < hi; ++r) {
                    const auto row = embeddings[rows[begin + r]];
                    require(row.size() == d, "centroid and member share fixed embedding dimensionality");
                    dot_with_columns(row.data(), d, columns.data(), padded, dots.data());
                    const double row_norm = std::sqrt(sequential_norm_sq(row.data(), d));
                    double* sims = out + r * count;
                    for (std::size_t c = 0; c < count; ++c) {
                        const double denominator = row_norm * norms[c];
                        sims[c] = denominator < geometry::kEpsilon
                                      ? 0.0
                                      : std::fmin(std::fmax(dots[c] / denominator, -1.0), 1.0);
                    }
                }
            },
            4 * kGrain);
    }
};

// Rows per similarity block: bounds the working memory whatever the category count.
constexpr std::size_t kBlockRows = 8192;

}  // namespace

std::vector<double> centroid_similarities(const RowsView& embeddings, std::span<const std::uint64_t> rows,
                                          std::span<const CategorySummary> summaries) {
    std::vector<double> out(rows.size() * summaries.size(), 0.0);
    if (summaries.empty() || rows.empty()) return out;
    CentroidColumns(summaries).fill(embeddings, rows, 0, rows.size(), out.data());
    return out;
}

BridgeMap detect_bridges(const RowsView& embeddings, std::span<const CategorySummary> summaries,
                         std::span<const double> territorial_factors, double threshold) {
    const std::size_t c_count = summaries.size();
    BridgeMap bridges;
    if (c_count < 2) return bridges;

    const CentroidColumns centroids(summaries);
    std::vector<std::uint64_t> rows;
    std::vector<std::uint32_t> row_source;
    for (std::size_t j = 0; j < c_count; ++j) {
        rows.insert(rows.end(), summaries[j].member_indices.begin(), summaries[j].member_indices.end());
        row_source.insert(row_source.end(), summaries[j].member_indices.size(), static_cast<std::uint32_t>(j));
    }

    // Rows come grouped by source, so one source's lists are complete when the source changes.
    std::vector<std::vector<BridgeItem>> lists(c_count);
    std::vector<double> territorial(c_count);
    std::size_t current = c_count;
    auto flush = [&] {
        if (current == c_count) return;
        for (std::size_t k = 0; k < c_count; ++k)
            if (!lists[k].empty()) bridges.emplace(IndexPair{current, k}, std::move(lists[k]));
        for (auto& list : lists) list = {};
    };

    std::vector<double> sims;
    for (std::size_t begin = 0; begin < rows.size(); begin += kBlockRows) {
        const std::size_t end = std::min(rows.size(), begin + kBlockRows);
        sims.assign((end - begin) * c_count, 0.0);
        centroids.fill(embeddings, rows, begin, end, sims.data());
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t j = row_source[r];
            if (j != current) {
                flush();
                current = j;
                for (std::size_t k = 0; k < c_count; ++k) territorial[k] = pair_territorial(territorial_factors, j, k);
            }
            const double* s = sims.data() + (r - begin) * c_count;
            const double u = s[j];
            if (!(u > 0.0)) continue;
            const double bar = threshold * u;
            for (std::size_t k = 0; k < c_count; ++k) {
                if (k == j) continue;
                const double v = s[k];
                if (!(v > bar && v > 0.0)) continue;
                const double harmonic = u + v > geometry::kEpsilon ? 2.0 * u * v / (u + v) : 0.0;
                lists[k].push_back(BridgeItem{rows[r], j, k, u, v, harmonic * territorial[k],
                                              BridgeClassification::Weak, std::nullopt});
            }
        }
    }
    flush();
    return bridges;
}

double bridge_strength_cut(const BridgeMap& bridges) {
    std::vector<double> strengths;
    for (const auto& [pair, list] : bridges)
        for (const auto& b : list) strengths.push_back(b.bridge_strength);
    if (strengths.empty()) return 0.0;
    const auto mid = strengths.begin() + static_cast<std::ptrdiff_t>(strengths.size() / 2);
    std::nth_element(strengths.begin(), mid, strengths.end(), total_less);
    return *mid;
}

void classify_bridges(BridgeMap& bridges, std::span<const double> territorial_factors, double evr,
                      const config::BridgeConfig& config) {
    if (!(evr < config.min_evr_for_classification)) {
        const double cut = bridge_strength_cut(bridges);
        for (auto& [pair, list] : bridges) {
            const bool artifact =
                config.overlap_artifact_territorial > pair_territorial(territorial_factors, pair.first, pair.second);
            for (auto& b : list) {
                if (artifact) b.classification = BridgeClassification::OverlapArtifact;
                else if (b.bridge_strength >= cut) b.classification = BridgeClassification::Genuine;
                else b.classification = BridgeClassification::Weak;
            }
        }
    }
    // Sorted even when classification is skipped: consumers read the first item as the strongest.
    for (auto& [pair, list] : bridges)
        std::stable_sort(list.begin(), list.end(), [](const BridgeItem& a, const BridgeItem& b) {
            return total_less(b.bridge_strength, a.bridge_strength);
        });
}

}  // namespace korvane::category
