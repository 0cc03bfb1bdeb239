#include "pipeline/query.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/random.hpp"
#include "pipeline/globs.hpp"
#include "pipeline/pipeline.hpp"
#include "projection/pca.hpp"

namespace korvane::pipeline {
namespace {

using Vec = std::vector<double>;
using V3 = std::array<double, 3>;

struct Corpus {
    std::vector<std::string> categories;
    std::vector<Vec> rows;
    std::vector<double> flat;
    std::size_t width = 0;

    void add(Vec row, std::string category) {
        width = row.size();
        flat.insert(flat.end(), row.begin(), row.end());
        rows.push_back(std::move(row));
        categories.push_back(std::move(category));
    }
    RowsView view() const { return RowsView{flat.data(), rows.size(), width, nullptr}; }
};

constexpr std::size_t kDim = 5;

// The first three coordinates as principal axes, unit radius, EVR = evr.
projection::PcaProjection axis_projection(double evr) {
    std::array<Vec, 3> axes;
    for (std::size_t a = 0; a < 3; ++a) {
        axes[a].assign(kDim, 0.0);
        axes[a][a] = 1.0;
    }
    return projection::PcaProjection::from_eigendecomp(std::move(axes), {evr, 0.0, 0.0}, Vec(kDim, 0.0), kDim,
                                                       projection::FixedRadius{1.0}, 1.0);
}

// ---- the reference geometry: what the axis projection does, computed directly ----

V3 direction_of(std::span<const double> e) {
    const double n = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
    return {e[0] / n, e[1] / n, e[2] / n};
}
double angle(const V3& a, const V3& b) {
    const V3 c{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    return std::atan2(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]), a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}
double certainty_of(const Vec& e) {
    double all = 0.0;
    for (double v : e) all += v * v;
    return (e[0] * e[0] + e[1] * e[1] + e[2] * e[2]) / all;
}

struct Expected {
    std::size_t index;
    double distance;
};

// Brute force over the given items, nearest first, at most k.
std::vector<Expected> brute_nearest(const Corpus& c, const Vec& query, std::size_t k,
                                    const std::vector<std::size_t>& among) {
    const V3 q = direction_of(query);
    std::vector<Expected> all;
    for (std::size_t i : among) all.push_back({i, angle(q, direction_of(c.rows[i]))});
    std::stable_sort(all.begin(), all.end(), [](const Expected& a, const Expected& b) { return a.distance < b.distance; });
    if (all.size() > k) all.resize(k);
    return all;
}
std::vector<std::size_t> every_item(const Corpus& c) {
    std::vector<std::size_t> all(c.rows.size());
    std::iota(all.begin(), all.end(), 0);
    return all;
}

void expect_matches(const std::vector<NearestResult>& got, const std::vector<Expected>& expected, const Corpus& c,
                    double evr, const std::string& what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::size_t item = expected[i].index;
        EXPECT_EQ(got[i].id, item_id(item)) << what << " rank " << i;
        EXPECT_EQ(got[i].category, c.categories[item]) << what;
        EXPECT_NEAR(got[i].distance, expected[i].distance, 1e-9) << what;
        const double certainty = certainty_of(c.rows[item]);
        EXPECT_NEAR(got[i].certainty, certainty, 1e-12) << what;
        // The confidence record from the item's certainty and the pipeline EVR.
        const double weight = std::max(std::sqrt(certainty), 0.01);
        const double score = evr * certainty * weight;
        EXPECT_EQ(got[i].confidence.evr, evr);
        EXPECT_NEAR(got[i].confidence.certainty_weight, weight, 1e-12);
        EXPECT_NEAR(got[i].confidence.score, score, 1e-12);
        EXPECT_EQ(got[i].confidence.band, score > 0.1 ? 3 : score > 0.03 ? 2 : score > 0.005 ? 1 : 0);
    }
}

Vec gaussian(std::uint64_t& state, std::size_t n) { return random::gaussian_vector(state, n); }

// `per` items around each axis direction, with some energy off the projected axes.
Corpus around(const std::vector<V3>& axes, std::size_t per, double spread, double noise, std::uint64_t seed,
              const std::vector<std::string>& labels) {
    Corpus c;
    std::uint64_t state = seed;
    for (std::size_t a = 0; a < axes.size(); ++a) {
        for (std::size_t i = 0; i < per; ++i) {
            const Vec g = gaussian(state, kDim);
            c.add({axes[a][0] + spread * g[0], axes[a][1] + spread * g[1], axes[a][2] + spread * g[2], noise * g[3],
                   noise * g[4]},
                  labels[a]);
        }
    }
    return c;
}

config::PipelineConfig fast_config() {
    config::PipelineConfig cfg;
    cfg.spatial = {2000, 1000, 2000};
    cfg.inner_sphere.kernel_pca_min_size = 1'000'000;
    return cfg;
}
// No category or group gets an inner sphere.
config::PipelineConfig no_spheres() {
    config::PipelineConfig cfg = fast_config();
    cfg.inner_sphere.min_size = 1'000'000;
    return cfg;
}
// Every category and every group of two or more gets a linear inner sphere.
config::PipelineConfig all_spheres() {
    config::PipelineConfig cfg = fast_config();
    cfg.inner_sphere.min_size = 4;
    cfg.inner_sphere.min_evr_improvement = -1.0;
    return cfg;
}

KorvanePipeline build(const Corpus& c, double evr, const config::PipelineConfig& cfg) {
    auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(evr), cfg);
    EXPECT_TRUE(built) << (built ? "" : display(built.error()));
    return std::move(built).value();
}

