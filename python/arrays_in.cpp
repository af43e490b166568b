#include "arrays_in.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace vantrel {

WorkerPool& poolFor(const py::object& threads) {
    static std::mutex guard;
    static std::map<uint32_t, std::unique_ptr<WorkerPool>> pools;
    uint32_t count = 0;
    if (!threads.is_none()) {
        const long asked = threads.cast<long>();
        if (asked < 1)
            throw py::value_error("threads must be a positive count, or None for every core");
        count = static_cast<uint32_t>(std::min<long>(asked, 1024));
    }
    const std::lock_guard<std::mutex> lock(guard);
    std::unique_ptr<WorkerPool>& pool = pools[count];
    if (!pool)
        pool = std::make_unique<WorkerPool>(count);
    return *pool;
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
