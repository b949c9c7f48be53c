// vexaproxy-check [-q] [FILE]: loads a configuration file with the daemon's own loader, prints the
// start-up listing the daemon would write, then one line per value the daemon would silently
// default, misread or ignore. Exit status: 0 clean, 1 warnings, 2 the file cannot be loaded.
//
// Whether a relay that serves every source is open to the internet depends on the host's addresses:
// they are read from the interfaces, or, for tests, from VEXAPROXY_CHECK_ADDRESSES (addresses
// separated by blanks).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/CProxyCFG.h"
#include "config/Demands.h"
#include "config/ErrorXML.h"
#include "config/RuleSummary.h"
#include "log/CBaseLog.h"
#include "util/AllowList.h"
#include "util/Budget.h"
#include "util/IPv6.h"
#include "util/Net.h"
#include "util/ParseString.h"

#ifndef VEXAPROXY_VERSION_TEXT
#define VEXAPROXY_VERSION_TEXT "v1.0.6"
#endif

namespace {

constexpr const char* kDefaultFile = "/etc/VEXAProxy/VEXAProxy.xml";

enum Status { kClean = 0, kWarnings = 1, kUnusable = 2 };

struct Finding {
    long line;  // 0: no line
    bool error;
    std::string text;
};

class Report {
public:
    explicit Report(std::string path) : m_Path(std::move(path)) {}
    void Warn(long line, std::string text) { m_Findings.push_back({line, false, std::move(text)}); }
    void Error(long line, std::string text) { m_Findings.push_back({line, true, std::move(text)}); }

    // Prints the findings and a closing line; returns the exit status.
    int Finish(bool sayOK = true) {
        Print();
        const auto errors = std::count_if(m_Findings.begin(), m_Findings.end(), [](const Finding& f) { return f.error; });
        if (errors) {
            std::cerr << m_Path << ": cannot be loaded\n";
            return kUnusable;
        }
        if (m_Findings.empty()) {
            if (sayOK) std::cerr << m_Path << ": OK\n";
            return kClean;
        }
        std::cerr << m_Path << ": " << m_Findings.size() << (m_Findings.size() == 1 ? " warning\n" : " warnings\n");
        return kWarnings;
    }

private:

    // In file order, like a compiler's messages; findings about the whole file come last.
    void Print() {
        auto key = [](const Finding& f) { return f.line > 0 ? f.line : LONG_MAX; };
        std::stable_sort(m_Findings.begin(), m_Findings.end(),
                         [&](const Finding& a, const Finding& b) { return key(a) < key(b); });
        for (const auto& f : m_Findings) {
            std::cerr << m_Path << ':';
            if (f.line > 0) std::cerr << f.line << ':';
            std::cerr << (f.error ? " error: " : " warning: ") << f.text << '\n';
        }
    }
    std::string m_Path;
    std::vector<Finding> m_Findings;
};

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

long LineOf(const xmlNode* node) { return node ? xmlGetLineNo(node) : 0; }

std::string Name(const xmlChar* name) { return name ? reinterpret_cast<const char*>(name) : ""; }

std::optional<std::string> Attr(xmlNode* element, const char* name) {
    xmlChar* value = xmlGetProp(element, BAD_CAST name);
    if (!value) return std::nullopt;
    std::string text = Name(value);
    xmlFree(value);
    return text;
}

bool IsBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); });
}

