// The Python module `vantrel`: scenes from numpy arrays or files, ray
// queries in batches on every core, and frames with the project's shading.
// Refusals of the kernel become Python exceptions here, and only here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "vantrel/kdtree/memory/page_advice.h"
#include "vantrel/vantrel.h"

namespace py = pybind11;
using namespace vantrel;

namespace {

template <class T> using Numbers = py::array_t<T, py::array::c_style | py::array::forcecast>;
using FloatArray = Numbers<double>;
using IndexArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

constexpr float infinity = std::numeric_limits<float>::infinity();

// One pool per thread count, made on first use and kept: a batch costs no
// thread's start. A pool runs one batch at a time; batches from several
// Python threads queue.
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

std::string buildRefusal(BuildResult result) {
    switch (result) {
    case BuildResult::OverBudget:
        return "the kd-tree build would take more memory than the build's budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::InputTooLarge:
        return "the scene is too large for any kd-tree build within the memory budget (" +
               std::to_string(buildMemoryBudget() >> 20) + " MiB here)";
    case BuildResult::OutOfMemory:
        return "out of memory while building the kd-tree";
    default:
        return "method must be 0, 1 or 2";
    }
}

struct Result {
    py::array_t<float> t;
    py::array_t<int64_t> prim;
    py::array_t<float> u;
    py::array_t<float> v;
    py::array_t<float> normal;
};

// One call's result arrays lie in one block, freed when the last of them
// goes. The latest freed block is kept for the next call that fits in it:
// a batch's arrays are then written into pages already in place, where
// fresh ones cost a page fault each (on this machine 30-60 ms a million
// rays, against 700 ms of tracing on one thread). At most one block waits,
// of at most 256 MB (8 million rays' results): a larger one goes back at once.
class ResultBlocks {
  public:
    // Called with the interpreter's lock held.
    static void* take(std::size_t bytes) {
        {
            const std::lock_guard<std::mutex> lock(guard);
            if (spare && sizeOf(spare) >= bytes && sizeOf(spare) / 2 <= bytes)
                return std::exchange(spare, nullptr);
        }
        char* start = static_cast<char*>(std::malloc(header + bytes));
        if (!start)
            throw std::bad_alloc();
        *reinterpret_cast<std::size_t*>(start) = bytes;
        py::gil_scoped_release release;
        // Its pages put in place in one call rather than by a fault apiece.
        prefaultPages(start + header, bytes);
        return start + header;
    }

    static void give(void* block) {
        void* unwanted = block;
        if (sizeOf(block) <= largestKept) {
            const std::lock_guard<std::mutex> lock(guard);
            unwanted = std::exchange(spare, block);
        }
        if (unwanted)
            std::free(static_cast<char*>(unwanted) - header);
    }

  private:
    // Before each block, its size, in 64 bytes that keep the block aligned
    // as malloc aligns.
    static constexpr std::size_t header = 64;
    static constexpr std::size_t largestKept = std::size_t{256} << 20;
    static std::size_t sizeOf(void* block) {
        return *reinterpret_cast<const std::size_t*>(static_cast<char*>(block) - header);
    }

