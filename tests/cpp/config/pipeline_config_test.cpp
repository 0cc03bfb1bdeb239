#include "config/pipeline_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "common/record_reader.hpp"

namespace korvane::config {
namespace {

constexpr const char* kDefaultJson =
    R"({"projection_kind":"Pca",)"
    R"("inner_sphere":{"min_size":20,"min_evr_improvement":0.1,"kernel_pca_min_size":80,"min_kernel_improvement":0.05},)"
    R"("bridges":{"threshold_base":0.5,"threshold_evr_penalty":0.4,"overlap_artifact_territorial":0.3,)"
    R"("balanced_affinity_quantile":0.25,"min_evr_for_classification":0.2},)"
    R"("routing":{"num_domain_groups":5,"group_routing_alpha":0.8,"low_evr_threshold":0.35},)"
    R"("laplacian":{"k_neighbors":15,"active_threshold":0.05},)"
    R"("umap":{"n_neighbors":15,"n_epochs":200,"category_weight":1.5,"min_dist":0.1,"warm_start_anchor":0.0,"seed":2712847316},)"
    R"("spatial":{"coverage_samples":100000,"exclusivity_samples":30000,"voronoi_samples":100000},)"
    R"("min_category_size":1})";

// A configuration with every field away from its default, with floats that are easy to mangle.
PipelineConfig awkward_config() {
    PipelineConfig c;
    c.projection_kind = ProjectionKind::LaplacianEigenmap;
    c.inner_sphere = {7, 1e-7, 0, 0.30000000000000004};
    c.bridges = {1e20, -0.0, 5e-324, 1.0, 0.1};
    c.routing = {0, 2.5, 1.7976931348623157e308};
    c.laplacian = {std::numeric_limits<std::uint64_t>::max(), 123456789.125};
    c.umap = {1, 0, 1.0, -1e-7, 0.3, 0};
    c.spatial = {1, 2, 3};
    c.min_category_size = 9007199254740993;  // 2^53 + 1: not a double
    return c;
}

// ---- defaults and writing ----

TEST(PipelineConfigDefaults, SerialiseToTheDocumentedObjectInDeclaredOrder) {
    EXPECT_EQ(to_json(PipelineConfig{}), kDefaultJson);
}

TEST(PipelineConfigDefaults, HoldTheDocumentedValues) {
    const PipelineConfig c;
    EXPECT_EQ(c.projection_kind, ProjectionKind::Pca);
    EXPECT_EQ(c.umap.seed, 2712847316u);
    EXPECT_EQ(c.umap.warm_start_anchor, 0.0);
    EXPECT_EQ(c.min_category_size, 1u);
    // The JSON text above pins every other default.
}

TEST(PipelineConfigWrite, AllWritersAgree) {
    for (const PipelineConfig& c : {PipelineConfig{}, awkward_config()}) {
        const std::string text = to_json(c);
        EXPECT_EQ(json::write(to_value(c)), text);
        std::string streamed;
        json::JsonWriter writer(streamed);
        write_json(writer, c);
        EXPECT_TRUE(writer.complete());
        EXPECT_EQ(streamed, text);
    }
}

TEST(PipelineConfigWrite, ValueKeepsIntegersAndFloatsApart) {
    const json::Value v = to_value(PipelineConfig{});
    const json::Value* umap = v.find("umap");
    ASSERT_NE(umap, nullptr);
    EXPECT_EQ(umap->find("seed")->kind(), json::Kind::UInt);
    EXPECT_EQ(umap->find("warm_start_anchor")->kind(), json::Kind::Float);
    EXPECT_EQ(v.find("projection_kind")->kind(), json::Kind::String);
}

TEST(PipelineConfigWrite, FloatsKeepTheirLayout) {
    PipelineConfig c;
    c.umap.category_weight = 1.0;
    c.bridges.threshold_base = 1e20;
    c.inner_sphere.min_evr_improvement = 1e-7;
    c.routing.group_routing_alpha = std::numeric_limits<double>::infinity();
    const std::string text = to_json(c);
    EXPECT_NE(text.find(R"("category_weight":1.0,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("threshold_base":1e20,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("min_evr_improvement":1e-7,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("group_routing_alpha":null,)"), std::string::npos) << text;
}

// ---- round trip ----

TEST(PipelineConfigRoundTrip, JsonTextAndValueAreExact) {
    const PipelineConfig c = awkward_config();
    const auto from_text = from_json(to_json(c));
    ASSERT_TRUE(from_text.ok()) << from_text.error().display();
    EXPECT_EQ(from_text.value(), c);
    EXPECT_TRUE(std::signbit(from_text.value().bridges.threshold_evr_penalty));  // -0.0 == 0.0
    const auto from_dom = from_value(to_value(c));
    ASSERT_TRUE(from_dom.ok()) << from_dom.error().display();
    EXPECT_EQ(from_dom.value(), c);
    EXPECT_EQ(to_json(from_text.value()), to_json(c));
}

TEST(PipelineConfigRoundTrip, EveryProjectionKind) {
    for (ProjectionKind kind : {ProjectionKind::Pca, ProjectionKind::KernelPca,
                                ProjectionKind::LaplacianEigenmap, ProjectionKind::UmapSphere}) {
        PipelineConfig c;
        c.projection_kind = kind;
        const auto back = from_json(to_json(c));
        ASSERT_TRUE(back.ok()) << back.error().display();
        EXPECT_EQ(back.value().projection_kind, kind);
    }
}

// Non-finite floats are written as null; null must read back rather than make the record
// unreadable.  It comes back as NaN, the only non-finite value null can stand for.
TEST(PipelineConfigRoundTrip, NonFiniteFloatsReadBackAsNaN) {
    PipelineConfig c;
    c.umap.min_dist = std::numeric_limits<double>::infinity();
    const auto back = from_json(to_json(c));
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_TRUE(std::isnan(back.value().umap.min_dist));
    EXPECT_EQ(back.value().umap.category_weight, 1.5);
}

// ---- ProjectionKind names ----

TEST(ProjectionKindNames, SerialisedAndShortNames) {
    struct Case {
        ProjectionKind kind;
        const char* serialised;
        const char* short_form;
    };
    const Case cases[] = {
        {ProjectionKind::Pca, "Pca", "pca"},
        {ProjectionKind::KernelPca, "KernelPca", "kernel_pca"},
        {ProjectionKind::LaplacianEigenmap, "LaplacianEigenmap", "laplacian_eigenmap"},
        {ProjectionKind::UmapSphere, "UmapSphere", "umap_sphere"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(serialized_name(c.kind), c.serialised);
        EXPECT_EQ(short_name(c.kind), c.short_form);
        EXPECT_EQ(projection_kind_from_name(c.serialised), c.kind);
        EXPECT_EQ(projection_kind_from_name(c.short_form), std::nullopt) << c.short_form;
    }
    EXPECT_EQ(projection_kind_from_name("pca"), std::nullopt);
    EXPECT_EQ(projection_kind_from_name("UMAPSphere"), std::nullopt);
}

// ---- reading: accepted inputs ----

struct ReadCase {
    const char* input;
    std::function<void(PipelineConfig&)> expect;  // applied to the defaults
};

TEST(PipelineConfigRead, AcceptedInputs) {
    const ReadCase cases[] = {
        {"{}", [](PipelineConfig&) {}},
        {"[]", [](PipelineConfig&) {}},
        {R"({"unknown_key":[1,2,3]})", [](PipelineConfig&) {}},
        {R"({"x":1,"x":{"y":2}})", [](PipelineConfig&) {}},  // duplicate unknown keys are still unknown
        {R"({"projection_kind":"UmapSphere"})",
         [](PipelineConfig& c) { c.projection_kind = ProjectionKind::UmapSphere; }},
        {R"({"bridges":{"threshold_base":0.7}})", [](PipelineConfig& c) { c.bridges.threshold_base = 0.7; }},
        {R"({"umap":{"seed":5}})", [](PipelineConfig& c) { c.umap.seed = 5; }},
        {R"({"umap":{"n_epochs":50}})", [](PipelineConfig& c) { c.umap.n_epochs = 50; }},
        {R"({"umap":{}})", [](PipelineConfig&) {}},
        {R"({"umap":{"bogus":{"seed":1},"seed":5,"more":null},"zzz":"Pca"})",
         [](PipelineConfig& c) { c.umap.seed = 5; }},
        {R"({"routing":{"group_routing_alpha":1}})",  // integers widen into float fields
         [](PipelineConfig& c) { c.routing.group_routing_alpha = 1.0; }},
        {R"({"inner_sphere":{"min_evr_improvement":-3}})",
         [](PipelineConfig& c) { c.inner_sphere.min_evr_improvement = -3.0; }},
        {R"({"min_category_size":18446744073709551615})",
         [](PipelineConfig& c) { c.min_category_size = std::numeric_limits<std::uint64_t>::max(); }},
        {R"({"laplacian":{"k_neighbors":0,"active_threshold":1e-7}})",
         [](PipelineConfig& c) {
             c.laplacian.k_neighbors = 0;
             c.laplacian.active_threshold = 1e-7;
         }},
        // positional forms: declared order, trailing values defaulted, extra values skipped
        {R"(["KernelPca"])", [](PipelineConfig& c) { c.projection_kind = ProjectionKind::KernelPca; }},
        {R"(["Pca",{"min_size":3}])", [](PipelineConfig& c) { c.inner_sphere.min_size = 3; }},
        {R"({"laplacian":[7]})", [](PipelineConfig& c) { c.laplacian.k_neighbors = 7; }},
        {R"({"umap":[1,2,3.5]})",
         [](PipelineConfig& c) {
             c.umap.n_neighbors = 1;
             c.umap.n_epochs = 2;
             c.umap.category_weight = 3.5;
         }},
        {R"(["Pca",{},{},{},{},{},{},4,"extra",{"more":1}])", [](PipelineConfig& c) { c.min_category_size = 4; }},
    };
    for (const ReadCase& rc : cases) {
        PipelineConfig expected;
        rc.expect(expected);
        const auto got = from_json(rc.input);
        ASSERT_TRUE(got.ok()) << rc.input << ": " << got.error().display();
        EXPECT_EQ(got.value(), expected) << rc.input << " read as " << to_json(got.value());
    }
}

// The Python layer builds values in memory: ints may arrive as signed, floats may be non-finite.
TEST(PipelineConfigRead, InMemoryValues) {
    const json::Value dict = json::Value::object()
                                 .push("min_category_size", std::int64_t{7})
                                 .push("umap", json::Value::object().push("min_dist", -HUGE_VAL));
    const auto got = from_value(dict);
    ASSERT_TRUE(got.ok()) << got.error().display();
    EXPECT_EQ(got.value().min_category_size, 7u);
    EXPECT_EQ(got.value().umap.min_dist, -HUGE_VAL);

    const auto bad = from_value(json::Value::object().push("min_category_size", std::nan("")));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().display(), "invalid type: floating point `NaN`, expected u64 at `min_category_size`");
}

// ---- reading: rejected inputs ----

struct ErrorCase {
    const char* input;
    std::string message;
    const char* path;
};

constexpr const char* kVariants = "expected one of `Pca`, `KernelPca`, `LaplacianEigenmap`, `UmapSphere`";

TEST(PipelineConfigRead, RejectedInputs) {
    const std::string variants = kVariants;
    const ErrorCase cases[] = {
        // projection_kind
        {R"({"projection_kind":"pca"})", "unknown variant `pca`, " + variants, "projection_kind"},
        {R"({"projection_kind":"PCA"})", "unknown variant `PCA`, " + variants, "projection_kind"},
        {R"({"projection_kind":""})", "unknown variant ``, " + variants, "projection_kind"},
        {R"({"projection_kind":1})", "invalid type: integer `1`, " + variants + " at `projection_kind`", "projection_kind"},
        {R"({"projection_kind":{"Pca":null}})", "invalid type: map, " + variants + " at `projection_kind`", "projection_kind"},
        // unsigned fields
        {R"({"min_category_size":-1})", "invalid value: integer `-1`, expected u64 at `min_category_size`",
         "min_category_size"},
        {R"({"laplacian":{"k_neighbors":2.5}})",
         "invalid type: floating point `2.5`, expected u64 at `laplacian.k_neighbors`", "laplacian.k_neighbors"},
        {R"({"laplacian":{"k_neighbors":3.0}})",
         "invalid type: floating point `3.0`, expected u64 at `laplacian.k_neighbors`", "laplacian.k_neighbors"},
        {R"({"spatial":{"voronoi_samples":18446744073709551616}})",
         "invalid type: floating point `1.8446744073709552e19`, expected u64 at `spatial.voronoi_samples`",
         "spatial.voronoi_samples"},
        {R"({"umap":{"seed":"5"}})", R"(invalid type: string "5", expected u64 at `umap.seed`)", "umap.seed"},
        {R"({"umap":{"seed":"a\"b"}})", R"(invalid type: string "a\"b", expected u64 at `umap.seed`)",
         "umap.seed"},
        {R"({"min_category_size":null})", "invalid type: null, expected u64 at `min_category_size`",
         "min_category_size"},
        {R"({"min_category_size":true})", "invalid type: boolean `true`, expected u64 at `min_category_size`",
         "min_category_size"},
        {R"({"min_category_size":[1]})", "invalid type: sequence, expected u64 at `min_category_size`",
         "min_category_size"},
        // float fields
        {R"({"umap":{"min_dist":"0.1"}})", R"(invalid type: string "0.1", expected f64 at `umap.min_dist`)",
         "umap.min_dist"},
        {R"({"bridges":{"threshold_base":false}})",
         "invalid type: boolean `false`, expected f64 at `bridges.threshold_base`", "bridges.threshold_base"},
        {R"({"bridges":{"threshold_base":{}}})", "invalid type: map, expected f64 at `bridges.threshold_base`",
         "bridges.threshold_base"},
        // nested records
        {R"({"umap":5})", "invalid type: integer `5`, expected struct UmapConfig at `umap`", "umap"},
        {R"({"umap":null})", "invalid type: null, expected struct UmapConfig at `umap`", "umap"},
        {R"({"inner_sphere":"x"})", R"(invalid type: string "x", expected struct InnerSphereConfig at `inner_sphere`)",
         "inner_sphere"},
        {R"({"spatial":-2.5})", "invalid type: floating point `-2.5`, expected struct SpatialConfig at `spatial`",
         "spatial"},
        // the input itself
        {R"("x")", R"(invalid type: string "x", expected struct PipelineConfig)", ""},
        {"5", "invalid type: integer `5`, expected struct PipelineConfig", ""},
        {"null", "invalid type: null, expected struct PipelineConfig", ""},
        {"true", "invalid type: boolean `true`, expected struct PipelineConfig", ""},
        // duplicates, even with equal values
        {R"({"min_category_size":1,"min_category_size":1})", "duplicate field `min_category_size`",
         "min_category_size"},
        {R"({"umap":{},"bridges":{},"umap":{}})", "duplicate field `umap`", "umap"},
        {R"({"umap":{"seed":1,"n_epochs":2,"seed":2}})", "duplicate field `seed`", "umap.seed"},
        {R"(["Pca",{"min_size":1,"min_size":2}])", "duplicate field `min_size`", "inner_sphere.min_size"},
        // positional form
        {R"(["Pca",5])", "invalid type: integer `5`, expected struct InnerSphereConfig at `inner_sphere`",
         "inner_sphere"},
        {"[1]", "invalid type: integer `1`, " + variants + " at `projection_kind`",
         "projection_kind"},
        {R"({"laplacian":[-1]})", "invalid value: integer `-1`, expected u64 at `laplacian.k_neighbors`",
         "laplacian.k_neighbors"},
        // the first fault in document order wins
        {R"({"umap":{"seed":"x"},"min_category_size":-1})",
         R"(invalid type: string "x", expected u64 at `umap.seed`)", "umap.seed"},
        {R"({"min_category_size":"a","min_category_size":1})",
         R"(invalid type: string "a", expected u64 at `min_category_size`)", "min_category_size"},
        {R"({"min_category_size":1,"min_category_size":"a"})", "duplicate field `min_category_size`",
         "min_category_size"},
    };
    for (const ErrorCase& ec : cases) {
        const auto got = from_json(ec.input);
        ASSERT_FALSE(got.ok()) << ec.input << " read as " << to_json(got.value());
        EXPECT_EQ(got.error().display(), ec.message) << ec.input;
        EXPECT_EQ(got.error().path, ec.path) << ec.input;
    }
}

