#pragma once
// The daemon object: owns the logs, the configuration, every port and the thread pool.
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cloud/RM7Port.h"
#include "config/CProxyCFG.h"
#include "daemon/CBadLog.h"
#include "dns/CDNSLog.h"
#include "dns/CDNSPort.h"
#include "dns/DNSTCPPort.h"
#include "tcp/CTCPPort.h"
#include "thread/PoolThread.h"
#include "udp/CUDPPort.h"
#include "util/DBString.h"

class VEXAProxy {
public:
    static const char* const s_Version;

    VEXAProxy();
    ~VEXAProxy();
    VEXAProxy(const VEXAProxy&) = delete;
    VEXAProxy& operator=(const VEXAProxy&) = delete;

    void Start();
    bool IsRunning();
    void Stop();
    static void signalHandler(int sig);

    DBString PathLogs();

    // Build date and time as the compiler saw them, e.g. "Jan 25 2026" and "12:13:29".
    static const char* BuildDate();
    static const char* BuildTime();

    // Set only by signalHandler (and reset by Start); read by the main loop once per second.
    std::atomic<unsigned char> m_Running{1};
    std::atomic<unsigned char> m_ReloadAsked{0};
    std::atomic<unsigned char> m_StatusAsked{0};  // SIGUSR1
    CProxyCFG m_Cfg;
    CBadLog m_Log;
    CDNSLog m_LogDNS;
    // Ports created by Start from the rules, in configuration order; Stop stops and deletes them.
    std::vector<std::unique_ptr<CTCPPort>> m_TCPv4;
    std::vector<std::unique_ptr<CTCPv6Port>> m_TCPv6;
    std::vector<std::unique_ptr<CUDPPort>> m_UDPv4;
    std::vector<std::unique_ptr<CUDPv6Port>> m_UDPv6;
    CDNSPort m_DNSPort;
    DNSTCPPort m_DNSTCPPort;  // the relay's TCP side, beside m_DNSPort
    RM7Port m_RM7Port;

private:
    // Works out the client budget and every client table's bound from the loaded configuration,
    // and writes them to the log.
    void PlanClients();
    // SIGUSR1: the "Status" block in the main log (daemon/Status.cpp).
    void PutStatus();
    void PutStatusLine(const std::string& text);
    std::chrono::steady_clock::time_point m_StartedAt;
    size_t BoundOf(const CNodeProxyCFG* node) const;
    void StartRules();
    void StartPort(const CProxyPort& rule);
    // The lines about a rule's listening address and Allow list, after its line in the listing.
    void PutNotes(const std::vector<DBString>& notes);
    void ListDNS(const CProxyDNS& node);
    void StartCloud(const CProxyCloudRM7& node);
    std::map<const CNodeProxyCFG*, size_t> m_Bounds;  // the bound of each rule's client table
    template <class Port>
    static void StopPorts(std::vector<std::unique_ptr<Port>>& ports);

    // Signals are counted in the handler and written to the log by the main loop: a handler that
    // interrupted a thread holding the log queue's lock must never wait for it.
    void PutPendingSignals();
    static constexpr int kSignalSlots = 65;
    static std::atomic<unsigned> s_SignalCount[kSignalSlots];
    unsigned m_SignalLogged[kSignalSlots] = {};

public:
    // Last member: constructed after and destroyed before everything its procedures use.
    PoolThread m_PoolThread;
};

static_assert(std::atomic<unsigned char>::is_always_lock_free);
static_assert(std::atomic<unsigned>::is_always_lock_free);

extern VEXAProxy _Modul;
