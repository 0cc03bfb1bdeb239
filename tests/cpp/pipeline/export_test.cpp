#include "pipeline/export.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "common/json_reader.hpp"
#include "common/number_format.hpp"

namespace korvane::pipeline {
namespace {

config::PipelineConfig fast_config() {
    config::PipelineConfig c;
    c.spatial = {2000, 1000, 2000};
    return c;
}

KorvanePipeline build(std::vector<std::string> categories, const std::vector<double>& flat, std::size_t width) {
    RowsView rows{flat.data(), flat.size() / width, width, nullptr};
    auto built = KorvanePipeline::new_with_config(std::move(categories), rows, fast_config());
    if (!built) ADD_FAILURE() << display(built.error());
    return std::move(built).value();
}

KorvanePipeline small_pipeline(std::vector<std::string> categories) {
    std::vector<double> flat = {1.0, 0.1, 0.0, 0.2, 1.0, 0.1, 0.0, 0.3, 1.0, 0.9, 0.8, 0.1};
    categories.resize(4, "d");
    return build(std::move(categories), flat, 3);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start != text.size()) lines.push_back(text.substr(start) + "<unterminated>");
    return lines;
}

TEST(ExportTest, PointsFollowTheItemsInInputOrder) {
    auto p = small_pipeline({"a", "b", "c", "a"});
    auto points = exported_points(p);
    ASSERT_EQ(points.size(), 4u);
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_EQ(points[i].id, p.ids()[i]);
        EXPECT_EQ(points[i].category, p.categories()[i]);
        EXPECT_EQ(points[i].x, p.cartesian()[i][0]);
        EXPECT_EQ(points[i].y, p.cartesian()[i][1]);
        EXPECT_EQ(points[i].z, p.cartesian()[i][2]);
        const EmbeddingItem* item = p.index().get(p.ids()[i]);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(points[i].r, item->position.r);
        EXPECT_EQ(points[i].theta, item->position.theta);
        EXPECT_EQ(points[i].phi, item->position.phi);
        ASSERT_TRUE(item->projected.has_value());
        EXPECT_EQ(points[i].certainty, item->projected->certainty);
        EXPECT_EQ(points[i].intensity, item->projected->intensity);
    }
    EXPECT_EQ(points[0].id, "s-0000");
    EXPECT_EQ(points[3].id, "s-0003");
}

TEST(ExportTest, JsonStartsWithTheFirstIdAndKeepsKeyOrder) {
    auto p = small_pipeline({"a", "b", "c", "d"});
    std::string text = to_json(p);
    EXPECT_EQ(text.rfind("[{\"id\":\"s-0000\",\"category\":\"a\",\"r\":", 0), 0u) << text;
    const char* keys[] = {"\"id\":",  "\"category\":", "\"r\":", "\"theta\":",     "\"phi\":",
                          "\"x\":",   "\"y\":",        "\"z\":", "\"certainty\":", "\"intensity\":"};
    std::size_t at = 0;
    for (const char* key : keys) {
        std::size_t found = text.find(key, at);
        ASSERT_NE(found, std::string::npos) << key;
        at = found;
    }
    EXPECT_LT(at, text.find("s-0001"));
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(text.back(), ']');
}

TEST(ExportTest, JsonParsesBackToThePoints) {
    auto p = small_pipeline({"x\"y", "b,c", "new\nline", "back\\slash"});
    auto points = exported_points(p);
    auto parsed = json::parse(to_json(p));
    ASSERT_TRUE(parsed) << parsed.error().display();
    const auto* array = parsed->as_array();
    ASSERT_NE(array, nullptr);
    ASSERT_EQ(array->size(), points.size());
    auto str = [](const json::Value& o, const char* key) {
        const json::Value* v = o.find(key);
        return v && v->as_string() ? *v->as_string() : std::string("<missing>");
    };
    auto num = [](const json::Value& o, const char* key) {
        const json::Value* v = o.find(key);
        return v ? v->as_double().value_or(-999.0) : -999.0;
    };
    for (std::size_t i = 0; i < points.size(); ++i) {
        const auto& o = (*array)[i];
        ASSERT_EQ(o.as_object()->size(), 10u);
        EXPECT_EQ(str(o, "id"), points[i].id);
        EXPECT_EQ(str(o, "category"), points[i].category);
        EXPECT_EQ(num(o, "r"), points[i].r);
        EXPECT_EQ(num(o, "theta"), points[i].theta);
        EXPECT_EQ(num(o, "phi"), points[i].phi);
        EXPECT_EQ(num(o, "x"), points[i].x);
        EXPECT_EQ(num(o, "y"), points[i].y);
        EXPECT_EQ(num(o, "z"), points[i].z);
        EXPECT_EQ(num(o, "certainty"), points[i].certainty);
        EXPECT_EQ(num(o, "intensity"), points[i].intensity);
    }
}