TEST(PipelineConfigRead, MalformedTextReportsTheParser) {
    for (const char* text : {"", "{", R"({"umap":})", "{} {}", "[1,]"}) {
        const auto got = from_json(text);
        ASSERT_FALSE(got.ok()) << text;
        const auto parsed = json::parse(text);
        ASSERT_FALSE(parsed.ok()) << text;
        EXPECT_EQ(got.error().display(), parsed.error().display()) << text;
        EXPECT_EQ(got.error().path, "") << text;
    }
}

}  // namespace
}  // namespace korvane::config

// ---- the generic record machinery, on field kinds PipelineConfig does not use ----

namespace korvane::record_probe {

enum class Mode { Fast, Slow };

struct Probe {
    bool flag = false;
    std::string label = "none";
    std::optional<double> weight;
    std::vector<std::uint64_t> counts{9};
    Mode mode = Mode::Slow;
    std::uint64_t id = 0;

    friend bool operator==(const Probe&, const Probe&) = default;
};

constexpr auto enum_variants(std::type_identity<Mode>) {
    return record::variants<Mode, 2>("Mode", {{{Mode::Fast, "Fast"}, {Mode::Slow, "Slow"}}});
}

constexpr auto record_schema(std::type_identity<Probe>) {
    return record::schema<Probe>("Probe", record::field("flag", &Probe::flag), record::field("label", &Probe::label),
                                 record::field("weight", &Probe::weight), record::field("counts", &Probe::counts),
                                 record::field("mode", &Probe::mode), record::required("id", &Probe::id));
}

namespace {

record::ReadResult<Probe> read_probe(const char* text) {
    auto parsed = json::parse(text);
    EXPECT_TRUE(parsed.ok()) << text;
    return record::read<Probe>(parsed.value());
}

TEST(RecordReader, OtherFieldKindsRoundTrip) {
    const Probe p{true, "a \"quoted\"\nlabel", 0.25, {}, Mode::Fast, 3};
    const std::string text = record::to_json(p);
    EXPECT_EQ(text, R"({"flag":true,"label":"a \"quoted\"\nlabel","weight":0.25,"counts":[],"mode":"Fast","id":3})");
    const auto back = read_probe(text.c_str());
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_EQ(back.value(), p);

