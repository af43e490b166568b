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

Rays raysOf(const py::handle& origins, const py::handle& directions, float tnear, float tfar) {
    const bool doubles = doublesInRows(origins) && doublesInRows(directions);
    Rays rays{doubles ? py::array(rowsOf<double>(origins, 3, "origins"))
                      : py::array(rowsOf<float>(origins, 3, "origins")),
              doubles ? py::array(rowsOf<double>(directions, 3, "directions"))
                      : py::array(rowsOf<float>(directions, 3, "directions")),
              doubles,
              tnear,
              tfar,
              0};
    requireSameRows(rays.origins, rays.directions, "origins and directions");
    if (std::isnan(tnear) || std::isnan(tfar))
        throw py::value_error("tnear and tfar must be numbers");
    rays.count = static_cast<size_t>(rays.origins.shape(0));
    return rays;
}

} // namespace vantrel