template <class T>
const T& as(const Result<KorvaneOutput, PipelineError>& out) {
    EXPECT_TRUE(out.ok()) << (out.ok() ? "" : display(out.error()));
    EXPECT_TRUE(std::holds_alternative<T>(out.value()));
    return std::get<T>(out.value());
}
std::string error_of(const Result<KorvaneOutput, PipelineError>& out) {
    return out.ok() ? std::string("ok") : display(out.error());
}

// Four categories in two well-separated pairs, 25 items each.
Corpus four_categories(std::uint64_t seed) {
    return around({{1, 0.2, 0}, {1, -0.2, 0.3}, {-1, 0, 0.2}, {-1, 0.3, -0.3}}, 25, 0.15, 0.3, seed,
                  {"a1", "a2", "b1", "b2"});
}

Vec query_at(const V3& d, double off = 0.1) { return {d[0], d[1], d[2], off, -off}; }

// ---- cat_for ----

TEST(PipelineCatFor, ParsesIdsLikeTheGenerator) {
    const std::vector<std::string> labels = {"l0", "l1", "l2", "l3", "l4"};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"s-0003", "l3"}, {"s-3", "l3"},      {"s-+3", "l3"},      {"s-0000", "l0"},   {"s-0004", "l4"},
        {"s-0005", "unknown"}, {"s-99999", "unknown"}, {"x-3", "unknown"}, {"s--3", "unknown"}, {"s-", "unknown"},
        {"s-+", "unknown"},    {"s-3a", "unknown"},    {"s- 3", "unknown"}, {"S-0003", "unknown"},
        {"s-18446744073709551619", "unknown"}, {"", "unknown"}};
    for (const auto& [id, expected] : cases) EXPECT_EQ(category_for_id(id, labels), expected) << id;
}

// ---- nearest ----

TEST(PipelineNearest, FlatSearchMatchesBruteForce) {
    const Corpus c = four_categories(7);
    const KorvanePipeline p = build(c, 0.95, fast_config());
    std::uint64_t state = 99;
    for (int trial = 0; trial < 12; ++trial) {
        const Vec q = gaussian(state, kDim);
        for (const std::size_t k : {0u, 1u, 5u, 17u, 100u, 150u}) {
            const auto got = as<output::Nearest>(p.query(request::Nearest{k}, q)).results;
            expect_matches(got, brute_nearest(c, q, k, every_item(c)), c, 0.95, "trial " + std::to_string(trial));
            EXPECT_EQ(p.nearest_filtered(q, k, 0.95), got);
        }
    }
}

