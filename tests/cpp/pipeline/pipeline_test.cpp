#include "pipeline/pipeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "projection/pca.hpp"

namespace korvane::pipeline {
namespace {

using Rows = std::vector<std::vector<double>>;

// Rows laid out contiguously, as a RowsView reads them.
struct Corpus {
    std::vector<std::string> categories;
    std::vector<double> flat;
    std::size_t width = 0;
    std::vector<std::size_t> offsets;  // set only for ragged corpora

    RowsView view() const {
        if (!offsets.empty()) return RowsView{flat.data(), offsets.size() - 1, 0, offsets.data()};
        return RowsView{flat.data(), width == 0 ? 0 : flat.size() / width, width, nullptr};
    }
    std::span<const double> row(std::size_t i) const { return view()[i]; }
};

Corpus uniform(const Rows& rows, std::vector<std::string> categories) {
    Corpus c;
    c.categories = std::move(categories);
    c.width = rows.empty() ? 0 : rows[0].size();
    for (const auto& r : rows) c.flat.insert(c.flat.end(), r.begin(), r.end());
    return c;
}

Corpus ragged(const Rows& rows, std::vector<std::string> categories) {
    Corpus c;
    c.categories = std::move(categories);
    c.offsets.push_back(0);
    for (const auto& r : rows) {
        c.flat.insert(c.flat.end(), r.begin(), r.end());
        c.offsets.push_back(c.flat.size());
    }
    return c;
}

// Gaussian clusters around the first three axes of a `dim`-dimensional space, labelled
// "c0", "c1", "c2" in turn.
Corpus clustered(std::size_t n, std::size_t dim, std::uint64_t seed) {
    Rows rows;
    std::vector<std::string> labels;
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < n; ++i) {
        auto g = random::gaussian_vector(state, dim);
        std::vector<double> row(dim);
        for (std::size_t j = 0; j < dim; ++j) row[j] = 0.3 * g[j] + (j == i % 3 ? 2.0 : 0.0);
        rows.push_back(std::move(row));
        std::string label = "c";
        label += std::to_string(i % 3);
        labels.push_back(std::move(label));
    }
    return uniform(rows, std::move(labels));
}

// The first three coordinates as the principal axes, unit radius; EVR = evr.
projection::PcaProjection axis_projection(std::size_t dim, double evr) {
    std::array<std::vector<double>, 3> axes;
    for (std::size_t a = 0; a < 3; ++a) {
        axes[a].assign(dim, 0.0);
        axes[a][a] = 1.0;
    }
    return projection::PcaProjection::from_eigendecomp(std::move(axes), {evr, 0.0, 0.0}, std::vector<double>(dim, 0.0),
                                                       dim, projection::FixedRadius{1.0}, 1.0);
}

// Fewer Monte Carlo samples: the layer's spatial record is not what these tests check.
config::PipelineConfig fast_config() {
    config::PipelineConfig c;
    c.spatial = {2000, 1000, 2000};
    return c;
}

std::string error_text(const KorvanePipeline::Built& built) {
    return built ? std::string("built") : display(built.error());
}

TEST(PipelineIds, ZeroPaddedToFourDigitsThenGrow) {
    const std::vector<std::pair<std::size_t, std::string>> cases = {
        {0, "s-0000"}, {7, "s-0007"}, {42, "s-0042"}, {999, "s-0999"}, {9999, "s-9999"}, {10000, "s-10000"},
        {123456, "s-123456"}};
    for (const auto& [index, expected] : cases) EXPECT_EQ(item_id(index), expected) << index;
}

TEST(PipelineErrors, DisplayTexts) {
    const std::vector<std::pair<PipelineError, std::string>> cases = {
        {LengthMismatch{4, 5}, "categories length (4) must equal embeddings length (5)"},
        {TooFewEmbeddings{2}, "need at least 3 embeddings, got 2"},
        {ProjectionFit{projection::DimensionTooLow{2, 3}},
         "projection fit failed: embedding dimension 2 is below the minimum 3 for this projection"},
        {UnknownCategory{"animals"}, "unknown category: \"animals\""},
        {UnknownId{"s-9"}, "unknown id: \"s-9\""},
        {UnknownId{"a\"b\\c\nd\te\x01"}, "unknown id: \"a\\\"b\\\\c\\nd\\te\\u{1}\""},
        {NoSuccessfulTrials{{TrialFailure{{}, "x"}, TrialFailure{{}, "y"}}},
         "auto_tune produced no successful trials (2 failures)"},
        {InvalidSearchSpace{"empty grid"}, "invalid search space: empty grid"},
        {QueryDimensionMismatch{5, 3}, "query dimension mismatch: expected 5, got 3"},
    };
    for (const auto& [error, expected] : cases) EXPECT_EQ(display(error), expected);
}

TEST(PipelineConstruction, RejectsBadInputBeforeAnyWork) {
    const Corpus five = clustered(5, 4, 1);
    struct Case {
        const char* name;
        std::vector<std::string> categories;
        Corpus corpus;
        std::string expected;
    };
    const Corpus two = clustered(2, 4, 2);
    const Corpus none = uniform({}, {});
    const Corpus wide = clustered(5, 6, 3);
    const Corpus uneven = ragged({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1}, {1, 1, 1, 1}}, {"a", "a", "b", "b"});
    const std::vector<Case> cases = {
        {"length mismatch", {"a", "b", "c", "d"}, five, "categories length (4) must equal embeddings length (5)"},
        {"two items", two.categories, two, "need at least 3 embeddings, got 2"},
        {"no items", {}, none, "need at least 3 embeddings, got 0"},
        {"wrong dimension", wide.categories, wide, "projection fit failed: embedding 0 has dimension 6, expected 4"},
        {"ragged rows", uneven.categories, uneven, "projection fit failed: embedding 2 has dimension 3, expected 4"},
    };
    for (const Case& c : cases) {
        auto built = KorvanePipeline::with_projection_and_config(c.categories, c.corpus.view(), axis_projection(4, 0.9),
                                                                 fast_config());
        EXPECT_EQ(error_text(built), c.expected) << c.name;
    }
}

