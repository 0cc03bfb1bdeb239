#include "config/pipeline_config.hpp"

#include "common/json_reader.hpp"

namespace korvane::config {

std::string_view serialized_name(ProjectionKind kind) { return record::enum_name(kind); }

std::string_view short_name(ProjectionKind kind) {
    switch (kind) {
        case ProjectionKind::Pca: return "pca";
        case ProjectionKind::KernelPca: return "kernel_pca";
        case ProjectionKind::LaplacianEigenmap: return "laplacian_eigenmap";
        case ProjectionKind::UmapSphere: return "umap_sphere";
    }
    return {};
}

std::optional<ProjectionKind> projection_kind_from_name(std::string_view name) {
    return record::enum_from_name<ProjectionKind>(name);
}

std::string to_json(const PipelineConfig& config) { return record::to_json(config); }

void write_json(json::JsonWriter& writer, const PipelineConfig& config) { record::write(writer, config); }

json::Value to_value(const PipelineConfig& config) { return record::to_value(config); }

Result<PipelineConfig, ConfigError> from_value(const json::Value& value) {
    return record::read<PipelineConfig>(value);
}

Result<PipelineConfig, ConfigError> from_json(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed.ok()) return Err{ConfigError{parsed.error().display(), ""}};
    return from_value(parsed.value());
}

}  // namespace korvane::config
