// A scene as a pickle holds it: each geometry's arrays, in the order of
// their ids; and back, each field checked, since a pickle's state may come
// from anywhere.
#include <string>
#include <vector>

#include "scene.h"

namespace vantrel {

namespace {

// A pickled mesh's face indices, one per triangle of triangleCount.
std::vector<uint32_t> faceIdsOf(const py::handle& ids, size_t triangleCount) {
    const py::object converted = numpyArray(ids, nullptr);
    const auto raw = py::reinterpret_borrow<py::array>(converted);
    const char kind = converted ? raw.dtype().kind() : 'O';
    // An empty list reads as float64.
    const bool integers = converted && (kind == 'i' || kind == 'u' || raw.size() == 0);
    if (!integers || raw.ndim() != 1)
        throw py::value_error("a pickled scene's face indices must be a list of integers");
    if (raw.size() != 0 && static_cast<size_t>(raw.size()) != triangleCount)
        throw py::value_error("a pickled scene's face indices must number its triangles: " +
                              std::to_string(raw.size()) + " for " + std::to_string(triangleCount));
    const IndexArray faces = IndexArray::ensure(numpyArray(raw, "int64"));
    // Only the file could say how many faces it has (a line or a point is a
    // face there too): a face index is whatever fits 32 bits, but the mark
    // of no face.
    size_t outside = 0;
    for (py::ssize_t i = 0; i < faces.size(); ++i)
        outside += faces.data()[i] < 0 || faces.data()[i] >= int64_t{noPrimitive};
    if (outside != 0)
        throw py::value_error("a pickled scene's face indices hold " + std::to_string(outside) +
                              " that are negative or past 32 bits");
    return std::vector<uint32_t>(faces.data(), faces.data() + faces.size());
}

int methodOf(const py::handle& method) {
    if (PyBool_Check(method.ptr()) || !PyLong_Check(method.ptr()))
        throw py::type_error("a pickled scene's method must be an int");
    const long value = PyLong_AsLong(method.ptr());
    if (value == -1 && PyErr_Occurred())
        PyErr_Clear();
    if (value < 0 || value > 2)
        throw py::value_error("method must be 0, 1 or 2");
    return static_cast<int>(value);
}

const char* const stateForm =
    "a Scene's state is ('geometries', [each geometry's state], method), each geometry's "
    "('triangles', vertices, faces, face indices), ('spheres', centres, radii) or "
    "('instance', geometry, transform)";

py::tuple fieldsOf(const py::handle& state, const char* form) {
    if (!py::isinstance<py::tuple>(state) || py::len(state) == 0 ||
        !py::isinstance<py::str>(state[py::int_(0)]))
        throw py::value_error(form);
    return py::reinterpret_borrow<py::tuple>(state);
}

py::array_t<float> pointRows(const std::vector<float>& values) {
    py::array_t<float> rows({values.size() / 3, size_t{3}});
    std::copy(values.begin(), values.end(), rows.mutable_data());
    return rows;
}

} // namespace

py::tuple Scene::state() const {
    const auto lock = readable();
    py::list geometries;
    for (uint32_t id = 0; id < scene_.geometries.size(); ++id) {
        const Geometry& g = scene_.geometries[id];
        if (g.kind == GeometryKind::Triangles) {
            py::array_t<int64_t> faces({g.indices.size() / 3, size_t{3}});
            std::copy(g.indices.begin(), g.indices.end(), faces.mutable_data());
            geometries.append(
                py::make_tuple("triangles", pointRows(g.vertices), faces, faceIds_[id]));
        } else if (g.kind == GeometryKind::Spheres) {
            py::array_t<float> radii(g.radii.size());
            std::copy(g.radii.begin(), g.radii.end(), radii.mutable_data());
            geometries.append(py::make_tuple("spheres", pointRows(g.vertices), radii));
        } else {
            py::array_t<double> transform({size_t{4}, size_t{4}});
            double* m = transform.mutable_data();
            std::copy(g.transform, g.transform + 12, m);
            const double last[4] = {0.0, 0.0, 0.0, 1.0};
            std::copy(last, last + 4, m + 12);
            geometries.append(py::make_tuple("instance", g.of, transform));
        }
    }
    return py::make_tuple("geometries", geometries, method_);
}

std::unique_ptr<Scene> Scene::fromState(const py::handle& state) {
    const py::tuple fields = fieldsOf(state, stateForm);
    const std::string kind = fields[0].cast<std::string>();
    // The states of scenes of one mesh or one set of spheres, as pickled
    // before scenes held several.
    if (kind == "spheres" && fields.size() == 4)
        return spheres(fields[1], fields[2], methodOf(fields[3]));
    if (kind == "triangles" && fields.size() == 5) {
        auto scene = std::make_unique<Scene>(fields[1], fields[2], methodOf(fields[3]));
        scene->faceIds_[0] = faceIdsOf(fields[4], scene->triangleCount());
        return scene;
    }
    if (kind != "geometries" || fields.size() != 3 || !py::isinstance<py::list>(fields[1]))
        throw py::value_error(std::string(stateForm) + "; not a " + kind + " state of " +
                              std::to_string(fields.size()) + " fields");
    std::unique_ptr<Scene> scene(new Scene(methodOf(fields[2])));
    for (const py::handle geometry : py::reinterpret_borrow<py::list>(fields[1])) {
        const py::tuple parts = fieldsOf(geometry, stateForm);
        const std::string part = parts[0].cast<std::string>();
        if (part == "triangles" && parts.size() == 4) {
            const uint32_t id = scene->addTriangles(parts[1], parts[2]);
            scene->faceIds_[id] =
                faceIdsOf(parts[3], scene->scene_.geometries[id].indices.size() / 3);
        } else if (part == "spheres" && parts.size() == 3) {
            scene->addSpheres(parts[1], parts[2]);
        } else if (part == "instance" && parts.size() == 3) {
            scene->addInstance(parts[1], parts[2]);
        } else {
            throw py::value_error(std::string(stateForm) + "; not a " + part + " geometry of " +
                                  std::to_string(parts.size()) + " fields");
        }
    }
    scene->readable();
    return scene;
}

} // namespace vantrel
