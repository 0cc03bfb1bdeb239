// Whichever family a pipeline fitted, behind one value.
#pragma once

#include <variant>

#include "projection/kernel_pca.hpp"
#include "projection/laplacian.hpp"
#include "projection/pca.hpp"
#include "projection/umap.hpp"

namespace korvane::projection {

class ConfiguredProjection {
public:
    // Alternatives in the order of the configuration's projection kinds.
    using Family = std::variant<PcaProjection, KernelPcaProjection, LaplacianEigenmapProjection, UmapSphereProjection>;

    template <class P>
        requires std::is_constructible_v<Family, P>
    ConfiguredProjection(P family) : family_(std::move(family)) {}

    const Family& family() const noexcept { return family_; }
    template <class P>
    const P* get() const noexcept {
        return std::get_if<P>(&family_);
    }

    std::size_t dimensionality() const noexcept {
        return std::visit([](const auto& p) { return p.dimensionality(); }, family_);
    }
    bool accepts_any_dimension() const noexcept {
        return std::visit([](const auto& p) { return std::decay_t<decltype(p)>::accepts_any_dimension; }, family_);
    }
    std::optional<WrongInputDimension> check_input_dimension(std::size_t length) const {
        return std::visit([&](const auto& p) { return projection::check_input_dimension(p, length); }, family_);
    }

    geometry::SphericalPoint project(std::span<const double> embedding) const {
        return std::visit([&](const auto& p) { return p.project(embedding); }, family_);
    }
    ProjectedPoint project_rich(std::span<const double> embedding) const {
        return std::visit([&](const auto& p) { return p.project_rich(embedding); }, family_);
    }

    // The family's quality figure, read downstream as one explained variance ratio: variance
    // ratios for the two PCAs, the connectivity ratio for the Laplacian, neighbour preservation
    // for UMAP.
    double explained_variance_ratio() const noexcept {
        return std::visit([](const auto& p) { return p.explained_variance_ratio(); }, family_);
    }

private:
    Family family_;
};

}  // namespace korvane::projection
