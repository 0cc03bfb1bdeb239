// The built pipeline: a labelled corpus projected onto the sphere, with its item index,
// category layer and warnings. Immutable once built apart from two self-synchronising caches
// (the index's neighbour graph and the metric-points slot); every query is const and may run
// on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "category/layer.hpp"
#include "category/warnings.hpp"
#include "common/result.hpp"
#include "common/rows.hpp"
#include "config/pipeline_config.hpp"
#include "pipeline/embedding_index.hpp"
#include "pipeline/globs.hpp"
#include "pipeline/query.hpp"
#include "pipeline/results.hpp"
#include "projection/configured_projection.hpp"
#include "projection/error.hpp"
#include "projection/pca.hpp"

namespace korvane::pipeline {

// ---- errors ----

struct LengthMismatch {
    std::uint64_t categories = 0;
    std::uint64_t embeddings = 0;
};
struct TooFewEmbeddings {
    std::uint64_t count = 0;
};
struct ProjectionFit {
    projection::ProjectionError error;
};
struct UnknownCategory {
    std::string name;
};
struct UnknownId {
    std::string id;
};
// One failed tuning trial: the candidate and the display text of what stopped it.
struct TrialFailure {
    config::PipelineConfig config;
    std::string message;
};
struct NoSuccessfulTrials {
    std::vector<TrialFailure> failures;
};
struct InvalidSearchSpace {
    std::string message;
};
// A query embedding whose length is not the corpus dimension.
struct QueryDimensionMismatch {
    std::uint64_t expected = 0;
    std::uint64_t actual = 0;
};

using PipelineError = std::variant<LengthMismatch, TooFewEmbeddings, ProjectionFit, UnknownCategory, UnknownId,
                                   NoSuccessfulTrials, InvalidSearchSpace, QueryDimensionMismatch>;

std::string display(const PipelineError& error);

// `text` in double quotes with backslash escapes for quotes, backslashes and control characters.
std::string debug_quoted(std::string_view text);

// "s-" and the index, zero-padded to at least four digits: "s-0000", "s-10000".
std::string item_id(std::size_t index);

// ---- the pipeline ----

using PipelineIndex = EmbeddingIndex<projection::ConfiguredProjection>;

// An item as export and visualisation read it; the strings are borrowed from the pipeline.
struct ProjectedItem {
    std::string_view id;
    std::string_view category;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

class KorvanePipeline {
public:
    using Built = Result<KorvanePipeline, PipelineError>;

    // Fits the projection the configuration names, then builds.
    static Built create(std::vector<std::string> categories, const RowsView& embeddings);
    static Built new_with_config(std::vector<std::string> categories, const RowsView& embeddings,
                                 const config::PipelineConfig& config);
    // A fitted projection is used as given; nothing is fitted.
    static Built with_projection(std::vector<std::string> categories, const RowsView& embeddings,
                                 projection::PcaProjection projection);
    static Built with_projection_and_config(std::vector<std::string> categories, const RowsView& embeddings,
                                            projection::PcaProjection projection,
                                            const config::PipelineConfig& config);
    static Built with_configured_projection_and_config(std::vector<std::string> categories,
                                                       const RowsView& embeddings,
                                                       projection::ConfiguredProjection projection,
                                                       const config::PipelineConfig& config);
    // The build proper. Embeddings whose length the projection does not take are refused as a
    // fit failure naming the first offending row, before any work.
    static Built with_projection_parts(std::vector<std::string> categories, const RowsView& embeddings,
                                       projection::ConfiguredProjection projection,
                                       const config::PipelineConfig& config);

    KorvanePipeline(KorvanePipeline&&) noexcept = default;
    KorvanePipeline& operator=(KorvanePipeline&&) noexcept = default;

    // ---- read accessors ----

