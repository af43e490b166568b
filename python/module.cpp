// The Python module `vantrel`: scenes from numpy arrays or files, ray
// queries in batches on every core, and frames with the project's shading.
// Refusals of the kernel become Python exceptions here (python/*.cpp), and
// only here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "interpreter_release.h"
#include "memory_needed.h"
#include "results_out.h"
#include "scene.h"
#include "vantrel/version.h"

namespace py = pybind11;
using namespace vantrel;

namespace {

// Scene.__new__(Scene), and what a pickle's NEWOBJ makes before
// __setstate__, hold no scene: pybind11 hands such an instance's methods a
// block of uninitialised memory. Whether the constructor ran is whether the
// instance's holder was made.
bool made(py::handle self) {
    return reinterpret_cast<py::detail::instance*>(self.ptr())
        ->get_value_and_holder()
        .holder_constructed();
}

const Scene& madeScene(py::handle self) {
    if (!made(self))
        throw py::type_error("this Scene is not initialised: make one with Scene(), "
                             "Scene(vertices, faces), Scene.load(path) or Scene.spheres(centres, "
                             "radii)");
    return *self.cast<const Scene*>();
}

template <class R, class... A> auto onScene(R (Scene::*method)(A...) const) {
    return [method](py::handle self, A... arguments) -> R {
        return (madeScene(self).*method)(std::forward<A>(arguments)...);
    };
}

template <class R, class... A> auto onScene(R (Scene::*method)(A...)) {
    return [method](py::handle self, A... arguments) -> R {
        return (const_cast<Scene&>(madeScene(self)).*method)(std::forward<A>(arguments)...);
    };
}

// Results read by name as well: hits.t or hits["t"].
template <class T> py::object field(const T& result, const py::str& name) {
    const py::object self = py::cast(result);
    if (!py::hasattr(self, name) || std::string(name).rfind('_', 0) == 0)
        throw py::key_error(name);
    return self.attr(name);
}

// pybind11 skips a constructor called on a live instance without a word;
// a scene is made once. (Under a name of its own: pybind11 takes any
// function named __init__ or __setstate__ for a constructor, and skips it.)
void refuseOnLiveScene(py::class_<Scene>& type, const char* name) {
    const py::object original = type.attr(name);
    const std::string doc = py::str(original.attr("__doc__"));
    type.attr(name) = py::cpp_function(
        [original, name](py::handle self, py::args arguments, py::kwargs keywords) {
            if (made(self))
                throw py::type_error(std::string(name) +
                                     " on a Scene that is already made: make a new one");
            return original(self, *arguments, **keywords);
        },
        py::is_method(type), py::doc(doc.c_str()));
}

} // namespace

