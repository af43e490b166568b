// The kernel of vantrel rtrt in one header: scene records and the mesh
// readers (the text loader, the importer, the reader that picks one), the kd-tree compiler, the
// camera's ray table and matrix, the tile renderer and the list test with its hit record. Link
// vantrel::core (CMake) or `pkg-config --libs vantrel`.
#pragma once

#include "vantrel/app/camera.h"
#include "vantrel/app/render_target.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/render.h"