TEST(PipelineConstruction, FitFailuresArriveAsProjectionFit) {
    const Corpus flat2 = uniform({{1, 0}, {0, 1}, {1, 1}, {2, 1}}, {"a", "a", "b", "b"});
    auto built = KorvanePipeline::create(flat2.categories, flat2.view());
    ASSERT_FALSE(built);
    ASSERT_TRUE(std::holds_alternative<ProjectionFit>(built.error()));
    EXPECT_EQ(display(built.error()),
              "projection fit failed: embedding dimension 2 is below the minimum 3 for this projection");
}

TEST(PipelineConstruction, ThreeItemsBuild) {
    const Corpus c = uniform({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}, {"a", "b", "a"});
    auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(4, 0.9),
                                                             fast_config());
    ASSERT_TRUE(built) << error_text(built);
    EXPECT_EQ(built->ids(), (std::vector<std::string>{"s-0000", "s-0001", "s-0002"}));
    EXPECT_EQ(built->size(), 3u);
    EXPECT_EQ(built->dimension(), 4u);
}

TEST(PipelineConstruction, ItemsArePlacedWhereTheProjectionPutsThem) {
    const std::size_t dim = 5;
    const Corpus c = clustered(60, dim, 11);
    auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(dim, 0.8),
                                                             fast_config());
    ASSERT_TRUE(built) << error_text(built);
    const KorvanePipeline& p = *built;
    ASSERT_EQ(p.cartesian().size(), 60u);
    for (std::size_t i = 0; i < 60; ++i) {
        const auto e = c.row(i);
        // Unit radius in the direction of the first three coordinates; certainty is the share of
        // the squared norm those coordinates hold.
        const double head = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
        double all = 0.0;
        for (double v : e) all += v * v;
        for (std::size_t a = 0; a < 3; ++a) EXPECT_NEAR(p.cartesian()[i][a], e[a] / head, 1e-12) << i;

        const std::string id = p.ids()[i];
        EXPECT_EQ(id, item_id(i));
        const EmbeddingItem* item = p.index().get(id);
        ASSERT_NE(item, nullptr) << id;
        ASSERT_TRUE(item->projected.has_value());
        EXPECT_NEAR(item->projected->certainty, head * head / all, 1e-12) << i;
        EXPECT_NEAR(item->magnitude, std::sqrt(all), 1e-12) << i;
        EXPECT_NEAR(item->projected->intensity, std::sqrt(all), 1e-12) << i;
        EXPECT_NEAR(item->position.r, 1.0, 1e-12);
    }
    EXPECT_EQ(p.categories(), c.categories);
    EXPECT_EQ(p.index().size(), 60u);
    EXPECT_DOUBLE_EQ(p.explained_variance_ratio(), 0.8);
    EXPECT_EQ(p.min_certainty(), 0.0);
    EXPECT_EQ(p.min_confidence(), 0.0);
    EXPECT_EQ(p.config(), fast_config());

    const auto points = p.projected_points();
    ASSERT_EQ(points.size(), 60u);
    for (std::size_t i = 0; i < 60; ++i) {
        EXPECT_EQ(points[i].id, p.ids()[i]);
        EXPECT_EQ(points[i].category, c.categories[i]);
        EXPECT_EQ(points[i].x, p.cartesian()[i][0]);
        EXPECT_EQ(points[i].y, p.cartesian()[i][1]);
        EXPECT_EQ(points[i].z, p.cartesian()[i][2]);
    }
    EXPECT_EQ(p.unique_categories(), (std::vector<std::string_view>{"c0", "c1", "c2"}));
}

