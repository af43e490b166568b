#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "interpreter_release.h"
#include "memory_needed.h"

namespace vantrel {

namespace {

// queryCoordinateLimit, as a user reads it.
std::string rangeText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", double{queryCoordinateLimit});
    return text;
}

std::string buildRefusal(BuildResult result, const char* structure) {
    switch (result) {
    case BuildResult::OverBudget:
        return std::string("the ") + structure +
               " would take more memory than the build's budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::InputTooLarge:
        return std::string("the scene is too large for a ") + structure +
               " within the memory budget (" + std::to_string(buildMemoryBudget() >> 20) +
               " MiB here)";
    case BuildResult::OutOfMemory:
        return std::string("out of memory while building the ") + structure;
    case BuildResult::OutOfRange:
        return std::string("the ") + structure + " takes shapes within " + rangeText() +
               " of the origin, where its tests answer every ray exactly";
    default:
        return "method must be 0, 1 or 2";
    }
}

// A refusal of the kernel's as the exception Python expects.
void refuse(BuildResult result, const char* structure) {
    if (result == BuildResult::OverBudget || result == BuildResult::InputTooLarge ||
        result == BuildResult::OutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, buildRefusal(result, structure).c_str());
        throw py::error_already_set();
    }
    throw py::value_error(buildRefusal(result, structure));
}

const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};

} // namespace

Scene::Scene(int method) : method_(method) {
    if (method_ < 0 || method_ > 2)
        throw py::value_error("method must be 0, 1 or 2");
}

Scene::Scene() : Scene(0) {}

Scene::Scene(const py::handle& vertices, const py::handle& faces, int method) : Scene(method) {
    addTriangles(vertices, faces);
    readable();
}

Scene::~Scene() {
    releaseGeometryScene(scene_);
}

namespace {

// The number of the thing a message names, with its noun.
std::string counted(uint32_t count, const char* one, const char* many) {
    return std::to_string(count) + (count == 1 ? one : many);
}

void refuseOutOfRange(uint32_t beyond, bool spheres) {
    if (beyond == 0)
        return;
    throw py::value_error(
        (spheres ? counted(beyond, " sphere reaches", " spheres reach")
                 : counted(beyond, " triangle has a corner", " triangles have a corner")) +
        " beyond " + rangeText() +
        " from the origin, where the queries' tests answer every ray exactly; move the scene "
        "nearer the origin or scale it down");
}

} // namespace

uint32_t Scene::added(uint32_t id, std::vector<uint32_t> faceIds) {
    faceIds_.resize(scene_.geometries.size());
    faceIds_[id] = std::move(faceIds);
    return id;
}

uint32_t Scene::addTriangles(const py::handle& vertices, const py::handle& faces) {
    const Numbers<float> points = rowsOf<float>(vertices, 3, "vertices");
    const IndexArray corners = indicesOf(faces, 3, "faces");
    if (corners.size() == 0)
        throw py::value_error("faces is empty: a mesh needs at least one triangle");
    const py::ssize_t count = points.shape(0);
    const int64_t* index = corners.data();
    size_t outside = 0;
    for (py::ssize_t i = 0; i < corners.size(); ++i)
        outside += index[i] < 0 || index[i] >= count;
    if (outside != 0)
        throw py::value_error("faces holds " + std::to_string(outside) +
                              " indices that are negative or not below the " +
                              std::to_string(count) + " vertices");
    if (count > py::ssize_t{0xfffffffe} || corners.shape(0) > py::ssize_t{0xfffffffe})
        throw py::value_error("a mesh takes fewer than 2^32 vertices and 2^32 triangles");
    const std::vector<uint32_t> indices(index, index + corners.size());
    return addMesh(points.data(), static_cast<uint32_t>(count), indices.data(),
                   static_cast<uint32_t>(corners.shape(0)), {});
}

uint32_t Scene::addMesh(const float* vertices, uint32_t vertexCount, const uint32_t* indices,
                        uint32_t triangles, std::vector<uint32_t> faceIds) {
    uint32_t beyond;
    {
        const WithoutInterpreter release;
        beyond = queryShapesOutOfRange(vertices, indices, triangles);
    }
    refuseOutOfRange(beyond, false);
    const auto lock = writable();
    uint32_t id;
    {
        const WithoutInterpreter release;
        id = vantrel::addTriangles(scene_, vertices, vertexCount, indices, triangles);
    }
    return added(id, std::move(faceIds));
}

