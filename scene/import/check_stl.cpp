// STL, as the library's reader takes it: binary when the triangle count in
// the header gives the file's length, reckoned in 32 bits, so that a count
// that wraps passes and is allocated in full.
#include <cstring>
#include <string>

#include "vantrel/scene/import/model_checks.h"

namespace vantrel {

namespace {

// What the reader takes for the start of an ASCII STL.
bool startsAsText(const unsigned char (&header)[84]) {
    size_t at = 0;
    while (at + 5 < sizeof header && (header[at] == ' ' || header[at] == '\t'))
        ++at;
    return at + 5 < sizeof header && std::memcmp(header + at, "solid", 5) == 0;
}

} // namespace

ModelCheck checkStlModel(std::FILE* file, uint64_t size) {
    ModelCheck check{"", size * libraryBytesPerFileByte};
    unsigned char header[84];
    if (size < sizeof header || std::fread(header, 1, sizeof header, file) != sizeof header)
        return check;
    const uint32_t count = uint32_t{header[80]} | uint32_t{header[81]} << 8 |
                           uint32_t{header[82]} << 16 | uint32_t{header[83]} << 24;
    const uint64_t needed = 84 + uint64_t{count} * 50;
    if (static_cast<uint32_t>(needed) == static_cast<uint32_t>(size) && needed != size)
        check.error = "a binary STL header declaring " + std::to_string(count) +
                      " triangles, which need " + std::to_string(needed) + " bytes; the file has " +
                      std::to_string(size);
    else if (needed == size)
        check.libraryBytes = size + uint64_t{count} * 256;
    else if (!startsAsText(header))
        check.error = "neither ASCII STL (it does not start with 'solid') nor binary STL (its "
                      "header's " +
                      std::to_string(count) + " triangles need " + std::to_string(needed) +
                      " bytes; the file has " + std::to_string(size) + ")";
    return check;
}

} // namespace vantrel