TEST(PipelineNearest, ConfidenceBandsAtTheExtremes) {
    Corpus c;
    c.add({1, 0, 0, 0, 0}, "a");
    c.add({0, 1, 0, 0, 0}, "a");
    c.add({0, 0, 1, 0, 0}, "b");
    for (const auto& [evr, band, score] : std::vector<std::tuple<double, int, double>>{{1.0, 3, 1.0}, {0.0, 0, 0.0}}) {
        const KorvanePipeline p = build(c, evr, no_spheres());
        const auto got = as<output::Nearest>(p.query(request::Nearest{3}, Vec{1, 0.1, 0, 0, 0})).results;
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].id, "s-0000");
        EXPECT_EQ(got[0].confidence.band, band);
        EXPECT_DOUBLE_EQ(got[0].confidence.score, score);
        EXPECT_DOUBLE_EQ(got[0].intensity, 1.0);
    }
}

struct Routing {
    std::size_t group;
    double ratio;  // nearest over second-nearest group distance
};
Routing routing_for(const KorvanePipeline& p, const Vec& q) {
    const V3 d = direction_of(q);
    const auto& groups = p.layer().domain_groups();
    std::vector<double> distances;
    for (const auto& g : groups) {
        const double s = std::sin(g.centroid.phi);
        distances.push_back(angle(d, {s * std::cos(g.centroid.theta), s * std::sin(g.centroid.theta), std::cos(g.centroid.phi)}));
    }
    const std::size_t best = std::min_element(distances.begin(), distances.end()) - distances.begin();
    double second = INFINITY;
    for (std::size_t g = 0; g < distances.size(); ++g)
        if (g != best) second = std::min(second, distances[g]);
    return {best, distances[best] / second};
}

V3 centroid_direction(const category::DomainGroup& g) {
    const double s = std::sin(g.centroid.phi);
    return {s * std::cos(g.centroid.theta), s * std::sin(g.centroid.theta), std::cos(g.centroid.phi)};
}

std::vector<NearestResult> group_hits(const KorvanePipeline& p, std::size_t group, const Vec& q, std::size_t k) {
    std::vector<NearestResult> out;
    for (const auto& hit : p.layer().drill_down_group(group, q, k)) out.push_back(p.drill_result_to_nearest(hit, p.explained_variance_ratio()));
    return out;
}

TEST(PipelineNearest, RoutesIntoTheClosestGroupOnlyWhenTheEvrIsLowAndTheGroupIsClear) {
    const Corpus c = four_categories(17);
    config::PipelineConfig cfg = all_spheres();
    cfg.routing.num_domain_groups = 2;

    const KorvanePipeline low = build(c, 0.5, cfg);
    ASSERT_EQ(low.layer().domain_groups().size(), 2u);
    ASSERT_EQ(low.layer().group_inner_spheres().size(), 2u);

    for (std::size_t g = 0; g < 2; ++g) {
        const Vec q = query_at(centroid_direction(low.layer().domain_groups()[g]));
        const Routing r = routing_for(low, q);
        ASSERT_EQ(r.group, g);
        ASSERT_LT(r.ratio, 0.8);
        for (const std::size_t k : {1u, 7u, 60u}) {
            const auto got = as<output::Nearest>(low.query(request::Nearest{k}, q)).results;
            const auto expected = group_hits(low, g, q, k);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(got, expected) << "group " << g << " k " << k;
            EXPECT_LE(got.size(), k);
            // Routed hits are members of the group, at their inner-sphere distances.
            const auto& names = low.layer().domain_groups()[g].category_names;
            for (const auto& hit : got)
                EXPECT_NE(std::find(names.begin(), names.end(), hit.category), names.end()) << hit.category;
            const auto flat = brute_nearest(c, q, k, every_item(c));
            if (k == 60) {
                std::vector<std::string> flat_ids;
                for (const auto& e : flat) flat_ids.push_back(item_id(e.index));
                std::vector<std::string> got_ids;
                for (const auto& h : got) got_ids.push_back(h.id);
                EXPECT_NE(got_ids, flat_ids);  // the check above really tells routing from flat search
            }
        }
    }

    // High EVR: never routed, even at a group's centroid.
    const KorvanePipeline high = build(c, 0.95, cfg);
    const Vec q0 = query_at(centroid_direction(high.layer().domain_groups()[0]));
    expect_matches(as<output::Nearest>(high.query(request::Nearest{60}, q0)).results,
                   brute_nearest(c, q0, 60, every_item(c)), c, 0.95, "evr 0.95");

    // Alpha 0 turns routing off.
    config::PipelineConfig off = cfg;
    off.routing.group_routing_alpha = 0.0;
    const KorvanePipeline no_alpha = build(c, 0.5, off);
    expect_matches(as<output::Nearest>(no_alpha.query(request::Nearest{60}, q0)).results,
                   brute_nearest(c, q0, 60, every_item(c)), c, 0.5, "alpha 0");

    // Without group spheres there is nothing to route into.
    const KorvanePipeline bare = build(c, 0.5, [&] { auto x = no_spheres(); x.routing.num_domain_groups = 2; return x; }());
    expect_matches(as<output::Nearest>(bare.query(request::Nearest{60}, q0)).results,
                   brute_nearest(c, q0, 60, every_item(c)), c, 0.5, "no spheres");
}

