#pragma once
// The start-up listing: the line written to the main log for each configuration node. The daemon
// and vexaproxy-check both print these, so an operator can match the checker's output with the log.
#include "config/CProxyCFG.h"
#include "util/DBString.h"
#include "util/RuleName.h"

// The rule's kind, as its port runs it.
RuleKind KindOf(const CProxyPort& port);
// "UDPv4", "TCPv4", "UDPv6" or "TCPv6": the rule's kind as the listing names it.
const wchar_t* KindText(const CProxyPort& port);
// "TCPv4  8080 -> [192.168.1.10]:80 Host: portal", "UDPv4     7 -> Echo"
DBString SummaryLine(const CProxyPort& port);
// "DNS printer.lan 192.168.0.50 office"; the question and answer dumps follow it in the log.
DBString SummaryLine(const CProxyDNS& dns);
// "RM7 UDP 4999 Cloud UDP 5000 -> [cloud.vexa.invalid]:4999"
DBString SummaryLine(const CProxyCloudRM7& cloud);

// "Not set PortCloud": written after the summary line of a CloudRM7 node whose PortCloud is 0.
inline constexpr const wchar_t* kNotSetPortCloud = L"Not set PortCloud";
