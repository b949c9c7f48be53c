#include "util/Budget.h"

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Used for a figure no limit could be read for: small enough to leave a machine usable, large
// enough for a few hundred clients.
constexpr long long kAssumedTasks = 1024;
constexpr long long kAssumedFds = 1024;
constexpr long long kAssumedBytes = 256LL << 20;

// cgroup v1 writes "no limit" as the largest page-aligned 63-bit number.
constexpr long long kNoMemoryLimit = 1LL << 62;

// Word `index` (0: the first) after `key` on the line that starts with it; "" if none.
std::string Field(const std::string& path, const std::string& key, int index = 0) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0) continue;
        std::istringstream words(line.substr(key.size()));
        std::string word;
        for (int i = 0; i <= index && words >> word; ++i) {}
        return word;
    }
    return "";
}

// A plain non-negative number, or -1 ("max", "unlimited", empty or unreadable text).
long long Number(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

long long FileNumber(const std::string& path) { return Number(Field(path, "")); }

long long CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    long long n = 0;
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Tasks on the whole system: "0.83 0.46 0.20 1/114 7137" says 114.
long long TasksNow(const std::string& path) {
    const std::string word = Field(path, "", 3);
    const auto slash = word.find('/');
    return slash == std::string::npos ? -1 : Number(word.substr(slash + 1));
}

// The room under a cgroup's limit. Its usage counts the page cache too (our own rotating logs among
// it); the inactive part the kernel reclaims before it lets the limit bite, so it is room as well.
long long CgroupRoom(long long max, long long current, long long cache) {
    return max - std::max(0LL, std::max(current, 0LL) - std::max(cache, 0LL));
}

// A limit holds at every level of the cgroup tree, so the level with the least room left decides:
// a slice's TasksMax bounds its services as much as their own. For memory, `cacheKey` names the
// memory.stat line whose reclaimable cache counts as room at each level, so that a level full of
// cache does not decide over one whose memory is really taken.
void TightestCgroup(const std::string& base, std::string path, const char* maxFile, const char* currentFile,
                    long long noLimit, long long& max, long long& current, const char* cacheKey = nullptr,
                    long long* cache = nullptr) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    for (;;) {
        const std::string dir = base + path + "/";
        const long long m = FileNumber(dir + maxFile);
        if (m >= 0 && m < noLimit) {
            const long long c = FileNumber(dir + currentFile);
            const long long k = cacheKey ? Number(Field(dir + "memory.stat", cacheKey)) : -1;
            if (max < 0 || CgroupRoom(m, c, k) < CgroupRoom(max, current, cache ? *cache : -1)) {
                max = m;
                current = c;
                if (cache) *cache = k;
            }
        }
        if (path.empty()) return;
        path.erase(path.rfind('/'));
    }
}

void ReadCgroups(const std::string& root, Limits& l) {
    std::ifstream in(root + "/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        // "0::/system.slice/x.service" (v2) or "8:pids:/user.slice" (v1, controllers joined by commas)
        const auto a = line.find(':');
        const auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        std::string controllers = ",";  // ",pids," is then found whatever its neighbours
        controllers.append(line, a + 1, b - a - 1).push_back(',');
        const std::string path = line.substr(b + 1);
        const std::string fs = root + "/sys/fs/cgroup";
        if (controllers == ",,") {
            TightestCgroup(fs, path, "pids.max", "pids.current", LLONG_MAX, l.cgroupPidsMax, l.cgroupPidsCurrent);
            TightestCgroup(fs, path, "memory.max", "memory.current", kNoMemoryLimit, l.cgroupMemMax, l.cgroupMemCurrent,
                           "inactive_file ", &l.cgroupMemCache);
        }
        if (controllers.find(",pids,") != std::string::npos)
            TightestCgroup(fs + "/pids", path, "pids.max", "pids.current", LLONG_MAX, l.cgroupPidsMax, l.cgroupPidsCurrent);
        if (controllers.find(",memory,") != std::string::npos)
            TightestCgroup(fs + "/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes", kNoMemoryLimit,
                           l.cgroupMemMax, l.cgroupMemCurrent, "total_inactive_file ", &l.cgroupMemCache);
    }
}

