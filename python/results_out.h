// What the module gives back: the result arrays of a batch of rays, in one
// block of memory that the next batch may reuse.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

namespace py = pybind11;

// What intersect found for each ray.
struct Result {
    py::array_t<float> t;
    py::array_t<int64_t> geom;
    py::array_t<int64_t> prim;
    py::array_t<float> u;
    py::array_t<float> v;
    py::array_t<float> normal;
};

// The arrays of count results, in one block.
Result resultArrays(std::size_t count);

// What closest_points found for each point.
struct ClosestPoints {
    py::array_t<float> point;
    py::array_t<float> distance;
    py::array_t<int64_t> geom;
    py::array_t<int64_t> prim;
    py::array_t<float> u;
    py::array_t<float> v;
    py::array_t<float> normal;
};

ClosestPoints closestPointArrays(std::size_t count);

// array, of count rows, in the leading shape of the rows it answers (and
// its own last axis, where it has one).
py::array shaped(const py::array& array, const std::vector<py::ssize_t>& shape);

// Each result array in shape.
void reshape(Result& result, const std::vector<py::ssize_t>& shape);
void reshape(ClosestPoints& result, const std::vector<py::ssize_t>& shape);

} // namespace vantrel
