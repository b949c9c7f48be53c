#pragma once
// The start-up listing: the line written to the main log for each configuration node. The daemon
// and vexaproxy-check both print these, so an operator can match the checker's output with the log.
#include <vector>

#include "config/CProxyCFG.h"
#include "util/DBString.h"
#include "util/RuleName.h"

// The rule's kind, as its port runs it.
RuleKind KindOf(const CProxyPort& port);
// "UDPv4", "TCPv4", "UDPv6" or "TCPv6": the rule's kind as the listing names it.
const wchar_t* KindText(const CProxyPort& port);
// "TCPv4  8080 -> [192.168.1.10]:80 Host: portal", "UDPv4     7 -> Echo"; a rule with a listening
// address or an Allow list adds " listen 127.0.0.2 allow 10.0.0.0/8,fd00::/8" (each only when given,
// the list in canonical form, "allow none" for one without a valid entry).
DBString SummaryLine(const CProxyPort& port);
// "DNS printer.lan 192.168.0.50 office"; the question and answer dumps follow it in the log.
DBString SummaryLine(const CProxyDNS& dns);
// "RM7 UDP 4999 Cloud UDP 5000 -> [cloud.vexa.invalid]:4999", with " listen ... allow ..." as above
// for the device side.
DBString SummaryLine(const CProxyCloudRM7& cloud);
// "DNSSrv    53 -> [10.0.0.53]:53 listen 192.168.0.1 allow 192.168.0.0/16" for a DNS relay on port
// with DNSIPLocal or DNSAllow; empty otherwise (no line: a file without them lists as it always did).
DBString DNSRelayLine(const CProxyCFG& cfg, int port);
// The lines written after a node's summary line (for the DNS relay, on port, before it starts)
// about its listening address and its Allow list, named as the rule's other lines name it:
//   TCPv4 08080 IPLocal "10.1" is not an address: not started
//   TCPv4 08080 Allow entry "10.0.0.1/8" skipped: it has address bits set past its prefix (10.0.0.0/8?)
//   TCPv4 08080 Allow has no valid entry: nobody is served
// None for a node without those attributes.
std::vector<DBString> StartNotes(const CProxyPort& port);
std::vector<DBString> StartNotes(const CProxyCloudRM7& cloud);
std::vector<DBString> StartNotes(const CProxyCFG& cfg, int port);

// "Not set PortCloud": written after the summary line of a CloudRM7 node whose PortCloud is 0.
inline constexpr const wchar_t* kNotSetPortCloud = L"Not set PortCloud";