std::string Dotted(int addr) {
    unsigned char b[4];
    std::memcpy(b, &addr, sizeof b);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

// What the loader does with an integer attribute (strtol, base 10, kept to 32 bits), said in words
// when the text is not a plain number. The read value is returned in `value`.
std::optional<std::string> IntegerProblem(const std::string& text, int& value) {
    const char* p = text.c_str();
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(p, &end, 10);
    value = static_cast<int>(number);
    if (end == p) return "has no digits: read as 0";
    if (errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return "is out of range: read as " + std::to_string(value);
    if (!IsBlank(end)) return "has trailing " + Quote(end) + ": read as " + std::to_string(value);
    return std::nullopt;
}

struct Binding {
    bool tcp;
    bool v6;
    int port;
    long line;
    std::string what;
    std::string local = "";  // the address it listens on; empty: every address of its family
    bool v6Only = false;     // an IPv6 socket that takes no IPv4 clients (the DNS relay's second one)
};

// What a socket takes, as IPv6 addresses (an IPv4 one as its mapped form): every address (an IPv6
// wildcard, dual-stack), every IPv4 one, every IPv6 one (an IPv6-only wildcard), or one. False for
// an address text such a socket is never bound to.
struct Reach {
    enum Kind { kAll, kAllIPv4, kAllIPv6, kOne } kind;
    in6_addr one;
};

bool ReachOf(const Binding& b, Reach& r) {
    SockAddr s;
    if (!net::ParseLocal(b.local, b.v6 ? AF_INET6 : AF_INET, 0, s)) return false;
    r.one = s.Family() == AF_INET ? ToIPv6(static_cast<int>(s.V4().sin_addr.s_addr)) : s.V6().sin6_addr;
    const bool any = s.Family() == AF_INET ? s.V4().sin_addr.s_addr == INADDR_ANY : IN6_IS_ADDR_UNSPECIFIED(&r.one);
    r.kind = !any ? Reach::kOne : !b.v6 ? Reach::kAllIPv4 : b.v6Only ? Reach::kAllIPv6 : Reach::kAll;
    return true;
}

// Whether two sockets of one protocol and port want an address in common.
bool Overlap(const Binding& a, const Binding& b) {
    Reach x, y;
    if (!ReachOf(a, x) || !ReachOf(b, y)) return false;
    if (x.kind == Reach::kOne && y.kind == Reach::kOne) return std::memcmp(&x.one, &y.one, sizeof x.one) == 0;
    if (x.kind == Reach::kAll || y.kind == Reach::kAll) return true;
    if (x.kind != Reach::kOne && y.kind != Reach::kOne) return x.kind == y.kind;
    const Reach& all = x.kind == Reach::kOne ? y : x;
    const Reach& one = x.kind == Reach::kOne ? x : y;
    return static_cast<bool>(IN6_IS_ADDR_V4MAPPED(&one.one)) == (all.kind == Reach::kAllIPv4);
}

// The host's addresses, from VEXAPROXY_CHECK_ADDRESSES when set, otherwise from its interfaces.
std::vector<SockAddr> HostAddresses() {
    std::vector<SockAddr> addrs;
    if (const char* given = std::getenv("VEXAPROXY_CHECK_ADDRESSES")) {
        std::vector<std::string> texts;
        ParseString(given, " ", texts);
        for (const auto& text : texts) {
            SockAddr a;
            if (!text.empty() && (net::ParseLocal(text, AF_INET, 0, a) || net::ParseLocal(text, AF_INET6, 0, a)))
                addrs.push_back(a);
        }
        return addrs;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addrs;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        if (i->ifa_addr->sa_family == AF_INET) addrs.emplace_back(*reinterpret_cast<const sockaddr_in*>(i->ifa_addr));
        else if (i->ifa_addr->sa_family == AF_INET6) addrs.emplace_back(*reinterpret_cast<const sockaddr_in6*>(i->ifa_addr));
    }
    ::freeifaddrs(list);
    return addrs;
}

bool IsIPv4(const SockAddr& a) {
    return a.Family() == AF_INET || (a.Family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&a.V6().sin6_addr));
}

// An address the internet reaches: IPv4 outside the private, shared, loopback, link-local,
// multicast and reserved ranges; IPv6 in the global unicast range.
bool IsGlobal(const SockAddr& a) {
    static const AllowList local = AllowList::Parse(
        "0.0.0.0/8 10.0.0.0/8 100.64.0.0/10 127.0.0.0/8 169.254.0.0/16 172.16.0.0/12 192.168.0.0/16 224.0.0.0/3");
    static const AllowList global6 = AllowList::Parse("2000::/3");
    return IsIPv4(a) ? !local.Allows(a) : global6.Allows(a);
}

std::string AddressText(const SockAddr& a) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (a.Family() == AF_INET) ::inet_ntop(AF_INET, &a.V4().sin_addr, text, sizeof text);
    else ::inet_ntop(AF_INET6, &a.V6().sin6_addr, text, sizeof text);
    return text;
}

class Checker {
public:
    Checker(Report& report, CProxyCFG& cfg, std::vector<SockAddr> hostAddresses)
        : m_Report(report), m_Cfg(cfg), m_HostAddresses(std::move(hostAddresses)) {}

