#include "pipeline/result_json.hpp"

#include "common/json_reader.hpp"
#include "common/json_writer.hpp"

namespace korvane::pipeline {
namespace {

using json::JsonWriter;
using json::Value;

void write_vec3(JsonWriter& w, const std::array<double, 3>& v) {
    w.begin_array();
    for (double x : v) w.value(x);
    w.end_array();
}

void write_step(JsonWriter& w, const PipelinePathStep& step) {
    w.begin_object();
    w.key("bridge_strength");
    if (step.bridge_strength)
        w.value(*step.bridge_strength);
    else
        w.null();
    w.key("category").value(step.category);
    w.key("cumulative_distance").value(step.cumulative_distance);
    w.key("hop_distance").value(step.hop_distance);
    w.key("id").value(step.id);
    w.end_object();
}

// Field readers; an absent key and a value of the wrong kind read the same.
const Value* field(const Value& object, std::string_view key) {
    return object.is_object() ? object.find(key) : nullptr;
}

Result<std::string, std::string> string_field(const Value& object, std::string_view key) {
    const Value* v = field(object, key);
    if (!v || !v->is_string()) return Err{"missing or non-string field: " + std::string(key)};
    return *v->as_string();
}

Result<double, std::string> number_field(const Value& object, std::string_view key) {
    const Value* v = field(object, key);
    if (!v || !v->is_number()) return Err{"missing or non-numeric field: " + std::string(key)};
    return *v->as_double();
}

Result<std::uint64_t, std::string> count_field(const Value& object, std::string_view key) {
    const Value* v = field(object, key);
    if (!v || !v->as_uint64()) return Err{"missing or non-integer field: " + std::string(key)};
    return *v->as_uint64();
}

// Never fails: anything but an array of at least three elements reads as the zero vector, and
// non-numbers inside it as 0.
std::array<double, 3> lenient_vec3(const Value& object, std::string_view key) {
    std::array<double, 3> out{};
    const Value* v = field(object, key);
    const json::Array* items = v ? v->as_array() : nullptr;
    if (!items || items->size() < 3) return out;
    for (std::size_t i = 0; i < 3; ++i) out[i] = (*items)[i].as_double().value_or(0.0);
    return out;
}

Result<Value, std::string> parse_document(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed) return Err{parsed.error().display()};
    return std::move(parsed).value();
}

Result<PipelinePathStep, std::string> read_step(const Value& object) {
    PipelinePathStep step;
    auto id = string_field(object, "id");
    if (!id) return Err{id.error()};
    auto category = string_field(object, "category");
    if (!category) return Err{category.error()};
    auto cumulative = number_field(object, "cumulative_distance");
    if (!cumulative) return Err{cumulative.error()};
    auto hop = number_field(object, "hop_distance");
    if (!hop) return Err{hop.error()};
    step.id = std::move(id).value();
    step.category = std::move(category).value();
    step.cumulative_distance = *cumulative;
    step.hop_distance = *hop;
    if (const Value* b = field(object, "bridge_strength"); b && b->is_number()) step.bridge_strength = *b->as_double();
    return step;
}

template <class Reader>
auto from_text(std::string_view text, Reader&& read) -> decltype(read(std::declval<const Value&>())) {
    auto document = parse_document(text);
    if (!document) return Err{document.error()};
    return read(*document);
}

}  // namespace

std::string to_json(const NearestResult& hit) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.key("category").value(hit.category);
    w.key("certainty").value(hit.certainty);
    w.key("distance").value(hit.distance);
    w.key("id").value(hit.id);
    w.key("intensity").value(hit.intensity);
    w.end_object();
    return out;
}

std::string to_json(const PipelinePathStep& step) {
    std::string out;
    JsonWriter w(out);
    write_step(w, step);
    return out;
}

std::string to_json(const PathResult& path) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.key("steps").begin_array();
    for (const auto& step : path.steps) write_step(w, step);
    w.end_array();
    w.key("total_distance").value(path.total_distance);
    w.end_object();
    return out;
}

