#include "pipeline/pipeline.hpp"

#include <cstdio>
#include <utility>

#include "common/parallel.hpp"
#include "geometry/conversions.hpp"
#include "pipeline/projection_selection.hpp"

namespace korvane::pipeline {
namespace {

struct Displayer {
    std::string operator()(const LengthMismatch& e) const {
        return "categories length (" + std::to_string(e.categories) + ") must equal embeddings length (" +
               std::to_string(e.embeddings) + ")";
    }
    std::string operator()(const TooFewEmbeddings& e) const {
        return "need at least 3 embeddings, got " + std::to_string(e.count);
    }
    std::string operator()(const ProjectionFit& e) const {
        return "projection fit failed: " + projection::display(e.error);
    }
    std::string operator()(const UnknownCategory& e) const { return "unknown category: " + debug_quoted(e.name); }
    std::string operator()(const UnknownId& e) const { return "unknown id: " + debug_quoted(e.id); }
    std::string operator()(const NoSuccessfulTrials& e) const {
        return "auto_tune produced no successful trials (" + std::to_string(e.failures.size()) + " failures)";
    }
    std::string operator()(const InvalidSearchSpace& e) const { return "invalid search space: " + e.message; }
    std::string operator()(const QueryDimensionMismatch& e) const {
        return "query dimension mismatch: expected " + std::to_string(e.expected) + ", got " +
               std::to_string(e.actual);
    }
};

// Fills the index with items projected elsewhere, so the projections can run on the pool.
class IndexLoader : public PipelineIndex {
public:
    explicit IndexLoader(projection::ConfiguredProjection projection) : PipelineIndex(std::move(projection)) {}
    using EmbeddingIndexBase::insert_item;
};

// Rows the projection can take, all of one length (the category layer needs that too).
std::optional<projection::ProjectionError> check_rows(const RowsView& embeddings,
                                                      const projection::ConfiguredProjection& projection) {
    const std::size_t expected =
        projection.accepts_any_dimension() ? embeddings[0].size() : projection.dimensionality();
    for (std::size_t i = 0; i < embeddings.size(); ++i) {
        const std::size_t actual = embeddings[i].size();
        if (actual != expected) return projection::InconsistentDimension{i, expected, actual};
    }
    return std::nullopt;
}

constexpr std::size_t kProjectionGrain = 512;

}  // namespace

std::string display(const PipelineError& error) { return std::visit(Displayer{}, error); }

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buffer[12];
                    std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
                    out += buffer;
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string item_id(std::size_t index) {
    std::string digits = std::to_string(index);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return "s-" + digits;
}

KorvanePipeline::KorvanePipeline(PipelineIndex index, std::vector<std::string> categories,
                                 std::vector<std::string> ids, std::vector<Point3> cartesian,
                                 category::CategoryLayer layer, std::vector<category::ProjectionWarning> warnings,
                                 config::PipelineConfig config, std::size_t dimension, double evr)
    : index_(std::move(index)),
      categories_(std::move(categories)),
      ids_(std::move(ids)),
      cartesian_(std::move(cartesian)),
      layer_(std::move(layer)),
      warnings_(std::move(warnings)),
      config_(std::move(config)),
      dimension_(dimension),
      evr_(evr),
      metric_slot_(std::make_unique<MetricSlot>()) {}

KorvanePipeline::Built KorvanePipeline::create(std::vector<std::string> categories, const RowsView& embeddings) {
    return new_with_config(std::move(categories), embeddings, config::PipelineConfig{});
}

KorvanePipeline::Built KorvanePipeline::new_with_config(std::vector<std::string> categories,
                                                        const RowsView& embeddings,
                                                        const config::PipelineConfig& config) {
    auto fitted = fit_projection_for_config(embeddings, categories, config);
    if (!fitted) return Err{PipelineError{ProjectionFit{fitted.error()}}};
    return with_projection_parts(std::move(categories), embeddings, std::move(fitted).value(), config);
}

KorvanePipeline::Built KorvanePipeline::with_projection(std::vector<std::string> categories,
                                                        const RowsView& embeddings,
                                                        projection::PcaProjection projection) {
    return with_projection_parts(std::move(categories), embeddings, std::move(projection), config::PipelineConfig{});
}

KorvanePipeline::Built KorvanePipeline::with_projection_and_config(std::vector<std::string> categories,
                                                                   const RowsView& embeddings,
                                                                   projection::PcaProjection projection,
                                                                   const config::PipelineConfig& config) {
    return with_projection_parts(std::move(categories), embeddings, std::move(projection), config);
}

KorvanePipeline::Built KorvanePipeline::with_configured_projection_and_config(
    std::vector<std::string> categories, const RowsView& embeddings, projection::ConfiguredProjection projection,
    const config::PipelineConfig& config) {
    return with_projection_parts(std::move(categories), embeddings, std::move(projection), config);
}

KorvanePipeline::Built KorvanePipeline::with_projection_parts(std::vector<std::string> categories,
                                                              const RowsView& embeddings,
                                                              projection::ConfiguredProjection projection,
                                                              const config::PipelineConfig& config) {
    const std::size_t n = embeddings.size();
    if (categories.size() != n) return Err{PipelineError{LengthMismatch{categories.size(), n}}};
    if (n < 3) return Err{PipelineError{TooFewEmbeddings{n}}};
    if (auto wrong = check_rows(embeddings, projection)) return Err{PipelineError{ProjectionFit{*wrong}}};
    const std::size_t dimension = embeddings[0].size();

    // Every family's plain projection is the position of its rich one, so one rich pass serves
    // both the index and the layer. Items are independent: the pool leaves results unchanged.
    std::vector<projection::ProjectedPoint> rich(n);
    std::vector<double> magnitudes(n);
    std::vector<geometry::SphericalPoint> positions(n);
    std::vector<Point3> cartesian(n);
    parallel::for_each_chunk(n, kProjectionGrain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto row = embeddings[i];
            rich[i] = projection.project_rich(row);
            magnitudes[i] = projection::magnitude(row);
            positions[i] = rich[i].position;
            const geometry::CartesianPoint c = geometry::spherical_to_cartesian(positions[i]);
            cartesian[i] = {c.x, c.y, c.z};
        }
    });

    // Input order fixes the buckets' order, hence the graph order of concept paths.
    IndexLoader loader{projection};
    loader.reserve(n);
    std::vector<std::string> ids;
    ids.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        ids.push_back(item_id(i));
        loader.insert_item(EmbeddingItem{ids.back(), positions[i], magnitudes[i], rich[i]});
    }
    rich = {};
    magnitudes = {};

    const double evr = projection.explained_variance_ratio();
    category::CategoryLayer layer =
        category::CategoryLayer::build_with_config(categories, embeddings, positions, evr, projection, config);
    auto warnings = category::projection_warnings(evr);

    return KorvanePipeline(PipelineIndex(std::move(loader)), std::move(categories), std::move(ids),
                           std::move(cartesian), std::move(layer), std::move(warnings), config, dimension, evr);
}

std::vector<std::string_view> KorvanePipeline::unique_categories() const {
    std::vector<std::string_view> names;
    names.reserve(layer_.summaries().size());
    for (const auto& summary : layer_.summaries()) names.push_back(summary.name);
    return names;
}

std::vector<ProjectedItem> KorvanePipeline::projected_points() const {
    std::vector<ProjectedItem> points;
    points.reserve(ids_.size());
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        points.push_back({ids_[i], categories_[i], cartesian_[i][0], cartesian_[i][1], cartesian_[i][2]});
    }
    return points;
}

}  // namespace korvane::pipeline
