// The status block SIGUSR1 asks for: one line per rule, per RM7 device, for the pool and for each
// log, every line starting with "Status" so that one grep finds the whole block.
#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include "daemon/VEXAProxy.h"
#include "util/Clock.h"
#include "util/RuleName.h"

namespace {

std::string Name(RuleKind kind, int port) { return RuleName(kind, port).ToStr(); }

// "clients 2 bound 2727 started 2 evicted 0 failed 0 refused 0 in 11 out 11 bytes"; TCP rules add
// "waiting N" after "refused": clients in the listen backlog for want of room.
template <class Table>
std::string Figures(Table& table, const Traffic& traffic, const char* unit, long long waiting = -1) {
    const auto totals = table.GetTotals();
    const std::string wait = waiting < 0 ? "" : " waiting " + std::to_string(waiting);
    char text[320];
    std::snprintf(text, sizeof text,
                  " clients %zu bound %zu started %llu evicted %llu failed %llu refused %llu%s in %llu out %llu %s",
                  table.Count(), table.Bound(), static_cast<unsigned long long>(totals.clients),
                  static_cast<unsigned long long>(totals.evicted), static_cast<unsigned long long>(totals.failed),
                  static_cast<unsigned long long>(totals.refused), wait.c_str(),
                  static_cast<unsigned long long>(traffic.in.load(std::memory_order_relaxed)),
                  static_cast<unsigned long long>(traffic.out.load(std::memory_order_relaxed)), unit);
    return text;
}

// " denied 12" for a port with an Allow list: its refusals since start; nothing otherwise.
std::string Denied(const PortBase& port) {
    return port.HasAllow() ? " denied " + std::to_string(port.Denied()) : "";
}

}  // namespace

void VEXAProxy::PutStatusLine(const std::string& text) {
    // Thousands of devices must not push the block (or other lines) out of the log's bounded queue:
    // the main thread may wait for the writer, the relays never do.
    m_Log.Pace();
    m_Log.PutUtf8("Status " + text);
}

void VEXAProxy::PutStatus() {
    const auto up = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_StartedAt);
    PutStatusLine("begin up " + std::to_string(up.count()) + " s");
    for (auto& p : m_TCPv4) PutStatusLine(Name(RuleKind::TCPv4, p->m_PortLocal) + Figures(p->m_CliTab, p->m_Traffic, "bytes", static_cast<long long>(p->Waiting())) + Denied(*p));
    for (auto& p : m_UDPv4) PutStatusLine(Name(RuleKind::UDPv4, p->m_PortLocal) + Figures(p->m_CliTab, p->m_Traffic, "datagrams") + Denied(*p));
    for (auto& p : m_TCPv6) PutStatusLine(Name(RuleKind::TCPv6, p->m_PortLocal) + Figures(p->m_CliTab, p->m_Traffic, "bytes", static_cast<long long>(p->Waiting())) + Denied(*p));
    for (auto& p : m_UDPv6) PutStatusLine(Name(RuleKind::UDPv6, p->m_PortLocal) + Figures(p->m_CliTab, p->m_Traffic, "datagrams") + Denied(*p));
    if (m_DNSPort.IsRunning())
        PutStatusLine(Name(RuleKind::DNS, m_DNSPort.m_PortLocal) + Figures(m_DNSPort.m_CliTab, m_DNSPort.m_Traffic, "datagrams") + Denied(m_DNSPort));
    // The TCP side once it has had a client (taken or turned away): until then the block reads as
    // it did before the relay had one.
    if (m_DNSTCPPort.IsRunning()) {
        const auto totals = m_DNSTCPPort.m_CliTab.GetTotals();
        if (totals.clients + totals.failed + totals.refused + m_DNSTCPPort.Denied() > 0)
            PutStatusLine(Name(RuleKind::DNSTCP, m_DNSTCPPort.m_PortLocal) +
                          Figures(m_DNSTCPPort.m_CliTab, m_DNSTCPPort.m_Traffic, "messages") + Denied(m_DNSTCPPort));
    }
    if (m_RM7Port.IsRunning()) {
        PutStatusLine(Name(RuleKind::CloudRM7, m_RM7Port.PortRM7) +
                      Figures(m_RM7Port.Tab().Devices(), m_RM7Port.Relayed(), "datagrams") + Denied(m_RM7Port));
        const int64_t now = Clock::Now();
        for (const auto& device : m_RM7Port.Tab().Snapshot()) {
            PutStatusLine("RM7 node " + std::to_string(device.node) + " address" +
                          SockAddr(device.addr).ToLog().ToStr() + "quiet " +
                          std::to_string((now - device.last) / 1000) + " s");
        }
    }
    const auto workers = m_PoolThread.Workers();
    PutStatusLine("pool workers " + std::to_string(workers.busy + workers.idle) + " busy " +
                  std::to_string(workers.busy) + " idle " + std::to_string(workers.idle));
    PutStatusLine("log main dropped " + std::to_string(m_Log.Dropped()));
    PutStatusLine("log dns dropped " + std::to_string(m_LogDNS.Dropped()));
    PutStatusLine("end");
}
