#include "tools/common/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vantrel {

ProgressLine progressLineFor(bool json) {
    if (json || ::isatty(STDERR_FILENO) != 1)
        return {nullptr, 0, 0};
    winsize size{};
    const bool known = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1;
    // The last column is left free: some terminals wrap on reaching it.
    return {stderr, 0, known ? size.ws_col - 1u : 79u};
}

void showProgress(ProgressLine& line, const std::string& whole) {
    if (line.observer)
        line.observer(whole);
    if (!line.stream)
        return;
    const std::string text = whole.substr(0, line.width);
    // Blanks cover what is left of a longer text before.
    const size_t blanks = line.shownLength > text.size() ? line.shownLength - text.size() : 0;
    std::fprintf(line.stream, "\r%s%*s", text.c_str(), static_cast<int>(blanks), "");
    std::fflush(line.stream);
    line.shownLength = text.size();
}

void clearProgress(ProgressLine& line) {
    if (!line.stream || line.shownLength == 0)
        return;
    std::fprintf(line.stream, "\r%*s\r", static_cast<int>(line.shownLength), "");
    std::fflush(line.stream);
    line.shownLength = 0;
}

} // namespace vantrel
