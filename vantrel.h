// The kernel of vantrel rtrt in one header: scene records and the mesh
// readers (the text loader, the importer, the reader that picks one), the
// kd-tree compiler with its options and memory budget, the queries' scenes
// of one model or of several geometries and instances, the camera's ray table
// and matrix, the tile renderer, the list test with its hit record, the
// choice of instruction set, and the trace contexts and worker pool that let
// any number of threads trace. Link vantrel::core (CMake) or
// `pkg-config --libs vantrel`.
#pragma once

#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/indexed_mesh.h"
#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/geometry_query.h"
#include "vantrel/tracer/geometry_scene.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel.h"
#include "vantrel/tracer/point_query.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/render_target.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"
#include "vantrel/version.h"
