#include "vantrel/scene/import/json_reader.h"

#include <cstdlib>
#include <cstring>

namespace vantrel {

namespace {

struct Parser {
    const std::string& text;
    size_t at = 0;
    std::string error;

    bool fail(const std::string& what) {
        error = what + " at byte " + std::to_string(at);
        return false;
    }
    void skipBlank() {
        while (at < text.size() && std::strchr(" \t\r\n", text[at]) && text[at] != '\0')
            ++at;
    }
    bool literal(const char* word) {
        const size_t length = std::strlen(word);
        if (text.compare(at, length, word) != 0)
            return fail("not a JSON value");
        at += length;
        return true;
    }
    // A string's text, escapes kept as they are: names and URIs are
    // compared and opened as the library takes them.
    bool string(std::string& out) {
        ++at; // the opening quote
        const size_t start = at;
        while (at < text.size() && text[at] != '"') {
            if (static_cast<unsigned char>(text[at]) < 0x20)
                return fail("a control character in a string");
            at += text[at] == '\\' ? 2 : 1;
        }
        if (at >= text.size())
            return fail("a string without its closing quote");
        out.assign(text, start, at - start);
        ++at;
        return true;
    }
    bool number(double& out) {
        const char* start = text.c_str() + at;
        char* end = nullptr;
        out = std::strtod(start, &end);
        if (end == start || !(*start == '-' || (*start >= '0' && *start <= '9')))
            return fail("not a JSON value");
        at += static_cast<size_t>(end - start);
        return true;
    }
    // One value that is not an array or an object.
    bool scalar(JsonValue& v) {
        switch (text[at]) {
        case '"':
            v.type = JsonValue::Type::String;
            return string(v.text);
        case 't':
            v.type = JsonValue::Type::Boolean;
            v.number = 1;
            return literal("true");
        case 'f':
            v.type = JsonValue::Type::Boolean;
            return literal("false");
        case 'n':
            return literal("null");
        default:
            v.type = JsonValue::Type::Number;
            return number(v.number);
        }
    }
};

// A container being filled, and the name it will have in its parent.
struct Open {
    JsonValue value;
    std::string name;
};

} // namespace

const JsonValue* JsonValue::member(const char* name) const {
    for (const auto& m : members) {
        if (m.first == name)
            return &m.second;
    }
    return nullptr;
}

bool parseJson(const std::string& text, int maxDepth, JsonValue& result, std::string& error) {
    Parser p{text, 0, ""};
    const auto refuse = [&](const std::string& what) {
        p.fail(what);
        error = p.error;
        return false;
    };
    std::vector<Open> stack;
    std::string name;
    bool done = false;
    while (!done) {
        p.skipBlank();
        if (p.at >= text.size()) {
            return refuse("the JSON ends early");
        }
        const bool inObject = !stack.empty() && stack.back().value.type == JsonValue::Type::Object;
        const char c = text[p.at];
        // Where a container closes or a value follows another.
        if (c == ']' || c == '}') {
            if (stack.empty() || (c == ']') == inObject) {
                return refuse("an unmatched bracket");
            }
            ++p.at;
            Open closed = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) {
                result = std::move(closed.value);
                done = true;
            } else if (stack.back().value.type == JsonValue::Type::Object) {
                stack.back().value.members.emplace_back(std::move(closed.name),
                                                        std::move(closed.value));
            } else {
                stack.back().value.items.push_back(std::move(closed.value));
            }
            continue;
        }
        if (!stack.empty()) {
            const size_t filled =
                inObject ? stack.back().value.members.size() : stack.back().value.items.size();
            if (filled > 0) {
                if (c != ',') {
                    return refuse("a missing comma");
                }
                ++p.at;
                p.skipBlank();
            }
            if (inObject) {
                if (p.at >= text.size() || text[p.at] != '"' || !p.string(name)) {
                    return refuse(p.error.empty() ? "a member without a name" : "a broken name");
                }
                p.skipBlank();
                if (p.at >= text.size() || text[p.at] != ':') {
                    return refuse("a member without a colon");
                }
                ++p.at;
                p.skipBlank();
            }
            if (p.at >= text.size()) {
                return refuse("the JSON ends early");
            }
        }
        const char v = text[p.at];
        if (v == '[' || v == '{') {
            if (static_cast<int>(stack.size()) >= maxDepth) {
                return refuse("JSON nested more than " + std::to_string(maxDepth) + " deep");
            }
            ++p.at;
            Open open;
            open.value.type = v == '[' ? JsonValue::Type::Array : JsonValue::Type::Object;
            open.name = std::move(name);
            stack.push_back(std::move(open));
            continue;
        }
        JsonValue scalar;
        if (!p.scalar(scalar)) {
            error = p.error;
            return false;
        }
        if (stack.empty()) {
            result = std::move(scalar);
            done = true;
        } else if (inObject) {
            stack.back().value.members.emplace_back(std::move(name), std::move(scalar));
        } else {
            stack.back().value.items.push_back(std::move(scalar));
        }
    }
    return true;
}

} // namespace vantrel