    void Run(bool listing) {
        xmlNode* root = m_Cfg.m_XMLNode;
        CheckAttributes(root, "VEXAProxy", {"DNSSrv", "DNSMaxClients", "DNSIPLocal", "DNSIPv6Local", "DNSAllow"});
        CheckBound(root, "<VEXAProxy>", "DNSMaxClients", m_Cfg.m_DNSMaxClients);
        for (const char* attr : {"DNSMaxClients", "DNSIPLocal", "DNSIPv6Local", "DNSAllow"})
            if (m_Cfg.m_DNSSrv.empty() && Attr(root, attr))
                m_Report.Warn(LineOf(root), std::string("<VEXAProxy> ") + attr + " is ignored without DNSSrv: no DNS relay runs");
        CheckElements(root);
        for (const auto& node : m_Cfg.m_Nodes) {
            switch (node->TypNode()) {
            case CProxyPort::kTypNode: CheckPort(static_cast<const CProxyPort&>(*node)); break;
            case CProxyDNS::kTypNode: CheckDNS(static_cast<const CProxyDNS&>(*node)); break;
            case CProxyCloudRM7::kTypNode: CheckCloud(static_cast<const CProxyCloudRM7&>(*node)); break;
            }
            if (listing) List(*node);
        }
        // The daemon starts the DNS relay after every rule.
        if (!m_Cfg.m_DNSSrv.empty()) {
            const DBString relay = DNSRelayLine(m_Cfg, 53);
            if (listing && !relay.empty()) std::cout << relay.ToStr() << '\n';
            const std::string where = "<VEXAProxy>";
            CheckAllow(root, where, "DNSAllow", m_Cfg.m_DNSAllow);
            if (CheckLocal(root, where, "DNSIPLocal", m_Cfg.m_DNSIPLocal, AF_INET, "the DNS relay is not started")) {
                Bind({false, false, 53, LineOf(root), "the DNS relay (DNSSrv)", m_Cfg.m_DNSIPLocal.ToStr()});
                // Its TCP side, where clients retry answers too large for a datagram.
                Bind({true, false, 53, LineOf(root), "the DNS relay (DNSSrv)", m_Cfg.m_DNSIPLocal.ToStr()});
                CheckOpen(root, "the DNS relay", m_Cfg.m_DNSIPLocal, AF_INET, m_Cfg.m_DNSAllow,
                          "an open resolver anyone can use to flood others with answers; DNSAllow or DNSIPLocal restrict it");
            }
            // Its IPv6 sockets take IPv6 clients only, beside the IPv4 ones; an IPv6 rule on 53 may
            // still hold their address.
            if (!m_Cfg.m_DNSIPv6Local.empty() && CheckLocal(root, where, "DNSIPv6Local", m_Cfg.m_DNSIPv6Local, AF_INET6,
                                                            "the DNS relay does not listen for IPv6 clients")) {
                for (bool tcp : {false, true})
                    Bind({tcp, true, 53, LineOf(root), "the DNS relay (DNSIPv6Local)", m_Cfg.m_DNSIPv6Local.ToStr(), true});
            }
        } else if (m_FirstDNSLine)
            m_Report.Warn(m_FirstDNSLine, "<DNS> elements but no DNSSrv on <VEXAProxy>: no DNS relay runs, the names are only listed");
        CheckBudget();
    }

private:
    static void List(const CNodeProxyCFG& node) {
        switch (node.TypNode()) {
        case CProxyPort::kTypNode:
            std::cout << SummaryLine(static_cast<const CProxyPort&>(node)).ToStr() << '\n';
            break;
        case CProxyDNS::kTypNode: {
            const auto& dns = static_cast<const CProxyDNS&>(node);
            std::cout << SummaryLine(dns).ToStr() << '\n'
                      << CBaseLog::DumpText(L"Question", dns.m_Question, static_cast<int>(dns.m_LenQuestion)).ToStr() << '\n'
                      << CBaseLog::DumpText(L"Answer  ", dns.m_Answer, static_cast<int>(dns.m_LenAnswer)).ToStr() << '\n';
            break;
        }
        case CProxyCloudRM7::kTypNode: {
            const auto& cloud = static_cast<const CProxyCloudRM7&>(node);
            std::cout << SummaryLine(cloud).ToStr() << '\n';
            if (cloud.m_PortCloud == 0) std::cout << DBString(kNotSetPortCloud).ToStr() << '\n';
            break;
        }
        }
    }

    // Children of the root the loader skips: other elements and stray text.
    void CheckElements(xmlNode* root) {
        for (xmlNode* child = root->children; child; child = child->next) {
            if (child->type == XML_ELEMENT_NODE) {
                const std::string name = Name(child->name);
                if (name != CProxyPort::kElement && name != CProxyDNS::kElement && name != CProxyCloudRM7::kElement)
                    m_Report.Warn(LineOf(child), "element <" + name + "> is ignored" +
                                                     Hint(name, {CProxyPort::kElement, CProxyDNS::kElement, CProxyCloudRM7::kElement}));
            } else {
                CheckText(child, "VEXAProxy");
            }
        }
    }