TEST(PipelineNearest, AlphaMustExceedTheDistanceRatio) {
    const Corpus c = four_categories(23);
    config::PipelineConfig cfg = all_spheres();
    cfg.routing.num_domain_groups = 2;
    const KorvanePipeline probe = build(c, 0.5, cfg);
    const V3 a = centroid_direction(probe.layer().domain_groups()[0]);
    const V3 b = centroid_direction(probe.layer().domain_groups()[1]);
    // On the arc between the two centroids, at distances in the ratio 0.476 : 0.524 (about 0.91).
    const double arc = angle(a, b);
    const double t = 0.476;
    const double wa = std::sin((1 - t) * arc) / std::sin(arc), wb = std::sin(t * arc) / std::sin(arc);
    const Vec q = query_at({wa * a[0] + wb * b[0], wa * a[1] + wb * b[1], wa * a[2] + wb * b[2]});
    const Routing r = routing_for(probe, q);
    ASSERT_EQ(r.group, 0u);
    ASSERT_NEAR(r.ratio, 0.476 / 0.524, 1e-6);

    for (const auto& [alpha, routed] : std::vector<std::pair<double, bool>>{{0.8, false}, {r.ratio - 1e-6, false},
                                                                            {r.ratio + 1e-6, true}, {1.0, true}}) {
        config::PipelineConfig x = cfg;
        x.routing.group_routing_alpha = alpha;
        const KorvanePipeline p = build(c, 0.5, x);
        const auto got = p.default_nearest(q, 10);
        if (routed) {
            EXPECT_EQ(got, group_hits(p, 0, q, 10)) << alpha;
        } else {
            expect_matches(got, brute_nearest(c, q, 10, every_item(c)), c, 0.5, "alpha " + std::to_string(alpha));
        }
    }
}

TEST(PipelineNearest, HierarchicalMergesTheClosestGroupsCategoriesBelowTheThreshold) {
    const Corpus c = four_categories(31);
    config::PipelineConfig cfg = no_spheres();
    cfg.routing.num_domain_groups = 2;

    // At the threshold: flat.
    const KorvanePipeline at = build(c, 0.35, cfg);
    ASSERT_EQ(at.explained_variance_ratio(), cfg.routing.low_evr_threshold);
    std::uint64_t state = 5;
    for (int t = 0; t < 4; ++t) {
        const Vec q = gaussian(state, kDim);
        expect_matches(at.hierarchical_nearest(q, 12), brute_nearest(c, q, 12, every_item(c)), c, 0.35, "at threshold");
    }

    // Below: members of the closest group's categories by global distance.
    const KorvanePipeline below = build(c, 0.2, cfg);
    ASSERT_EQ(below.layer().domain_groups().size(), 2u);
    for (int t = 0; t < 6; ++t) {
        const Vec q = gaussian(state, kDim);
        const Routing r = routing_for(below, q);
        const auto& names = below.layer().domain_groups()[r.group].category_names;
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < c.rows.size(); ++i)
            if (std::find(names.begin(), names.end(), c.categories[i]) != names.end()) members.push_back(i);
        ASSERT_LT(members.size(), c.rows.size());
        for (const std::size_t k : {3u, 30u, 200u}) {
            expect_matches(below.hierarchical_nearest(q, k), brute_nearest(c, q, k, members), c, 0.2,
                           "below, k " + std::to_string(k));
        }
    }
}

