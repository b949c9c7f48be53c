#pragma once
// The client budget: how many clients the tables may hold together before the system's limits on
// tasks, descriptors or memory stop the daemon from serving any rule. Worked out once at start from
// the real limits, then shared among the client tables.
#include <string>
#include <vector>

// What one client of a table holds while it lives.
struct ClientCost {
    long long threads;
    long long fds;
    long long bytes;
};
inline constexpr ClientCost kCostTCP{2, 2, 60 * 1024};  // two relay threads with their stacks touched
inline constexpr ClientCost kCostUDP{1, 1, 41 * 1024};
inline constexpr ClientCost kCostDNS{1, 1, 15 * 1024};
inline constexpr ClientCost kCostRM7{0, 0, 512};

// Raw readings of the limits; -1 where a limit is absent, unlimited or unreadable.
struct Limits {
    long long nofile = -1;             // RLIMIT_NOFILE soft (read after the daemon raised it)
    long long nofileHard = -1;         // RLIMIT_NOFILE hard: what the daemon raises the soft limit to
    long long nproc = -1;              // RLIMIT_NPROC soft
    long long threadsMax = -1;         // /proc/sys/kernel/threads-max
    long long pidMax = -1;             // /proc/sys/kernel/pid_max
    long long maxMapCount = -1;        // /proc/sys/vm/max_map_count (each thread takes two maps)
    long long tasksNow = -1;           // threads on the whole system now (/proc/loadavg)
    long long cgroupPidsMax = -1;      // pids.max of the own cgroup or of the ancestor with least room
    long long cgroupPidsCurrent = -1;  // pids.current of that same cgroup
    long long memAvailable = -1;       // MemAvailable of /proc/meminfo, bytes
    long long cgroupMemMax = -1;       // memory.max (v2) or memory.limit_in_bytes (v1), bytes
    long long cgroupMemCurrent = -1;   // memory.current or memory.usage_in_bytes of that cgroup
    long long cgroupMemCache = -1;     // inactive_file (v2) or total_inactive_file (v1) of its memory.stat
    long long ownThreads = -1;         // Threads: of /proc/self/status
    long long ownFds = -1;             // entries in /proc/self/fd

    // Reads everything below root ("" for the running system; tests pass a fake tree).
    static Limits Read(const std::string& root = "");
};

struct Budget {
    long long threads = 0;  // client threads the tables may use together
    long long fds = 0;      // descriptors likewise
    long long bytes = 0;    // memory for clients: a quarter of what is available
    std::string source;     // which limit decided each figure, for the start-up line
    // Pipes the TCP relays may hold at once to splice their data (two descriptors each), set
    // aside from the descriptors before the tables share them: a sixteenth, at most kMaxPipes.
    // A relay that finds none free copies instead.
    long long pipes = 0;
    static constexpr long long kMaxPipes = 256;

    // reserveThreads/reserveFds: what the daemon needs besides clients (ports, sweeps, log
    // writers, a margin).
    static Budget From(const Limits& l, long long reserveThreads, long long reserveFds);
    // "Budget 1478 client threads, 65500 descriptors, 980 MiB (threads: ...; descriptors: ...; memory: ...)"
    std::string Line() const;
};

// The DNS relay's TCP side takes its bound from the relay's share instead of a share of its own, so
// that the plan and its line stay what the datagram side makes them: its clients are the few whose
// answers do not fit a datagram and those that keep to TCP. A connection holds two threads and two
// descriptors; the side may use a sixteenth of the threads of the relay's share, one at least.
inline long long DNSTCPBound(long long dnsBound) {
    const long long bound = dnsBound * kCostDNS.threads / (16 * kCostTCP.threads);
    return bound > 0 ? bound : 1;
}

// What the daemon needs besides its clients, for a configuration that starts `rules` ports and
// relays. The daemon and vexaproxy-check both use these, so that they arrive at the same budget.
inline long long ReserveThreads(int rules) { return 16 + 3LL * rules; }
inline long long ReserveFds(int rules) { return 32 + 2LL * rules; }

// One client table's demand: its cost and the bound the rule asks for (0: none, take a fair share).
struct TableDemand {
    ClientCost cost;
    long long wanted = 0;
    long long cap = 0;  // a natural ceiling (e.g. the RM7 device numbers); 0: none
};

struct BoundPlan {
    std::vector<long long> bounds;  // one per table, in the order of the demands, each at least 1
    std::vector<bool> clamped;      // the explicit bound did not fit and was scaled down
    // The explicit demands added up (after their caps), for the checker's warning.
    long long wantedThreads = 0;
    long long wantedFds = 0;
    long long wantedBytes = 0;
};

// Explicit bounds are honoured when they fit together in every resource, otherwise all of them are
// scaled down by one factor; what they leave is split evenly among the tables without one.
BoundPlan PlanBounds(const Budget& b, const std::vector<TableDemand>& tables);
