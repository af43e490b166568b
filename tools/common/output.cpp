#include "tools/common/output.h"
#include "tools/common/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel {

bool canCreateOutput(const char* path, std::string& error) {
    return canWriteOutput(path, error);
}

bool closeStandardOutput(std::string& error) {
    errno = 0;
    bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    int reason = errno;
    if (std::fclose(stdout) != 0) {
        written = false;
        reason = reason != 0 ? reason : errno;
    }
    if (!written)
        error = reason != 0 ? std::strerror(reason) : "a write failed";
    return written;
}

} // namespace vantrel