TEST(PipelineNearest, WrongQueryLengthIsAnErrorNotARead) {
    const Corpus c = four_categories(3);
    const KorvanePipeline p = build(c, 0.95, fast_config());
    const Vec short_query{1, 0, 0};
    const std::vector<PipelineQuery> reading = {request::Nearest{3}, request::SimilarAbove{0.5},
                                                request::LocalManifold{4}, request::DrillDown{"a1", 3}};
    for (const auto& r : reading) EXPECT_EQ(error_of(p.query(r, short_query)), "query dimension mismatch: expected 5, got 3");
    EXPECT_TRUE(p.default_nearest(short_query, 3).empty());
    EXPECT_TRUE(p.hierarchical_nearest(short_query, 3).empty());
    EXPECT_TRUE(p.nearest_filtered(short_query, 3, 1.0).empty());
    // Kinds that ignore the embedding do not check it.
    EXPECT_TRUE(p.query(request::CategoryStats{}, short_query).ok());
}

// ---- similarity ----

TEST(PipelineSimilarAbove, KeepsScanOrderWithinTheAngle) {
    Corpus c = four_categories(41);
    c.add(c.rows[10], "a1");  // an exact duplicate of item 10
    const KorvanePipeline p = build(c, 0.7, fast_config());
    const Vec q = c.rows[10];
    const V3 qd = direction_of(q);

    const auto ids_of = [](const std::vector<NearestResult>& r) {
        std::vector<std::string> ids;
        for (const auto& h : r) ids.push_back(h.id);
        return ids;
    };
    const std::vector<std::pair<double, std::vector<std::string>>> exact = {
        {1.0, {"s-0010", "s-0100"}}, {1.5, {"s-0010", "s-0100"}}};
    for (const auto& [threshold, expected] : exact) {
        const auto got = as<output::SimilarAbove>(p.query(request::SimilarAbove{threshold}, q)).results;
        EXPECT_EQ(ids_of(got), expected) << threshold;
        for (const auto& h : got) EXPECT_EQ(h.distance, 0.0);
    }
    for (const double threshold : {-1.0, -3.0, 0.0, 0.9, 0.99}) {
        const auto got = as<output::SimilarAbove>(p.query(request::SimilarAbove{threshold}, q)).results;
        const double limit = std::acos(std::clamp(threshold, -1.0, 1.0));
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < c.rows.size(); ++i) {
            const double a = angle(qd, direction_of(c.rows[i]));
            ASSERT_GT(std::abs(a - limit), 1e-9) << "item on the boundary";
            if (a <= limit) expected.push_back(item_id(i));  // one shell: scan order is input order
        }
        EXPECT_EQ(ids_of(got), expected) << threshold;
        for (const auto& h : got) {
            const std::size_t i = std::stoul(h.id.substr(2));
            EXPECT_NEAR(h.distance, angle(qd, direction_of(c.rows[i])), 1e-9);
            EXPECT_NEAR(h.confidence.score, 0.7 * certainty_of(c.rows[i]) * std::sqrt(certainty_of(c.rows[i])), 1e-12);
        }
    }
    EXPECT_EQ(as<output::SimilarAbove>(p.query(request::SimilarAbove{-1.0}, q)).results.size(), c.rows.size());
}

// ---- concept paths ----

