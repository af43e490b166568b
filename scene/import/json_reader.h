// A JSON reader for what a glTF file says about its structure. It keeps its
// own stack, never the machine's, so nesting cannot overflow it, and it
// refuses nesting deeper than a limit, which the import library's own
// recursive parser could not survive.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantrel {

struct JsonValue {
    enum class Type { Null, Boolean, Number, String, Array, Object };
    Type type = Type::Null;
    double number = 0;
    std::string text;                                       // a string's
    std::vector<JsonValue> items;                           // an array's
    std::vector<std::pair<std::string, JsonValue>> members; // an object's

    // The member of that name, or null when there is none or this is not
    // an object.
    const JsonValue* member(const char* name) const;
};

// Parses text as one JSON value. False, with the reason and where, when it
// is not JSON or nests deeper than maxDepth arrays and objects.
bool parseJson(const std::string& text, int maxDepth, JsonValue& value, std::string& error);

} // namespace vantrel
