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
#include <vector>

#include "results_out.h"
#include "scene.h"
#include "vantrel/version.h"

namespace py = pybind11;
using namespace vantrel;

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
