// What the process may still take, against made-up /proc and /sys trees:
// each limit in turn the least, cgroup v1 and v2, limits on ancestors.
#include "vantrel/scene/memory_left.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

class MemoryLeftTest : public ::testing::Test {
  protected:
    fs::path root = fs::path(testing::TempDir()) / ("vantrel_memory_" + std::to_string(getpid()));
    std::string proc = (root / "proc").string();
    std::string sys = (root / "sys").string();
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

    void SetUp() override {
        fs::remove_all(root);
        // 8 GiB of memory; the process maps 3000 MiB and holds 1000 MiB.
        put("proc/meminfo", "MemTotal:        8388608 kB\nMemFree:  1 kB\n");
        put("proc/self/statm",
            std::to_string(3000 * MiB / page) + " " + std::to_string(1000 * MiB / page) + " 0\n");
        addressLimit("unlimited");
    }
    void TearDown() override { fs::remove_all(root); }

    void put(const std::string& relative, const std::string& text) {
        const fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    void addressLimit(const std::string& soft) {
        put("proc/self/limits", "Limit                     Soft Limit           Hard Limit\n"
                                "Max stack size            8388608              unlimited bytes\n"
                                "Max address space         " +
                                    soft + "            unlimited            bytes\n");
    }
    MemoryLeft left() { return processMemoryLeft(proc.c_str(), sys.c_str()); }
};

} // namespace

TEST_F(MemoryLeftTest, HalfThePhysicalMemoryLessWhatTheProcessHoldsWithoutOtherLimits) {
    put("proc/self/cgroup", "4:memory:/\n0::/\n");
    put("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    const MemoryLeft got = left();
    EXPECT_EQ(got.bytes, 4096 * MiB - 1000 * MiB);
    EXPECT_EQ(got.bound, MemoryBound::HalfPhysical);
}

TEST_F(MemoryLeftTest, CgroupV1LimitOfAnAncestorLessWhatItHoldsBeyondDroppableFiles) {
    put("proc/self/cgroup", "9:name=systemd:/\n4:memory:/jobs/one\n3:cpu:/\n");
    put("sys/fs/cgroup/memory/jobs/one/memory.limit_in_bytes", "9223372036854771712\n");
    put("sys/fs/cgroup/memory/jobs/one/memory.usage_in_bytes", std::to_string(1500 * MiB));
    put("sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", std::to_string(3072 * MiB) + "\n");
    put("sys/fs/cgroup/memory/jobs/memory.usage_in_bytes", std::to_string(2000 * MiB) + "\n");
    put("sys/fs/cgroup/memory/jobs/memory.stat",
        "cache 5\ntotal_inactive_file " + std::to_string(500 * MiB) + "\n");
    const MemoryLeft got = left();
    EXPECT_EQ(got.bytes, 3072 * MiB - 1500 * MiB);
    EXPECT_EQ(got.bound, MemoryBound::Cgroup);
}

TEST_F(MemoryLeftTest, CgroupV2MaxOnTheProcesssOwnGroupAndMaxMeaningNone) {
    put("proc/self/cgroup", "0::/user.slice/job.scope\n");
    put("sys/fs/cgroup/user.slice/memory.max", "max\n");
    put("sys/fs/cgroup/user.slice/job.scope/memory.max", std::to_string(2048 * MiB) + "\n");
    put("sys/fs/cgroup/user.slice/job.scope/memory.current", std::to_string(300 * MiB) + "\n");
    EXPECT_EQ(left().bytes, 1748 * MiB);
    EXPECT_EQ(left().bound, MemoryBound::Cgroup);

    put("sys/fs/cgroup/user.slice/job.scope/memory.max", "max\n");
    EXPECT_EQ(left().bound, MemoryBound::HalfPhysical);
}

TEST_F(MemoryLeftTest, AContainersHiddenCgroupPathFallsBackToTheVisibleRoot) {
    put("proc/self/cgroup", "4:memory:/docker/abc123\n");
    put("sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(1024 * MiB));
    put("sys/fs/cgroup/memory/memory.usage_in_bytes", std::to_string(1024 * MiB + 5));
    EXPECT_EQ(left().bytes, 0u);
    EXPECT_EQ(left().bound, MemoryBound::Cgroup);
}

TEST_F(MemoryLeftTest, AddressSpaceLimitLessWhatIsMapped) {
    put("proc/self/cgroup", "0::/\n");
    addressLimit(std::to_string(3500 * MiB));
    EXPECT_EQ(left().bytes, 500 * MiB);
    EXPECT_EQ(left().bound, MemoryBound::AddressSpace);
    addressLimit(std::to_string(2000 * MiB));
    EXPECT_EQ(left().bytes, 0u);
}

TEST_F(MemoryLeftTest, NothingReadableSetsNoLimitAndTheMachinesAnswerFollowsItsRlimit) {
    fs::remove_all(root);
    EXPECT_GT(processMemoryLeft(proc.c_str(), sys.c_str()).bytes, 0u);

    // The real process, under an address-space limit of its own (the
    // sanitizers' shadow memory leaves no room for one).
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "under AddressSanitizer";
#endif
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    const MemoryLeft before = processMemoryLeft();
    EXPECT_GT(before.bytes, 0u);
    const uint64_t statmMapped = [&] {
        unsigned long long pages = 0;
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        EXPECT_NE(statm, nullptr);
        if (statm) {
            EXPECT_EQ(std::fscanf(statm, "%llu", &pages), 1);
            std::fclose(statm);
        }
        return pages * page;
    }();
    rlimit tight = saved;
    tight.rlim_cur = statmMapped + 64 * MiB;
    if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < tight.rlim_cur)
        GTEST_SKIP() << "already under a tighter address-space limit";
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    const MemoryLeft limited = processMemoryLeft();
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(limited.bound, MemoryBound::AddressSpace);
    EXPECT_LE(limited.bytes, 64 * MiB);
    EXPECT_GT(limited.bytes, 32 * MiB);
}
