// glTF and GLB, as the library's readers take them. Its JSON parser and its
// walk of the nodes recurse once a level, so a deep file overflows the
// stack; every node listed as a child is copied, so a few kilobytes of
// nodes that list the next one twice ask for 2^30 copies; and it reads each
// buffer whole, at the length the JSON declares, before it asks how much
// the file behind it holds.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "vantrel/scene/import/json_reader.h"
#include "vantrel/scene/import/model_checks.h"

namespace vantrel {

namespace {

constexpr int mostJsonDepth = 256;
constexpr uint64_t mostNodeDepth = 256;
constexpr uint64_t mostNodeInstances = uint64_t{1} << 20;
// An aiNode with its name, as the library copies it for every instance.
constexpr uint64_t nodeInstanceBytes = 1536;

uint32_t littleEndian32(const unsigned char* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

bool readBytes(std::FILE* file, uint64_t offset, uint64_t length, std::string& out) {
    out.resize(length);
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(&out[0], 1, length, file) == length;
}

// Where the JSON and the binary chunk of a GLB lie; false with the reason
// when its lengths do not fit the file. A file without the signature is
// read as JSON text, as the library does.
bool locateGlb(std::FILE* file, uint64_t size, uint64_t& jsonOffset, uint64_t& jsonLength,
               uint64_t& binLength, std::string& error) {
    unsigned char header[28] = {};
    const size_t got = std::fread(header, 1, sizeof header, file);
    jsonOffset = 0;
    jsonLength = size;
    binLength = 0;
    if (got < 20 || std::memcmp(header, "glTF", 4) != 0)
        return true;
    const uint32_t version = littleEndian32(header + 4);
    const uint64_t declared = littleEndian32(header + 8);
    jsonLength = littleEndian32(header + 12);
    jsonOffset = 20;
    const std::string has = "; the file has " + std::to_string(size) + " bytes";
    if (declared > size) {
        error = "the GLB header declares " + std::to_string(declared) + " bytes" + has;
        return false;
    }
    if (jsonOffset + jsonLength > size) {
        error = "the GLB's JSON chunk declares " + std::to_string(jsonLength) + " bytes" + has;
        return false;
    }
    const uint64_t binHeader = jsonOffset + jsonLength;
    if (version == 1) {
        binLength = size - binHeader; // the body runs to the end
    } else if (binHeader + 8 <= size) {
        unsigned char chunk[8];
        if (fseeko(file, static_cast<off_t>(binHeader), SEEK_SET) == 0 &&
            std::fread(chunk, 1, 8, file) == 8) {
            binLength = littleEndian32(chunk);
            if (binHeader + 8 + binLength > size) {
                error =
                    "the GLB's binary chunk declares " + std::to_string(binLength) + " bytes" + has;
                return false;
            }
        }
    }
    return true;
}

// A list of the file's objects: glTF 2 keeps them in arrays, glTF 1 in
// objects keyed by id.
std::vector<const JsonValue*> entries(const JsonValue* list, std::vector<std::string>* ids) {
    std::vector<const JsonValue*> out;
    if (list && list->type == JsonValue::Type::Array) {
        for (const JsonValue& item : list->items)
            out.push_back(&item);
    } else if (list && list->type == JsonValue::Type::Object) {
        for (const auto& member : list->members) {
            out.push_back(&member.second);
            if (ids)
                ids->push_back(member.first);
        }
    }
    return out;
}

// An index into entries, from a number (glTF 2) or an id (glTF 1); -1 if none.
long indexOf(const JsonValue& reference, const std::vector<std::string>& ids, size_t count) {
    if (reference.type == JsonValue::Type::Number) {
        const double n = reference.number;
        return n >= 0 && n < static_cast<double>(count) ? static_cast<long>(n) : -1;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        if (reference.type == JsonValue::Type::String && ids[i] == reference.text)
            return static_cast<long>(i);
    }
    return -1;
}

// A JSON string's text as the library's parser gives it: escapes undone.
std::string unescaped(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out += raw[i];
            continue;
        }
        const char c = raw[++i];
        static const char from[] = "bfnrt";
        static const char to[] = "\b\f\n\r\t";
        if (const char* at = std::strchr(from, c); at && c) {
            out += to[at - from];
        } else if (c == 'u' && i + 4 < raw.size()) {
            unsigned code = 0;
            for (int k = 0; k < 4; ++k) {
                const char h = raw[++i];
                code = code * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h))
                                                             ? h - '0'
                                                             : (std::tolower(h) - 'a' + 10) & 15);
            }
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | code >> 6);
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | code >> 12);
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else {
            out += c; // \" \\ \/
        }
    }
    return out;
}

struct NodeGraph {
    std::vector<std::vector<long>> children;
    std::vector<uint64_t> primitives; // mesh parts the node places
};

struct Expansion {
    uint64_t instances = 0; // nodes once every child is copied; capped
    uint64_t depth = 0;
    uint64_t placements = 0; // mesh parts placed; capped
};

uint64_t capped(uint64_t value) {
    return std::min(value, mostNodeInstances + 1);
}

