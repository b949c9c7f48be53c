#pragma once
// The daemon object: owns the logs, the configuration, every port and the thread pool.
#include <netinet/in.h>

#include <atomic>
#include <string>

#include "config/CConfigProxy.h"
#include "daemon/CBadLog.h"
#include "dns/CDNSLog.h"
#include "thread/PoolThread.h"
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
    static DBString ToStr(int addr, int port);
    static DBString ToStr(const in6_addr& addr, int port);

    // Build date and time as the compiler saw them, e.g. "Jan 25 2026" and "12:13:29".
    static const char* BuildDate();
    static const char* BuildTime();

    // Set only by signalHandler (and reset by Start); read by the main loop once per second.
    std::atomic<unsigned char> m_Running{1};
    std::atomic<unsigned char> m_ReloadAsked{0};
    CConfigProxy m_Cfg;
    CBadLog m_Log;
    CDNSLog m_LogDNS;

private:
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
