// Small hand-made corpora and reference formulas for the category tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/random.hpp"
#include "common/rows.hpp"
#include "config/pipeline_config.hpp"
#include "geometry/points.hpp"
#include "projection/configured_projection.hpp"
#include "projection/pca.hpp"

namespace korvane::category::testing {

struct Corpus {
    std::vector<std::string> labels;
    std::vector<double> values;
    std::size_t d = 0;

    std::size_t size() const { return labels.size(); }
    RowsView rows() const { return RowsView{values.data(), labels.size(), d, nullptr}; }
    void add(std::string label, std::vector<double> embedding) {
        if (d == 0) d = embedding.size();
        labels.push_back(std::move(label));
        values.insert(values.end(), embedding.begin(), embedding.end());
    }
};

// Identity axes over the first three coordinates, no centring: an item lands in the direction of
// (e0, e1, e2) / |e|, so centroid positions can be worked out by hand.
inline projection::ConfiguredProjection axis_projection(std::size_t d) {
    std::array<std::vector<double>, 3> axes;
    for (std::size_t k = 0; k < 3; ++k) {
        axes[k].assign(d, 0.0);
        axes[k][k] = 1.0;
    }
    return projection::ConfiguredProjection(projection::PcaProjection::from_eigendecomp(
        axes, {1.0, 1.0, 1.0}, std::vector<double>(d, 0.0), d, projection::FixedRadius{1.0}, 3.0));
}

inline std::vector<geometry::SphericalPoint> project_all(const Corpus& c, const projection::ConfiguredProjection& p) {
    std::vector<geometry::SphericalPoint> out;
    for (std::size_t i = 0; i < c.size(); ++i) out.push_back(p.project(c.rows()[i]));
    return out;
}

// Few samples keep the suite fast; nothing here depends on their precision.
inline config::PipelineConfig small_config() {
    config::PipelineConfig cfg;
    cfg.spatial.coverage_samples = 2000;
    cfg.spatial.exclusivity_samples = 2000;
    cfg.spatial.voronoi_samples = 2000;
    return cfg;
}

inline double naive_cosine(const std::vector<double>& a, const std::vector<double>& b) {
    long double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ab += static_cast<long double>(a[i]) * b[i];
        aa += static_cast<long double>(a[i]) * a[i];
        bb += static_cast<long double>(b[i]) * b[i];
    }
    return static_cast<double>(ab / std::sqrt(aa * bb));
}

inline geometry::SphericalPoint direction(double x, double y, double z) {
    const double r = std::sqrt(x * x + y * y + z * z);
    return {1.0, std::atan2(y, x) < 0 ? std::atan2(y, x) + 6.283185307179586 : std::atan2(y, x), std::acos(z / r)};
}

}  // namespace korvane::category::testing

namespace korvane::category::testing {

// `categories` Gaussian clusters in d dimensions, items interleaved (item i in cluster i % k).
inline Corpus clustered(std::size_t categories, std::size_t per_category, std::size_t d, double spread,
                        std::uint64_t seed) {
    std::uint64_t state = seed;
    std::vector<std::vector<double>> centres;
    for (std::size_t c = 0; c < categories; ++c) centres.push_back(random::gaussian_vector(state, d));
    Corpus corpus;
    for (std::size_t i = 0; i < categories * per_category; ++i) {
        const std::size_t c = i % categories;
        auto noise = random::gaussian_vector(state, d);
        for (std::size_t k = 0; k < d; ++k) noise[k] = centres[c][k] + spread * noise[k];
        std::string label = "c";
        label += std::to_string(c);
        corpus.add(std::move(label), std::move(noise));
    }
    return corpus;
}

}  // namespace korvane::category::testing
