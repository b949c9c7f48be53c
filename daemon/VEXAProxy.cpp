#include "daemon/VEXAProxy.h"

#include "cloud/PackV7.h"
#include "config/Demands.h"
#include "config/ErrorXML.h"
#include "config/RuleSummary.h"
#include "util/RuleName.h"

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <sys/resource.h>

#include <cstdarg>
#include <cstdio>
#include <csignal>
#include <string>
#include <vector>

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

VEXAProxy::VEXAProxy() : m_Log(1000, 0), m_LogDNS(1000, 0), m_PoolThread("VEXAProxy") {}

VEXAProxy::~VEXAProxy() = default;

DBString VEXAProxy::PathLogs() { return DBString(L"/var/log/VEXA/VEXAProxy/") + L"logs" + L"/"; }

// libxml2's generic error handler: parser diagnostics (a malformed configuration) reach the main log.
static void foo(void* /*ctx*/, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    _Modul.m_Log.Put(DBString(buffer).c_str());
}

namespace {
// Every connection and association owns a descriptor; the usual soft limit of 1024 is reached by a
// few hundred DNS clients, so take whatever the hard limit allows.
void RaiseDescriptorLimit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}
}  // namespace

void VEXAProxy::Start() {
    xmlInitParser();
    xmlKeepBlanksDefault(0);
    xmlGenericErrorFunc handler = foo;
    initGenericErrorDefaultFunc(&handler);
    const std::string fileCfg = "/etc/VEXAProxy/VEXAProxy.xml";
    bool cfgFound = false;
    if (FILE* f = std::fopen(fileCfg.c_str(), "rb")) {
        std::fclose(f);
        cfgFound = true;
    }
    RaiseDescriptorLimit();

    m_ReloadAsked = 0;
    m_StatusAsked = 0;
    m_Running = 1;
    m_StartedAt = std::chrono::steady_clock::now();
    std::signal(SIGINT, signalHandler);
    std::signal(SIGTERM, signalHandler);
    std::signal(SIGHUP, signalHandler);
    // What dnsmasq users send to ask a daemon what it holds; by default it would end the process.
    std::signal(SIGUSR1, signalHandler);
    // A peer that went away must cost one failed send, never the process.
    std::signal(SIGPIPE, SIG_IGN);

    m_Log.Open("C", "log");
    m_Log.PutUtf8(std::string("Start ") + s_Version + " " + BuildDate() + " " + BuildTime());
    // A package built without its real key material would drop every real device's datagram
    // without a word: the log says so at each start.
    if (CPackV7::TestMaterial)
        m_Log.PutUtf8("V7 test key material in use: real RM7 devices will not get through");
    m_LogDNS.Open("C", "log");

    try {
        if (!cfgFound) throw ErrorXML((DBString(L"Configuration not found ") + fileCfg.c_str()).c_str(), 0);
        m_Cfg.XMLLoadFile(fileCfg.c_str());
        PlanClients();
        StartRules();
        if (!m_Cfg.m_DNSSrv.empty()) {
            constexpr int kDNSPort = 53;
            if (const DBString line = DNSRelayLine(m_Cfg, kDNSPort); !line.empty()) m_Log.Put(line.c_str());
            PutNotes(StartNotes(m_Cfg, kDNSPort));
            m_DNSPort.Place(m_Cfg.m_DNSIPLocal.ToStr(), &m_Cfg.m_DNSAllow);
            m_DNSPort.m_Local6 = m_Cfg.m_DNSIPv6Local.ToStr();
            m_DNSPort.m_CliTab.SetBound(BoundOf(&m_Cfg));
            m_DNSPort.Start(m_Cfg.m_DNSSrv.ToStr().c_str(), kDNSPort, kDNSPort);
            // Clients whose answers came back truncated retry over TCP at the same address.
            m_DNSTCPPort.Place(m_Cfg.m_DNSIPLocal.ToStr(), &m_Cfg.m_DNSAllow);
            m_DNSTCPPort.m_CliTab.SetBound(static_cast<size_t>(DNSTCPBound(static_cast<long long>(BoundOf(&m_Cfg)))));
            m_DNSTCPPort.Start(m_Cfg.m_DNSSrv.ToStr().c_str(), kDNSPort, kDNSPort, m_Cfg.m_DNSIPv6Local.ToStr());
        }
    } catch (const ErrorXML& e) {
        m_Log.PutErr(e.m_Text.c_str(), e.m_Code);
    }
}

