// The PLY layout scanners and converters write (binary, little-endian,
// float corners, triangles only), read straight into arrays: the import
// library builds an object for every face and took four times as long over
// such a file. Anything else is left to the library's reader, so that what
// a file gives never hangs on which reader took it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace vantrel {

struct PlainPly {
    std::vector<float> vertices;   // x, y, z each, as in the file
    std::vector<uint32_t> indices; // three a triangle, in the file's order
};

// True, with ply filled, where the file (open at its start, size bytes) is
// a plain PLY and its arrays take at most mostBytes: a header of one vertex
// element whose x, y and z are floats, among other single values, then one
// face element of a vertex index list alone; every face three corners that
// name a vertex; nothing after the last face. False otherwise, ply empty.
bool readPlainPly(std::FILE* file, uint64_t size, uint64_t mostBytes, PlainPly& ply);

} // namespace vantrel
