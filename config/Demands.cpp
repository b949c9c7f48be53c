#include "config/Demands.h"

#include "config/RuleSummary.h"

namespace {

struct Table {
    TableDemand demand;
    std::string name;
    const CNodeProxyCFG* node;
};

// Every table, then the ports and relays without one (UDP echo rules), counted for the reserve.
std::vector<Table> Tables(const CProxyCFG& cfg, int* rules) {
    std::vector<Table> tables;
    int count = 0;
    bool cloud = false;
    for (const auto& node : cfg.m_Nodes) {
        if (node->TypNode() == CProxyPort::kTypNode) {
            const auto& port = static_cast<const CProxyPort&>(*node);
            ++count;
            const bool tcp = port.m_TypProt == CProxyPort::TCP || port.m_TypProt == CProxyPort::TCPv6;
            // A UDP echo answers from its port's own socket and keeps no clients.
            if (!tcp && port.IsEcho()) continue;
            tables.push_back({{tcp ? kCostTCP : kCostUDP, port.m_MaxClients, 0},
                              RuleName(KindOf(port), port.m_PortLocal).ToStr(), &port});
        } else if (node->TypNode() == CProxyCloudRM7::kTypNode) {
            const auto& rm7 = static_cast<const CProxyCloudRM7&>(*node);
            // The first element with a cloud side runs the relay; the daemon ignores later ones.
            if (rm7.m_PortCloud == 0 || cloud) continue;
            cloud = true;
            ++count;
            tables.push_back({{kCostRM7, rm7.m_MaxClients, kRM7Devices}, RuleName(RuleKind::CloudRM7, rm7.m_PortRM7).ToStr(), &rm7});
        }
    }
    if (!cfg.m_DNSSrv.empty()) {
        ++count;
        tables.push_back({{kCostDNS, cfg.m_DNSMaxClients, 0}, RuleName(RuleKind::DNS, 53).ToStr(), &cfg});
    }
    if (rules) *rules = count;
    return tables;
}

}  // namespace

std::vector<TableDemand> Demands(const CProxyCFG& cfg, std::vector<std::string>* names,
                                 std::vector<const CNodeProxyCFG*>* nodes) {
    std::vector<TableDemand> demands;
    for (auto& t : Tables(cfg, nullptr)) {
        demands.push_back(t.demand);
        if (names) names->push_back(std::move(t.name));
        if (nodes) nodes->push_back(t.node);
    }
    return demands;
}

Budget BudgetFor(const CProxyCFG& cfg, const Limits& limits) {
    int rules = 0;
    Tables(cfg, &rules);
    return Budget::From(limits, ReserveThreads(rules), ReserveFds(rules));
}
