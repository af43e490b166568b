// What the module reads from its callers: arrays of numbers, rays in
// float32 or float64 rows read in place, points and thread counts.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "memory_needed.h"
#include "vantrel/vantrel.h"

namespace vantrel {

namespace py = pybind11;

template <class T> using Numbers = py::array_t<T, py::array::c_style | py::array::forcecast>;
using FloatArray = Numbers<double>;
using IndexArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// The pool of threads threads (None: one per core), made on first use and
// kept: a batch costs no thread's start. Kept are the pool of every core and
// the latest of any other count, so that a sweep of counts leaves one pool
// beside it; a pool given up stays alive until the calls that hold it end.
// A pool runs one batch at a time; batches from several Python threads
// queue.
std::shared_ptr<WorkerPool> poolFor(const py::object& threads);

// object as numpy makes an array of it (of dtype, or its own choice where
// dtype is null), C-contiguous; a null object where numpy cannot (its
// TypeError, ValueError, OverflowError). numpy's MemoryError (an array too
// large to copy) and KeyboardInterrupt pass on as they are.
py::object numpyArray(const py::handle& object, const char* dtype);

// An (n, columns) array of finite numbers, as T: float32 rays pass as they
// are, without a copy.
template <class T> Numbers<T> floatsOf(const py::handle& object, const char* name) {
    // numpy copies an array of another type or layout (a broadcast one, say)
    // whole, before anything can be checked.
    if (py::isinstance<py::array>(object) && !py::isinstance<Numbers<T>>(object))
        requireMemory(static_cast<std::size_t>(py::reinterpret_borrow<py::array>(object).size()) *
                          sizeof(T),
                      std::string("copying ") + name + " into an array of " +
                          (sizeof(T) == 4 ? "float32" : "float64"));
    // An array that is already one passes as it is, without numpy's call.
    const py::object converted = py::isinstance<Numbers<T>>(object)
                                     ? py::reinterpret_borrow<py::object>(object)
                                     : numpyArray(object, sizeof(T) == 4 ? "float32" : "float64");
    if (!converted)
        throw py::type_error(std::string(name) + " must be an array of numbers");
    return Numbers<T>::ensure(converted);
}

template <class T = double>
Numbers<T> rowsOf(const py::handle& object, py::ssize_t columns, const char* name) {
    const Numbers<T> array = floatsOf<T>(object, name);
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

// An (M, columns) array of integers (numpy's integer types, or a list of
// ints): indices are never rounded from floats or taken from bools.
IndexArray indicesOf(const py::handle& object, py::ssize_t columns, const char* name);

// A file's path as the system takes it: str, bytes or os.PathLike; one
// with a NUL in it names no file and is refused.
std::string pathOf(const py::handle& path);

// Three numbers, as a point.
Vector3 pointOf(const py::object& object, const char* name);

template <class A, class B> void requireSameRows(const A& a, const B& b, const char* names) {
    if (a.shape(0) != b.shape(0))
        throw py::value_error(std::string(names) + " must have as many rows, not " +
                              std::to_string(a.shape(0)) + " and " + std::to_string(b.shape(0)));
}

// Rays as the caller holds them: float32, or float64 (numpy's own), in
// rows one after another are read in place, each thread rounding its
// own rays to float; any other array is copied to float32 first. A row is
// a ray's origin and direction (originStep 6), or origins and directions
// are rows of their own (3 each). Each ray's segment is the scalar tnear
// and tfar, or its own in tnears and tfars.
struct Rays {
    py::array origins;
    py::array directions;
    bool doubles;
    float tnear;
    float tfar;
    size_t count;
    size_t originStep = 3;
    size_t directionStep = 3;
    size_t directionStart = 0;
    // Each ray's own ends, where given: arrays held in tnears and tfars.
    const float* tnearEach = nullptr;
    const float* tfarEach = nullptr;
    Numbers<float> tnears;
    Numbers<float> tfars;
    // The rays' leading shape, which the answers keep.
    std::vector<py::ssize_t> shape;
};

// The rays of an array of shape (..., 6), or of origins and directions of
// shape (..., 3) each; tnear and tfar numbers, or arrays of the rays'
// leading shape (or that numpy broadcasts to it).
Rays raysOf(const py::handle& rays, const py::handle& directions, const py::handle& tnear,
            const py::handle& tfar);

// Points of shape (..., 3), as float64 rows, and their leading shape.
Numbers<double> pointsOf(const py::handle& points, const char* name,
                         std::vector<py::ssize_t>& shape);

// Rays a thread takes at once.
constexpr size_t runLength = 1024;

template <class T> QueryRay rayAt(const Rays& rays, size_t i) {
    const T* o = static_cast<const T*>(rays.origins.data()) + rays.originStep * i;
    const T* d = static_cast<const T*>(rays.directions.data()) + rays.directionStart +
                 rays.directionStep * i;
    return {{float(o[0]), float(o[1]), float(o[2])},
            {float(d[0]), float(d[1]), float(d[2])},
            rays.tnearEach ? rays.tnearEach[i] : rays.tnear,
            rays.tfarEach ? rays.tfarEach[i] : rays.tfar};
}

template <class T, class Answer> void inRunsOf(WorkerPool& pool, const Rays& rays, Answer& answer) {
    pool.runRanges(rays.count, runLength, [&](size_t first, size_t end, TraceContext& context) {
        // A run's rays made before any is traced: a ray just written field
        // by field is read back slowly where a load spans two fields.
        QueryRay run[runLength];
        for (size_t i = first; i < end; ++i)
            run[i - first] = rayAt<T>(rays, i);
        for (size_t i = first; i < end; ++i)
            answer(run[i - first], i, context);
    });
}

// Each ray from the caller's arrays, answered in place: runs of rays
// handed out to the pool's threads, each tracing through its own context
// and writing its rays' results, so that no array of rays or hits is made.
// Without the interpreter: the arrays are held by the caller.
template <class Answer> void inRuns(WorkerPool& pool, const Rays& rays, Answer&& answer) {
    if (rays.doubles)
        inRunsOf<double>(pool, rays, answer);
    else
        inRunsOf<float>(pool, rays, answer);
}

} // namespace vantrel
