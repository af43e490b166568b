#include "vantrel/app/bitmap_check.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vantrel/scene/regular_file.h"

namespace vantrel {

namespace {

uint32_t little(const unsigned char* bytes, int count) {
    uint32_t value = 0;
    for (int k = count - 1; k >= 0; --k)
        value = value << 8 | bytes[k];
    return value;
}

} // namespace

bool bitmapFitsItsFile(const char* path, std::string& error) {
    FileKind kind;
    int systemError = 0;
    std::FILE* file = openRegularFile(path, kind, systemError);
    if (!file) {
        error = kind == FileKind::Unknown
                    ? std::strerror(systemError)
                    : std::string("it is ") + describeFileKind(kind) + ", not a regular file";
        return false;
    }
    unsigned char header[34] = {};
    const size_t got = std::fread(header, 1, sizeof header, file);
    const bool sized = std::fseek(file, 0, SEEK_END) == 0;
    const long size = std::ftell(file);
    std::fclose(file);
    if (got < 30 || std::memcmp(header, "BM", 2) != 0 || !sized || size < 0)
        return true; // SDL says what is wrong with it
    const uint32_t pixelOffset = little(header + 10, 4);
    const uint32_t infoSize = little(header + 14, 4);
    int64_t width, height;
    uint32_t bits;
    uint32_t compression = 0;
    if (infoSize == 12) { // the old OS/2 header
        width = static_cast<int16_t>(little(header + 18, 2));
        height = static_cast<int16_t>(little(header + 20, 2));
        bits = little(header + 24, 2);
    } else {
        width = static_cast<int32_t>(little(header + 18, 4));
        height = static_cast<int32_t>(little(header + 22, 4));
        bits = little(header + 28, 2);
        compression = little(header + 30, 4);
    }
    if (compression != 0 && compression != 3) // SDL reads no compressed pixels
        return true;
    // Negative heights are rows stored top-down.
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
    const uint64_t rowBytes = width > 0 ? (static_cast<uint64_t>(width) * bits + 31) / 32 * 4 : 0;
    const uint64_t needed = uint64_t{pixelOffset} + rowBytes * rows;
    if (needed <= static_cast<uint64_t>(size))
        return true;
    error = "its header declares " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels of " + std::to_string(bits) + " bits (" + std::to_string(needed) +
            " bytes), but the file holds " + std::to_string(size);
    return false;
}

} // namespace vantrel