TEST(PipelineConceptPath, SelfUnknownConnectedAndDisconnected) {
    // Two tight clusters on opposite sides of the sphere.
    const Corpus c = around({{1, 0, 0}, {-1, 0, 0}}, 20, 0.1, 0.0, 8, {"east", "west"});
    const KorvanePipeline p = build(c, 0.9, no_spheres());
    const Vec any(kDim, 0.0);

    const auto self = as<output::ConceptPath>(p.query(request::ConceptPath{"s-0003", "s-0003", 4}, any)).path;
    ASSERT_TRUE(self.has_value());
    ASSERT_EQ(self->steps.size(), 1u);
    EXPECT_EQ(self->steps[0], (PipelinePathStep{"s-0003", "east", 0.0, 0.0, std::nullopt}));
    EXPECT_EQ(self->total_distance, 0.0);

    EXPECT_EQ(error_of(p.query(request::ConceptPath{"nope", "s-0001", 4}, any)), "unknown id: \"nope\"");
    EXPECT_EQ(error_of(p.query(request::ConceptPath{"s-0001", "s-0040", 4}, any)), "unknown id: \"s-0040\"");
    EXPECT_EQ(error_of(p.query(request::ConceptPath{"s-1", "s-0002", 4}, any)), "unknown id: \"s-1\"");
    EXPECT_EQ(error_of(p.query(request::ConceptPath{"x", "y", 4}, any)), "unknown id: \"x\"");

    EXPECT_FALSE(as<output::ConceptPath>(p.query(request::ConceptPath{"s-0002", "s-0025", 3}, any)).path.has_value());

    // With every cluster mate a neighbour the shortest chain is as long as the direct arc.
    for (const auto& [from, to] : std::vector<std::pair<std::size_t, std::size_t>>{{0, 19}, {21, 37}, {5, 6}}) {
        const auto path =
            as<output::ConceptPath>(p.query(request::ConceptPath{item_id(from), item_id(to), 19}, any)).path;
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(path->steps.front().id, item_id(from));
        EXPECT_EQ(path->steps.back().id, item_id(to));
        EXPECT_NEAR(path->total_distance, angle(direction_of(c.rows[from]), direction_of(c.rows[to])), 1e-9);
        double sum = 0.0;
        for (const auto& step : path->steps) {
            sum += step.hop_distance;
            EXPECT_NEAR(step.cumulative_distance, sum, 1e-12);
            EXPECT_EQ(step.category, c.categories[std::stoul(step.id.substr(2))]);
            EXPECT_FALSE(step.bridge_strength.has_value());
        }
        EXPECT_NEAR(path->steps.back().cumulative_distance, path->total_distance, 1e-12);
    }
}

// ---- globs and manifolds ----

TEST(PipelineGlobs, SummariesCarryTheDetectedGlobsAndTheirCategories) {
    const Corpus c = around({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, 15, 0.1, 0.0, 12, {"x", "y", "z"});
    const KorvanePipeline p = build(c, 0.9, no_spheres());
    const Vec any(kDim, 0.0);

    const auto globs = as<output::Globs>(p.query(request::DetectGlobs{3, 10}, any)).globs;
    ASSERT_EQ(globs.size(), 3u);
    std::set<std::string> seen;
    for (const auto& g : globs) {
        ASSERT_EQ(g.top_categories.size(), 1u);  // the clusters are pure
        EXPECT_EQ(g.top_categories[0].second, 15u);
        EXPECT_EQ(g.member_count, 15u);
        seen.insert(g.top_categories[0].first);
    }
    EXPECT_EQ(seen, (std::set<std::string>{"x", "y", "z"}));

    // Glob numbers, centroids and radii pass through unchanged, gaps included; max_k caps k.
    for (const auto& [k, max_k] : std::vector<std::pair<std::optional<std::size_t>, std::size_t>>{
             {3, 10}, {50, 2}, {std::nullopt, 6}, {1, 10}, {7, 7}}) {
        const auto got = as<output::Globs>(p.query(request::DetectGlobs{k, max_k}, any)).globs;
        const GlobResult direct = GlobResult::detect(p.cartesian(), p.ids(), k, max_k);
        ASSERT_EQ(got.size(), direct.globs.size());
        EXPECT_LE(got.size(), std::max<std::size_t>(max_k, 2));
        std::uint64_t members = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, direct.globs[i].id);
            EXPECT_EQ(got[i].centroid, direct.globs[i].centroid);
            EXPECT_EQ(got[i].radius, direct.globs[i].radius);
            EXPECT_EQ(got[i].member_count, direct.globs[i].member_ids.size());
            members += got[i].member_count;
        }
        EXPECT_EQ(members, c.rows.size());
    }
}

