// The scene type of the module: triangles or spheres from arrays or a file,
// the queries' hierarchy built over them on every core, and what Python
// calls on it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrays_in.h"
#include "results_out.h"
#include "vantrel/vantrel.h"

namespace vantrel {

class Scene {
  public:
    Scene(const py::handle& vertices, const py::handle& faces, int method);
    static std::unique_ptr<Scene> load(const py::handle& path, int method);
    static std::unique_ptr<Scene> spheres(const py::handle& centres, const py::handle& radii,
                                          int method);
    // A scene from what state() gave, each field checked: a pickle's state
    // may come from anywhere.
    static std::unique_ptr<Scene> fromState(const py::handle& state);
    ~Scene();
    Result intersect(const py::handle& origins, const py::handle& directions, float tnear,
                     float tfar, const py::object& threads) const;
    py::array_t<bool> occluded(const py::handle& origins, const py::handle& directions, float tnear,
                               float tfar, const py::object& threads) const;
    py::array_t<uint8_t> render(int width, int height, const py::object& eye,
                                const py::object& target, const py::object& fov,
                                const py::object& threads) const;
    uint32_t triangleCount() const { return uint32_t(indices_.size() / 3); }
    uint32_t sphereCount() const { return uint32_t(spheres_.size()); }
    py::tuple bounds() const;
    int method() const { return method_; }
    // What a copy on another machine needs: the arrays and the method.
    py::tuple state() const;

  private:
    explicit Scene(int method);
    // The queries' hierarchy over the triangles or the spheres, which the
    // queries and the frames walk.
    void build();
    // Hits name these faces of the file, one per triangle.
    void setFaceIds(const py::handle& ids);

    template <class T> void occludedInRuns(WorkerPool& pool, const Rays& rays, bool* out) const {
        pool.runRanges(rays.count, runLength, [&](size_t first, size_t end, TraceContext& context) {
            QueryRay run[runLength];
            for (size_t i = first; i < end; ++i)
                run[i - first] = rayAt<T>(rays, i);
            intersectAny(context, query_, run, out + first, end - first);
        });
    }

    int method_;
    std::vector<float> vertices_;   // x, y, z each
    std::vector<uint32_t> indices_; // three a triangle
    std::vector<uint32_t> faceIds_; // per triangle, the file's face; empty: the triangle's own
    std::vector<Sphere> spheres_;
    std::vector<PrimitiveRef> sphereRefs_;
    QueryScene query_;
};

} // namespace vantrel
