// The client budget: which limit decides, what the reserve takes, how the tables share the rest,
// and reading the limits from /proc and the cgroups.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "util/Budget.h"

constexpr long long kMiB = 1LL << 20;

// Of the descriptors a sixteenth, at most 256 pipes of two, stays for the TCP relays' splicing.
TEST(Budget, TheTightestLimitDecidesEachFigureAfterTheReserve) {
    // The system: 100000 threads-max and 32768 pids with 495 tasks of others, 65530 maps.
    Limits sys;
    sys.threadsMax = 100000, sys.pidMax = 32768, sys.maxMapCount = 65530, sys.tasksNow = 500, sys.ownThreads = 5;
    sys.nofile = 65536, sys.ownFds = 10, sys.memAvailable = 4096 * kMiB;
    Limits cgroup = sys;
    cgroup.cgroupPidsMax = 1500, cgroup.cgroupPidsCurrent = 30;
    cgroup.cgroupMemMax = 1024 * kMiB, cgroup.cgroupMemCurrent = 200 * kMiB;
    // 8 MiB short of its limit, nearly all of it inactive file cache the kernel would reclaim first.
    Limits cached = cgroup;
    cached.cgroupMemMax = 2048 * kMiB, cached.cgroupMemCurrent = 2040 * kMiB, cached.cgroupMemCache = 1800 * kMiB;
    Limits busy = sys;
    busy.threadsMax = 3000, busy.tasksNow = 2990, busy.nofile = 40;
    Limits nproc = sys, maps = sys;
    nproc.nproc = 800;
    maps.maxMapCount = 3000;
    const struct {
        const char* name;
        Limits limits;
        long long threads, fds, mib;
        const char* source;
    } cases[] = {
        {"cgroup pids and memory", cgroup, 1475 - 22, 65526 - 36 - 2 * 256, 206,
         "threads: cgroup pids.max 1500; descriptors: RLIMIT_NOFILE 65536; memory: cgroup memory.max 1024 MiB (824 MiB free) / 4"},
        {"cgroup memory full of cache", cached, 1475 - 22, 65526 - 36 - 2 * 256, 452,
         "threads: cgroup pids.max 1500; descriptors: RLIMIT_NOFILE 65536; memory: cgroup memory.max 2048 MiB (1808 MiB free: "
         "2040 MiB used less 1800 MiB reclaimable cache) / 4"},
        {"pid_max, MemAvailable", sys, 32273 - 22, 65526 - 36 - 2 * 256, 1024, "threads: pid_max 32768; descriptors: RLIMIT_NOFILE 65536; memory: MemAvailable 4096 MiB / 4"},
        {"threads-max and nofile below the reserve", busy, 0, 0, 1024, "threads: threads-max 3000; descriptors: RLIMIT_NOFILE 40;"},
        {"RLIMIT_NPROC", nproc, 800 - 22, 65526 - 36 - 2 * 256, 1024, "threads: RLIMIT_NPROC 800;"},
        {"vm.max_map_count", maps, 1500 - 22, 65526 - 36 - 2 * 256, 1024, "threads: vm.max_map_count 3000;"},
        {"nothing readable", Limits{}, 1024 - 22, 988 - 2 * (988 / 16), 64,
         "threads: no limit readable, 1024 tasks assumed; descriptors: no limit readable, 1024 assumed; memory: no limit readable, 256 MiB assumed / 4"},
    };
    for (const auto& c : cases) {
        const Budget b = Budget::From(c.limits, ReserveThreads(2), ReserveFds(2));
        EXPECT_EQ(b.threads, c.threads) << c.name;
        EXPECT_EQ(b.fds, c.fds) << c.name;
        EXPECT_EQ(b.bytes / kMiB, c.mib) << c.name;
        EXPECT_EQ(b.source.rfind(c.source, 0), 0u) << c.name << ": " << b.source;
    }
    EXPECT_EQ(Budget::From(cgroup, 22, 36).Line(),
              "Budget 1453 client threads, 64978 descriptors, 206 MiB (threads: cgroup pids.max 1500; descriptors: "
              "RLIMIT_NOFILE 65536; memory: cgroup memory.max 1024 MiB (824 MiB free) / 4; pipes: 256 of the "
              "descriptors, two each)");
}

