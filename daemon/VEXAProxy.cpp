#include "daemon/VEXAProxy.h"

#include <arpa/inet.h>

#include <csignal>

#ifndef VEXAPROXY_VERSION_TEXT
#define VEXAPROXY_VERSION_TEXT "v1.0.6"
#endif

VEXAProxy _Modul;

const char* const VEXAProxy::s_Version = VEXAPROXY_VERSION_TEXT;
std::atomic<unsigned> VEXAProxy::s_SignalCount[VEXAProxy::kSignalSlots];

const char* VEXAProxy::BuildDate() { return __DATE__; }
const char* VEXAProxy::BuildTime() { return __TIME__; }

DBString CBadLog::Dir() { return _Modul.PathLogs() + L"bad"; }
DBString CDNSLog::Dir() { return _Modul.PathLogs() + L"dns"; }

VEXAProxy::VEXAProxy() : m_Log(1000, 0), m_LogDNS(1000, 0), m_PoolThread("VEXAProxy", false) {}

VEXAProxy::~VEXAProxy() = default;

DBString VEXAProxy::PathLogs() { return DBString(L"/var/log/VEXA/VEXAProxy/") + L"logs" + L"/"; }

void VEXAProxy::Start() {
    m_ReloadAsked = 0;
    m_Running = 1;
    std::signal(SIGINT, signalHandler);
    std::signal(SIGTERM, signalHandler);
    std::signal(SIGHUP, signalHandler);
    // A peer that went away must cost one failed send, never the process.
    std::signal(SIGPIPE, SIG_IGN);

    m_Log.Open("C", "log");
    m_Log.PutUtf8(std::string("Start ") + s_Version + " " + BuildDate() + " " + BuildTime());
    m_LogDNS.Open("C", "log");
}

void VEXAProxy::PutPendingSignals() {
    for (int sig = 0; sig < kSignalSlots; ++sig) {
        unsigned seen = s_SignalCount[sig].load();
        for (; m_SignalLogged[sig] != seen; ++m_SignalLogged[sig])
            m_Log.Put(DBString().Format(L"Interrup signal number %d", sig).c_str());
    }
}

bool VEXAProxy::IsRunning() {
    PutPendingSignals();
    if (m_ReloadAsked.exchange(0)) m_Log.Put(L"Reload");
    return m_Running != 0;
}

void VEXAProxy::signalHandler(int sig) {
    if (sig >= 0 && sig < kSignalSlots) s_SignalCount[sig].fetch_add(1);
    if (sig == SIGINT || sig == SIGTERM) _Modul.m_Running = 0;
    else if (sig == SIGHUP) _Modul.m_ReloadAsked = 1;
}

void VEXAProxy::Stop() {
    m_LogDNS.Close();
    m_PoolThread.Stop();
    PutPendingSignals();
    m_Log.Put(L"End Stop");
    m_Log.Close();
}

DBString VEXAProxy::ToStr(int addr, int port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&addr);
    return DBString().Format(L" %d.%d.%d.%d:%u ", b[0], b[1], b[2], b[3], static_cast<unsigned>(port));
}

DBString VEXAProxy::ToStr(const in6_addr& addr, int port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET6, &addr, text, sizeof text)) return DBString().Format(L" [???]%d ", port);
    return DBString().Format(L" [%s]:%d ", text, port);
}
