// OFF, as the library's reader takes it: a header, then one vertex a line,
// then one face a line ("n i1 ... in"), blank lines skipped. It allocates
// what the header declares before it reads a line, clamps a vertex number
// past the last vertex to the last one, and drops faces of ten corners or
// more (and faces of none) without a word.
#include <string>

#include "vantrel/scene/import/model_checks.h"
#include "vantrel/scene/import/text_cursor.h"

namespace vantrel {

namespace {

// The reader copies a line into a buffer of this many characters.
constexpr size_t lineLimit = 4096;
constexpr uint32_t mostCorners = 9;

// Blank space, line ends and comment lines between header tokens.
void skipToToken(TextCursor& at) {
    while (at.atSpace() || at.c == '\r' || at.c == '\n')
        at.next();
    while (at.c == '#' || at.c == '\r' || at.c == '\n') {
        while (at.c != '\r' && at.c != '\n' && at.c != 0)
            at.next();
        while (at.atSpace() || at.c == '\r' || at.c == '\n')
            at.next();
    }
}

bool skipLiteral(TextCursor& at, const char* text) {
    for (; *text; ++text) {
        if (at.c != *text)
            return false;
        at.next();
    }
    return true;
}

enum class Line { Read, End, TooLong };

// The next line that is not empty; the cursor is left at its start's line
// number in startLine and on the line's text one character at a time.
struct LineReader {
    TextCursor& at;
    uint64_t startLine = 0;
    uint64_t startOffset = 0;

    // Moves to the next line's first character; End when there is none.
    Line begin() {
        if (at.c == 0)
            return Line::End;
        startLine = at.line;
        startOffset = at.offset;
        return Line::Read;
    }
    // Past the rest of this line and the line ends after it; TooLong when
    // the line would not have fit the reader's buffer.
    Line finish() {
        while (!at.atLineEnd()) {
            if (at.offset - startOffset >= lineLimit - 1)
                return Line::TooLong;
            at.next();
        }
        while (at.atLineEnd() && at.c != 0)
            at.next();
        return Line::Read;
    }
};

std::string atLine(uint64_t line) {
    return "line " + std::to_string(line) + ": ";
}

} // namespace

ModelCheck checkOffModel(std::FILE* file, uint64_t size) {
    ModelCheck check{"", size + 1};
    TextCursor at(file);
    if (at.c == 0xEF) { // a UTF-8 mark, which the library drops
        for (int k = 0; k < 3; ++k)
            at.next();
    }
    if (at.c == 0)
        return check; // an empty file, which the reader refuses
    if (at.c == 0xFE || at.c == 0xFF) {
        check.error = "not OFF text in UTF-8 or ASCII";
        return check;
    }
    skipToToken(at);
    bool dimensioned = false;
    if (at.c == 'S')
        skipLiteral(at, "ST");
    if (at.c == 'C')
        at.next();
    if (at.c == 'N')
        at.next();
    if (at.c == '4')
        at.next();
    if (at.c == 'n') {
        dimensioned = true;
        at.next();
    }
    skipLiteral(at, "OFF");
    skipToToken(at);
    if (dimensioned) {
        if (at.readUnsigned() > 3)
            return check; // refused by the reader
        skipToToken(at);
    }
    const uint32_t vertices = at.readUnsigned();
    skipToToken(at);
    const uint32_t faces = at.readUnsigned();
    skipToToken(at);
    at.readUnsigned();
    skipToToken(at);
    if (vertices == 0 || faces == 0)
        return check; // refused by the reader before it allocates

    const std::string declared = "the header declares " + std::to_string(vertices) +
                                 " vertices and " + std::to_string(faces) + " faces, but ";
    LineReader lines{at};
    for (uint32_t v = 0; v < vertices; ++v) {
        if (lines.begin() == Line::End) {
            check.error = declared + "the file ends after " + std::to_string(v) + " vertices";
            return check;
        }
        if (lines.finish() == Line::TooLong) {
            check.error = atLine(lines.startLine) + "longer than the OFF reader takes";
            return check;
        }
    }
    uint64_t corners = 0;
    for (uint32_t f = 0; f < faces;) {
        if (lines.begin() == Line::End) {
            check.error = declared + "the file ends after " + std::to_string(f) + " faces";
            return check;
        }
        at.skipSpaces();
        const uint32_t count = at.readUnsigned();
        if (count > mostCorners) {
            check.error = atLine(lines.startLine) + "a face of " + std::to_string(count) +
                          " corners; the OFF reader drops faces of more than " +
                          std::to_string(mostCorners) + " (convert it to PLY or OBJ)";
            return check;
        }
        for (uint32_t k = 0; k < count; ++k) {
            at.skipSpaces();
            if (!at.atDigit()) {
                check.error = atLine(lines.startLine) + "a face of " + std::to_string(count) +
                              " corners lists " + std::to_string(k) + " vertex numbers";
                return check;
            }
            const uint32_t index = at.readUnsigned();
            if (index >= vertices) {
                check.error = atLine(lines.startLine) + "vertex " + std::to_string(index) +
                              " is out of range (the file has " + std::to_string(vertices) +
                              " vertices, numbered from 0)";
                return check;
            }
        }
        if (lines.finish() == Line::TooLong) {
            check.error = atLine(lines.startLine) + "longer than the OFF reader takes";
            return check;
        }
        // The reader skips a face of no corners and reads one more line.
        f += count > 0;
        corners += count;
    }
    // Vertices with normals, colours and texture coordinates; faces with
    // their corner arrays; the triangles the split makes.
    check.libraryBytes +=
        uint64_t{vertices} * 52 + uint64_t{faces} * 48 + corners * 4 + corners * 48;
    return check;
}

} // namespace vantrel