void VEXAProxy::PlanClients() {
    std::vector<std::string> names;
    std::vector<const CNodeProxyCFG*> nodes;
    const std::vector<TableDemand> demands = Demands(m_Cfg, &names, &nodes);
    const Budget budget = BudgetFor(m_Cfg, Limits::Read());
    const BoundPlan plan = PlanBounds(budget, demands);
    SplicePipe::s_Limit = budget.pipes;
    std::string line = budget.Line();
    m_Bounds.clear();
    for (size_t i = 0; i < nodes.size(); ++i) {
        m_Bounds[nodes[i]] = static_cast<size_t>(plan.bounds[i]);
        line += (i == 0 ? " - bounds: " : ", ") + names[i] + ": " + std::to_string(plan.bounds[i]);
    }
    m_Log.PutUtf8(line);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (!plan.clamped[i]) continue;
        m_Log.PutUtf8(names[i] + " bound " + std::to_string(demands[i].wanted) + " clamped to " +
                      std::to_string(plan.bounds[i]) + ": the configured bounds together exceed the budget");
    }
}

size_t VEXAProxy::BoundOf(const CNodeProxyCFG* node) const {
    auto it = m_Bounds.find(node);
    return it == m_Bounds.end() ? 0 : it->second;
}

void VEXAProxy::StartRules() {
    for (const auto& node : m_Cfg.m_Nodes) {
        switch (node->TypNode()) {
        case CProxyPort::kTypNode: StartPort(static_cast<const CProxyPort&>(*node)); break;
        case CProxyDNS::kTypNode: ListDNS(static_cast<const CProxyDNS&>(*node)); break;
        case CProxyCloudRM7::kTypNode: StartCloud(static_cast<const CProxyCloudRM7&>(*node)); break;
        default: break;
        }
    }
}

namespace {
// Creates a port in its list with the bound of its client table, the rule's listening address,
// Allow list and time limits, then starts it: a port whose start failed stays listed, stopped, until
// Stop.
template <class Port, class... Args>
void CreatePort(std::vector<std::unique_ptr<Port>>& list, size_t bound, const CProxyPort& rule, Args&&... args) {
    list.push_back(std::make_unique<Port>());
    Port& port = *list.back();
    port.m_CliTab.SetBound(bound);
    port.Place(rule.LocalHost().ToStr(), &rule.m_Allow);
    port.m_IdleLimit = int64_t{rule.m_IdleLimit} * 1000;
    if constexpr (requires { port.m_OpenLimit; }) port.m_OpenLimit = int64_t{rule.m_OpenLimit} * 1000;
    port.Start(std::forward<Args>(args)...);
}
}  // namespace

void VEXAProxy::PutNotes(const std::vector<DBString>& notes) {
    for (const auto& note : notes) m_Log.Put(note.c_str());
}