    static inline std::mutex guard;
    static inline void* spare = nullptr;
};

// The arrays of count results, in one block.
Result resultArrays(std::size_t count) {
    char* block = static_cast<char*>(ResultBlocks::take(32 * count));
    const py::capsule owner(block, [](void* p) { ResultBlocks::give(p); });
    const auto column = [&](auto* first, std::size_t offset) {
        using T = std::remove_pointer_t<decltype(first)>;
        return py::array_t<T>({count}, {sizeof(T)}, reinterpret_cast<T*>(block + offset), owner);
    };
    return {column(static_cast<float*>(nullptr), 8 * count),
            column(static_cast<int64_t*>(nullptr), 0),
            column(static_cast<float*>(nullptr), 12 * count),
            column(static_cast<float*>(nullptr), 16 * count),
            py::array_t<float>({count, std::size_t{3}}, {3 * sizeof(float), sizeof(float)},
                               reinterpret_cast<float*>(block + 20 * count), owner)};
}

class Scene {
  public:
    Scene(const py::handle& vertices, const py::handle& faces, int method) : method_(method) {
        const FloatArray points = rowsOf(vertices, 3, "vertices");
        IndexArray corners;
        try {
            corners = IndexArray::ensure(faces);
        } catch (const py::error_already_set&) {
        }
        if (!corners || corners.ndim() != 2 || corners.shape(1) != 3)
            throw py::value_error("faces must be an (M, 3) array of vertex indices");
        if (corners.size() == 0)
            throw py::value_error("faces is empty: a scene needs at least one triangle");
        const py::ssize_t count = points.shape(0);
        const int64_t* index = corners.data();
        size_t outside = 0;
        for (py::ssize_t i = 0; i < corners.size(); ++i)
            outside += index[i] < 0 || index[i] >= count;
        if (outside != 0)
            throw py::value_error("faces holds " + std::to_string(outside) +
                                  " indices that are negative or not below the " +
                                  std::to_string(count) + " vertices");
        const double* p = points.data();
        const auto vertex = [&](int64_t k) {
            return Vector3{float(p[3 * k]), float(p[3 * k + 1]), float(p[3 * k + 2])};
        };
        triangles_.resize(static_cast<size_t>(corners.shape(0)));
        for (size_t i = 0; i < triangles_.size(); ++i)
            triangles_[i] = {vertex(index[3 * i]),
                             vertex(index[3 * i + 1]),
                             vertex(index[3 * i + 2]),
                             {1.0f, 1.0f, 1.0f, 0.0f}};
        for (Triangle& triangle : triangles_)
            refs_.push_back({&triangle, PrimitiveType::Triangle});
        build();
    }

    static std::unique_ptr<Scene> load(const std::string& path, int method) {
        std::unique_ptr<Scene> scene(new Scene(method));
        const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
        std::string reason;
        PrimitiveList* mesh = readMesh(path.c_str(), asItIs, reason);
        if (!mesh)
            throw py::value_error("cannot read '" + path + "': " +
                                  (reason.empty() ? "not a mesh the readers know" : reason));
        scene->mesh_ = mesh;
        if (mesh->count == 0)
            throw py::value_error("'" + path + "' holds no triangle");
        scene->refs_.assign(mesh->items, mesh->items + mesh->count);
        // Hits name the file's faces: a polygon's triangles share its index.
        bool ownFaces = true;
        for (uint32_t i = 0; i < mesh->count; ++i) {
            scene->faceIds_.push_back(meshFaceOf(*mesh, i).face);
            ownFaces = ownFaces && scene->faceIds_.back() == i;
        }
        // Every triangle its own face, in the file's order: nothing to look up.
        if (ownFaces)
            scene->faceIds_.clear();
        scene->build();
        return scene;
    }

    static std::unique_ptr<Scene> spheres(const py::handle& centres, const py::handle& radii,
                                          int method) {
        const FloatArray c = rowsOf(centres, 3, "centres");
        const FloatArray r = rowsOf(radii, 0, "radii");
        requireSameRows(c, r, "centres and radii");
        if (c.shape(0) == 0)
            throw py::value_error("centres is empty: a scene needs at least one sphere");
        std::unique_ptr<Scene> scene(new Scene(method));
        const double* cd = c.data();
        const double* rd = r.data();
        for (py::ssize_t i = 0; i < c.shape(0); ++i) {
            if (!(rd[i] >= 0.0))
                throw py::value_error("radii must not be negative (row " + std::to_string(i) + ")");
            scene->spheres_.push_back(
                {{float(cd[3 * i]), float(cd[3 * i + 1]), float(cd[3 * i + 2])},
                 float(rd[i]),
                 {1.0f, 1.0f, 1.0f, 0.0f}});
        }
        for (Sphere& sphere : scene->spheres_)
            scene->refs_.push_back({&sphere, PrimitiveType::Sphere});
        scene->build();
        return scene;
    }

    ~Scene() {
        releaseQueryScene(query_);
        releaseMesh(mesh_);
    }

