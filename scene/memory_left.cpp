#include "vantrel/scene/memory_left.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr uint64_t unlimited = UINT64_MAX;
// cgroup v1 shows "no limit" as the largest page count it keeps, in bytes.
constexpr uint64_t cgroupV1NoLimit = uint64_t{1} << 62;

// The first few kilobytes of a small file of the kernel's; empty when it
// cannot be read.
std::string readSmallFile(const std::string& path) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file)
        return text;
    char chunk[4096];
    size_t got;
    while (text.size() < 65536 && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    std::fclose(file);
    return text;
}

// A whole decimal number at the start of text (after blanks); false when
// there is none.
bool parseNumber(const std::string& text, uint64_t& value) {
    const char* start = text.c_str();
    while (*start == ' ' || *start == '\t')
        ++start;
    if (*start < '0' || *start > '9')
        return false;
    char* end = nullptr;
    value = std::strtoull(start, &end, 10);
    return true;
}

// The number after "key" at the start of one of text's lines.
bool numberAfterKey(const std::string& text, const std::string& key, uint64_t& value) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        if (text.compare(at, key.size(), key) == 0)
            return parseNumber(text.substr(at + key.size(), end - at - key.size()), value);
        at = end + 1;
    }
    return false;
}

uint64_t less(uint64_t from, uint64_t amount) {
    return from > amount ? from - amount : 0;
}

uint64_t pageBytes() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

struct Held {
    uint64_t mapped;
    uint64_t resident;
};

Held processHolds(const std::string& proc) {
    Held held{0, 0};
    unsigned long long mapped = 0;
    unsigned long long resident = 0;
    const std::string statm = readSmallFile(proc + "/self/statm");
    if (std::sscanf(statm.c_str(), "%llu %llu", &mapped, &resident) == 2)
        held = {mapped * pageBytes(), resident * pageBytes()};
    return held;
}

uint64_t physicalBytes(const std::string& proc) {
    uint64_t kib = 0;
    if (numberAfterKey(readSmallFile(proc + "/meminfo"), "MemTotal:", kib))
        return kib * 1024;
    const long pages = sysconf(_SC_PHYS_PAGES);
    return pages > 0 ? static_cast<uint64_t>(pages) * pageBytes() : unlimited;
}

// The soft RLIMIT_AS, as /proc tells it: "Max address space  <soft> <hard> bytes".
uint64_t addressSpaceLimit(const std::string& proc) {
    const std::string limits = readSmallFile(proc + "/self/limits");
    const size_t line = limits.find("Max address space");
    if (line == std::string::npos)
        return unlimited;
    uint64_t soft = 0;
    const size_t value = line + std::strlen("Max address space");
    const size_t end = std::min(limits.find('\n', value), limits.size());
    return parseNumber(limits.substr(value, end - value), soft) ? soft : unlimited;
}

bool isDirectory(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct CgroupFiles {
    char limit[24];
    char usage[24];
    char inactiveFile[24]; // key in memory.stat
};
constexpr CgroupFiles v1Files = {"memory.limit_in_bytes", "memory.usage_in_bytes",
                                 "total_inactive_file "};
constexpr CgroupFiles v2Files = {"memory.max", "memory.current", "inactive_file "};

// What the cgroup at dir leaves: its limit less what it holds beyond the
// file pages the kernel can drop. unlimited without a limit.
uint64_t cgroupLeftAt(const std::string& dir, const CgroupFiles& files) {
    uint64_t limit = 0;
    if (!parseNumber(readSmallFile(dir + "/" + files.limit), limit) || limit >= cgroupV1NoLimit)
        return unlimited; // "max" in v2, or nothing to read
    uint64_t usage = 0;
    uint64_t dropped = 0;
    parseNumber(readSmallFile(dir + "/" + files.usage), usage);
    numberAfterKey(readSmallFile(dir + "/memory.stat"), files.inactiveFile, dropped);
    return less(limit, less(usage, dropped));
}

// The least any cgroup from the process's own up to the hierarchy's root
// leaves. A limit may sit on any ancestor; where the process's own folder
// is not visible (a container without its own cgroup namespace shows its
// cgroup as the root), the root stands for it.
uint64_t cgroupLeft(const std::string& root, const std::string& path, const CgroupFiles& files) {
    if (!isDirectory(root))
        return unlimited;
    std::string relative = path;
    if (relative.find("..") != std::string::npos || !isDirectory(root + relative))
        relative.clear();
    uint64_t left = unlimited;
    while (true) {
        left = std::min(left, cgroupLeftAt(root + relative, files));
        const size_t slash = relative.find_last_of('/');
        if (relative.empty() || slash == std::string::npos)
            break;
        relative.erase(slash);
    }
    return left;
}

// /proc/self/cgroup: "id:controllers:path" a line; v1 names "memory" among
// the controllers, v2 is the line "0::path".
uint64_t memoryCgroupLeft(const std::string& proc, const std::string& sys) {
    const std::string lines = readSmallFile(proc + "/self/cgroup");
    uint64_t left = unlimited;
    for (size_t at = 0; at < lines.size();) {
        const size_t end = std::min(lines.find('\n', at), lines.size());
        const std::string line = lines.substr(at, end - at);
        at = end + 1;
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        std::string path = line.substr(second + 1);
        if (!path.empty() && path.back() == '/')
            path.pop_back();
        if (controllers.find(",memory,") != std::string::npos) {
            left = std::min(left, cgroupLeft(sys + "/fs/cgroup/memory", path, v1Files));
        } else if (controllers == ",," && line.compare(0, first, "0") == 0) {
            left = std::min(left, cgroupLeft(sys + "/fs/cgroup", path, v2Files));
            left = std::min(left, cgroupLeft(sys + "/fs/cgroup/unified", path, v2Files));
        }
    }
    return left;
}

} // namespace

MemoryLeft processMemoryLeft(const char* procRoot, const char* sysRoot) {
    const std::string proc = procRoot;
    const Held held = processHolds(proc);
    MemoryLeft left = {less(physicalBytes(proc) / 2, held.resident), MemoryBound::HalfPhysical};
    const uint64_t cgroup = memoryCgroupLeft(proc, sysRoot);
    if (cgroup < left.bytes)
        left = {cgroup, MemoryBound::Cgroup};
    const uint64_t limit = addressSpaceLimit(proc);
    if (limit != unlimited && less(limit, held.mapped) < left.bytes)
        left = {less(limit, held.mapped), MemoryBound::AddressSpace};
    return left;
}

const char* describeMemoryBound(MemoryBound bound) {
    switch (bound) {
    case MemoryBound::HalfPhysical:
        return "half the physical memory";
    case MemoryBound::Cgroup:
        return "the memory cgroup's limit";
    case MemoryBound::AddressSpace:
        return "the address-space limit";
    }
    return "the memory limit";
}

} // namespace vantrel
