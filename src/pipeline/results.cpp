#include "pipeline/results.hpp"

#include <algorithm>
#include <cmath>

namespace korvane::pipeline {

Confidence confidence_for(double certainty, double evr) noexcept {
    Confidence c;
    c.evr = evr;
    c.certainty_weight = std::max(std::sqrt(certainty), 0.01);
    c.score = evr * certainty * c.certainty_weight;
    c.band = c.score > 0.1 ? 3 : c.score > 0.03 ? 2 : c.score > 0.005 ? 1 : 0;
    return c;
}

}  // namespace korvane::pipeline