// The room a system-wide limit leaves: what is in use by others counts against it, the daemon's
// own threads do not (the reserve covers them).
long long Room(long long limit, long long now, long long own) {
    return limit - (now >= 0 ? std::max(0LL, now - std::max(own, 0LL)) : 0);
}

long long MiB(long long bytes) { return bytes >> 20; }

struct Candidate {
    long long room;
    std::string text;
};

// The candidate with the least room, or the assumed figure when no limit was readable.
Candidate Least(const std::vector<Candidate>& all, long long assumed, const std::string& assumedText) {
    if (all.empty()) return {assumed, "no limit readable, " + assumedText + " assumed"};
    return *std::min_element(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) { return a.room < b.room; });
}

}  // namespace

Limits Limits::Read(const std::string& root) {
    Limits l;
    const std::string proc = root + "/proc/";
    l.nofile = Number(Field(proc + "self/limits", "Max open files"));
    l.nofileHard = Number(Field(proc + "self/limits", "Max open files", 1));
    l.nproc = Number(Field(proc + "self/limits", "Max processes"));
    l.threadsMax = FileNumber(proc + "sys/kernel/threads-max");
    l.pidMax = FileNumber(proc + "sys/kernel/pid_max");
    l.maxMapCount = FileNumber(proc + "sys/vm/max_map_count");
    l.tasksNow = TasksNow(proc + "loadavg");
    const long long kib = Number(Field(proc + "meminfo", "MemAvailable:"));
    l.memAvailable = kib < 0 ? -1 : kib * 1024;
    l.ownThreads = Number(Field(proc + "self/status", "Threads:"));
    l.ownFds = CountEntries(proc + "self/fd");
    ReadCgroups(root, l);
    return l;
}

Budget Budget::From(const Limits& l, long long reserveThreads, long long reserveFds) {
    Budget b;
    std::vector<Candidate> tasks;
    if (l.nproc >= 0) tasks.push_back({l.nproc, "RLIMIT_NPROC " + std::to_string(l.nproc)});
    if (l.threadsMax >= 0) tasks.push_back({Room(l.threadsMax, l.tasksNow, l.ownThreads), "threads-max " + std::to_string(l.threadsMax)});
    if (l.pidMax >= 0) tasks.push_back({Room(l.pidMax, l.tasksNow, l.ownThreads), "pid_max " + std::to_string(l.pidMax)});
    // Every thread maps its stack and the guard page below it.
    if (l.maxMapCount >= 0) tasks.push_back({l.maxMapCount / 2, "vm.max_map_count " + std::to_string(l.maxMapCount)});
    if (l.cgroupPidsMax >= 0)
        tasks.push_back({Room(l.cgroupPidsMax, l.cgroupPidsCurrent, l.ownThreads), "cgroup pids.max " + std::to_string(l.cgroupPidsMax)});
    const Candidate t = Least(tasks, kAssumedTasks, std::to_string(kAssumedTasks) + " tasks");
    b.threads = std::max(0LL, t.room - reserveThreads);

    std::vector<Candidate> fds;
    if (l.nofile >= 0) fds.push_back({l.nofile - std::max(l.ownFds, 0LL), "RLIMIT_NOFILE " + std::to_string(l.nofile)});
    const Candidate f = Least(fds, kAssumedFds, std::to_string(kAssumedFds));
    b.fds = std::max(0LL, f.room - reserveFds);
    b.pipes = std::min(kMaxPipes, b.fds / 16);
    b.fds -= 2 * b.pipes;

    std::vector<Candidate> memory;
    if (l.memAvailable >= 0) memory.push_back({l.memAvailable, "MemAvailable " + std::to_string(MiB(l.memAvailable)) + " MiB"});
    if (l.cgroupMemMax >= 0) {
        const long long free = std::max(0LL, CgroupRoom(l.cgroupMemMax, l.cgroupMemCurrent, l.cgroupMemCache));
        std::string text = "cgroup memory.max " + std::to_string(MiB(l.cgroupMemMax)) + " MiB (" + std::to_string(MiB(free)) + " MiB free";
        if (l.cgroupMemCache > 0)
            text += ": " + std::to_string(MiB(std::max(l.cgroupMemCurrent, 0LL))) + " MiB used less " +
                    std::to_string(MiB(l.cgroupMemCache)) + " MiB reclaimable cache";
        memory.push_back({free, text + ")"});
    }
    const Candidate m = Least(memory, kAssumedBytes, std::to_string(MiB(kAssumedBytes)) + " MiB");
    // The rest stays for the kernel's socket buffers, the page cache and whatever else runs here.
    b.bytes = m.room / 4;

    b.source = "threads: " + t.text + "; descriptors: " + f.text + "; memory: " + m.text + " / 4; pipes: " +
               std::to_string(b.pipes) + " of the descriptors, two each";
    return b;
}