    void CheckText(xmlNode* node, const std::string& parent) {
        if (node->type != XML_TEXT_NODE && node->type != XML_CDATA_SECTION_NODE) return;
        std::string text = Name(node->content);
        if (IsBlank(text)) return;
        // libxml2 numbers a text node by the line where it ends; the finding belongs to the line
        // where its first visible character stands.
        const size_t first = text.find_first_not_of(" \t\r\n");
        const long line = LineOf(node) - std::count(text.begin() + first, text.end(), '\n');
        text = text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
        if (text.size() > 20) text = text.substr(0, 20) + "...";
        m_Report.Warn(line, "text " + Quote(text) + " inside <" + parent + "> is ignored");
    }

    // Attributes the daemon never reads, and anything nested in a rule element.
    void CheckAttributes(xmlNode* element, const std::string& name, std::vector<const char*> known) {
        for (xmlAttr* attr = element->properties; attr; attr = attr->next) {
            const std::string attrName = Name(attr->name);
            if (std::none_of(known.begin(), known.end(), [&](const char* k) { return attrName == k; }))
                m_Report.Warn(LineOf(element), "attribute " + attrName + " of <" + name + "> is ignored" + Hint(attrName, known));
        }
    }

    void CheckNested(xmlNode* element, const std::string& name) {
        for (xmlNode* child = element->children; child; child = child->next) {
            if (child->type == XML_ELEMENT_NODE)
                m_Report.Warn(LineOf(child), "element <" + Name(child->name) + "> inside <" + name + "> is ignored");
            else
                CheckText(child, name);
        }
    }

    // Names are compared exactly; a near miss in letter case deserves a hint.
    static std::string Hint(const std::string& name, const std::vector<const char*>& known) {
        for (const char* k : known)
            if (strcasecmp(name.c_str(), k) == 0) return " (names are case-sensitive: " + std::string(k) + "?)";
        return "";
    }

    // Warns about an integer attribute's text; returns whether it read cleanly (or is absent).
    bool CheckInteger(xmlNode* element, const std::string& where, const char* attr, const std::string& extra = "") {
        auto text = Attr(element, attr);
        if (!text) return true;
        int value = 0;
        if (auto problem = IntegerProblem(*text, value)) {
            m_Report.Warn(LineOf(element), where + " " + attr + " " + Quote(*text) + " " + *problem + extra);
            return false;
        }
        return true;
    }

    // A bound that does not read as a positive number leaves the table a fair share of the budget.
    void CheckBound(xmlNode* element, const std::string& where, const char* attr, int read) {
        auto text = Attr(element, attr);
        if (!text) return;
        int value = 0;
        auto problem = IntegerProblem(*text, value);
        if (value < 0) problem = problem ? *problem + ", and a negative bound counts as 0" : "is negative: read as 0";
        if (problem)
            m_Report.Warn(LineOf(element), where + " " + attr + " " + Quote(*text) + " " + *problem +
                                               (read > 0 ? "" : ", so the table takes a fair share of the client budget"));
    }

    // The bounds a file sets must fit this system's client budget together; if they do not, the
    // daemon scales every one of them down. The limits are read here, in the checker's own process
    // and cgroup; under the unit its TasksMax and LimitNOFILE apply instead.
    void CheckBudget() {
        std::vector<std::string> names;
        std::vector<const CNodeProxyCFG*> nodes;
        const auto demands = Demands(m_Cfg, &names, &nodes);
        if (std::none_of(demands.begin(), demands.end(), [](const TableDemand& d) { return d.wanted > 0; })) return;
        Limits limits = Limits::Read();
        // The daemon raises its descriptor limit to the hard one before it works out its budget.
        if (limits.nofileHard > limits.nofile) limits.nofile = limits.nofileHard;
        const Budget budget = BudgetFor(m_Cfg, limits);
        const BoundPlan plan = PlanBounds(budget, demands);
        std::string clamped;
        long line = 0;
        for (size_t i = 0; i < demands.size(); ++i) {
            if (!plan.clamped[i]) continue;
            if (!line) line = LineOf(nodes[i]->m_XMLNode);
            clamped += (clamped.empty() ? "" : ", ") + names[i] + " " + std::to_string(demands[i].wanted) + " -> " +
                       std::to_string(plan.bounds[i]);
        }
        if (clamped.empty()) return;
        m_Report.Warn(line, "MaxClients and DNSMaxClients together need " + std::to_string(plan.wantedThreads) +
                                " client threads, " + std::to_string(plan.wantedFds) + " descriptors and " +
                                std::to_string(plan.wantedBytes >> 20) + " MiB, more than this system's " + budget.Line() +
                                ": the daemon clamps them: " + clamped);
    }

