// The projection classes.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "projection/pca.hpp"

namespace korvane::py {

// Registers PcaProjection, RandomProjection, KernelPcaProjection and LaplacianEigenmap.
bool add_projection_types(PyObject* module);

// The PcaProjection held by `object`, or nullptr when it is not one (no exception set).
const projection::PcaProjection* as_pca_projection(PyObject* object);

}  // namespace korvane::py