TEST(Budget, ExplicitBoundsFitOrShrinkTogetherAndTheRestIsSharedFairly) {
    const Budget room{1000, 1000, 1LL << 30, ""};
    const TableDemand tcp{kCostTCP}, udp{kCostUDP}, dns{kCostDNS}, rm7{kCostRM7, 0, 9999899};
    auto want = [](TableDemand t, long long n) {
        t.wanted = n;
        return t;
    };
    const struct {
        const char* name;
        Budget budget;
        std::vector<TableDemand> tables;
        std::vector<long long> bounds;
        std::vector<bool> clamped;
        long long wantedThreads;
    } cases[] = {
        // 333 threads each for three tables (a TCP client takes two); memory split four ways
        {"fair shares", room, {tcp, udp, dns, rm7}, {166, 333, 333, (1LL << 28) / 512}, {false, false, false, false}, 0},
        {"explicit bound fits", room, {want(tcp, 100), udp}, {100, 800}, {false, false}, 200},
        // the two explicit bounds shrink to two thirds of the threads, the third table keeps its share
        {"explicit bounds too large", room, {want(tcp, 1000), want(udp, 500), dns}, {266, 133, 335}, {true, true, false}, 2500},
        {"device numbers cap", Budget{0, 0, 1LL << 40, ""}, {rm7, want(rm7, 20000000)}, {9999899, 9999899}, {false, false}, 0},
        {"at least one", Budget{}, {tcp, want(udp, 5)}, {1, 1}, {false, true}, 5},
    };
    for (const auto& c : cases) {
        const BoundPlan plan = PlanBounds(c.budget, c.tables);
        EXPECT_EQ(plan.bounds, c.bounds) << c.name;
        EXPECT_EQ(plan.clamped, c.clamped) << c.name;
        EXPECT_EQ(plan.wantedThreads, c.wantedThreads) << c.name;
    }
}

// Every figure from a fake tree. Of the cgroups, the slice above the service has less room left than
// the service itself: its figures count. Version 1 hierarchies (one per controller) say "no limit"
// with a number near 2^63, and a parent's real limit then holds. A cgroup's inactive file cache is
// room too, also when the tightest level is chosen.
static Limits ReadTree(const std::map<std::string, std::string>& files) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("vexabudget" + std::to_string(getpid()));
    for (const auto& [path, text] : files) {
        std::filesystem::create_directories((root / path).parent_path());
        std::ofstream(root / path) << text;
    }
    const Limits l = Limits::Read(root.string());
    std::filesystem::remove_all(root);
    return l;
}

