#include "memory_needed.h"

#include <cstdio>
#include <exception>
#include <new>

#include <pybind11/pybind11.h>

#include "vantrel/scene/memory_left.h"

namespace vantrel {

namespace {

std::string mebibytes(std::size_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f MiB", static_cast<double>(bytes) / (1u << 20));
    return text;
}

} // namespace

void requireMemory(std::size_t bytes, const std::string& what) {
    if (bytes < memoryWorthChecking)
        return;
    const MemoryLeft left = processMemoryLeft();
    if (bytes <= left.bytes)
        return;
    const std::string message = what + ": about " + mebibytes(bytes) + ", more than the " +
                                mebibytes(left.bytes) + " this process may still take (" +
                                describeMemoryBound(left.bound) + ")";
    PyErr_SetString(PyExc_MemoryError, message.c_str());
    throw pybind11::error_already_set();
}

void explainFailedAllocations() {
    pybind11::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown)
                std::rethrow_exception(thrown);
        } catch (const std::bad_alloc&) {
            const MemoryLeft left = processMemoryLeft();
            const std::string message = "out of memory: " + mebibytes(left.bytes) +
                                        " left to this process (" +
                                        describeMemoryBound(left.bound) + ")";
            PyErr_SetString(PyExc_MemoryError, message.c_str());
        }
    });
}

} // namespace vantrel