ExportedPoint sample_point(std::string id, std::string category, double value) {
    return ExportedPoint{std::move(id), std::move(category), value, value, value, value, value, value, value, value};
}

struct NumberCase {
    double value;
    const char* json;
    const char* csv;
};

class ExportNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ExportNumberTest, JsonAndCsvForms) {
    const auto& c = GetParam();
    std::vector<ExportedPoint> points = {sample_point("s-0000", "a", c.value)};
    std::string json_text = export_json(points);
    std::string expected_json = "[{\"id\":\"s-0000\",\"category\":\"a\"";
    for (const char* key : {"r", "theta", "phi", "x", "y", "z", "certainty", "intensity"}) {
        expected_json += ",\"";
        expected_json += key;
        expected_json += "\":";
        expected_json += c.json;
    }
    expected_json += "}]";
    EXPECT_EQ(json_text, expected_json);

    std::string expected_csv = "id,category,r,theta,phi,x,y,z,certainty,intensity\n\"s-0000\",\"a\"";
    for (int i = 0; i < 8; ++i) {
        expected_csv += ',';
        expected_csv += c.csv;
    }
    expected_csv += '\n';
    EXPECT_EQ(export_csv(points), expected_csv);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ExportNumberTest,
    ::testing::Values(NumberCase{0.5, "0.5", "0.500000"}, NumberCase{1.0, "1.0", "1.000000"},
                      NumberCase{-0.25, "-0.25", "-0.250000"}, NumberCase{0.1234565, "0.1234565", "0.123456"},
                      NumberCase{2.0000005, "2.0000005", "2.000001"}, NumberCase{1e20, "1e20", "100000000000000000000.000000"},
                      NumberCase{std::numeric_limits<double>::quiet_NaN(), "null", "NaN"},
                      NumberCase{std::numeric_limits<double>::infinity(), "null", "inf"},
                      NumberCase{-std::numeric_limits<double>::infinity(), "null", "-inf"}));

struct QuoteCase {
    const char* category;
    const char* csv_field;
};

class ExportQuoteTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(ExportQuoteTest, CsvQuotesIdAndCategory) {
    const auto& c = GetParam();
    std::string csv = export_csv({sample_point("s-0000", c.category, 0.0)});
    std::string expected = std::string("id,category,r,theta,phi,x,y,z,certainty,intensity\n\"s-0000\",") + c.csv_field;
    for (int i = 0; i < 8; ++i) expected += ",0.000000";
    expected += '\n';
    EXPECT_EQ(csv, expected);
}

INSTANTIATE_TEST_SUITE_P(Quotes, ExportQuoteTest,
                         ::testing::Values(QuoteCase{"plain", "\"plain\""}, QuoteCase{"a,b", "\"a,b\""},
                                           QuoteCase{"say \"hi\"", "\"say \"\"hi\"\"\""},
                                           QuoteCase{"two\nlines", "\"two\nlines\""}, QuoteCase{"", "\"\""}));

TEST(ExportTest, CsvHasOneLinePerItemAfterTheHeader) {
    auto p = small_pipeline({"a", "b", "c", "d"});
    std::string csv = to_csv(p);
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv.back(), '\n');
    auto lines = lines_of(csv);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "id,category,r,theta,phi,x,y,z,certainty,intensity");
    EXPECT_EQ(lines[1].rfind("\"s-0000\",\"a\",", 0), 0u);
    EXPECT_EQ(lines[4].rfind("\"s-0003\",\"d\",", 0), 0u);
    auto points = exported_points(p);
    std::string expected_second = "\"s-0001\",\"b\"";
    for (double v : {points[1].r, points[1].theta, points[1].phi, points[1].x, points[1].y, points[1].z,
                     points[1].certainty, points[1].intensity}) {
        expected_second += ',';
        expected_second += format_fixed(v, 6);
    }
    EXPECT_EQ(lines[2], expected_second);
}

TEST(ExportTest, EmptyListsExportEmptyForms) {
    EXPECT_EQ(export_json({}), "[]");
    EXPECT_EQ(export_csv({}), "id,category,r,theta,phi,x,y,z,certainty,intensity\n");
}

}  // namespace
}  // namespace korvane::pipeline
