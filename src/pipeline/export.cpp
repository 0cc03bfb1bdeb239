#include "pipeline/export.hpp"

#include <string_view>

#include "common/json_writer.hpp"
#include "common/number_format.hpp"

namespace korvane::pipeline {

std::vector<ExportedPoint> exported_points(const KorvanePipeline& pipeline) {
    const auto& ids = pipeline.ids();
    const auto& categories = pipeline.categories();
    const auto& cartesian = pipeline.cartesian();
    std::vector<ExportedPoint> points;
    points.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ExportedPoint p;
        p.id = ids[i];
        p.category = i < categories.size() ? categories[i] : std::string("unknown");
        if (i < cartesian.size()) {
            p.x = cartesian[i][0];
            p.y = cartesian[i][1];
            p.z = cartesian[i][2];
        }
        if (const EmbeddingItem* item = pipeline.index().get(ids[i])) {
            p.r = item->position.r;
            p.theta = item->position.theta;
            p.phi = item->position.phi;
            if (item->projected) {
                p.certainty = item->projected->certainty;
                p.intensity = item->projected->intensity;
            } else {
                p.certainty = 1.0;
                p.intensity = item->magnitude;
            }
        }
        points.push_back(std::move(p));
    }
    return points;
}

std::string export_json(const std::vector<ExportedPoint>& points) {
    std::string out;
    out.reserve(points.size() * 220 + 2);
    json::JsonWriter w(out);
    w.begin_array();
    for (const auto& p : points) {
        w.begin_object();
        w.key("id").value(p.id);
        w.key("category").value(p.category);
        w.key("r").value(p.r);
        w.key("theta").value(p.theta);
        w.key("phi").value(p.phi);
        w.key("x").value(p.x);
        w.key("y").value(p.y);
        w.key("z").value(p.z);
        w.key("certainty").value(p.certainty);
        w.key("intensity").value(p.intensity);
        w.end_object();
    }
    w.end_array();
    return out;
}

namespace {

void append_csv_quoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

}  // namespace

std::string export_csv(const std::vector<ExportedPoint>& points) {
    std::string out = "id,category,r,theta,phi,x,y,z,certainty,intensity\n";
    out.reserve(out.size() + points.size() * 120);
    for (const auto& p : points) {
        append_csv_quoted(out, p.id);
        out.push_back(',');
        append_csv_quoted(out, p.category);
        for (double v : {p.r, p.theta, p.phi, p.x, p.y, p.z, p.certainty, p.intensity}) {
            out.push_back(',');
            append_fixed(out, v, 6);
        }
        out.push_back('\n');
    }
    return out;
}

}  // namespace korvane::pipeline
