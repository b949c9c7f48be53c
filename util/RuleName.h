#pragma once
// The kinds of rule and relay and the names their lines go by: the start-up listing, the table sums,
// the status block and the sizing report all call a rule "UDPv4 00053".
#include "util/DBString.h"

// The first four in the order of the configuration's protocol codes (UDP, TCP, UDPv6, TCPv6).
enum class RuleKind : int { UDPv4, TCPv4, UDPv6, TCPv6, DNS, CloudRM7, DNSTCP };

// "UDPv4", "TCPv4", "UDPv6", "TCPv6", "DNS", "CloudRM7", "DNSTCP" (the DNS relay's TCP side).
const wchar_t* RuleKindText(RuleKind kind);
// The kind and the local port in five digits: "UDPv4 00053".
DBString RuleName(RuleKind kind, int port);
