// Writes the checkerboard bitmap that the program needs at start: an
// uncompressed 24-bit BMP, written byte by byte so the host's byte order and
// struct padding do not matter.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/output_file.h"

namespace {

constexpr int32_t side = 64;  // pixels per edge
constexpr int32_t square = 8; // pixels per checker square
constexpr uint32_t fileHeaderSize = 14;
constexpr uint32_t infoHeaderSize = 40;

void put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
    put16(out, value & 0xffffu);
    put16(out, value >> 16);
}

std::vector<uint8_t> checkerboard() {
    // Rows of 24-bit pixels are padded to a multiple of four bytes.
    const uint32_t rowBytes = (side * 3 + 3) / 4 * 4;
    const uint32_t imageBytes = rowBytes * side;
    std::vector<uint8_t> out;
    out.reserve(fileHeaderSize + infoHeaderSize + imageBytes);

    out.push_back('B');
    out.push_back('M');
    put32(out, fileHeaderSize + infoHeaderSize + imageBytes);
    put32(out, 0); // reserved
    put32(out, fileHeaderSize + infoHeaderSize);

    put32(out, infoHeaderSize);
    put32(out, side);
    put32(out, side); // positive height: rows stored bottom-up
    put16(out, 1);    // planes
    put16(out, 24);   // bits per pixel
    put32(out, 0);    // no compression
    put32(out, imageBytes);
    put32(out, 2835); // 72 dpi
    put32(out, 2835);
    put32(out, 0); // colours used
    put32(out, 0); // important colours

    for (int32_t row = side - 1; row >= 0; --row) {
        for (int32_t column = 0; column < side; ++column) {
            const bool light = ((row / square) + (column / square)) % 2 == 0;
            const uint8_t level = light ? 255 : 0;
            out.insert(out.end(), 3, level); // blue, green, red
        }
        out.insert(out.end(), rowBytes - side * 3, 0);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.bmp\n", argv[0]);
        return 2;
    }
    const std::vector<uint8_t> bytes = checkerboard();
    vantrel::OutputFile out;
    std::string error;
    if (!vantrel::openOutput(argv[1], out, error)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out.stream) == bytes.size();
    if (!vantrel::finishOutput(out, written, error)) {
        std::fprintf(stderr, "%s: write failed: %s\n", argv[1], error.c_str());
        return 1;
    }
    return 0;
}
