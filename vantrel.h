// The kernel of vantrel rtrt in one header: scene records and the mesh
// loader, the kd-tree compiler, the camera's ray table and matrix, the tile
// renderer and the list test with its hit record. Link vantrel::core (CMake)
// or `pkg-config --libs vantrel`.
#pragma once

#include "app/camera.h"
#include "app/render_target.h"
#include "kdtree/build.h"
#include "kdtree/kd_tree.h"
#include "scene/records.h"
#include "scene/triangle_loader.h"
#include "tracer/intersect.h"
#include "tracer/render.h"
