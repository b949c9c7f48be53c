#pragma once
// The client tables a configuration makes the daemon run, each with what one client costs and the
// bound the file asks for. The daemon plans its bounds from this list and vexaproxy-check warns
// from the same list, so the two never disagree about what a file demands.
#include <string>
#include <vector>

#include "config/CProxyCFG.h"
#include "util/Budget.h"

// RM7 devices are known by their node numbers, 1 to 9999899: the device table never holds more.
inline constexpr long long kRM7Devices = 9999899;

// One demand per client table in the daemon's start order: every TCP/TCPv6 rule (echo rules too)
// and every forwarding UDP/UDPv6 rule in document order, the cloud relay at the first CloudRM7 with a
// PortCloud, then the DNS relay when DNSSrv is set. With names, also "TCPv4 08080", "UDPv6 05000",
// "CloudRM7 04999", "DNS 00053"; with nodes, the node whose attribute sets each bound (the root
// for the DNS relay).
std::vector<TableDemand> Demands(const CProxyCFG& cfg, std::vector<std::string>* names,
                                 std::vector<const CNodeProxyCFG*>* nodes = nullptr);

// The budget for cfg: Budget::From with the reserve for the ports and relays cfg starts.
Budget BudgetFor(const CProxyCFG& cfg, const Limits& limits);