TEST(PipelineGlobs, TopCategoriesAreTheThreeLargestCounts) {
    // Five categories spread over two regions; each glob mixes several.
    Corpus c;
    std::uint64_t state = 77;
    const std::vector<std::pair<std::string, std::size_t>> mix = {{"p", 9}, {"q", 7}, {"r", 5}, {"s", 3}, {"t", 1}};
    for (const V3 centre : {V3{1, 0, 0}, V3{-1, 0, 0}}) {
        for (const auto& [label, count] : mix) {
            for (std::size_t i = 0; i < count; ++i) {
                const Vec g = gaussian(state, kDim);
                c.add({centre[0] + 0.1 * g[0], centre[1] + 0.1 * g[1], centre[2] + 0.1 * g[2], 0, 0}, label);
            }
        }
    }
    const KorvanePipeline p = build(c, 0.9, no_spheres());
    const auto globs = as<output::Globs>(p.query(request::DetectGlobs{2, 2}, Vec(kDim, 0.0))).globs;
    const GlobResult direct = GlobResult::detect(p.cartesian(), p.ids(), 2, 2);
    ASSERT_EQ(globs.size(), 2u);
    for (std::size_t g = 0; g < 2; ++g) {
        std::map<std::string, std::uint64_t> counts;
        for (const auto& id : direct.globs[g].member_ids) ++counts[c.categories[std::stoul(id.substr(2))]];
        std::vector<std::uint64_t> sorted;
        for (const auto& [_, n] : counts) sorted.push_back(n);
        std::sort(sorted.rbegin(), sorted.rend());
        const auto& top = globs[g].top_categories;
        ASSERT_EQ(top.size(), std::min<std::size_t>(3, counts.size()));
        for (std::size_t i = 0; i < top.size(); ++i) {
            EXPECT_EQ(top[i].second, sorted[i]);
            EXPECT_EQ(counts.at(top[i].first), top[i].second);
        }
    }
}

TEST(PipelineManifold, PointsOnOnePlaneGiveThatPlane) {
    // Directions with a common height: after normalisation they lie on the plane z = 0.6.
    Corpus c;
    for (int i = 0; i < 24; ++i) {
        const double t = 0.26 * i;
        c.add({0.8 * std::cos(t), 0.8 * std::sin(t), 0.6, 0, 0}, i % 2 ? "odd" : "even");
    }
    const KorvanePipeline p = build(c, 0.9, no_spheres());
    for (const std::size_t k : {1u, 3u, 8u, 100u}) {
        const auto m = as<output::Manifold>(p.query(request::LocalManifold{k}, Vec{0.8, 0.05, 0.6, 0, 0})).manifold;
        EXPECT_NEAR(std::abs(m.normal[2]), 1.0, 1e-9) << k;
        EXPECT_NEAR(m.centroid[2], 0.6, 1e-9) << k;
        EXPECT_NEAR(m.variance_ratio, 1.0, 1e-9) << k;
    }
}

// ---- category queries ----

TEST(PipelineCategoryQueries, PathsNeighboursDrillDownAndStats) {
    const Corpus c = four_categories(51);
    const KorvanePipeline p = build(c, 0.9, no_spheres());
    const Vec any(kDim, 0.0);

    EXPECT_EQ(error_of(p.query(request::CategoryConceptPath{"zz", "yy"}, any)), "unknown category: \"zz\"");
    EXPECT_EQ(error_of(p.query(request::CategoryConceptPath{"a1", "yy"}, any)), "unknown category: \"yy\"");
    EXPECT_EQ(error_of(p.query(request::CategoryNeighbors{"q\"x", 2}, any)), "unknown category: \"q\\\"x\"");
    EXPECT_EQ(error_of(p.query(request::DrillDown{"nope", 2}, any)), "unknown category: \"nope\"");

    const auto path = as<output::CategoryPath>(p.query(request::CategoryConceptPath{"a1", "b2"}, any)).path;
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->steps.front().category_name, "a1");
    EXPECT_EQ(path->steps.back().category_name, "b2");
    EXPECT_EQ(path, p.layer().category_path("a1", "b2"));

    const auto neighbours = as<output::CategoryNeighbors>(p.query(request::CategoryNeighbors{"a1", 2}, any)).neighbors;
    ASSERT_EQ(neighbours.size(), 2u);
    const auto direct = p.layer().category_neighbors("a1", 2);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_NE(neighbours[i].name, "a1");
        EXPECT_EQ(neighbours[i], direct[i].get());
    }
    // The other pair's categories lie across the sphere, so a1's cheapest neighbour is a2.
    EXPECT_EQ(neighbours[0].name, "a2");

    // Drill-down without inner spheres: the category's members by global distance.
    std::uint64_t state = 61;
    for (const std::string name : {"a1", "b2"}) {
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < c.rows.size(); ++i)
            if (c.categories[i] == name) members.push_back(i);
        const Vec q = gaussian(state, kDim);
        for (const std::size_t k : {0u, 4u, 40u}) {
            const auto hits = as<output::DrillDown>(p.query(request::DrillDown{name, k}, q)).hits;
            const auto expected = brute_nearest(c, q, k, members);
            ASSERT_EQ(hits.size(), expected.size());
            for (std::size_t i = 0; i < hits.size(); ++i) {
                EXPECT_EQ(hits[i].item_index, expected[i].index);
                EXPECT_NEAR(hits[i].distance, expected[i].distance, 1e-9);
                EXPECT_FALSE(hits[i].used_inner_sphere);
            }
        }
    }

    const auto stats = as<output::CategoryStats>(p.query(request::CategoryStats{}, any));
    ASSERT_EQ(stats.summaries.size(), 4u);
    const std::vector<std::string> names = {"a1", "a2", "b1", "b2"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(stats.summaries[i].name, names[i]);
        EXPECT_EQ(stats.summaries[i].member_count, 25u);
    }
    EXPECT_TRUE(stats.inner_spheres.empty());
}