    const Probe none{};
    EXPECT_EQ(record::to_json(none), R"({"flag":false,"label":"none","weight":null,"counts":[9],"mode":"Slow","id":0})");
    EXPECT_EQ(json::write(record::to_value(none)), record::to_json(none));
}

TEST(RecordReader, OptionalAndRequiredFields) {
    struct Case {
        const char* input;
        std::optional<double> weight;
        std::uint64_t id;
    };
    const Case cases[] = {
        {R"({"id":4})", std::nullopt, 4},
        {R"({"weight":null,"id":4})", std::nullopt, 4},
        {R"({"weight":2,"id":5})", 2.0, 5},
        {R"([false,"none",1.5,[9],"Slow",6])", 1.5, 6},
    };
    for (const Case& c : cases) {
        const auto got = read_probe(c.input);
        ASSERT_TRUE(got.ok()) << c.input << ": " << got.error().display();
        EXPECT_EQ(got.value().weight, c.weight) << c.input;
        EXPECT_EQ(got.value().id, c.id) << c.input;
        EXPECT_EQ(got.value().counts, std::vector<std::uint64_t>{9}) << c.input;
    }
}

TEST(RecordReader, Messages) {
    struct Case {
        const char* input;
        const char* message;
        const char* path;
    };
    const Case cases[] = {
        {R"({})", "missing field `id`", "id"},
        {R"({"flag":true,"id":1,"id":2})", "duplicate field `id`", "id"},
        {R"([true,"x"])", "missing field `id`", "id"},
        {R"({"flag":1,"id":1})", "invalid type: integer `1`, expected a boolean at `flag`", "flag"},
        {R"({"label":1,"id":1})", "invalid type: integer `1`, expected a string at `label`", "label"},
        {R"({"label":null,"id":1})", "invalid type: null, expected a string at `label`", "label"},
        {R"({"weight":"w","id":1})", R"(invalid type: string "w", expected f64 at `weight`)", "weight"},
        {R"({"counts":{},"id":1})", "invalid type: map, expected a sequence at `counts`", "counts"},
        {R"({"counts":[1,-2],"id":1})", "invalid value: integer `-2`, expected u64 at `counts[1]`", "counts[1]"},
        {R"({"mode":"fast","id":1})", "unknown variant `fast`, expected `Fast` or `Slow`", "mode"},
        {R"({"mode":0,"id":1})", "invalid type: integer `0`, expected `Fast` or `Slow` at `mode`", "mode"},
    };
    for (const Case& c : cases) {
        const auto got = read_probe(c.input);
        ASSERT_FALSE(got.ok()) << c.input;
        EXPECT_EQ(got.error().display(), c.message) << c.input;
        EXPECT_EQ(got.error().path, c.path) << c.input;
    }
}

}  // namespace
}  // namespace korvane::record_probe