    const projection::ConfiguredProjection& projection() const noexcept { return index_.projection(); }
    const PipelineIndex& index() const noexcept { return index_; }
    const std::vector<std::string>& categories() const noexcept { return categories_; }
    const std::vector<std::string>& ids() const noexcept { return ids_; }
    const std::vector<Point3>& cartesian() const noexcept { return cartesian_; }
    const category::CategoryLayer& layer() const noexcept { return layer_; }
    const std::vector<category::ProjectionWarning>& warnings() const noexcept { return warnings_; }
    const config::PipelineConfig& config() const noexcept { return config_; }
    double min_certainty() const noexcept { return min_certainty_; }
    double min_confidence() const noexcept { return min_confidence_; }
    std::size_t size() const noexcept { return ids_.size(); }
    std::size_t dimension() const noexcept { return dimension_; }
    double explained_variance_ratio() const noexcept { return evr_; }

    // Category label of an item id ("unknown" when the id names no item).
    std::string_view cat_for(std::string_view id) const noexcept { return category_for_id(id, categories_); }
    // Names of the layer's categories, in layer order.
    std::vector<std::string_view> unique_categories() const;
    // Every item in input order with its Cartesian position.
    std::vector<ProjectedItem> projected_points() const;

    // The metric points of the quality metrics, computed by `make` on first use and kept.
    // Every caller must ask for the same type T.
    template <class T, class F>
    const T& metric_points(F&& make) const {
        std::call_once(metric_slot_->once, [&] { metric_slot_->value = std::make_shared<const T>(make(*this)); });
        return *static_cast<const T*>(metric_slot_->value.get());
    }

    // ---- queries ----

    // Errors: UnknownId, UnknownCategory, and QueryDimensionMismatch for the kinds that read the
    // embedding (Nearest, SimilarAbove, LocalManifold, DrillDown).
    Result<KorvaneOutput, PipelineError> query(const PipelineQuery& request, std::span<const double> embedding) const;

    // The following expect an embedding of dimension(); any other length gives no results.

    // Routed search: into the closest domain group's inner sphere when the EVR is low and that
    // group is clearly closest, else flat.
    std::vector<NearestResult> default_nearest(std::span<const double> embedding, std::size_t k) const;
    // The k nearest items by direction, confidences computed with `evr`.
    std::vector<NearestResult> nearest_filtered(std::span<const double> embedding, std::size_t k, double evr) const;
    // Below the low-EVR threshold: the drill-downs of every category of the closest group,
    // merged by distance.
    std::vector<NearestResult> hierarchical_nearest(std::span<const double> embedding, std::size_t k) const;
    NearestResult drill_result_to_nearest(const category::DrillDownHit& hit, double evr) const;

private:
    struct MetricSlot {
        std::once_flag once;
        std::shared_ptr<const void> value;
    };

    KorvanePipeline(PipelineIndex index, std::vector<std::string> categories, std::vector<std::string> ids,
                    std::vector<Point3> cartesian, category::CategoryLayer layer,
                    std::vector<category::ProjectionWarning> warnings, config::PipelineConfig config,
                    std::size_t dimension, double evr);

    bool keeps(const NearestResult& result) const noexcept {
        return result.certainty >= min_certainty_ && result.confidence.score >= min_confidence_;
    }
    NearestResult result_for(const EmbeddingItem& item, double distance, double evr) const;
    std::vector<NearestResult> flat_nearest(const geometry::SphericalPoint& q, std::size_t k, double evr) const;
    std::vector<NearestResult> routed_to_group(const geometry::SphericalPoint& q, std::span<const double> embedding,
                                               std::size_t k, double evr) const;

    PipelineIndex index_;  // holds the projection
    std::vector<std::string> categories_;
    std::vector<std::string> ids_;
    std::vector<Point3> cartesian_;
    category::CategoryLayer layer_;
    std::vector<category::ProjectionWarning> warnings_;
    config::PipelineConfig config_;
    std::size_t dimension_ = 0;
    double evr_ = 0.0;
    double min_certainty_ = 0.0;
    double min_confidence_ = 0.0;
    std::unique_ptr<MetricSlot> metric_slot_;
};

}  // namespace korvane::pipeline