// The instances, depth and placements under every node, with a stack of
// our own. False, naming a node, when the nodes form a cycle.
bool expand(const NodeGraph& graph, std::vector<Expansion>& under, std::string& error) {
    const size_t n = graph.children.size();
    under.assign(n, Expansion{});
    std::vector<uint8_t> state(n, 0); // 0 new, 1 on the path, 2 done
    std::vector<std::pair<size_t, size_t>> path;
    for (size_t start = 0; start < n; ++start) {
        if (state[start] != 0)
            continue;
        path.push_back({start, 0});
        state[start] = 1;
        while (!path.empty()) {
            auto& [node, next] = path.back();
            if (next < graph.children[node].size()) {
                const long child = graph.children[node][next++];
                if (child < 0)
                    continue;
                if (state[child] == 1) {
                    error = "the nodes form a cycle (node " + std::to_string(child) + ")";
                    return false;
                }
                if (state[child] == 0) {
                    state[child] = 1;
                    path.push_back({static_cast<size_t>(child), 0});
                }
                continue;
            }
            Expansion e{1, 1, capped(graph.primitives[node])};
            for (long child : graph.children[node]) {
                if (child < 0)
                    continue;
                e.instances = capped(e.instances + under[child].instances);
                e.depth = std::max(e.depth, under[child].depth + 1);
                e.placements = capped(e.placements + under[child].placements);
            }
            under[node] = e;
            state[node] = 2;
            path.pop_back();
        }
    }
    return true;
}

} // namespace

ModelCheck checkGltfModel(std::FILE* file, uint64_t size, bool glb, const ModelFolder& folder) {
    ModelCheck check{"", 0};
    uint64_t jsonOffset = 0;
    uint64_t jsonLength = size;
    uint64_t binLength = 0;
    if (glb && !locateGlb(file, size, jsonOffset, jsonLength, binLength, check.error))
        return check;
    std::string text;
    if (!readBytes(file, jsonOffset, jsonLength, text)) {
        check.error = "the file could not be read";
        return check;
    }
    JsonValue root;
    if (!parseJson(text, mostJsonDepth, root, check.error))
        return check;
    // The library's JSON, its parsed objects and ours.
    check.libraryBytes = size + jsonLength * libraryBytesPerFileByte;

    std::vector<std::string> nodeIds, meshIds;
    const std::vector<const JsonValue*> nodes = entries(root.member("nodes"), &nodeIds);
    const std::vector<const JsonValue*> meshes = entries(root.member("meshes"), &meshIds);
    NodeGraph graph;
    graph.children.resize(nodes.size());
    graph.primitives.assign(nodes.size(), 0);
    std::vector<bool> isChild(nodes.size(), false);
    const auto primitivesOf = [&](const JsonValue& reference) -> uint64_t {
        const long m = indexOf(reference, meshIds, meshes.size());
        const JsonValue* parts = m < 0 ? nullptr : meshes[m]->member("primitives");
        return parts ? parts->items.size() : 0;
    };
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (const JsonValue* children = nodes[i]->member("children")) {
            for (const JsonValue& c : children->items) {
                const long child = indexOf(c, nodeIds, nodes.size());
                graph.children[i].push_back(child);
                if (child >= 0)
                    isChild[child] = true;
            }
        }
        if (const JsonValue* mesh = nodes[i]->member("mesh"))
            graph.primitives[i] += primitivesOf(*mesh);
        if (const JsonValue* list = nodes[i]->member("meshes"))
            for (const JsonValue& mesh : list->items)
                graph.primitives[i] += primitivesOf(mesh);
    }
    std::vector<Expansion> under;
    if (!expand(graph, under, check.error))
        return check;
    // Every scene's nodes, or every node no other lists when there is none.
    std::vector<long> roots;
    for (const JsonValue* scene : entries(root.member("scenes"), nullptr)) {
        if (const JsonValue* list = scene->member("nodes"))
            for (const JsonValue& r : list->items)
                roots.push_back(indexOf(r, nodeIds, nodes.size()));
    }
    if (roots.empty())
        for (size_t i = 0; i < nodes.size(); ++i)
            if (!isChild[i])
                roots.push_back(static_cast<long>(i));
    Expansion total;
    for (long r : roots) {
        if (r < 0)
            continue;
        total.instances = capped(total.instances + under[r].instances);
        total.depth = std::max(total.depth, under[r].depth);
        total.placements = capped(total.placements + under[r].placements);
    }
    if (total.depth > mostNodeDepth) {
        check.error = "nodes nested " + std::to_string(total.depth) + " deep (at most " +
                      std::to_string(mostNodeDepth) + " are read)";
        return check;
    }
    if (total.instances > mostNodeInstances || total.placements > mostNodeInstances) {
        check.error = "the nodes place more than " + std::to_string(mostNodeInstances) +
                      " node or mesh copies (a node listed as a child twice is copied twice)";
        return check;
    }
    check.libraryBytes += total.instances * nodeInstanceBytes + total.placements * 256;

    std::vector<std::string> bufferIds;
    for (const JsonValue* buffer : entries(root.member("buffers"), &bufferIds)) {
        const JsonValue* length = buffer->member("byteLength");
        const JsonValue* uri = buffer->member("uri");
        const uint64_t declared =
            length && length->type == JsonValue::Type::Number && length->number > 0
                ? static_cast<uint64_t>(std::min(length->number, 1e19))
                : 0;
        uint64_t held = binLength;
        std::string name = "the GLB's binary chunk";
        if (uri && uri->type == JsonValue::Type::String) {
            // Inside the JSON, already counted; or never opened.
            if (uri->text.compare(0, 5, "data:") == 0 || declared == 0)
                continue;
            const std::string path = unescaped(uri->text);
            name = "buffer '" + path + "'";
            std::string why;
            std::FILE* data = openModelFile(folder, folder.root + path, held, why);
            if (!data) {
                check.error = name + ": " + why;
                return check;
            }
            std::fclose(data);
        }
        if (declared > held) {
            check.error = name + " declares " + std::to_string(declared) + " bytes but holds " +
                          std::to_string(held);
            return check;
        }
        check.libraryBytes += declared * 4;
    }
    return check;
}

} // namespace vantrel