TEST(PipelineCategoryQueries, StatsAndDrillDownWithInnerSpheres) {
    const Corpus c = four_categories(53);
    const KorvanePipeline p = build(c, 0.5, all_spheres());
    const auto stats = as<output::CategoryStats>(p.query(request::CategoryStats{}, Vec(kDim, 0.0)));
    ASSERT_EQ(stats.inner_spheres.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(stats.inner_spheres[i].category_index, i);
        EXPECT_EQ(stats.inner_spheres[i].category_name, stats.summaries[i].name);
        EXPECT_EQ(stats.inner_spheres[i].member_count, 25u);
    }
    const Vec q{1, 0.1, 0.1, 0.2, 0.1};
    const auto hits = as<output::DrillDown>(p.query(request::DrillDown{"a2", 5}, q)).hits;
    ASSERT_EQ(hits.size(), 5u);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_TRUE(hits[i].used_inner_sphere);
        EXPECT_EQ(c.categories[hits[i].item_index], "a2");
        if (i > 0) {
            EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
    }
}

// ---- concurrency ----

TEST(PipelineConcurrency, ThreadsQueryingOnePipelineAgree) {
    const Corpus c = four_categories(71);
    config::PipelineConfig cfg = all_spheres();
    cfg.routing.num_domain_groups = 2;
    const KorvanePipeline p = build(c, 0.5, cfg);

    std::uint64_t state = 3;
    std::vector<std::pair<PipelineQuery, Vec>> work;
    for (int i = 0; i < 6; ++i) {
        const Vec q = gaussian(state, kDim);
        work.push_back({request::Nearest{8}, q});
        work.push_back({request::SimilarAbove{0.8}, q});
        work.push_back({request::ConceptPath{item_id(i), item_id(99 - i), 3 + static_cast<std::size_t>(i % 3)}, q});
        work.push_back({request::DrillDown{"b1", 6}, q});
        work.push_back({request::LocalManifold{6}, q});
    }
    work.push_back({request::DetectGlobs{std::nullopt, 4}, Vec(kDim, 0.0)});
    work.push_back({request::CategoryConceptPath{"a1", "b1"}, Vec(kDim, 0.0)});

    std::vector<KorvaneOutput> baseline;
    for (const auto& [r, q] : work) baseline.push_back(p.query(r, q).value());

    constexpr int kThreads = 6;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (std::size_t j = 0; j < work.size(); ++j) {
                    const std::size_t w = (j + t * 7) % work.size();  // different orders, different cache k
                    const auto out = p.query(work[w].first, work[w].second);
                    if (!out.ok() || !(out.value() == baseline[w])) ++mismatches[t];
                    if (std::holds_alternative<request::Nearest>(work[w].first) &&
                        p.hierarchical_nearest(work[w].second, 8) != p.hierarchical_nearest(work[w].second, 8))
                        ++mismatches[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace korvane::pipeline