std::string to_json(const GlobSummary& glob) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.key("centroid");
    write_vec3(w, glob.centroid);
    w.key("id").value(glob.id);
    w.key("member_count").value(glob.member_count);
    w.key("radius").value(glob.radius);
    w.key("top_categories").begin_array();
    for (const auto& [name, count] : glob.top_categories) w.begin_array().value(name).value(count).end_array();
    w.end_array();
    w.end_object();
    return out;
}

std::string to_json(const SlicingManifold& manifold) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.key("centroid");
    write_vec3(w, manifold.centroid);
    w.key("normal");
    write_vec3(w, manifold.normal);
    w.key("variance_ratio").value(manifold.variance_ratio);
    w.end_object();
    return out;
}

Result<NearestResult, std::string> nearest_from_json(std::string_view text) {
    return from_text(text, [](const Value& object) -> Result<NearestResult, std::string> {
        NearestResult hit;
        auto id = string_field(object, "id");
        if (!id) return Err{id.error()};
        auto category = string_field(object, "category");
        if (!category) return Err{category.error()};
        hit.id = std::move(id).value();
        hit.category = std::move(category).value();
        for (auto [key, target] : {std::pair{"distance", &hit.distance}, std::pair{"certainty", &hit.certainty},
                                   std::pair{"intensity", &hit.intensity}}) {
            auto number = number_field(object, key);
            if (!number) return Err{number.error()};
            *target = *number;
        }
        return hit;
    });
}

Result<PipelinePathStep, std::string> path_step_from_json(std::string_view text) {
    return from_text(text, read_step);
}

Result<PathResult, std::string> path_from_json(std::string_view text) {
    return from_text(text, [](const Value& object) -> Result<PathResult, std::string> {
        const Value* steps = field(object, "steps");
        if (!steps || !steps->is_array()) return Err{std::string("missing 'steps' array")};
        PathResult path;
        std::optional<std::string> step_error;
        for (const Value& item : *steps->as_array()) {
            auto step = read_step(item);
            if (!step) {
                step_error = step.error();
                break;
            }
            path.steps.push_back(std::move(step).value());
        }
        // A bad total outranks a bad step.
        auto total = number_field(object, "total_distance");
        if (!total) return Err{total.error()};
        if (step_error) return Err{*step_error};
        path.total_distance = *total;
        return path;
    });
}

Result<GlobSummary, std::string> glob_from_json(std::string_view text) {
    return from_text(text, [](const Value& object) -> Result<GlobSummary, std::string> {
        GlobSummary glob;
        auto id = count_field(object, "id");
        if (!id) return Err{id.error()};
        auto members = count_field(object, "member_count");
        if (!members) return Err{members.error()};
        auto radius = number_field(object, "radius");
        if (!radius) return Err{radius.error()};
        glob.id = *id;
        glob.member_count = *members;
        glob.radius = *radius;
        const Value* top = field(object, "top_categories");
        if (!top || !top->is_array()) return Err{std::string("missing 'top_categories' array")};
        const json::Array& entries = *top->as_array();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string at = "top_categories[" + std::to_string(i) + "]";
            const json::Array* pair = entries[i].as_array();
            if (!pair) return Err{at + " must be an array"};
            if (pair->empty() || !(*pair)[0].is_string()) return Err{at + "[0] must be a string"};
            if (pair->size() < 2 || !(*pair)[1].as_uint64()) return Err{at + "[1] must be an integer"};
            glob.top_categories.emplace_back(*(*pair)[0].as_string(), *(*pair)[1].as_uint64());
        }
        glob.centroid = lenient_vec3(object, "centroid");
        return glob;
    });
}

Result<SlicingManifold, std::string> manifold_from_json(std::string_view text) {
    return from_text(text, [](const Value& object) -> Result<SlicingManifold, std::string> {
        SlicingManifold manifold;
        auto ratio = number_field(object, "variance_ratio");
        if (!ratio) return Err{ratio.error()};
        manifold.variance_ratio = *ratio;
        manifold.centroid = lenient_vec3(object, "centroid");
        manifold.normal = lenient_vec3(object, "normal");
        return manifold;
    });
}

}  // namespace korvane::pipeline
