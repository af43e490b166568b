#include "arrays_in.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

namespace vantrel {

namespace {

// More threads than this are not started: the machine has nowhere near as
// many cores.
constexpr long long mostThreads = 1024;

std::string typeName(const py::handle& object) {
    return py::str(py::type::handle_of(object).attr("__name__")).cast<std::string>();
}

// threads as a count: 0 for every core.
uint32_t threadCountOf(const py::object& threads) {
    if (threads.is_none())
        return 0;
    if (PyBool_Check(threads.ptr()) || !PyIndex_Check(threads.ptr()))
        throw py::type_error("threads must be a whole number of threads, or None for every core, "
                             "not " +
                             typeName(threads));
    const auto count = py::reinterpret_steal<py::object>(PyNumber_Index(threads.ptr()));
    if (!count)
        throw py::error_already_set();
    int overflow = 0;
    const long long asked = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && asked < 1))
        throw py::value_error("threads must be a positive count, or None for every core, not " +
                              py::str(count).cast<std::string>());
    const long long taken = overflow > 0 ? mostThreads : std::min(asked, mostThreads);
    // As many as the machine has cores: the pool of every core.
    return taken == std::max(1u, std::thread::hardware_concurrency())
               ? 0
               : static_cast<uint32_t>(taken);
}

} // namespace

std::shared_ptr<WorkerPool> poolFor(const py::object& threads) {
    const uint32_t count = threadCountOf(threads);
    static std::mutex guard;
    static std::shared_ptr<WorkerPool> everyCore;
    static std::shared_ptr<WorkerPool> latest;
    const std::lock_guard<std::mutex> lock(guard);
    if (count == 0) {
        if (!everyCore)
            everyCore = std::make_shared<WorkerPool>(0);
        return everyCore;
    }
    static uint32_t latestCount = 0;
    if (!latest || latestCount != count) {
        latest.reset(); // its threads end before the next pool's start
        latest = std::make_shared<WorkerPool>(count);
        latestCount = count;
    }
    return latest;
}

py::object numpyArray(const py::handle& object, const char* dtype) {
    try {
        // numpy is in sys.modules: a lookup, no import.
        const py::object contiguous = py::module_::import("numpy").attr("ascontiguousarray");
        return dtype ? contiguous(object, dtype) : contiguous(object);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_MemoryError) || !error.matches(PyExc_Exception))
            throw;
        return py::object();
    }
}

IndexArray indicesOf(const py::handle& object, py::ssize_t columns, const char* name) {
    const std::string shape = "(M, " + std::to_string(columns) + ")";
    const py::object converted = numpyArray(object, nullptr);
    if (!converted)
        throw py::type_error(std::string(name) + " must be an " + shape +
                             " array of vertex indices");
    const auto raw = py::reinterpret_borrow<py::array>(converted);
    const char kind = raw.dtype().kind();
    if (kind != 'i' && kind != 'u')
        throw py::type_error(std::string(name) + " must hold integers (vertex indices), not " +
                             py::str(raw.dtype()).cast<std::string>() +
                             ": indices are not rounded from other numbers");
    const IndexArray indices = IndexArray::ensure(numpyArray(raw, "int64"));
    if (!indices || indices.ndim() != 2 || indices.shape(1) != columns)
        throw py::value_error(std::string(name) + " must be an " + shape +
                              " array of vertex indices");
    return indices;
}

std::string pathOf(const py::handle& path) {
    py::object encoded;
    try {
        encoded = py::module_::import("os").attr("fsencode")(path);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError))
            throw;
        throw py::type_error("path must be a str, bytes or os.PathLike, not " + typeName(path));
    }
    std::string text = encoded.cast<std::string>();
    if (text.find('\0') != std::string::npos)
        throw py::value_error("path holds a NUL character, which names no file: " +
                              py::repr(path).cast<std::string>());
    return text;
}

Vector3 pointOf(const py::object& object, const char* name) {
    const FloatArray p = rowsOf(object, 0, name);
    if (p.shape(0) != 3)
        throw py::value_error(std::string(name) + " must be three numbers");
    return {float(p.data()[0]), float(p.data()[1]), float(p.data()[2])};
}

bool doublesInRows(const py::handle& object) {
    return py::isinstance<py::array_t<double>>(object) &&
           (py::reinterpret_borrow<py::array>(object).flags() & py::array::c_style) != 0;
}

namespace {

std::string shapeText(const py::array& array) {
    return py::str(py::tuple(py::cast(
                       std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()))))
        .cast<std::string>();
}

