#include "config/RuleSummary.h"

#include "util/Net.h"

namespace {
// " listen 127.0.0.2 allow 10.0.0.0/8,fd00::/8", each part only when its attribute is given: lines
// of files without them stay as they always were.
DBString Where(const DBString& local, const AllowList& allow) {
    DBString text;
    if (!local.empty()) text += L" listen " + local;
    if (allow.Given()) text += L" allow " + DBString(allow.Text());
    return text;
}

void NoteLocal(std::vector<DBString>& notes, const DBString& name, const char* attr, const DBString& local, int family) {
    SockAddr addr;
    if (!net::ParseLocal(local.ToStr(), family, 0, addr))
        notes.push_back(name + L" " + DBString(attr) + L" \"" + local + L"\" is not an address: not started");
}

void NoteAllow(std::vector<DBString>& notes, const DBString& name, const char* attr, const AllowList& allow) {
    const DBString head = name + L" " + DBString(attr);
    for (const auto& bad : allow.BadEntries())
        notes.push_back(head + L" entry \"" + DBString(bad.text) + L"\" skipped: it " + DBString(bad.why));
    if (allow.ServesNobody()) notes.push_back(head + L" has no valid entry: nobody is served");
}
}  // namespace

RuleKind KindOf(const CProxyPort& port) {
    // The kinds begin in the order of the typProt codes; anything else runs as UDP.
    const bool known = port.m_TypProt >= CProxyPort::UDP && port.m_TypProt <= CProxyPort::TCPv6;
    return static_cast<RuleKind>(known ? port.m_TypProt : CProxyPort::UDP);
}

const wchar_t* KindText(const CProxyPort& port) { return RuleKindText(KindOf(port)); }

DBString SummaryLine(const CProxyPort& port) {
    const wchar_t* kind = KindText(port);
    DBString line;
    if (port.IsEcho())
        line.Format(L"%ls %5d -> Echo", kind, port.m_PortLocal);
    else
        line.Format(L"%ls %5d -> [%ls]:%d", kind, port.m_PortLocal, port.RemoteHost().c_str(), port.m_PortRemote);
    const bool tcp = port.m_TypProt == CProxyPort::TCP || port.m_TypProt == CProxyPort::TCPv6;
    if (tcp && !port.m_HTTPHost.empty()) line += L" Host: " + port.m_HTTPHost;
    return line + Where(port.LocalHost(), port.m_Allow);
}

DBString SummaryLine(const CProxyDNS& dns) {
    const auto* b = reinterpret_cast<const unsigned char*>(&dns.m_IP);
    DBString line = L"DNS " + dns.m_DNSName;
    line.AppendFormat(L" %d.%d.%d.%d ", b[0], b[1], b[2], b[3]);
    return line + dns.m_Note;
}

DBString SummaryLine(const CProxyCloudRM7& cloud) {
    return DBString().Format(L"RM7 UDP %d Cloud UDP %d -> [%ls]:%d", cloud.m_PortRM7, cloud.m_PortCloud,
                             cloud.m_VEXACloud.c_str(), cloud.m_PortVEXACloud) +
           Where(cloud.m_IPLocal, cloud.m_Allow);
}

DBString DNSRelayLine(const CProxyCFG& cfg, int port) {
    if (cfg.m_DNSSrv.empty() || (cfg.m_DNSIPLocal.empty() && !cfg.m_DNSAllow.Given())) return DBString();
    return DBString().Format(L"DNSSrv %5d -> [%ls]:%d", port, cfg.m_DNSSrv.c_str(), port) +
           Where(cfg.m_DNSIPLocal, cfg.m_DNSAllow);
}

std::vector<DBString> StartNotes(const CProxyPort& port) {
    std::vector<DBString> notes;
    const DBString name = RuleName(KindOf(port), port.m_PortLocal);
    NoteLocal(notes, name, port.IsV6() ? "IPv6Local" : "IPLocal", port.LocalHost(), port.IsV6() ? AF_INET6 : AF_INET);
    NoteAllow(notes, name, "Allow", port.m_Allow);
    return notes;
}

std::vector<DBString> StartNotes(const CProxyCloudRM7& cloud) {
    std::vector<DBString> notes;
    const DBString name = RuleName(RuleKind::CloudRM7, cloud.m_PortRM7);
    NoteLocal(notes, name, "IPLocal", cloud.m_IPLocal, AF_INET6);
    NoteAllow(notes, name, "Allow", cloud.m_Allow);
    return notes;
}

std::vector<DBString> StartNotes(const CProxyCFG& cfg, int port) {
    std::vector<DBString> notes;
    const DBString name = RuleName(RuleKind::DNS, port);
    NoteLocal(notes, name, "DNSIPLocal", cfg.m_DNSIPLocal, AF_INET);
    // Empty is no IPv6 side at all here, not the wildcard.
    if (!cfg.m_DNSIPv6Local.empty()) NoteLocal(notes, name, "DNSIPv6Local", cfg.m_DNSIPv6Local, AF_INET6);
    NoteAllow(notes, name, "DNSAllow", cfg.m_DNSAllow);
    return notes;
}
