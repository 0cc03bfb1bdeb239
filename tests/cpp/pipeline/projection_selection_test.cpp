#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/random.hpp"
#include "pipeline/projection_selection.hpp"

namespace korvane::pipeline {
namespace {

struct LabelledCorpus {
    std::vector<double> values;
    std::vector<std::string> categories;
    std::size_t d;
    RowsView rows() const { return RowsView{values.data(), categories.size(), d, nullptr}; }
};

// Three well-separated clusters of 20 points each in 8 dimensions.
LabelledCorpus three_clusters() {
    LabelledCorpus c{{}, {}, 8};
    std::uint64_t state = 99;
    const char* names[] = {"alpha", "beta", "gamma"};
    for (std::size_t i = 0; i < 60; ++i) {
        const auto noise = random::gaussian_vector(state, c.d);
        for (std::size_t j = 0; j < c.d; ++j) c.values.push_back((j == i % 3 ? 4.0 : 0.0) + 0.2 * noise[j]);
        c.categories.emplace_back(names[i % 3]);
    }
    return c;
}

TEST(ProjectionSelection, ClassBalanceWeightsAndCategoryIds) {
    std::vector<std::string> categories;
    for (int i = 0; i < 16; ++i) categories.push_back("big");
    for (int i = 0; i < 4; ++i) categories.push_back("mid");
    categories.push_back("one");
    const auto weights = class_balance_weights(categories);
    EXPECT_EQ(weights.front(), 0.25);
    EXPECT_EQ(weights[16], 0.5);
    EXPECT_EQ(weights.back(), 1.0);
    const std::vector<std::string> labels{"b", "a", "b", "c"};
    EXPECT_EQ(category_ids(labels), (std::vector<std::uint32_t>{0, 1, 0, 2}));
}

TEST(ProjectionSelection, EachKindFitsItsFamily) {
    const LabelledCorpus c = three_clusters();
    PipelineConfig config;
    const struct {
        ProjectionKind kind;
        std::size_t index;
    } cases[] = {{ProjectionKind::Pca, 0}, {ProjectionKind::KernelPca, 1},
                 {ProjectionKind::LaplacianEigenmap, 2}, {ProjectionKind::UmapSphere, 3}};
    for (const auto& k : cases) {
        config.projection_kind = k.kind;
        config.umap.n_epochs = 20;
        const auto fitted = fit_projection_for_config(c.rows(), c.categories, config);
        ASSERT_TRUE(fitted.ok()) << config::serialized_name(k.kind);
        EXPECT_EQ(fitted->family().index(), k.index);
        const double evr = fitted->explained_variance_ratio();
        EXPECT_GE(evr, 0.0);
        EXPECT_LE(evr, 1.0);
        if (const auto* laplacian = fitted->get<projection::LaplacianEigenmapProjection>()) {
            EXPECT_EQ(evr, laplacian->connectivity_ratio());
        }
        if (const auto* umap = fitted->get<projection::UmapSphereProjection>()) {
            EXPECT_EQ(evr, umap->neighbor_preservation());
        }
    }
}

TEST(ProjectionSelection, PipelinePcaIsVolumetricSoScaleDoesNotMovePoints) {
    const LabelledCorpus c = three_clusters();
    const auto fitted = fit_projection_for_config(c.rows(), c.categories, PipelineConfig{});
    ASSERT_TRUE(fitted.ok());
    const auto* pca = fitted->get<projection::PcaProjection>();
    ASSERT_NE(pca, nullptr);
    EXPECT_TRUE(pca->volumetric());
    std::vector<double> e(c.values.begin(), c.values.begin() + 8), scaled = e;
    for (double& v : scaled) v *= 7.0;
    const auto a = fitted->project_rich(e), b = fitted->project_rich(scaled);
    EXPECT_EQ(a.position.r, a.projection_magnitude);
    EXPECT_NEAR(a.position.r, b.position.r, 1e-12);
    EXPECT_NEAR(a.position.theta, b.position.theta, 1e-12);
    EXPECT_NEAR(a.position.phi, b.position.phi, 1e-12);
}

TEST(ProjectionSelection, UmapFromAPrebuiltGraphMatchesTheDirectFit) {
    const LabelledCorpus c = three_clusters();
    PipelineConfig config;
    config.projection_kind = ProjectionKind::UmapSphere;
    config.umap.n_epochs = 15;
    config.umap.n_neighbors = 6;
    const auto graph = projection::UmapGraph::build(c.rows(), config.umap.n_neighbors);
    ASSERT_TRUE(graph.ok());
    const auto from_graph = fit_umap_from_graph(*graph, c.categories, config);
    const auto direct = fit_projection_for_config(c.rows(), c.categories, config);
    ASSERT_TRUE(from_graph.ok() && direct.ok());
    const auto a = from_graph->get<projection::UmapSphereProjection>()->positions();
    const auto b = direct->get<projection::UmapSphereProjection>()->positions();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i], b[i]) << i;
    EXPECT_EQ(from_graph->explained_variance_ratio(), direct->explained_variance_ratio());
}

TEST(ProjectionSelection, FitErrorsPassThroughUnchanged) {
    const std::vector<double> values{1, 2, 3, 4};
    const std::vector<std::string> categories{"a", "b"};
    PipelineConfig config;
    for (ProjectionKind kind : {ProjectionKind::Pca, ProjectionKind::KernelPca}) {
        config.projection_kind = kind;
        const auto fitted = fit_projection_for_config(RowsView{values.data(), 2, 2, nullptr}, categories, config);
        ASSERT_FALSE(fitted.ok());
        EXPECT_EQ(projection::display(fitted.error()), "embedding dimension 2 is below the minimum 3 for this projection");
    }
}

}  // namespace
}  // namespace korvane::pipeline