// An array of shape (..., columns), as rows of T, and its leading shape.
template <class T>
Numbers<T> rowsOfAnyShape(const py::handle& object, py::ssize_t columns, const char* name,
                          std::vector<py::ssize_t>& shape) {
    const Numbers<T> array = floatsOf<T>(object, name);
    if (array.ndim() == 0 || array.shape(array.ndim() - 1) != columns)
        throw py::value_error(std::string(name) + " must have shape (..., " +
                              std::to_string(columns) + "), not " + shapeText(array));
    shape.assign(array.shape(), array.shape() + array.ndim() - 1);
    const py::ssize_t rows = array.size() / columns;
    return rowsOf<T>(array.attr("reshape")(rows, columns), columns, name);
}

// A segment's end: one number for every ray, or one for each.
const float* boundOf(const py::handle& object, const char* name,
                     const std::vector<py::ssize_t>& shape, float& value, Numbers<float>& values) {
    if (PyFloat_Check(object.ptr()) || PyLong_Check(object.ptr()) ||
        (py::isinstance<py::array>(object) &&
         py::reinterpret_borrow<py::array>(object).ndim() == 0) ||
        py::isinstance(object, py::module_::import("numpy").attr("number"))) {
        if (PyBool_Check(object.ptr()))
            throw py::type_error(std::string(name) + " must be a number or an array of them");
        value = py::float_(py::reinterpret_borrow<py::object>(object)).cast<float>();
        if (std::isnan(value))
            throw py::value_error(std::string(name) + " must be a number, not NaN");
        return nullptr;
    }
    const py::object converted = numpyArray(object, "float32");
    if (!converted)
        throw py::type_error(std::string(name) + " must be a number or an array of them");
    py::object spread;
    try {
        spread = py::module_::import("numpy").attr("broadcast_to")(converted,
                                                                   py::tuple(py::cast(shape)));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError))
            throw;
        throw py::value_error(std::string(name) +
                              " must be a number or an array of the rays' shape " +
                              py::str(py::tuple(py::cast(shape))).cast<std::string>() + ", not " +
                              shapeText(py::reinterpret_borrow<py::array>(converted)));
    }
    values = Numbers<float>::ensure(numpyArray(spread, "float32"));
    size_t nan = 0;
    for (py::ssize_t i = 0; i < values.size(); ++i)
        nan += std::isnan(values.data()[i]);
    if (nan != 0)
        throw py::value_error(std::string(name) + " holds " + std::to_string(nan) + " NaN");
    return values.data();
}

} // namespace

Rays raysOf(const py::handle& rays, const py::handle& directions, const py::handle& tnear,
            const py::handle& tfar) {
    Rays batch;
    if (directions.is_none()) {
        batch.doubles = doublesInRows(rays);
        batch.origins = batch.doubles
                            ? py::array(rowsOfAnyShape<double>(rays, 6, "rays", batch.shape))
                            : py::array(rowsOfAnyShape<float>(rays, 6, "rays", batch.shape));
        batch.directions = batch.origins;
        batch.originStep = batch.directionStep = 6;
        batch.directionStart = 3;
    } else {
        std::vector<py::ssize_t> other;
        batch.doubles = doublesInRows(rays) && doublesInRows(directions);
        batch.origins = batch.doubles
                            ? py::array(rowsOfAnyShape<double>(rays, 3, "origins", batch.shape))
                            : py::array(rowsOfAnyShape<float>(rays, 3, "origins", batch.shape));
        batch.directions =
            batch.doubles ? py::array(rowsOfAnyShape<double>(directions, 3, "directions", other))
                          : py::array(rowsOfAnyShape<float>(directions, 3, "directions", other));
        if (other != batch.shape)
            throw py::value_error(
                "origins and directions must have as many rows (one shape before their last "
                "axis), not " +
                py::str(py::tuple(py::cast(batch.shape))).cast<std::string>() + " and " +
                py::str(py::tuple(py::cast(other))).cast<std::string>());
    }
    batch.count = static_cast<size_t>(batch.origins.shape(0));
    batch.tnearEach = boundOf(tnear, "tnear", batch.shape, batch.tnear, batch.tnears);
    batch.tfarEach = boundOf(tfar, "tfar", batch.shape, batch.tfar, batch.tfars);
    return batch;
}

Numbers<double> pointsOf(const py::handle& points, const char* name,
                         std::vector<py::ssize_t>& shape) {
    return rowsOfAnyShape<double>(points, 3, name, shape);
}

} // namespace vantrel
