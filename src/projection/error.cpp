#include "projection/error.hpp"

#include "common/number_format.hpp"

namespace korvane::projection {
namespace {

std::string n(std::uint64_t value) { return std::to_string(value); }

struct Displayer {
    std::string operator()(const EmptyInput&) const { return "need at least one embedding to fit a projection"; }
    std::string operator()(const DimensionTooLow& e) const {
        return "embedding dimension " + n(e.dimension) + " is below the minimum " + n(e.minimum) +
               " for this projection";
    }
    std::string operator()(const InconsistentDimension& e) const {
        return "embedding " + n(e.index) + " has dimension " + n(e.actual) + ", expected " + n(e.expected);
    }
    std::string operator()(const TooFewEmbeddings& e) const {
        return "need at least " + n(e.required) + " embeddings, got " + n(e.actual);
    }
    std::string operator()(const InvalidBandwidth& e) const {
        return "kernel bandwidth σ must be positive, got " + format_display(e.sigma);
    }
    std::string operator()(const LengthMismatch& e) const {
        return "auxiliary slice has length " + n(e.actual) + ", expected " + n(e.expected);
    }
};

}  // namespace

std::string display(const ProjectionError& error) { return std::visit(Displayer{}, error); }

std::string WrongInputDimension::display() const {
    return "expected dimension " + n(expected) + ", got " + n(actual);
}

}  // namespace korvane::projection
