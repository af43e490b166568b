// Reads a text file one character at a time the way the import library's
// parsers see it: the end of the file, or a NUL byte, ends the text.
#pragma once

#include <cstdint>
#include <cstdio>

namespace vantrel {

struct TextCursor {
    std::FILE* file;
    int c = 0;           // the current character; 0 at the end
    uint64_t line = 1;   // of the current character
    uint64_t offset = 0; // of the current character

    explicit TextCursor(std::FILE* f) : file(f) { c = read(); }

    void next() {
        if (c == '\n')
            ++line;
        if (c != 0) {
            c = read();
            ++offset;
        }
    }
    bool atSpace() const { return c == ' ' || c == '\t'; }
    bool atLineEnd() const { return c == '\r' || c == '\n' || c == 0 || c == '\f'; }
    bool atDigit() const { return c >= '0' && c <= '9'; }
    void skipSpaces() {
        while (atSpace())
            next();
    }
    // Decimal digits as the library reads them: into 32 bits, wrapping.
    uint32_t readUnsigned() {
        uint32_t value = 0;
        while (atDigit()) {
            value = value * 10 + static_cast<uint32_t>(c - '0');
            next();
        }
        return value;
    }

  private:
    int read() {
        const int got = getc_unlocked(file);
        return got == EOF ? 0 : got;
    }
};

} // namespace vantrel
