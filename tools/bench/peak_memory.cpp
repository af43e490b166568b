#include "tools/bench/peak_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>

namespace vantrel {

bool parsePeakResidentKib(const char* statusText, uint64_t& kib) {
    static const char key[] = "VmHWM:";
    for (const char* line = statusText; line && *line;) {
        if (std::strncmp(line, key, sizeof key - 1) == 0) {
            const char* number = line + sizeof key - 1;
            char* end = nullptr;
            const unsigned long long value = std::strtoull(number, &end, 10);
            if (end == number)
                return false;
            kib = value;
            return true;
        }
        line = std::strchr(line, '\n');
        if (line)
            ++line;
    }
    return false;
}

double peakResidentMib() {
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char text[8192];
        const size_t length = std::fread(text, 1, sizeof text - 1, status);
        std::fclose(status);
        text[length] = '\0';
        uint64_t kib = 0;
        if (parsePeakResidentKib(text, kib))
            return static_cast<double>(kib) / 1024.0;
    }
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0.0;
    // Linux reports ru_maxrss in KiB.
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace vantrel
