// PLY, as the library's reader takes it. It allocates every element's
// declared count before it reads an instance, and every list's declared
// length before it reads an item: a header or a list count of a few bytes
// can ask for gigabytes. Its header parser is quadratic in the number of
// elements, and it never ends on a header without end_header. It sizes the
// mesh's vertices and faces by the first element of each kind and writes
// every later one's instances into them, and it reads a face's texture
// coordinates through its vertex list without asking how long that is.
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "vantrel/scene/import/model_checks.h"
#include "vantrel/scene/import/ply_types.h"

namespace vantrel {

namespace {

// A mesh file has a handful of elements; thousands only slow the reader.
constexpr size_t mostElements = 1000;
constexpr size_t mostHeaderBytes = 1 << 20;

// What the reader makes of a list on a face.
enum class Role { Other, VertexIndices, TexCoords };

struct Property {
    int countBytes; // of a list's length; 0 for a single value
    bool countIsSigned;
    int valueBytes;
    Role role;
};

struct Element {
    std::string name;
    uint32_t count;
    bool stored; // the reader keeps its instances, or makes vertices or faces of them
    bool open;   // properties may still follow
    std::vector<Property> properties;
    bool hasVertexIndices; // a list the reader takes for the face's corners
};

enum class Format { Ascii, LittleEndian, BigEndian };

// Words as the reader's token matches see them: a NUL, a carriage return
// or a form feed ends one as a blank does.
std::vector<std::string> tokensOf(const std::string& line) {
    constexpr char blanks[] = " \t\r\f"; // and the NUL that ends it
    std::vector<std::string> tokens;
    size_t at = 0;
    while (true) {
        at = line.find_first_not_of(blanks, at, sizeof blanks);
        if (at == std::string::npos)
            return tokens;
        const size_t end = std::min(line.find_first_of(blanks, at, sizeof blanks), line.size());
        tokens.push_back(line.substr(at, end - at));
        at = end;
    }
}

// Digits at the start of text, as the reader reads them: into 32 bits.
uint32_t leadingUnsigned(const std::string& text) {
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

// A list length as the reader converts it to unsigned: a negative signed
// length becomes a huge one.
uint32_t listLength(const std::string& token, bool isSigned) {
    if (isSigned && (token[0] == '-' || token[0] == '+')) {
        const uint32_t magnitude = leadingUnsigned(token.substr(1));
        return token[0] == '-' ? 0u - magnitude : magnitude;
    }
    return leadingUnsigned(token);
}

// The reader also ends a line at a NUL, a form feed or a lone carriage
// return, and what it then makes of the rest varies; a text file has none.
bool endsInside(const std::string& line) {
    return line.find_first_of(std::string("\0\f\r", 3)) != std::string::npos;
}

// A line without its end ("\n", "\r\n"); false at the end of the file.
bool readLine(std::FILE* file, std::string& line, uint64_t& read) {
    line.clear();
    int c;
    while ((c = getc_unlocked(file)) != EOF) {
        ++read;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
        if (line.size() > mostHeaderBytes)
            break;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return c != EOF || !line.empty();
}

// Reads binary data in blocks, skipping what it need not look at.
struct BinaryReader {
    std::FILE* file;
    uint64_t left; // bytes to the end of the file
    bool bigEndian;

    bool skip(uint64_t bytes) {
        if (bytes > left)
            return false;
        left -= bytes;
        if (bytes > sizeof scratch)
            return fseeko(file, static_cast<off_t>(bytes), SEEK_CUR) == 0;
        return std::fread(scratch, 1, bytes, file) == bytes;
    }
    unsigned char scratch[4096];
    bool readUnsigned(int bytes, bool isSigned, uint32_t& value) {
        unsigned char raw[4];
        if (static_cast<uint64_t>(bytes) > left || std::fread(raw, 1, bytes, file) != size_t(bytes))
            return false;
        left -= bytes;
        uint32_t v = 0;
        for (int k = 0; k < bytes; ++k)
            v |= uint32_t{raw[bigEndian ? bytes - 1 - k : k]} << (8 * k);
        if (isSigned && bytes < 4 && (v >> (8 * bytes - 1)))
            v |= ~uint32_t{0} << (8 * bytes); // sign-extended, then taken as unsigned
        value = v;
        return true;
    }
};

bool hasList(const Element& e) {
    for (const Property& p : e.properties) {
        if (p.countBytes)
            return true;
    }
    return false;
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The header's grammar, held to strictly: the library's parser reads past
// its buffer and frees twice on lines that break it, so such a line is
// refused here with what it is.
std::string headerFault(const std::vector<std::string>& t, bool first) {
    const std::string keyword = t.empty() ? "" : t[0];
    bool isSigned;
    if (first)
        return keyword == "format" && t.size() == 3 &&
                       (t[1] == "ascii" || t[1] == "binary_little_endian" ||
                        t[1] == "binary_big_endian")
                   ? ""
                   : "the second line is not 'format' with ascii, binary_little_endian or "
                     "binary_big_endian and a version";
    if (keyword == "element")
        return t.size() == 3 && allDigits(t[2]) ? ""
                                                : "an element line is not 'element NAME COUNT'";
    if (keyword == "property") {
        if (t.size() == 3 && plyTypeBytes(t[1], isSigned) != 0)
            return "";
        if (t.size() == 5 && t[1] == "list" && plyTypeBytes(t[2], isSigned) > 0 &&
            plyTypeBytes(t[3], isSigned) != 0)
            return "";
        return "a property line is not 'property TYPE NAME' or 'property list INTEGER TYPE NAME' "
               "with types the format names";
    }
    if (keyword == "end_header")
        return t.size() == 1 ? "" : "the end_header line has more on it";
    return ""; // the reader skips a line it has no word for, as files of some exporters need
}

std::string instanceOf(const Element& e, uint32_t i) {
    return "instance " + std::to_string(i + 1) + " of " + std::to_string(e.count) +
           " of element '" + e.name + "'";
}

// The reader takes six to eight texture coordinates on a face as one pair
// per corner, corner k of its vertex list for items 2k and 2k + 1.
std::string texCoordFault(const Element& e, uint32_t i, uint32_t corners, uint32_t texCoords) {
    if (texCoords < 6 || texCoords > 8)
        return "";
    const uint32_t needed = (texCoords - 1) / 2 + 1;
    if (e.hasVertexIndices && corners >= needed)
        return "";
    return instanceOf(e, i) + " has " + std::to_string(texCoords) + " texture coordinates but " +
           (e.hasVertexIndices ? std::to_string(corners) + " corners" : "no vertex list") +
           " (the reader needs " + std::to_string(needed) + ")";
}

// What the header declares: the data's format and the elements in order.
struct PlyHeader {
    Format format = Format::Ascii;
    bool knownFormat = false; // one the reader takes; it refuses the file otherwise
    std::vector<Element> elements;
    uint64_t bytes = 0; // up to the end of the end_header line
};

// A property line of the element being declared.
std::string readProperty(const std::vector<std::string>& t, Element& current) {
    Property p{0, false, 0, Role::Other};
    bool ignored;
    const bool list = t.size() > 1 && t[1] == "list";
    if (list && t.size() > 3) {
        p.countBytes = plyTypeBytes(t[2], p.countIsSigned);
        p.valueBytes = plyTypeBytes(t[3], ignored);
        const std::string name = t.size() > 4 ? t[4] : "";
        if (current.name == "face" && (name == "vertex_index" || name == "vertex_indices"))
            p.role = Role::VertexIndices;
        else if (current.name == "face" && name == "texcoord")
            p.role = Role::TexCoords;
        current.hasVertexIndices = current.hasVertexIndices || p.role == Role::VertexIndices;
    } else if (!list && t.size() > 1) {
        p.valueBytes = plyTypeBytes(t[1], ignored);
    }
    if (list && p.countBytes <= 0)
        return "a PLY list whose length is not of an integer type";
    // A property the reader cannot parse ends the element's list.
    current.open = p.valueBytes != 0;
    if (current.open)
        current.properties.push_back(p);
    return "";
}

// An element line, after the elements declared before it.
std::string readElement(const std::vector<std::string>& t, std::vector<Element>& elements) {
    if (elements.size() == mostElements)
        return "a PLY header of more than " + std::to_string(mostElements) + " elements";
    static constexpr char known[][10] = {"vertex", "face", "tristrips", "edge", "material"};
    Element e{t.size() > 1 ? t[1] : "", 0, false, true, {}, false};
    for (const char* name : known)
        e.stored = e.stored || e.name == name;
    const bool faces = e.name == "face" || e.name == "tristrips";
    for (const Element& earlier : elements) {
        if ((e.name == "vertex" && earlier.name == "vertex") ||
            (faces && (earlier.name == "face" || earlier.name == "tristrips")))
            return "PLY header: element '" + e.name + "' after element '" + earlier.name +
                   "' (the reader sizes its " + (faces ? "faces" : "vertices") +
                   " by the first and cannot take a second)";
    }
    // The reader counts only elements of a name it knows; another name's
    // count is read from the name itself.
    e.count = leadingUnsigned(e.stored ? (t.size() > 2 ? t[2] : "") : e.name);
    elements.push_back(e);
    return "";
}

// Reads the header from the file's start. isPly is false where the magic
// letters are missing: the reader refuses such a file at once.
std::string readPlyHeader(std::FILE* file, PlyHeader& header, bool& isPly) {
    std::string line;
    // The reader takes the magic letters in either case, each on its own.
    isPly = readLine(file, line, header.bytes) && line.size() >= 3 &&
            strncasecmp(line.c_str(), "ply", 3) == 0;
    if (!isPly)
        return "";
    if (endsInside(line))
        return "PLY header: a NUL, form feed or carriage return inside a line";
    bool first = true;
    while (readLine(file, line, header.bytes)) {
        if (header.bytes > mostHeaderBytes)
            return "a PLY header longer than 1 MiB";
        if (endsInside(line))
            return "PLY header: a NUL, form feed or carriage return inside a line";
        const std::vector<std::string> t = tokensOf(line);
        const std::string keyword = t.empty() ? "" : t[0];
        const std::string fault = headerFault(t, first);
        if (!fault.empty())
            return "PLY header: " + fault;
        if (first) {
            first = false;
            if (keyword == "format" && t.size() > 1 && t[1].compare(0, 7, "binary_") == 0) {
                header.format = t[1].size() > 7 && (t[1][7] == 'b' || t[1][7] == 'B')
                                    ? Format::BigEndian
                                    : Format::LittleEndian;
                header.knownFormat = true;
            } else {
                header.knownFormat = keyword == "format" && t.size() > 1 && t[1] == "ascii";
            }
            continue;
        }
        Element* current = header.elements.empty() ? nullptr : &header.elements.back();
        if (keyword == "property" && !current)
            return "PLY header: a property line before any element line";
        if (keyword == "property" && current->open) {
            const std::string error = readProperty(t, *current);
            if (!error.empty())
                return error;
            continue;
        }
        if (current)
            current->open = false;
        if (keyword == "end_header")
            return "";
        if (keyword == "element") {
            const std::string error = readElement(t, header.elements);
            if (!error.empty())
                return error;
        }
    }
    // The reader never ends on a header without its last line, whatever its
    // format line says.
    return "PLY header without an end_header line";
}

// An instance with a list, in a binary file: each list's length read, its
// items skipped.
std::string checkBinaryInstance(BinaryReader& binary, const Element& e, uint32_t i,
                                uint64_t& libraryBytes) {
    // A list missing from its line is read as one item.
    uint32_t corners = 1;
    uint32_t texCoords = 1;
    for (const Property& p : e.properties) {
        uint32_t length = 1;
        const uint64_t valueBytes = p.valueBytes < 0 ? -p.valueBytes : p.valueBytes;
        if ((p.countBytes && !binary.readUnsigned(p.countBytes, p.countIsSigned, length)) ||
            !binary.skip(uint64_t{length} * valueBytes))
            return "the file ends inside " + instanceOf(e, i) +
                   (length > 1 ? " (a list of " + std::to_string(length) + " items)" : "");
        libraryBytes += uint64_t{length} * 64;
        if (p.role == Role::VertexIndices)
            corners = length;
        else if (p.role == Role::TexCoords)
            texCoords = length;
    }
    return texCoordFault(e, i, corners, texCoords);
}

// An instance's line in a text file.
std::string checkTextInstance(std::FILE* file, const Element& e, uint32_t i,
                              uint64_t& libraryBytes) {
    std::string line;
    uint64_t read = 0;
    if (!readLine(file, line, read))
        return "the file ends before " + instanceOf(e, i);
    if (endsInside(line))
        return "a NUL, form feed or carriage return inside " + instanceOf(e, i);
    if (!e.stored || e.properties.empty())
        return "";
    const std::vector<std::string> t = tokensOf(line);
    if (t.empty())
        return "an empty line where " + instanceOf(e, i) + " should be";
    uint32_t corners = 1;
    uint32_t texCoords = 1;
    size_t next = 0;
    for (const Property& p : e.properties) {
        if (next >= t.size())
            break;
        const uint32_t length = p.countBytes ? listLength(t[next++], p.countIsSigned) : 1;
        if (length > t.size() - next)
            return instanceOf(e, i) + " has a list of " + std::to_string(length) +
                   " items on a line of " + std::to_string(t.size()) + " numbers";
        next += length;
        libraryBytes += uint64_t{length} * 64;
        if (p.role == Role::VertexIndices)
            corners = length;
        else if (p.role == Role::TexCoords)
            texCoords = length;
    }
    return texCoordFault(e, i, corners, texCoords);
}

// Every instance of every element, walked as the reader walks them, from
// the end of the header on.
std::string checkPlyBody(std::FILE* file, const PlyHeader& header, uint64_t size,
                         uint64_t& libraryBytes) {
    const uint64_t dataBytes = size > header.bytes ? size - header.bytes : 0;
    BinaryReader binary{file, dataBytes, header.format == Format::BigEndian, {}};
    const bool text = header.format == Format::Ascii;
    for (const Element& e : header.elements) {
        libraryBytes += uint64_t{e.count} * (64 + 32 * e.properties.size());
        if (!text && !hasList(e)) {
            // Fixed-size instances, skipped at once.
            uint64_t rowBytes = 0;
            for (const Property& p : e.properties)
                rowBytes += p.valueBytes < 0 ? -p.valueBytes : p.valueBytes;
            if (rowBytes == 0 ? e.count > binary.left : !binary.skip(e.count * rowBytes))
                return "the file ends before the " + std::to_string(e.count) +
                       " instances of element '" + e.name + "' it declares";
            continue;
        }
        for (uint32_t i = 0; i < e.count; ++i) {
            const std::string error = text ? checkTextInstance(file, e, i, libraryBytes)
                                           : checkBinaryInstance(binary, e, i, libraryBytes);
            if (!error.empty())
                return error;
        }
    }
    return "";
}

} // namespace

int plyTypeBytes(const std::string& type, bool& isSigned) {
    static constexpr struct {
        char name[9];
        int bytes;
        bool isSigned;
    } types[] = {{"char", 1, true},      {"int8", 1, true},     {"uchar", 1, false},
                 {"uint8", 1, false},    {"short", 2, true},    {"int16", 2, true},
                 {"ushort", 2, false},   {"uint16", 2, false},  {"int", 4, true},
                 {"int32", 4, true},     {"uint", 4, false},    {"uint32", 4, false},
                 {"float", -4, true},    {"float32", -4, true}, {"double", -8, true},
                 {"double64", -8, true}, {"float64", -8, true}};
    for (const auto& t : types) {
        if (type == t.name) {
            isSigned = t.isSigned;
            return t.bytes;
        }
    }
    return 0;
}

ModelCheck checkPlyModel(std::FILE* file, uint64_t size) {
    ModelCheck check{"", 1 << 20};
    PlyHeader header;
    bool isPly = false;
    check.error = readPlyHeader(file, header, isPly);
    // A file the reader refuses at once asks nothing of it.
    if (!check.error.empty() || !isPly || !header.knownFormat)
        return check;
    check.error = checkPlyBody(file, header, size, check.libraryBytes);
    return check;
}

} // namespace vantrel
