// A mesh as arrays, the way scans and programs of one's own hold them:
// shared vertices and index triples, without a record per triangle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/records.h"

namespace vantrel {

struct IndexedMesh {
    std::vector<float> vertices;   // x, y, z each
    std::vector<uint32_t> indices; // three a triangle, into the vertices
    std::vector<MeshFace> faces;   // a triangle's mesh and face in its file
};

// Reads the mesh at path as readMesh does (the importer's formats by their
// extension, the nine-number text format for other names), every vertex
// transformed as a point by transform, into mesh: the importer's meshes
// with their own vertices; the text format's triangles with three vertices
// each. False, with the reason in error, when it cannot be read.
bool readIndexedMesh(const char* path, const Matrix4& transform, IndexedMesh& mesh,
                     std::string& error);

} // namespace vantrel