TEST(PipelineConstruction, WarningsFollowTheEvr) {
    const Corpus c = clustered(30, 4, 5);
    for (const double evr : {0.9, 0.3, 0.2, 0.05}) {
        auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(4, evr),
                                                                 fast_config());
        ASSERT_TRUE(built) << error_text(built);
        const auto& warnings = built->warnings();
        if (evr >= 0.35) {
            EXPECT_TRUE(warnings.empty()) << evr;
        } else {
            ASSERT_EQ(warnings.size(), 1u) << evr;
            EXPECT_DOUBLE_EQ(warnings[0].evr, evr);
        }
    }
}

TEST(PipelineConstruction, TenThousandAndFirstItemId) {
    const std::size_t n = 10001;
    const Corpus c = clustered(n, 4, 9);
    config::PipelineConfig cfg = fast_config();
    cfg.inner_sphere.min_size = n + 1;  // no inner spheres: this test is about ids
    auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(4, 0.9), cfg);
    ASSERT_TRUE(built) << error_text(built);
    EXPECT_EQ(built->ids().front(), "s-0000");
    EXPECT_EQ(built->ids()[9999], "s-9999");
    EXPECT_EQ(built->ids().back(), "s-10000");
    EXPECT_NE(built->index().get("s-10000"), nullptr);
    EXPECT_EQ(built->index().get("s-10001"), nullptr);
}

TEST(PipelineConstruction, DefaultBuildIsDeterministicAndKeepsTheDefaultConfig) {
    const Corpus c = clustered(90, 6, 21);
    auto a = KorvanePipeline::create(c.categories, c.view());
    auto b = KorvanePipeline::create(c.categories, c.view());
    ASSERT_TRUE(a) << error_text(a);
    ASSERT_TRUE(b) << error_text(b);
    EXPECT_EQ(a->config(), config::PipelineConfig{});
    EXPECT_EQ(a->ids(), b->ids());
    EXPECT_EQ(a->cartesian(), b->cartesian());
    EXPECT_EQ(a->layer().summaries(), b->layer().summaries());
    EXPECT_EQ(a->layer().domain_groups(), b->layer().domain_groups());
    EXPECT_EQ(a->layer().graph(), b->layer().graph());
    EXPECT_EQ(a->warnings(), b->warnings());
    EXPECT_EQ(a->explained_variance_ratio(), b->explained_variance_ratio());
    // The default projection is volumetric: points inside the unit ball.
    for (const auto& p : a->cartesian()) EXPECT_LE(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), 1.0 + 1e-12);
}

TEST(PipelineConstruction, ThreadCountDoesNotChangeTheBuild) {
    const Corpus c = clustered(3000, 8, 33);
    const auto build = [&] {
        auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(8, 0.9),
                                                                 fast_config());
        EXPECT_TRUE(built);
        return std::move(built).value();
    };
    parallel::set_thread_count(1);
    const KorvanePipeline serial = build();
    parallel::set_thread_count(0);
    const KorvanePipeline pooled = build();
    EXPECT_EQ(serial.cartesian(), pooled.cartesian());
    for (const auto& id : serial.ids()) {
        const EmbeddingItem* s = serial.index().get(id);
        const EmbeddingItem* q = pooled.index().get(id);
        ASSERT_TRUE(s && q);
        EXPECT_EQ(s->position, q->position);
        EXPECT_EQ(s->projected->certainty, q->projected->certainty);
    }
}

TEST(PipelineConstruction, MetricPointsAreComputedOnceAcrossThreads) {
    const Corpus c = clustered(20, 4, 3);
    auto built = KorvanePipeline::with_projection_and_config(c.categories, c.view(), axis_projection(4, 0.9),
                                                             fast_config());
    ASSERT_TRUE(built);
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    std::vector<const std::vector<double>*> seen(6, nullptr);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            seen[t] = &built->metric_points<std::vector<double>>([&](const KorvanePipeline& p) {
                ++calls;
                return std::vector<double>(p.size(), 1.0);
            });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 1);
    for (const auto* s : seen) {
        EXPECT_EQ(s, seen[0]);
        EXPECT_EQ(s->size(), 20u);
    }
}

}  // namespace
}  // namespace korvane::pipeline