PYBIND11_MODULE(vantrel, m) {
    m.doc() = "Ray queries and frames on every core, from numpy arrays.";
    m.attr("__version__") = VANTREL_VERSION;
    waitForCallsAtExit();
    explainFailedAllocations();

    py::class_<Result>(m, "Hits", "What intersect found for each ray, in the rays' shape.")
        .def_readonly("t", &Result::t, "distance in lengths of the direction; inf where none")
        .def_readonly("geom", &Result::geom, "the geometry hit; -1 where none")
        .def_readonly("prim", &Result::prim,
                      "the face or sphere hit, within its geometry (a file's mesh); -1 where none")
        .def_readonly("u", &Result::u, "barycentric weight of V1; 0 for spheres")
        .def_readonly("v", &Result::v, "barycentric weight of V2; 0 for spheres")
        .def_readonly("normal", &Result::normal, "unit geometric normal")
        .def("__getitem__", &field<Result>);

    py::class_<ClosestPoints>(m, "ClosestPoints",
                              "What closest_points found for each point, in the points' shape.")
        .def_readonly("point", &ClosestPoints::point, "the closest point of the surfaces")
        .def_readonly("distance", &ClosestPoints::distance, "the distance to it")
        .def_readonly("geom", &ClosestPoints::geom, "its geometry; -1 for an empty scene")
        .def_readonly("prim", &ClosestPoints::prim, "its face or sphere within the geometry")
        .def_readonly("u", &ClosestPoints::u, "its barycentric weight of V1; 0 for spheres")
        .def_readonly("v", &ClosestPoints::v, "its barycentric weight of V2; 0 for spheres")
        .def_readonly("normal", &ClosestPoints::normal, "the surface's unit normal there")
        .def("__getitem__", &field<ClosestPoints>);

    const auto inf = std::numeric_limits<float>::infinity();
    py::class_<Scene> scene(m, "Scene",
                            "Triangle meshes, sets of spheres and instances of them, each a "
                            "geometry with an id (0, 1, 2, ... as added); built on every core on "
                            "the first query after a change.");
    scene.def(py::init<>())
        .def(py::init<const py::handle&, const py::handle&, int>(), py::arg("vertices"),
             py::arg("faces"), py::arg("method") = 0)
        .def_static("load", &Scene::load, py::arg("path"), py::arg("method") = 0)
        .def_static("spheres", &Scene::spheres, py::arg("centres"), py::arg("radii"),
                    py::arg("method") = 0)
        .def("add_triangles", onScene(&Scene::addTriangles), py::arg("vertices"), py::arg("faces"),
             "Adds a mesh of (N, 3) vertices and (M, 3) faces; its id.")
        .def("add_spheres", onScene(&Scene::addSpheres), py::arg("centres"), py::arg("radii"),
             "Adds (N, 3) centres and (N,) radii; its id.")
        .def("add_instance", onScene(&Scene::addInstance), py::arg("geometry_id"),
             py::arg("transform"),
             "Adds the geometry again under a 4x4 affine transform (a point p goes to "
             "transform @ [*p, 1]); its id.")
        .def("update_vertices", onScene(&Scene::updateVertices), py::arg("geometry_id"),
             py::arg("vertices"),
             "Moves a mesh's vertices (as many as it has); its hierarchy is refitted.")
        .def("intersect", onScene(&Scene::intersect), py::arg("rays"),
             py::arg("directions") = py::none(), py::arg("tnear") = 0.0f, py::arg("tfar") = inf,
             py::arg("threads") = py::none(),
             "Nearest hits of rays (..., 6), or of origins and directions (..., 3) each.")
        .def("occluded", onScene(&Scene::occluded), py::arg("rays"),
             py::arg("directions") = py::none(), py::arg("tnear") = 0.0f, py::arg("tfar") = inf,
             py::arg("threads") = py::none(), "Whether anything lies on each segment.")
        .def("count_intersections", onScene(&Scene::countIntersections), py::arg("rays"),
             py::arg("directions") = py::none(), py::arg("tnear") = 0.0f, py::arg("tfar") = inf,
             py::arg("threads") = py::none(), "How many surfaces each segment crosses.")
        .def("closest_points", onScene(&Scene::closestPoints), py::arg("points"),
             py::arg("threads") = py::none(), "The closest point of the surfaces to each point.")
        .def("distance", onScene(&Scene::distance), py::arg("points"),
             py::arg("threads") = py::none(), "The distance from each point to the surfaces.")
        .def("signed_distance", onScene(&Scene::signedDistance), py::arg("points"),
             py::arg("threads") = py::none(), "The distance, negative inside.")
        .def("occupancy", onScene(&Scene::occupancy), py::arg("points"),
             py::arg("threads") = py::none(), "1 where a point is inside the surfaces, else 0.")
        .def("render", onScene(&Scene::render), py::arg("width") = 512, py::arg("height") = 384,
             py::arg("eye") = py::none(), py::arg("target") = py::none(),
             py::arg("fov") = py::none(), py::arg("threads") = py::none())
        .def_property_readonly("geometry_count", onScene(&Scene::geometryCount))
        .def_property_readonly("triangle_count", onScene(&Scene::triangleCount))
        .def_property_readonly("sphere_count", onScene(&Scene::sphereCount))
        .def_property_readonly("bounds", onScene(&Scene::bounds))
        .def_property_readonly("method", onScene(&Scene::method))
        .def(py::pickle([](py::handle self) -> py::object { return madeScene(self).state(); },
                        [](const py::object& state) { return Scene::fromState(state); }));
    refuseOnLiveScene(scene, "__init__");
    refuseOnLiveScene(scene, "__setstate__");
}