    void CheckPortRange(xmlNode* element, const std::string& where, const char* attr, int value, bool zeroAllowed = false) {
        if ((value >= 1 && value <= 65535) || (zeroAllowed && value == 0)) return;
        if (!Attr(element, attr))
            m_Report.Warn(LineOf(element), where + " has no " + attr + ": port " + std::to_string(value) + " is used");
        else
            m_Report.Warn(LineOf(element), where + " " + attr + " " + std::to_string(value) + " is not a port (1..65535)");
    }

    // An Allow list: each entry the daemon skips, and a list left serving nobody.
    void CheckAllow(xmlNode* e, const std::string& where, const char* attr, const AllowList& allow) {
        for (const auto& bad : allow.BadEntries())
            m_Report.Warn(LineOf(e), where + " " + attr + " entry " + Quote(bad.text) + " is skipped: it " + bad.why);
        if (allow.ServesNobody()) m_Report.Warn(LineOf(e), where + " " + attr + " has no valid entry: nobody is served");
    }

    // A listening address of the socket's family; returns whether it reads (or is absent).
    bool CheckLocal(xmlNode* e, const std::string& where, const char* attr, const DBString& local, int family,
                    const std::string& result) {
        SockAddr addr;
        if (net::ParseLocal(local.ToStr(), family, 0, addr)) return true;
        m_Report.Warn(LineOf(e), where + " " + attr + " " + Quote(local.ToStr()) + " is not an " +
                                     (family == AF_INET ? "IPv4 address" : "IPv6 or IPv4 address") +
                                     " (names are not resolved): " + result);
        return false;
    }

    // A datagram relay that serves every source on an address the internet reaches relays (and
    // reflects) for anyone.
    void CheckOpen(xmlNode* e, const std::string& what, const DBString& local, int family, const AllowList& allow,
                   const std::string& risk) {
        if (allow.Given()) return;
        SockAddr at;
        net::ParseLocal(local.ToStr(), family, 0, at);
        std::optional<SockAddr> global;
        if (!local.empty()) {
            if (IsGlobal(at)) global = at;
        } else {
            for (const auto& a : m_HostAddresses)
                if (IsGlobal(a) && (family == AF_INET6 || IsIPv4(a))) {
                    global = a;
                    break;
                }
        }
        if (global)
            m_Report.Warn(LineOf(e), what + " serves every source on the global address " + AddressText(*global) + ": " + risk);
    }

    // A limit in seconds as the loader reads it (see LoadSeconds there).
    void CheckSeconds(xmlNode* e, const std::string& where, const char* attr, int def, bool zeroMeansNone) {
        auto text = Attr(e, attr);
        if (!text) return;
        int value = 0;
        const auto problem = IntegerProblem(*text, value);
        const bool trailing = problem && problem->rfind("has trailing", 0) == 0;
        if ((problem && !trailing) || value < 0 || (value == 0 && !zeroMeansNone))
            m_Report.Warn(LineOf(e), where + " " + attr + " " + Quote(*text) + " is not " +
                                         (zeroMeansNone ? "0 or a number of seconds" : "a positive number of seconds") +
                                         ": the default " + std::to_string(def) + " is used");
        else if (problem)
            m_Report.Warn(LineOf(e), where + " " + attr + " " + Quote(*text) + " " + *problem);
    }