    Result intersect(const py::handle& origins, const py::handle& directions, float tnear,
                     float tfar, const py::object& threads) const {
        const Rays rays = raysOf(origins, directions, tnear, tfar);
        const size_t count = rays.count;
        Result result = resultArrays(count);
        float* t = result.t.mutable_data();
        int64_t* prim = result.prim.mutable_data();
        float* u = result.u.mutable_data();
        float* v = result.v.mutable_data();
        float* normal = result.normal.mutable_data();
        WorkerPool& pool = poolFor(threads);
        py::gil_scoped_release release;
        inRuns(
            pool, rays,
            [&](const QueryRay& ray, size_t i, TraceContext& context) {
                QueryHit hit;
                intersectNearest(context, query_, ray, hit);
                t[i] = hit.t;
                prim[i] = hit.primitive == noPrimitive ? -1 : int64_t{hit.primitive};
                u[i] = hit.u;
                v[i] = hit.v;
                normal[3 * i] = hit.normal.x;
                normal[3 * i + 1] = hit.normal.y;
                normal[3 * i + 2] = hit.normal.z;
            },
            [&](size_t first, size_t end) {
                // Apart from the walks, so that the run's lookups are in
                // flight together rather than each stalling a walk.
                if (!faceIds_.empty())
                    for (size_t i = first; i < end; ++i)
                        prim[i] = prim[i] < 0 ? -1 : int64_t{faceIds_[prim[i]]};
            });
        return result;
    }

    py::array_t<bool> occluded(const py::handle& origins, const py::handle& directions, float tnear,
                               float tfar, const py::object& threads) const {
        const Rays rays = raysOf(origins, directions, tnear, tfar);
        py::array_t<bool> result(rays.count);
        bool* out = result.mutable_data();
        WorkerPool& pool = poolFor(threads);
        py::gil_scoped_release release;
        // A run at a time, so that rays from one point walk together.
        if (rays.doubles)
            occludedInRuns<double>(pool, rays, out);
        else
            occludedInRuns<float>(pool, rays, out);
        return result;
    }

    py::array_t<uint8_t> render(int width, int height, const py::object& eye,
                                const py::object& target, const py::object& fov,
                                const py::object& threads) const {
        if (width < 1 || height < 1 || width > 16384 || height > 16384)
            throw py::value_error("width and height must be from 1 to 16384");
        const float* lo = query_.tree->boundsMin;
        const float* hi = query_.tree->boundsMax;
        const Vector3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
        const Vector3 corner{hi[0] - centre.x, hi[1] - centre.y, hi[2] - centre.z};
        const float radius = std::sqrt(dot(corner, corner));
        const float fovDegrees = fov.is_none() ? 45.0f : fov.cast<float>();
        if (!(fovDegrees > 0.0f && fovDegrees < 180.0f))
            throw py::value_error("fov must be between 0 and 180 degrees");
        const float away = radius / std::sin(fovDegrees * 3.14159265f / 360.0f) * 1.1f + 1e-6f;
        const Vector3 at = target.is_none() ? centre : pointOf(target, "target");
        const Vector3 from =
            eye.is_none() ? Vector3{at.x + away * 0.6f, at.y + away * 0.45f, at.z - away * 0.66f}
                          : pointOf(eye, "eye");
        if (from.x == at.x && from.y == at.y && from.z == at.z)
            throw py::value_error("eye and target must differ");
        RenderTarget frame{static_cast<uint32_t>(width), static_cast<uint32_t>(height), nullptr,
                           nullptr};
        py::array_t<uint8_t> image({size_t(height), size_t(width), size_t{3}});
        frame.pixels = image.mutable_data();
        const float tall = 2.0f * std::tan(fovDegrees * 3.14159265f / 360.0f);
        buildRayTable(frame, {1.0f, tall * float(width) / float(height), tall});
        const Matrix4 camera = cameraLookingAt(from, at);
        PrimitiveRef top{query_.tree, PrimitiveType::NestedTree};
        WorkerPool& pool = poolFor(threads);
        {
            py::gil_scoped_release release;
            renderFrame(pool, {&top, 1}, frame, camera);
        }
        delete[] frame.rays;
        return image;
    }

