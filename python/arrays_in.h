// What the module reads from its callers: arrays of numbers, rays in
// float32 or float64 rows read in place, points and thread counts.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "vantrel/vantrel.h"

namespace vantrel {

namespace py = pybind11;

template <class T> using Numbers = py::array_t<T, py::array::c_style | py::array::forcecast>;
using FloatArray = Numbers<double>;
using IndexArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// The pool of threads threads (None: one per core), made on first use and
// kept: a batch costs no thread's start. A pool runs one batch at a time;
// batches from several Python threads queue.
WorkerPool& poolFor(const py::object& threads);

// An (n, columns) array of finite numbers, as T: float32 rays pass as they
// are, without a copy.
template <class T = double>
Numbers<T> rowsOf(const py::handle& object, py::ssize_t columns, const char* name) {
    Numbers<T> array;
    try {
        array = Numbers<T>::ensure(object);
    } catch (const py::error_already_set&) {
        array = Numbers<T>();
    }
    if (!array)
        throw py::type_error(std::string(name) + " must be an array of numbers");
    const bool shaped =
        columns == 0 ? array.ndim() == 1 : array.ndim() == 2 && array.shape(1) == columns;
    if (!shaped)
        throw py::value_error(
            std::string(name) + " must have shape " +
            (columns == 0 ? std::string("(N,)") : "(N, " + std::to_string(columns) + ")") +
            ", not " +
            py::str(py::tuple(py::cast(
                        std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()))))
                .cast<std::string>());
    size_t bad = 0;
    const T* data = array.data();
    for (py::ssize_t i = 0; i < array.size(); ++i)
        bad += !(std::fabs(data[i]) <= T(3.0e38)); // NaN fails it too; one compare, in lanes
    if (bad != 0)
        throw py::value_error(std::string(name) + " holds " + std::to_string(bad) +
                              " coordinates that are NaN, infinite or beyond float range");
    return array;
}

template <class A, class B> void requireSameRows(const A& a, const B& b, const char* names) {
    if (a.shape(0) != b.shape(0))
        throw py::value_error(std::string(names) + " must have as many rows, not " +
                              std::to_string(a.shape(0)) + " and " + std::to_string(b.shape(0)));
}

// Three numbers, as a point.
Vector3 pointOf(const py::object& object, const char* name);

// Rays as the caller holds them: float32, or float64 (numpy's own), in
// rows one after another are read in place, each thread rounding its
// own rays to float; any other array is copied to float32 first.
struct Rays {
    py::array origins;
    py::array directions;
    bool doubles;
    float tnear;
    float tfar;
    size_t count;
};

// The rays of origins and directions, each (N, 3), in the segment
// [tnear, tfar].
Rays raysOf(const py::handle& origins, const py::handle& directions, float tnear, float tfar);

// Rays a thread takes at once.
constexpr size_t runLength = 1024;

template <class T> QueryRay rayAt(const Rays& rays, size_t i) {
    const T* o = static_cast<const T*>(rays.origins.data()) + 3 * i;
    const T* d = static_cast<const T*>(rays.directions.data()) + 3 * i;
    return {{float(o[0]), float(o[1]), float(o[2])},
            {float(d[0]), float(d[1]), float(d[2])},
            rays.tnear,
            rays.tfar};
}

template <class T, class Answer, class Finish>
void inRunsOf(WorkerPool& pool, const Rays& rays, Answer& answer, Finish& finish) {
    pool.runRanges(rays.count, runLength, [&](size_t first, size_t end, TraceContext& context) {
        for (size_t i = first; i < end; ++i)
            answer(rayAt<T>(rays, i), i, context);
        finish(first, end);
    });
}

// Each ray from the caller's arrays, answered in place: runs of rays
// handed out to the pool's threads, each tracing through its own
// context and writing its rays' results, then finishing the run's
// results, so that no array of rays or hits is made. Without the
// interpreter: the arrays are held by the caller.
template <class Answer, class Finish>
void inRuns(WorkerPool& pool, const Rays& rays, Answer&& answer, Finish&& finish) {
    if (rays.doubles)
        inRunsOf<double>(pool, rays, answer, finish);
    else
        inRunsOf<float>(pool, rays, answer, finish);
}

} // namespace vantrel