    void CheckPort(const CProxyPort& port) {
        xmlNode* e = port.m_XMLNode;
        const std::string where = "<Port>";
        CheckAttributes(e, "Port", {"TypProt", "PortLocal", "PortRemote", "IPRemote", "IPv6Remote", "Note", "HTTPHost", "Echo",
                                    "MaxClients", "IPLocal", "IPv6Local", "Allow", "IdleLimit", "OpenLimit"});
        CheckNested(e, "Port");

        if (auto typ = Attr(e, "TypProt")) {
            std::string t = DBString(*typ).Trim().ToStr();
            if (t != "UDP" && t != "TCP" && t != "UDPv6" && t != "TCPv6")
                m_Report.Warn(LineOf(e), where + " TypProt " + Quote(*typ) + " is not UDP, TCP, UDPv6 or TCPv6: the rule runs as UDP over IPv4");
        }
        if (CheckInteger(e, where, "PortLocal")) CheckPortRange(e, where, "PortLocal", port.m_PortLocal);
        CheckInteger(e, where, "Echo", port.IsEcho() ? ", so the rule is an echo rule" : ", so the rule forwards");

        const bool tcp = port.m_TypProt == CProxyPort::TCP || port.m_TypProt == CProxyPort::TCPv6;
        const bool v6 = port.m_TypProt == CProxyPort::UDPv6 || port.m_TypProt == CProxyPort::TCPv6;
        if (!tcp && Attr(e, "HTTPHost")) m_Report.Warn(LineOf(e), where + " HTTPHost is ignored on UDP rules");
        CheckBound(e, where, "MaxClients", port.m_MaxClients);
        if (!tcp && port.IsEcho() && Attr(e, "MaxClients"))
            m_Report.Warn(LineOf(e), where + " MaxClients is ignored on UDP echo rules: they keep no clients");

        if (port.IsEcho()) {
            std::string unused;
            for (const char* a : {"PortRemote", "IPRemote", "IPv6Remote"})
                if (Attr(e, a)) unused += std::string(unused.empty() ? "" : ", ") + a;
            if (!unused.empty()) m_Report.Warn(LineOf(e), where + " is an echo rule: " + unused + " not used");
        } else {
            if (CheckInteger(e, where, "PortRemote")) CheckPortRange(e, where, "PortRemote", port.m_PortRemote);
            CheckTarget(port);
        }
        const std::string kind = DBString(KindText(port)).ToStr();
        CheckAllow(e, where, "Allow", port.m_Allow);
        CheckSeconds(e, where, "IdleLimit", tcp ? CProxyPort::kTCPIdleLimit : CProxyPort::kUDPIdleLimit, false);
        if (tcp) CheckSeconds(e, where, "OpenLimit", CProxyPort::kTCPOpenLimit, true);
        else if (Attr(e, "OpenLimit")) m_Report.Warn(LineOf(e), where + " OpenLimit is ignored on UDP rules");
        const char* localAttr = v6 ? "IPv6Local" : "IPLocal";
        const char* otherAttr = v6 ? "IPLocal" : "IPv6Local";
        if (Attr(e, otherAttr))
            m_Report.Warn(LineOf(e), where + " " + otherAttr + " is ignored on " + kind + " rules: they listen on " + localAttr);
        if (!CheckLocal(e, where, localAttr, port.LocalHost(), v6 ? AF_INET6 : AF_INET, "the rule is not started")) return;
        if (port.m_PortLocal >= 1 && port.m_PortLocal <= 65535) {
            Bind({tcp, v6, port.m_PortLocal, LineOf(e), "the " + kind + " rule", port.LocalHost().ToStr()});
            if (!tcp)
                CheckOpen(e, "the " + kind + " rule", port.LocalHost(), v6 ? AF_INET6 : AF_INET, port.m_Allow,
                          "it relays and reflects datagrams for anyone; Allow or " + std::string(localAttr) + " restrict it");
        }
    }

    void CheckTarget(const CProxyPort& port) {
        xmlNode* e = port.m_XMLNode;
        const std::string ip = port.m_IPRemote.ToStr();
        const std::string ip6 = port.m_IPv6Remote.ToStr();
        if (ip.empty() && ip6.empty()) {
            m_Report.Warn(LineOf(e), "<Port> has neither IPRemote nor IPv6Remote nor Echo: it forwards nowhere");
            return;
        }
        if (!ip.empty()) {
            if (!ip6.empty()) m_Report.Warn(LineOf(e), "<Port> IPv6Remote is ignored: IPRemote is set");
            // A host name is resolved; digits and dots alone must make a proper IPv4 address, or the
            // resolver reads them its own way ("10.1" is 10.0.0.1) or not at all.
            in_addr a4{};
            if (ip.find_first_not_of("0123456789.") == std::string::npos && inet_pton(AF_INET, ip.c_str(), &a4) != 1)
                m_Report.Warn(LineOf(e), "<Port> IPRemote " + Quote(ip) + " is not an IPv4 address of four numbers 0..255");
            return;
        }
        in6_addr a6{};
        if (inet_pton(AF_INET6, ip6.c_str(), &a6) != 1)
            m_Report.Warn(LineOf(e), "<Port> IPv6Remote " + Quote(ip6) + " is not an IPv6 address (host names are not resolved there)");
    }

    void CheckDNS(const CProxyDNS& dns) {
        xmlNode* e = dns.m_XMLNode;
        if (!m_FirstDNSLine) m_FirstDNSLine = LineOf(e);
        const std::string name = dns.m_DNSName.ToStr();
        const std::string where = "<DNS " + name + ">";
        CheckAttributes(e, "DNS", {"Name", "IP", "Note"});
        CheckNested(e, "DNS");

        if (auto ip = Attr(e, "IP")) CheckAddress(e, where, *ip, dns.m_IP);
        else m_Report.Warn(LineOf(e), where + " has no IP: it is answered with 0.0.0.0");

        if (name.empty()) {
            m_Report.Warn(LineOf(e), "<DNS> has no Name: no query ever matches it");
            return;
        }
        if (dns.m_LenQuestion == 0)
            m_Report.Warn(LineOf(e), where + " name is too long (more than 115 bytes of labels): it is never answered locally");
        else if (dns.m_LenAnswer == 0)
            m_Report.Warn(LineOf(e), where + " name is too long for an answer (more than 99 bytes of labels): the query is recognised but no answer can be built");
        std::vector<std::string> labels;
        ParseString(name, ".", labels);
        if (std::any_of(labels.begin(), labels.end(), [](const std::string& l) { return l.empty(); }))
            m_Report.Warn(LineOf(e), where + " has an empty label (a leading, doubled or trailing dot): no query ever matches it");
        if (std::any_of(labels.begin(), labels.end(), [](const std::string& l) { return l.size() > 63; }))
            m_Report.Warn(LineOf(e), where + " has a label longer than 63 bytes: no query ever matches it");
    }