    uint32_t triangleCount() const { return spheres_.empty() ? uint32_t(refs_.size()) : 0; }
    uint32_t sphereCount() const { return uint32_t(spheres_.size()); }
    py::tuple bounds() const {
        py::array_t<float> lo(3);
        py::array_t<float> hi(3);
        for (int k = 0; k < 3; ++k) {
            lo.mutable_data()[k] = query_.tree->boundsMin[k];
            hi.mutable_data()[k] = query_.tree->boundsMax[k];
        }
        return py::make_tuple(lo, hi);
    }
    int method() const { return method_; }

    // What a copy on another machine needs: the arrays and the method.
    py::tuple state() const {
        if (!spheres_.empty()) {
            py::array_t<float> centres({spheres_.size(), size_t{3}});
            py::array_t<float> radii(spheres_.size());
            for (size_t i = 0; i < spheres_.size(); ++i) {
                const Sphere& s = spheres_[i];
                float* c = centres.mutable_data() + 3 * i;
                c[0] = s.centre.x;
                c[1] = s.centre.y;
                c[2] = s.centre.z;
                radii.mutable_data()[i] = s.radius;
            }
            return py::make_tuple("spheres", centres, radii, method_);
        }
        py::array_t<float> vertices({3 * refs_.size(), size_t{3}});
        py::array_t<int64_t> faces({refs_.size(), size_t{3}});
        for (size_t i = 0; i < refs_.size(); ++i) {
            const Triangle& t = *static_cast<const Triangle*>(refs_[i].object);
            const Vector3 corners[3] = {t.V0, t.V1, t.V2};
            for (int k = 0; k < 3; ++k) {
                float* p = vertices.mutable_data() + 3 * (3 * i + k);
                p[0] = corners[k].x;
                p[1] = corners[k].y;
                p[2] = corners[k].z;
                faces.mutable_data()[3 * i + k] = int64_t(3 * i + k);
            }
        }
        return py::make_tuple("triangles", vertices, faces, method_, faceIds_);
    }

  private:
    explicit Scene(int method) : method_(method) {}

    void build() {
        if (method_ < 0 || method_ > 2)
            throw py::value_error("method must be 0, 1 or 2");
        BuildResult result;
        {
            py::gil_scoped_release release;
            result = buildQueryScene(query_, {refs_.data(), uint32_t(refs_.size())}, method_);
        }
        if (result == BuildResult::OverBudget || result == BuildResult::InputTooLarge ||
            result == BuildResult::OutOfMemory) {
            PyErr_SetString(PyExc_MemoryError, buildRefusal(result).c_str());
            throw py::error_already_set();
        }
        if (result != BuildResult::Built)
            throw py::value_error(buildRefusal(result));
    }

    static Vector3 pointOf(const py::object& object, const char* name) {
        const FloatArray p = rowsOf(object, 0, name);
        if (p.shape(0) != 3)
            throw py::value_error(std::string(name) + " must be three numbers");
        return {float(p.data()[0]), float(p.data()[1]), float(p.data()[2])};
    }

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

    static bool doublesInRows(const py::handle& object) {
        return py::isinstance<py::array_t<double>>(object) &&
               (py::reinterpret_borrow<py::array>(object).flags() & py::array::c_style) != 0;
    }

