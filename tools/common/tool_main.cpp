#include "tools/common/tool_main.h"

#include <cstdio>
#include <new>

#include "tools/common/memory_messages.h"
#include "tools/common/output.h"

namespace vantrel {

int failWith(const char* tool, const std::string& message, int status) {
    std::fprintf(stderr, "%s: %s\n", tool, message.c_str());
    return status;
}

void warn(const char* tool, const std::string& message) {
    std::fprintf(stderr, "%s: warning: %s\n", tool, message.c_str());
}

int runToolMain(const char* tool, int (*run)(int argc, char** argv), int argc, char** argv,
                void (*beforeMessage)()) {
    int status;
    try {
        status = run(argc, argv);
    } catch (const std::bad_alloc&) {
        if (beforeMessage)
            beforeMessage();
        status = failWith(tool, outOfMemoryMessage(), 1);
    }
    std::string error;
    if (!closeStandardOutput(error)) {
        if (beforeMessage)
            beforeMessage();
        status = failWith(tool, "cannot write to standard output: " + error, 1);
    }
    return status;
}

} // namespace vantrel