    // Four decimal numbers 0..255 separated by dots, nothing else.
    void CheckAddress(xmlNode* e, const std::string& where, const std::string& text, int read) {
        std::vector<std::string> parts;
        ParseString(text, ".", parts);
        const std::string result = read ? "read as " + Dotted(read) : "the answer carries 0.0.0.0";
        const bool digitsOnly = std::all_of(parts.begin(), parts.end(), [](const std::string& p) {
            return !p.empty() && p.size() <= 3 && p.find_first_not_of("0123456789") == std::string::npos;
        });
        if (parts.size() != 4 || !digitsOnly) {
            const std::string count = parts.size() == 4 ? "is not four plain numbers" : "has " + std::to_string(parts.size()) + " parts, not four numbers";
            m_Report.Warn(LineOf(e), where + " IP " + Quote(text) + " " + count + ": " + result);
            return;
        }
        if (std::any_of(parts.begin(), parts.end(), [](const std::string& p) { return std::stoi(p) > 255; }))
            m_Report.Warn(LineOf(e), where + " IP " + Quote(text) + " has a number above 255: " + result);
    }

    void CheckCloud(const CProxyCloudRM7& cloud) {
        xmlNode* e = cloud.m_XMLNode;
        const std::string where = "<CloudRM7>";
        CheckAttributes(e, "CloudRM7", {"PortRM7", "PortCloud", "PortVEXACloud", "VEXACloud", "MaxClients", "IPLocal", "Allow"});
        CheckNested(e, "CloudRM7");
        CheckBound(e, where, "MaxClients", cloud.m_MaxClients);
        if (CheckInteger(e, where, "PortRM7")) CheckPortRange(e, where, "PortRM7", cloud.m_PortRM7);
        if (CheckInteger(e, where, "PortVEXACloud")) CheckPortRange(e, where, "PortVEXACloud", cloud.m_PortVEXACloud);
        const bool cloudClean = CheckInteger(e, where, "PortCloud");
        CheckAllow(e, where, "Allow", cloud.m_Allow);
        const bool localClean = CheckLocal(e, where, "IPLocal", cloud.m_IPLocal, AF_INET6, "the cloud relay is not started");
        if (cloud.m_PortCloud == 0) {
            if (cloudClean) m_Report.Warn(LineOf(e), where + " without PortCloud: the cloud relay is not started (\"Not set PortCloud\")");
            return;
        }
        if (cloudClean) CheckPortRange(e, where, "PortCloud", cloud.m_PortCloud);
        const auto host = Attr(e, "VEXACloud");
        if (!host || DBString(*host).Trim().empty()) {
            // The daemon resolves the cloud host before it binds anything: this element binds
            // nothing and a later one gets its turn.
            m_Report.Warn(LineOf(e), where + (host ? " VEXACloud is empty" : " has no VEXACloud") + ": device data goes to " +
                                         DBString(CProxyCloudRM7::kDefaultCloud).ToStr() + ", which never resolves");
            return;
        }

        if (m_CloudLine) {
            m_Report.Warn(LineOf(e), where + " is only listed: the cloud relay already runs from line " + std::to_string(m_CloudLine));
            return;
        }
        // The relay binds its device side, then its cloud side; when the second fails the first
        // stays bound and a later CloudRM7 element gets its turn.
        const long line = LineOf(e);
        if (!localClean) return;
        if (!Bind({false, true, cloud.m_PortRM7, line, "the cloud relay's device side (PortRM7)", cloud.m_IPLocal.ToStr()})) return;
        if (!Bind({false, true, cloud.m_PortCloud, line, "the cloud relay's cloud side (PortCloud)"})) return;
        m_CloudLine = line;
    }