std::string Budget::Line() const {
    return "Budget " + std::to_string(threads) + " client threads, " + std::to_string(fds) + " descriptors, " +
           std::to_string(MiB(bytes)) + " MiB (" + source + ")";
}

BoundPlan PlanBounds(const Budget& b, const std::vector<TableDemand>& tables) {
    constexpr int kResources = 3;
    const long long budget[kResources] = {b.threads, b.fds, b.bytes};
    auto need = [](const TableDemand& t, int r) { return r == 0 ? t.cost.threads : r == 1 ? t.cost.fds : t.cost.bytes; };
    auto capped = [](const TableDemand& t) { return t.cap > 0 ? std::min(t.wanted, t.cap) : t.wanted; };

    BoundPlan plan;
    plan.bounds.assign(tables.size(), 0);
    plan.clamped.assign(tables.size(), false);
    long long wanted[kResources] = {};
    for (const auto& t : tables)
        if (t.wanted > 0)
            for (int r = 0; r < kResources; ++r) wanted[r] += capped(t) * need(t, r);
    plan.wantedThreads = wanted[0];
    plan.wantedFds = wanted[1];
    plan.wantedBytes = wanted[2];

    // Bounds that do not fit together get, as a group, the share of each resource that as many
    // tables without a bound would get: one rule asking for everything must not leave the others
    // one client each.
    long long users[kResources] = {}, explicitUsers[kResources] = {};
    for (const auto& t : tables)
        for (int r = 0; r < kResources; ++r)
            if (need(t, r) > 0) {
                ++users[r];
                explicitUsers[r] += t.wanted > 0;
            }
    long long room[kResources] = {};
    for (int r = 0; r < kResources; ++r)
        room[r] = users[r] == 0 ? budget[r] : static_cast<long long>(static_cast<__int128>(budget[r]) * explicitUsers[r] / users[r]);

    // One factor for all explicit bounds keeps the proportions the operator chose: the factor
    // room/wanted of the most overdrawn resource, kept as a fraction so that no rounding ever
    // pushes the bounds past the budget.
    int over = -1;
    for (int r = 0; r < kResources; ++r)
        if (wanted[r] > budget[r] &&
            (over < 0 || static_cast<__int128>(room[r]) * wanted[over] < static_cast<__int128>(room[over]) * wanted[r]))
            over = r;

    long long left[kResources] = {budget[0], budget[1], budget[2]};
    for (size_t i = 0; i < tables.size(); ++i) {
        const TableDemand& t = tables[i];
        if (t.wanted <= 0) continue;
        long long bound = capped(t);
        if (over >= 0) {
            bound = std::max(1LL, static_cast<long long>(static_cast<__int128>(bound) * room[over] / wanted[over]));
            plan.clamped[i] = true;
        }
        plan.bounds[i] = bound;
        for (int r = 0; r < kResources; ++r) left[r] -= bound * need(t, r);
    }

    // Each resource's rest is shared by the tables that use it; a table is held by the scarcest.
    for (int r = 0; r < kResources; ++r) users[r] -= explicitUsers[r];
    for (size_t i = 0; i < tables.size(); ++i) {
        const TableDemand& t = tables[i];
        if (t.wanted > 0) continue;
        long long bound = t.cap > 0 ? t.cap : LLONG_MAX;
        for (int r = 0; r < kResources; ++r)
            if (need(t, r) > 0) bound = std::min(bound, std::max(0LL, left[r]) / users[r] / need(t, r));
        // Even an exhausted budget lets every table serve one client at a time.
        plan.bounds[i] = std::max(1LL, bound);
    }
    return plan;
}