uint32_t Scene::addSpheres(const py::handle& centres, const py::handle& radii) {
    const Numbers<float> c = rowsOf<float>(centres, 3, "centres");
    const Numbers<float> r = rowsOf<float>(radii, 0, "radii");
    requireSameRows(c, r, "centres and radii");
    if (c.shape(0) == 0)
        throw py::value_error("centres is empty: a set of spheres needs at least one");
    if (c.shape(0) > py::ssize_t{0xfffffffe})
        throw py::value_error("a set of spheres takes fewer than 2^32");
    const auto count = static_cast<uint32_t>(c.shape(0));
    std::vector<Sphere> spheres(count);
    std::vector<PrimitiveRef> refs(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (!(r.data()[i] >= 0.0f))
            throw py::value_error("radii must not be negative (row " + std::to_string(i) + ")");
        const float* at = c.data() + 3 * i;
        spheres[i] = {{at[0], at[1], at[2]}, r.data()[i], {}};
        refs[i] = {&spheres[i], PrimitiveType::Sphere};
    }
    refuseOutOfRange(queryShapesOutOfRange({refs.data(), count}), true);
    const auto lock = writable();
    const uint32_t id = vantrel::addSpheres(scene_, c.data(), r.data(), count);
    if (id == noGeometry)
        throw py::value_error("each sphere must reach no farther than the float range");
    return added(id, {});
}

uint32_t Scene::addInstance(const py::handle& geometry, const py::handle& transform) {
    const FloatArray m = rowsOf(transform, 4, "transform");
    if (m.shape(0) != 4)
        throw py::value_error("transform must be a 4x4 matrix, not of " +
                              std::to_string(m.shape(0)) + " rows");
    const double* row = m.data();
    if (row[12] != 0.0 || row[13] != 0.0 || row[14] != 0.0 || row[15] != 1.0)
        throw py::value_error("transform must be affine: its last row 0, 0, 0, 1");
    const auto lock = writable();
    const uint32_t of = geometryOf(geometry);
    const GeometryKind kind = scene_.geometries[of].kind;
    if (kind == GeometryKind::Instance)
        throw py::value_error("geometry " + std::to_string(of) +
                              " is an instance: instances place meshes and spheres");
    const uint32_t id = vantrel::addInstance(scene_, of, row);
    if (id != noGeometry)
        return added(id, {});
    if (kind == GeometryKind::Spheres)
        throw py::value_error("transform must keep spheres round (a rotation, a mirror, one "
                              "scale and a move), and be invertible");
    throw py::value_error("transform must be invertible: its upper left 3x3 is singular");
}

void Scene::updateVertices(const py::handle& geometry, const py::handle& vertices) {
    const Numbers<float> points = rowsOf<float>(vertices, 3, "vertices");
    const auto lock = writable();
    const uint32_t id = geometryOf(geometry);
    const Geometry& mesh = scene_.geometries[id];
    if (mesh.kind != GeometryKind::Triangles)
        throw py::value_error("geometry " + std::to_string(id) +
                              " is not a mesh: only a mesh's vertices move");
    if (static_cast<size_t>(points.size()) != mesh.vertices.size())
        throw py::value_error("vertices must number the mesh's " +
                              std::to_string(mesh.vertices.size() / 3) + ", not " +
                              std::to_string(points.shape(0)));
    refuseOutOfRange(queryShapesOutOfRange(points.data(), mesh.indices.data(),
                                           static_cast<uint32_t>(mesh.indices.size() / 3)),
                     false);
    const std::shared_ptr<WorkerPool> pool = poolFor(py::none());
    QueryBuildOptions options;
    options.pool = pool.get();
    VertexUpdate update;
    {
        const WithoutInterpreter release;
        update = vantrel::updateVertices(scene_, id, points.data(), options);
    }
    // A tree the moved vertices no longer suit is built again on the next
    // query: the same answers, found faster.
    if (update.rebuildAdvised)
        rebuildGeometry(scene_, id);
}

