#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <utility>

#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"
#include "pipeline/manifold.hpp"
#include "pipeline/pipeline.hpp"

namespace korvane::pipeline {
namespace {

constexpr std::string_view kUnknown = "unknown";

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

std::vector<GlobSummary> summarize_globs(const GlobResult& detected, const KorvanePipeline& pipeline) {
    std::vector<GlobSummary> out;
    out.reserve(detected.globs.size());
    for (const Glob& glob : detected.globs) {
        // Ties in the ranking go to the category whose first member comes first.
        std::vector<std::pair<std::string, std::uint64_t>> counts;
        for (const std::string& member : glob.member_ids) {
            const std::string_view label = pipeline.cat_for(member);
            auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == label; });
            if (it == counts.end()) {
                counts.emplace_back(std::string(label), 1);
            } else {
                ++it->second;
            }
        }
        std::stable_sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        if (counts.size() > 3) counts.resize(3);
        out.push_back(GlobSummary{glob.id, glob.centroid, glob.member_ids.size(), glob.radius, std::move(counts)});
    }
    return out;
}

}  // namespace

std::string_view category_for_id(std::string_view id, std::span<const std::string> labels) noexcept {
    if (!id.starts_with("s-")) return kUnknown;
    std::string_view digits = id.substr(2);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty()) return kUnknown;
    std::size_t index = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (ec != std::errc{} || end != digits.data() + digits.size()) return kUnknown;
    if (index >= labels.size()) return kUnknown;
    return labels[index];
}

NearestResult KorvanePipeline::result_for(const EmbeddingItem& item, double distance, double evr) const {
    const double certainty = item.projected ? item.projected->certainty : 1.0;
    const double intensity = item.projected ? item.projected->intensity : item.magnitude;
    return NearestResult{item.id, std::string(cat_for(item.id)), distance, certainty, intensity,
                         confidence_for(certainty, evr)};
}

NearestResult KorvanePipeline::drill_result_to_nearest(const category::DrillDownHit& hit, double evr) const {
    NearestResult result;
    result.distance = hit.distance;
    result.certainty = 1.0;
    result.intensity = 1.0;
    if (hit.item_index < ids_.size()) {
        result.id = ids_[hit.item_index];
        result.category = categories_[hit.item_index];
        if (const EmbeddingItem* item = index_.get(result.id)) {
            result.certainty = item->projected ? item->projected->certainty : 1.0;
            result.intensity = item->projected ? item->projected->intensity : item->magnitude;
        }
    } else {
        result.category = kUnknown;
    }
    result.confidence = confidence_for(result.certainty, evr);
    return result;
}

std::vector<NearestResult> KorvanePipeline::nearest_filtered(std::span<const double> embedding, std::size_t k,
                                                             double evr) const {
    if (embedding.size() != dimension_ || k == 0) return {};
    return flat_nearest(projection().project(embedding), k, evr);
}

std::vector<NearestResult> KorvanePipeline::flat_nearest(const geometry::SphericalPoint& q, std::size_t k,
                                                         double evr) const {
    if (k == 0) return {};
    const SpatialItems& spatial = index_.spatial();
    std::vector<NearestResult> results;
    const auto hits = spatial.nearest_entries(q, k);
    results.reserve(hits.size());
    for (const auto& hit : hits) {
        NearestResult result = result_for(spatial.item(hit.entry), hit.distance, evr);
        if (keeps(result)) results.push_back(std::move(result));
    }
    return results;
}

std::vector<NearestResult> KorvanePipeline::routed_to_group(const geometry::SphericalPoint& q,
                                                            std::span<const double> embedding, std::size_t k,
                                                            double evr) const {
    const auto& groups = layer_.domain_groups();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::size_t best = 0;
    double d1 = kInf;
    double d2 = kInf;
    bool have_best = false;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const double d = geometry::angular_distance(q, groups[g].centroid);
        if (!have_best || d < d1) {
            if (have_best) d2 = d1;
            best = g;
            d1 = d;
            have_best = true;
        } else if (d < d2) {
            d2 = d;
        }
    }
    if (!layer_.group_inner_spheres().contains(best)) return {};
    const double alpha = config_.routing.group_routing_alpha;
    if (d2 != kInf && !(alpha > d1 / d2)) return {};

    std::vector<NearestResult> results;
    for (const category::DrillDownHit& hit : layer_.drill_down_group(best, embedding, k)) {
        NearestResult result = drill_result_to_nearest(hit, evr);
        if (keeps(result)) results.push_back(std::move(result));
    }
    if (results.size() > k) results.resize(k);
    return results;
}

std::vector<NearestResult> KorvanePipeline::default_nearest(std::span<const double> embedding, std::size_t k) const {
    if (embedding.size() != dimension_) return {};
    const double evr = evr_;
    const geometry::SphericalPoint q = projection().project(embedding);
    // Without a group sphere routing can only fall through to the flat search.
    if (evr < 0.9 && config_.routing.group_routing_alpha > 0.0 && !layer_.domain_groups().empty() &&
        !layer_.group_inner_spheres().empty()) {
        auto routed = routed_to_group(q, embedding, k, evr);
        if (!routed.empty()) return routed;
    }
    return flat_nearest(q, k, evr);
}

