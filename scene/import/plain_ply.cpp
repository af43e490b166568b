#include "vantrel/scene/import/plain_ply.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "vantrel/scene/import/ply_types.h"

namespace vantrel {

namespace {

// Far more than any exporter writes; a longer header is the library's.
constexpr size_t mostHeaderBytes = 1 << 16;
constexpr size_t mostVertexProperties = 64;

// Bytes of a single value's type, 0 for a name the library does not know.
uint32_t scalarBytes(const std::string& type) {
    bool isSigned;
    return static_cast<uint32_t>(std::abs(plyTypeBytes(type, isSigned)));
}

bool isFloat(const std::string& type) {
    bool isSigned;
    return plyTypeBytes(type, isSigned) == -4;
}
bool isInteger(const std::string& type) {
    bool isSigned;
    return plyTypeBytes(type, isSigned) > 0;
}

// The words of a header line, split at single spaces: the layout's writers
// put nothing else between them.
std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= line.size()) {
        const size_t end = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// A count of decimal digits alone that fits 32 bits.
bool countOf(const std::string& text, uint32_t& count) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t value = 0;
    for (const char digit : text)
        value = value * 10 + static_cast<uint64_t>(digit - '0');
    count = static_cast<uint32_t>(value);
    return value <= UINT32_MAX;
}

struct PlainHeader {
    uint64_t bytes = 0; // through the end_header line
    uint32_t vertexCount = 0;
    uint32_t vertexBytes = 0;       // a vertex's row
    uint32_t corner[3] = {0, 0, 0}; // where x, y and z lie in it
    uint32_t faceCount = 0;
    uint32_t lengthBytes = 0; // of a face's list length
};

bool readLine(std::FILE* file, std::string& line, uint64_t& bytes) {
    line.clear();
    for (int c; (c = getc_unlocked(file)) != EOF;) {
        if (++bytes > mostHeaderBytes)
            return false;
        if (c == '\n')
            return true;
        line += static_cast<char>(c);
    }
    return false;
}

bool readHeader(std::FILE* file, PlainHeader& header) {
    std::string line;
    if (!readLine(file, line, header.bytes) || line != "ply" ||
        !readLine(file, line, header.bytes) || line != "format binary_little_endian 1.0")
        return false;
    // 0: before the vertices, 1: in them, 2: in the faces, 3: the list read.
    int part = 0;
    bool seen[3] = {false, false, false};
    size_t properties = 0;
    while (readLine(file, line, header.bytes)) {
        const std::vector<std::string> w = wordsOf(line);
        if (w[0] == "comment" || w[0] == "obj_info")
            continue;
        if (w[0] == "end_header")
            return w.size() == 1 && part == 3 && seen[0] && seen[1] && seen[2];
        if (w[0] == "element" && w.size() == 3 && w[1] == "vertex" && part == 0) {
            if (!countOf(w[2], header.vertexCount))
                return false;
            part = 1;
        } else if (w[0] == "element" && w.size() == 3 && w[1] == "face" && part == 1) {
            if (!countOf(w[2], header.faceCount))
                return false;
            part = 2;
        } else if (w[0] == "property" && w.size() == 3 && part == 1) {
            const uint32_t bytes = scalarBytes(w[1]);
            if (bytes == 0 || ++properties > mostVertexProperties)
                return false;
            for (int k = 0; k < 3; ++k) {
                if (w[2] != std::string(1, static_cast<char>('x' + k)))
                    continue;
                if (seen[k] || !isFloat(w[1]))
                    return false;
                seen[k] = true;
                header.corner[k] = header.vertexBytes;
            }
            header.vertexBytes += bytes;
        } else if (w[0] == "property" && w.size() == 5 && w[1] == "list" && part == 2) {
            bool isSigned;
            if (!isInteger(w[2]) || plyTypeBytes(w[3], isSigned) != 4 ||
                !(w[4] == "vertex_indices" || w[4] == "vertex_index"))
                return false;
            header.lengthBytes = scalarBytes(w[2]);
            part = 3;
        } else {
            return false;
        }
    }
    return false;
}

// Reads count rows of rowBytes each through a buffer, handing each to take;
// false where take refuses one or the file ends first.
template <class Take>
bool readRows(std::FILE* file, uint64_t count, uint32_t rowBytes,
              std::vector<unsigned char>& buffer, const Take& take) {
    const uint64_t rowsAtOnce = buffer.size() / rowBytes;
    for (uint64_t done = 0; done < count;) {
        const uint64_t rows = std::min(rowsAtOnce, count - done);
        if (std::fread(buffer.data(), rowBytes, rows, file) != rows)
            return false;
        for (uint64_t r = 0; r < rows; ++r) {
            if (!take(buffer.data() + r * rowBytes, done + r))
                return false;
        }
        done += rows;
    }
    return true;
}

uint32_t littleEndian(const unsigned char* at, uint32_t bytes) {
    uint32_t value = 0;
    for (uint32_t k = 0; k < bytes; ++k)
        value |= uint32_t{at[k]} << (8 * k);
    return value;
}

} // namespace

bool readPlainPly(std::FILE* file, uint64_t size, uint64_t mostBytes, PlainPly& ply) {
    ply = PlainPly{};
    // The file's floats are taken as they lie.
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
        return false;
    PlainHeader header;
    if (!readHeader(file, header) || header.vertexCount == 0 || header.faceCount == 0)
        return false;
    const uint32_t faceBytes = header.lengthBytes + 3 * sizeof(uint32_t);
    const uint64_t bodyBytes =
        uint64_t{header.vertexCount} * header.vertexBytes + uint64_t{header.faceCount} * faceBytes;
    // A face of another length would move every later one: the sizes agree
    // exactly only where each has three corners, or the file is another's.
    if (size < header.bytes || size - header.bytes != bodyBytes)
        return false;
    const uint64_t arrayBytes = 3 * sizeof(float) * uint64_t{header.vertexCount} +
                                3 * sizeof(uint32_t) * uint64_t{header.faceCount};
    if (arrayBytes > mostBytes)
        return false;

    std::vector<unsigned char> buffer(1 << 20);
    ply.vertices.resize(size_t{3} * header.vertexCount);
    ply.indices.resize(size_t{3} * header.faceCount);
    float* vertices = ply.vertices.data();
    const bool read =
        readRows(file, header.vertexCount, header.vertexBytes, buffer,
                 [&](const unsigned char* row, uint64_t v) {
                     for (int k = 0; k < 3; ++k)
                         std::memcpy(&vertices[3 * v + k], row + header.corner[k], sizeof(float));
                     return true;
                 }) &&
        readRows(file, header.faceCount, faceBytes, buffer,
                 [&](const unsigned char* row, uint64_t f) {
                     if (littleEndian(row, header.lengthBytes) != 3)
                         return false;
                     for (int k = 0; k < 3; ++k) {
                         const uint32_t index = littleEndian(row + header.lengthBytes + 4 * k, 4);
                         if (index >= header.vertexCount)
                             return false;
                         ply.indices[3 * f + k] = index;
                     }
                     return true;
                 });
    if (!read)
        ply = PlainPly{};
    return read;
}

} // namespace vantrel