void VEXAProxy::StartPort(const CProxyPort& rule) {
    const std::string host = rule.RemoteHost().ToStr();
    const std::string httpHost = rule.m_HTTPHost.ToStr();
    const int kind = rule.RemoteKind();
    const size_t bound = BoundOf(&rule);
    switch (rule.m_TypProt) {
    case CProxyPort::TCP:
        CreatePort(m_TCPv4, bound, rule, rule.m_PortLocal, rule.m_PortRemote, host.c_str(), httpHost.c_str(),
                   static_cast<CTCPPort::typIP>(kind), rule.m_Echo);
        break;
    case CProxyPort::UDPv6:
        CreatePort(m_UDPv6, bound, rule, rule.m_PortLocal, rule.m_PortRemote, host.c_str(),
                   static_cast<CUDPv6Port::typIP>(kind), rule.m_Echo);
        break;
    case CProxyPort::TCPv6:
        CreatePort(m_TCPv6, bound, rule, rule.m_PortLocal, rule.m_PortRemote, host.c_str(), httpHost.c_str(),
                   static_cast<CTCPv6Port::typIP>(kind), rule.m_Echo);
        break;
    default:
        CreatePort(m_UDPv4, bound, rule, rule.m_PortLocal, rule.m_PortRemote, host.c_str(),
                   static_cast<CUDPPort::typIP>(kind), rule.m_Echo);
        break;
    }
    m_Log.Put(SummaryLine(rule).c_str());
    PutNotes(StartNotes(rule));
}

void VEXAProxy::ListDNS(const CProxyDNS& node) {
    m_Log.Put(SummaryLine(node).c_str());
    m_Log.PutMes(L"Question", node.m_Question, static_cast<int>(node.m_LenQuestion));
    m_Log.PutMes(L"Answer  ", node.m_Answer, static_cast<int>(node.m_LenAnswer));
}

void VEXAProxy::StartCloud(const CProxyCloudRM7& node) {
    m_Log.Put(SummaryLine(node).c_str());
    PutNotes(StartNotes(node));
    if (node.m_PortCloud == 0) {
        m_Log.Put(kNotSetPortCloud);
        return;
    }
    if (!m_RM7Port.IsRunning()) {
        // The share was planned for the first element with a cloud side; a later one runs the relay
        // only when that one could not start.
        size_t bound = 0;
        for (const auto& [planned, b] : m_Bounds)
            if (planned->TypNode() == CProxyCloudRM7::kTypNode) bound = b;
        m_RM7Port.Tab().Devices().SetBound(bound);
        m_RM7Port.Place(node.m_IPLocal.ToStr(), &node.m_Allow);
        m_RM7Port.Start(node.m_PortRM7, node.m_PortCloud, node.m_PortVEXACloud, node.m_VEXACloud.ToStr().c_str());
    }
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
    // Not once the stop is asked for: the stop lines follow at once.
    if (m_StatusAsked.exchange(0) && m_Running) PutStatus();
    return m_Running != 0;
}

void VEXAProxy::signalHandler(int sig) {
    if (sig >= 0 && sig < kSignalSlots) s_SignalCount[sig].fetch_add(1);
    if (sig == SIGINT || sig == SIGTERM) _Modul.m_Running = 0;
    else if (sig == SIGHUP) _Modul.m_ReloadAsked = 1;
    else if (sig == SIGUSR1) _Modul.m_StatusAsked = 1;
}

template <class Port>
void VEXAProxy::StopPorts(std::vector<std::unique_ptr<Port>>& ports) {
    for (auto& port : ports) {
        port->Stop();
        port.reset();
    }
    ports.clear();
}

void VEXAProxy::Stop() {
    m_DNSPort.Stop();
    m_DNSTCPPort.Stop();
    m_LogDNS.Close();
    auto stopping = [this](RuleKind kind) { m_Log.Put((DBString(RuleKindText(kind)) + L" Stop").c_str()); };
    stopping(RuleKind::TCPv4);
    StopPorts(m_TCPv4);
    stopping(RuleKind::UDPv4);
    StopPorts(m_UDPv4);
    stopping(RuleKind::TCPv6);
    StopPorts(m_TCPv6);
    stopping(RuleKind::UDPv6);
    StopPorts(m_UDPv6);
    stopping(RuleKind::CloudRM7);
    m_RM7Port.Stop();
    m_PoolThread.Stop();
    PutPendingSignals();
    m_Log.Put(L"End Stop");
    m_Log.Close();
}