    static Rays raysOf(const py::handle& origins, const py::handle& directions, float tnear,
                       float tfar) {
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

    // Each ray from the caller's arrays, answered in place: runs of rays
    // handed out to the pool's threads, each tracing through its own
    // context and writing its rays' results, then finishing the run's
    // results, so that no array of rays or hits is made. Without the
    // interpreter: the arrays are held by the caller.
    template <class Answer, class Finish>
    static void inRuns(WorkerPool& pool, const Rays& rays, Answer&& answer, Finish&& finish) {
        if (rays.doubles)
            inRunsOf<double>(pool, rays, answer, finish);
        else
            inRunsOf<float>(pool, rays, answer, finish);
    }

    static constexpr size_t runLength = 1024;

    template <class T> static QueryRay rayAt(const Rays& rays, size_t i) {
        const T* o = static_cast<const T*>(rays.origins.data()) + 3 * i;
        const T* d = static_cast<const T*>(rays.directions.data()) + 3 * i;
        return {{float(o[0]), float(o[1]), float(o[2])},
                {float(d[0]), float(d[1]), float(d[2])},
                rays.tnear,
                rays.tfar};
    }

    template <class T, class Answer, class Finish>
    static void inRunsOf(WorkerPool& pool, const Rays& rays, Answer& answer, Finish& finish) {
        pool.runRanges(rays.count, runLength, [&](size_t first, size_t end, TraceContext& context) {
            for (size_t i = first; i < end; ++i)
                answer(rayAt<T>(rays, i), i, context);
            finish(first, end);
        });
    }

    template <class T> void occludedInRuns(WorkerPool& pool, const Rays& rays, bool* out) const {
        pool.runRanges(rays.count, runLength, [&](size_t first, size_t end, TraceContext& context) {
            QueryRay run[runLength];
            for (size_t i = first; i < end; ++i)
                run[i - first] = rayAt<T>(rays, i);
            intersectAny(context, query_, run, out + first, end - first);
        });
    }

    int method_;
    std::vector<Triangle> triangles_;
    std::vector<Sphere> spheres_;
    std::vector<PrimitiveRef> refs_;
    PrimitiveList* mesh_ = nullptr;
    std::vector<uint32_t> faceIds_; // per triangle, the file's face; empty: the triangle's own

  public:
    void setFaceIds(std::vector<uint32_t> ids) {
        if (!ids.empty() && ids.size() != triangles_.size())
            throw py::value_error("a pickled scene's face indices must number its triangles");
        faceIds_ = std::move(ids);
    }

  private:
    QueryScene query_;
};

} // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "Ray queries and frames on every core, from numpy arrays.";
    m.attr("__version__") = VANTREL_VERSION;

    py::class_<Result>(m, "Hits", "What intersect found for each ray.")
        .def_readonly("t", &Result::t, "distance in lengths of the direction; inf where none")
        .def_readonly("prim", &Result::prim, "the face or sphere hit; -1 where none")
        .def_readonly("u", &Result::u, "barycentric weight of V1; 0 for spheres")
        .def_readonly("v", &Result::v, "barycentric weight of V2; 0 for spheres")
        .def_readonly("normal", &Result::normal, "unit geometric normal");

    const auto inf = std::numeric_limits<float>::infinity();
    py::class_<Scene>(m, "Scene")
        .def(py::init<const py::handle&, const py::handle&, int>(), py::arg("vertices"),
             py::arg("faces"), py::arg("method") = 0)
        .def_static("load", &Scene::load, py::arg("path"), py::arg("method") = 0)
        .def_static("spheres", &Scene::spheres, py::arg("centres"), py::arg("radii"),
                    py::arg("method") = 0)
        .def("intersect", &Scene::intersect, py::arg("origins"), py::arg("directions"),
             py::arg("tnear") = 0.0f, py::arg("tfar") = inf, py::arg("threads") = py::none())
        .def("occluded", &Scene::occluded, py::arg("origins"), py::arg("directions"),
             py::arg("tnear") = 0.0f, py::arg("tfar") = inf, py::arg("threads") = py::none())
        .def("render", &Scene::render, py::arg("width") = 512, py::arg("height") = 384,
             py::arg("eye") = py::none(), py::arg("target") = py::none(),
             py::arg("fov") = py::none(), py::arg("threads") = py::none())
        .def_property_readonly("triangle_count", &Scene::triangleCount)
        .def_property_readonly("sphere_count", &Scene::sphereCount)
        .def_property_readonly("bounds", &Scene::bounds)
        .def_property_readonly("method", &Scene::method)
        .def(py::pickle([](const Scene& scene) { return scene.state(); },
                        [](const py::tuple& state) {
                            const std::string kind = state[0].cast<std::string>();
                            if (kind == "spheres")
                                return Scene::spheres(state[1], state[2], state[3].cast<int>());
                            auto scene =
                                std::make_unique<Scene>(state[1], state[2], state[3].cast<int>());
                            scene->setFaceIds(state[4].cast<std::vector<uint32_t>>());
                            return scene;
                        }));
}
