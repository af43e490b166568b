// What the module gives back: the result arrays of a batch of rays, in one
// block of memory that the next batch may reuse.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cstddef>
#include <cstdint>

namespace vantrel {

namespace py = pybind11;

// What intersect found for each ray.
struct Result {
    py::array_t<float> t;
    py::array_t<int64_t> prim;
    py::array_t<float> u;
    py::array_t<float> v;
    py::array_t<float> normal;
};

// The arrays of count results, in one block.
Result resultArrays(std::size_t count);

} // namespace vantrel