    // Records a socket bound in the daemon's start order; a clash with an earlier one is reported
    // (this later one fails to bind). IPv6 sockets are dual-stack by the system's default.
    bool Bind(const Binding& b) {
        if (b.port < 1 || b.port > 65535) return true;
        for (const auto& other : m_Bound) {
            if (other.tcp != b.tcp || other.port != b.port || !Overlap(other, b)) continue;
            std::string text = b.what + " on " + (b.tcp ? "TCP" : "UDP") + " port " + std::to_string(b.port) +
                               " clashes with " + other.what + (other.line ? " on line " + std::to_string(other.line) : "") +
                               ": it fails to bind";
            if (other.v6 != b.v6 && (other.v6 ? other : b).local.empty())
                text += " (an IPv6 socket takes IPv4 too unless net.ipv6.bindv6only=1)";
            m_Report.Warn(b.line, text);
            return false;
        }
        m_Bound.push_back(b);
        return true;
    }

    Report& m_Report;
    CProxyCFG& m_Cfg;
    const std::vector<SockAddr> m_HostAddresses;
    std::vector<Binding> m_Bound;
    long m_FirstDNSLine = 0;
    long m_CloudLine = 0;  // the CloudRM7 element whose relay runs
};

// libxml2's own messages while the loader reads the file.
struct ParserMessage {
    long line;
    std::string text;
};

void CollectParserMessage(void* ctx, xmlErrorPtr error) {
    if (!error || error->level == XML_ERR_NONE) return;
    std::string text = error->message ? error->message : "unknown XML error";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    static_cast<std::vector<ParserMessage>*>(ctx)->push_back({error->line, "XML: " + text});
}

void Usage(std::ostream& out) {
    out << "usage: vexaproxy-check [-q] [FILE]\n"
           "Loads FILE (default " << kDefaultFile << ") as vexaproxy does, prints the rules as the\n"
           "daemon will run them and warns about every value it would default, misread or ignore.\n"
           "  -q, --quiet    do not print the rules, only the problems\n"
           "  -h, --help     this text\n"
           "  -V, --version  the version\n"
           "Exit status: 0 clean, 1 warnings, 2 the file cannot be loaded.\n";
}

}  // namespace

int main(int argc, char** argv) {
    bool listing = true;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-q" || arg == "--quiet") listing = false;
        else if (arg == "-h" || arg == "--help") { Usage(std::cout); return kClean; }
        else if (arg == "-V" || arg == "--version") { std::cout << "vexaproxy-check " << VEXAPROXY_VERSION_TEXT << '\n'; return kClean; }
        else if (!arg.empty() && arg[0] == '-') { std::cerr << "vexaproxy-check: unknown option " << arg << '\n'; Usage(std::cerr); return kUnusable; }
        else if (!path) path = argv[i];
        else { std::cerr << "vexaproxy-check: only one FILE\n"; Usage(std::cerr); return kUnusable; }
    }
    if (!path) path = kDefaultFile;
    Report report(path);

    // The daemon's own readability test: a file it cannot open counts as missing.
    if (FILE* f = std::fopen(path, "rb")) {
        std::fclose(f);
    } else {
        const int err = errno;
        report.Error(0, std::string("cannot be read (") + std::strerror(err) +
                            "): the daemon logs \"Configuration not found\" and starts nothing");
        return report.Finish();
    }

    // Parser set-up as in the daemon; its messages are collected here instead of going to the log.
    xmlInitParser();
    xmlKeepBlanksDefault(0);
    std::vector<ParserMessage> messages;
    xmlSetStructuredErrorFunc(&messages, CollectParserMessage);
    CProxyCFG cfg;
    try {
        cfg.XMLLoadFile(path);
    } catch (const ErrorXML& e) {
        xmlSetStructuredErrorFunc(nullptr, nullptr);
        report.Error(0, "the loader failed: " + e.m_Text.ToStr());
        return report.Finish();
    }
    xmlSetStructuredErrorFunc(nullptr, nullptr);

    // A file that does not parse is replaced by the loader's built-in empty document, which has no
    // URL; then every parser message is an error. Otherwise they are warnings (namespace faults).
    if (!cfg.m_XMLDOM || !cfg.m_XMLDOM->URL) {
        for (auto& m : messages) report.Error(m.line, m.text);
        report.Error(0, "cannot be parsed: the daemon starts with an empty configuration");
        return report.Finish();
    }
    for (auto& m : messages) report.Warn(m.line, m.text);
    if (!cfg.m_XMLNode) {
        xmlNode* top = xmlDocGetRootElement(cfg.m_XMLDOM.get());
        report.Error(LineOf(top), "the root element is <" + (top ? Name(top->name) : std::string()) +
                                      ">, not <VEXAProxy>: the daemon starts with an empty configuration");
        return report.Finish();
    }

    Checker(report, cfg, HostAddresses()).Run(listing);
    std::cout.flush();
    return report.Finish(listing);
}