TEST(Limits, ReadFromProcAndTheCgroupWithLeastRoom) {
    std::map<std::string, std::string> files = {
        {"proc/self/limits",
         "Limit                     Soft Limit           Hard Limit           Units     \n"
         "Max processes             5000                 5000                 processes \n"
         "Max open files            1024                 4096                 files     \n"},
        {"proc/sys/kernel/threads-max", "100000\n"}, {"proc/sys/kernel/pid_max", "32768\n"},
        {"proc/sys/vm/max_map_count", "65530\n"},    {"proc/loadavg", "0.00 0.01 0.05 2/345 12345\n"},
        {"proc/meminfo", "MemTotal:        8000 kB\nMemFree:         1000 kB\nMemAvailable:    4000 kB\n"},
        {"proc/self/status", "Name:\tvexaproxy\nThreads:\t7\n"}, {"proc/self/fd/0", ""}, {"proc/self/fd/1", ""},
        {"proc/self/fd/2", ""}, {"proc/self/cgroup", "0::/system.slice/v.service\n"},
        {"sys/fs/cgroup/system.slice/v.service/pids.max", "1500\n"}, {"sys/fs/cgroup/system.slice/pids.max", "1000\n"},
        {"sys/fs/cgroup/system.slice/v.service/pids.current", "30\n"}, {"sys/fs/cgroup/system.slice/pids.current", "900\n"},
        {"sys/fs/cgroup/system.slice/v.service/memory.max", "max\n"}, {"sys/fs/cgroup/system.slice/memory.max", "1048576\n"},
        {"sys/fs/cgroup/system.slice/v.service/memory.current", "100\n"},
        {"sys/fs/cgroup/system.slice/memory.current", "4096\n"},
    };
    // No memory.stat: nothing is taken for cache.
    const std::vector<long long> expected = {1024, 4096, 5000, 100000, 32768, 65530, 345, 1000, 900, 4000 * 1024, 1048576, 4096, -1, 7, 3};
    Limits l = ReadTree(files);
    EXPECT_EQ(std::vector<long long>({l.nofile, l.nofileHard, l.nproc, l.threadsMax, l.pidMax, l.maxMapCount, l.tasksNow,
                                      l.cgroupPidsMax, l.cgroupPidsCurrent, l.memAvailable, l.cgroupMemMax,
                                      l.cgroupMemCurrent, l.cgroupMemCache, l.ownThreads, l.ownFds}),
              expected);
    // The slice 4 KiB short of its limit on cache alone has its whole room back, more than the
    // service's own limit now leaves: the service decides, without a memory.stat of its own.
    files["sys/fs/cgroup/system.slice/memory.current"] = "1044480\n";
    files["sys/fs/cgroup/system.slice/memory.stat"] = "anon 4096\nfile 1040384\ninactive_anon 0\ninactive_file 1040384\n";
    l = ReadTree(files);
    EXPECT_EQ(std::vector<long long>({l.cgroupMemMax, l.cgroupMemCurrent, l.cgroupMemCache}),
              std::vector<long long>({1048576, 1044480, 1040384}));
    EXPECT_EQ(Budget::From(l, 0, 0).bytes, (1048576 - 4096) / 4);
    files["sys/fs/cgroup/system.slice/v.service/memory.max"] = "1000000\n";
    l = ReadTree(files);
    EXPECT_EQ(std::vector<long long>({l.cgroupMemMax, l.cgroupMemCurrent, l.cgroupMemCache}),
              std::vector<long long>({1000000, 100, -1}));
    files["proc/self/cgroup"] = "5:cpu,pids:/a/b\n4:memory:/a/b\n0::/\n";
    files["sys/fs/cgroup/pids/a/b/pids.max"] = "200\n";
    files["sys/fs/cgroup/pids/a/b/pids.current"] = "5\n";
    files["sys/fs/cgroup/memory/a/b/memory.limit_in_bytes"] = "9223372036854771712\n";
    files["sys/fs/cgroup/memory/a/memory.limit_in_bytes"] = "2097152\n";
    files["sys/fs/cgroup/memory/a/memory.usage_in_bytes"] = "2093056\n";
    // Version 1 counts the cgroup's own cache apart from its descendants'; the total is what holds.
    files["sys/fs/cgroup/memory/a/memory.stat"] = "cache 2088960\ninactive_file 4096\ntotal_inactive_file 2088960\n";
    l = ReadTree(files);
    EXPECT_EQ(std::vector<long long>({l.cgroupPidsMax, l.cgroupPidsCurrent, l.cgroupMemMax, l.cgroupMemCurrent, l.cgroupMemCache}),
              std::vector<long long>({200, 5, 2097152, 2093056, 2088960}));
    EXPECT_EQ(Budget::From(l, 0, 0).bytes, (2097152 - 4096) / 4);
}
