// What the benchmark is doing, on one line of standard error that each step
// overwrites: shown only to someone watching a terminal.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace vantrel {

struct ProgressLine {
    std::FILE* stream;  // null: nothing is shown
    size_t shownLength; // of the text on the line now
    size_t width;       // longer texts are cut, so that none wraps
    // Also told every text, whether or not a terminal shows it (a window's
    // caption, say); may be empty.
    std::function<void(const std::string&)> observer = {};
};

// On standard error when it is a terminal and the output is not JSON, which
// is read by programs; otherwise a line that shows nothing.
ProgressLine progressLineFor(bool json);

// Replaces the line's text.
void showProgress(ProgressLine& line, const std::string& text);

// Blanks the line, so that what is printed next starts on a clean one.
void clearProgress(ProgressLine& line);

} // namespace vantrel