std::vector<NearestResult> KorvanePipeline::hierarchical_nearest(std::span<const double> embedding,
                                                                 std::size_t k) const {
    if (embedding.size() != dimension_) return {};
    const double evr = evr_;
    const auto& groups = layer_.domain_groups();
    if (config_.routing.low_evr_threshold <= evr || groups.empty()) return nearest_filtered(embedding, k, evr);

    const geometry::SphericalPoint q = projection().project(embedding);
    std::size_t best = 0;
    double best_distance = std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const double d = geometry::angular_distance(q, groups[g].centroid);
        if (g == 0 || d < best_distance) {
            best = g;
            best_distance = d;
        }
    }

    std::vector<NearestResult> results;
    const auto& summaries = layer_.summaries();
    for (const std::uint64_t member : groups[best].member_categories) {
        if (member >= summaries.size()) continue;
        for (const auto& hit : layer_.drill_down_with_projection(summaries[member].name, embedding, projection(), k)) {
            results.push_back(drill_result_to_nearest(hit, evr));
        }
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const NearestResult& a, const NearestResult& b) { return a.distance < b.distance; });
    if (results.size() > k) results.resize(k);
    if (results.empty()) return flat_nearest(q, k, evr);
    return results;
}

Result<KorvaneOutput, PipelineError> KorvanePipeline::query(const PipelineQuery& request,
                                                            std::span<const double> embedding) const {
    using Out = Result<KorvaneOutput, PipelineError>;
    const auto needs_embedding = [&]() -> std::optional<PipelineError> {
        if (embedding.size() == dimension_) return std::nullopt;
        return PipelineError{QueryDimensionMismatch{dimension_, embedding.size()}};
    };
    const auto known_category = [&](const std::string& name) -> std::optional<PipelineError> {
        if (layer_.category_index(name)) return std::nullopt;
        return PipelineError{UnknownCategory{name}};
    };

    return std::visit(
        Overloaded{
            [&](const request::Nearest& r) -> Out {
                if (auto e = needs_embedding()) return Err{*e};
                return KorvaneOutput{output::Nearest{default_nearest(embedding, r.k)}};
            },
            [&](const request::SimilarAbove& r) -> Out {
                if (auto e = needs_embedding()) return Err{*e};
                const double evr = evr_;
                auto found = index_.search_similar(embedding, r.min_cosine);
                std::vector<NearestResult> results;
                if (found) {
                    const geometry::SphericalPoint q = projection().project(embedding);
                    results.reserve(found->items.size());
                    for (const EmbeddingItem& item : found->items) {
                        NearestResult result = result_for(item, geometry::angular_distance(q, item.position), evr);
                        if (keeps(result)) results.push_back(std::move(result));
                    }
                }
                return KorvaneOutput{output::SimilarAbove{std::move(results)}};
            },
            [&](const request::ConceptPath& r) -> Out {
                if (!index_.get(r.source_id)) return Err{PipelineError{UnknownId{r.source_id}}};
                if (!index_.get(r.target_id)) return Err{PipelineError{UnknownId{r.target_id}}};
                output::ConceptPath out;
                if (auto path = index_.concept_path(r.source_id, r.target_id, r.graph_k)) {
                    PathResult converted;
                    converted.total_distance = path->total_distance;
                    converted.steps.reserve(path->steps.size());
                    for (PathStep& step : path->steps) {
                        std::string category(cat_for(step.id));
                        converted.steps.push_back(PipelinePathStep{std::move(step.id), std::move(category),
                                                                   step.cumulative_distance, step.hop_distance,
                                                                   step.bridge_strength});
                    }
                    out.path = std::move(converted);
                }
                return KorvaneOutput{std::move(out)};
            },
            [&](const request::DetectGlobs& r) -> Out {
                const GlobResult detected = GlobResult::detect(cartesian_, ids_, r.k, r.max_k);
                return KorvaneOutput{output::Globs{summarize_globs(detected, *this)}};
            },
            [&](const request::LocalManifold& r) -> Out {
                if (auto e = needs_embedding()) return Err{*e};
                const geometry::CartesianPoint c = geometry::spherical_to_cartesian(projection().project(embedding));
                return KorvaneOutput{
                    output::Manifold{fit_local_manifold(Point3{c.x, c.y, c.z}, cartesian_, r.neighborhood_k)}};
            },
            [&](const request::CategoryConceptPath& r) -> Out {
                if (auto e = known_category(r.source_category)) return Err{*e};
                if (auto e = known_category(r.target_category)) return Err{*e};
                return KorvaneOutput{output::CategoryPath{layer_.category_path(r.source_category, r.target_category)}};
            },
            [&](const request::CategoryNeighbors& r) -> Out {
                if (auto e = known_category(r.category)) return Err{*e};
                output::CategoryNeighbors out;
                for (const category::CategorySummary& s : layer_.category_neighbors(r.category, r.k)) {
                    out.neighbors.push_back(s);
                }
                return KorvaneOutput{std::move(out)};
            },
            [&](const request::DrillDown& r) -> Out {
                if (auto e = known_category(r.category)) return Err{*e};
                if (auto e = needs_embedding()) return Err{*e};
                return KorvaneOutput{
                    output::DrillDown{layer_.drill_down_with_projection(r.category, embedding, projection(), r.k)}};
            },
            [&](const request::CategoryStats&) -> Out {
                return KorvaneOutput{output::CategoryStats{layer_.summaries(), layer_.inner_sphere_stats()}};
            },
        },
        request);
}

}  // namespace korvane::pipeline