uint32_t Scene::geometryOf(const py::handle& geometry) const {
    if (PyBool_Check(geometry.ptr()) || !PyIndex_Check(geometry.ptr()))
        throw py::type_error("a geometry id must be an int");
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(geometry.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    const size_t count = scene_.geometries.size();
    if (overflow != 0 || id < 0 || static_cast<unsigned long long>(id) >= count)
        throw py::value_error("no geometry " + py::str(index).cast<std::string>() +
                              ": the scene has " + counted(uint32_t(count), "", "") +
                              " (ids from 0)");
    return static_cast<uint32_t>(id);
}

std::unique_lock<std::shared_mutex> Scene::writable() const {
    std::unique_lock<std::shared_mutex> lock(lock_, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Another thread queries without the interpreter's lock.
        const WithoutInterpreter release;
        lock.lock();
    }
    return lock;
}

std::shared_lock<std::shared_mutex> Scene::readable() const {
    for (;;) {
        {
            std::shared_lock<std::shared_mutex> lock(lock_, std::try_to_lock);
            if (!lock.owns_lock()) {
                const WithoutInterpreter release;
                lock.lock();
            }
            if (scene_.built)
                return lock;
        }
        const auto lock = writable();
        if (scene_.built)
            continue;
        const std::shared_ptr<WorkerPool> pool = poolFor(py::none());
        QueryBuildOptions options;
        options.pool = pool.get();
        BuildResult result;
        {
            const WithoutInterpreter release;
            result = buildGeometryScene(const_cast<GeometryScene&>(scene_), options);
        }
        if (result != BuildResult::Built)
            refuse(result, "queries' hierarchy");
    }
}

std::unique_ptr<Scene> Scene::load(const py::handle& file, int method) {
    const std::string path = pathOf(file);
    std::unique_ptr<Scene> scene(new Scene(method));
    IndexedMesh mesh;
    std::string reason;
    bool read;
    {
        const WithoutInterpreter release;
        read = readIndexedMesh(path.c_str(), asItIs, mesh, reason);
    }
    if (!read)
        throw py::value_error("cannot read '" + path +
                              "': " + (reason.empty() ? "not a mesh the readers know" : reason));
    if (mesh.indices.empty())
        throw py::value_error("'" + path + "' holds no triangle");
    // Each of the file's meshes a geometry, with the vertices its triangles
    // use, in their order; a hit names the face within its mesh.
    const size_t triangles = mesh.indices.size() / 3;
    std::vector<uint32_t> renumbered(mesh.vertices.size() / 3, noPrimitive);
    std::vector<uint32_t> used;
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    for (size_t first = 0, end; first < triangles; first = end) {
        std::vector<uint32_t> faces;
        {
            const WithoutInterpreter release;
            end = first;
            bool ownFaces = true;
            while (end < triangles && mesh.faces[end].mesh == mesh.faces[first].mesh) {
                ownFaces = ownFaces && mesh.faces[end].face == end - first;
                ++end;
            }
            used.clear();
            indices.resize(3 * (end - first));
            for (size_t i = 3 * first; i < 3 * end; ++i) {
                const uint32_t from = mesh.indices[i];
                if (renumbered[from] == noPrimitive) {
                    renumbered[from] = static_cast<uint32_t>(used.size());
                    used.push_back(from);
                }
                indices[i - 3 * first] = renumbered[from];
            }
            vertices.resize(3 * used.size());
            for (size_t k = 0; k < used.size(); ++k) {
                std::copy_n(&mesh.vertices[3 * size_t{used[k]}], 3, &vertices[3 * k]);
                renumbered[used[k]] = noPrimitive;
            }
            if (!ownFaces)
                for (size_t t = first; t < end; ++t)
                    faces.push_back(mesh.faces[t].face);
        }
        scene->addMesh(vertices.data(), static_cast<uint32_t>(used.size()), indices.data(),
                       static_cast<uint32_t>(end - first), std::move(faces));
    }
    scene->readable();
    return scene;
}

std::unique_ptr<Scene> Scene::spheres(const py::handle& centres, const py::handle& radii,
                                      int method) {
    std::unique_ptr<Scene> scene(new Scene(method));
    scene->addSpheres(centres, radii);
    scene->readable();
    return scene;
}

uint32_t Scene::geometryCount() const {
    const auto lock = readable();
    return static_cast<uint32_t>(scene_.geometries.size());
}

uint32_t Scene::triangleCount() const {
    const auto lock = readable();
    size_t count = 0;
    for (const Geometry& geometry : scene_.geometries)
        if (geometry.kind == GeometryKind::Triangles)
            count += geometry.indices.size() / 3;
    return static_cast<uint32_t>(count);
}

uint32_t Scene::sphereCount() const {
    const auto lock = readable();
    size_t count = 0;
    for (const Geometry& geometry : scene_.geometries)
        if (geometry.kind == GeometryKind::Spheres)
            count += geometry.radii.size();
    return static_cast<uint32_t>(count);
}

} // namespace vantrel
