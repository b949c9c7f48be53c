#include "config/RuleSummary.h"

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
    return line;
}

DBString SummaryLine(const CProxyDNS& dns) {
    const auto* b = reinterpret_cast<const unsigned char*>(&dns.m_IP);
    DBString line = L"DNS " + dns.m_DNSName;
    line.AppendFormat(L" %d.%d.%d.%d ", b[0], b[1], b[2], b[3]);
    return line + dns.m_Note;
}

DBString SummaryLine(const CProxyCloudRM7& cloud) {
    return DBString().Format(L"RM7 UDP %d Cloud UDP %d -> [%ls]:%d", cloud.m_PortRM7, cloud.m_PortCloud,
                             cloud.m_VEXACloud.c_str(), cloud.m_PortVEXACloud);
}
