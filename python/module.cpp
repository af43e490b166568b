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
        throw py::type_error("this Scene is not initialised: make one with Scene(vertices, "
                             "faces), Scene.load(path) or Scene.spheres(centres, radii)");
    return *self.cast<const Scene*>();
}

template <class R, class... A> auto onScene(R (Scene::*method)(A...) const) {
    return [method](py::handle self, A... arguments) -> R {
        return (madeScene(self).*method)(std::forward<A>(arguments)...);
    };
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

    py::class_<Result>(m, "Hits", "What intersect found for each ray.")
        .def_readonly("t", &Result::t, "distance in lengths of the direction; inf where none")
        .def_readonly("prim", &Result::prim, "the face or sphere hit; -1 where none")
        .def_readonly("u", &Result::u, "barycentric weight of V1; 0 for spheres")
        .def_readonly("v", &Result::v, "barycentric weight of V2; 0 for spheres")
        .def_readonly("normal", &Result::normal, "unit geometric normal");

    const auto inf = std::numeric_limits<float>::infinity();
    py::class_<Scene> scene(m, "Scene");
    scene
        .def(py::init<const py::handle&, const py::handle&, int>(), py::arg("vertices"),
             py::arg("faces"), py::arg("method") = 0)
        .def_static("load", &Scene::load, py::arg("path"), py::arg("method") = 0)
        .def_static("spheres", &Scene::spheres, py::arg("centres"), py::arg("radii"),
                    py::arg("method") = 0)
        .def("intersect", onScene(&Scene::intersect), py::arg("origins"), py::arg("directions"),
             py::arg("tnear") = 0.0f, py::arg("tfar") = inf, py::arg("threads") = py::none())
        .def("occluded", onScene(&Scene::occluded), py::arg("origins"), py::arg("directions"),
             py::arg("tnear") = 0.0f, py::arg("tfar") = inf, py::arg("threads") = py::none())
        .def("render", onScene(&Scene::render), py::arg("width") = 512, py::arg("height") = 384,
             py::arg("eye") = py::none(), py::arg("target") = py::none(),
             py::arg("fov") = py::none(), py::arg("threads") = py::none())
        .def_property_readonly("triangle_count", onScene(&Scene::triangleCount))
        .def_property_readonly("sphere_count", onScene(&Scene::sphereCount))
        .def_property_readonly("bounds", onScene(&Scene::bounds))
        .def_property_readonly("method", onScene(&Scene::method))
        .def(py::pickle([](py::handle self) -> py::object { return madeScene(self).state(); },
                        [](const py::object& state) { return Scene::fromState(state); }));
    refuseOnLiveScene(scene, "__init__");
    refuseOnLiveScene(scene, "__setstate__");
}
