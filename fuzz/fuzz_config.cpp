// The configuration loader: file bytes in, the node tree and its start-up listing out.
#include <string>

#include "config/CProxyCFG.h"
#include "config/RuleSummary.h"
#include "fuzz/FuzzUtil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitXml();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::WriteTemp("config", data, size);
    CProxyCFG cfg;
    cfg.XMLLoadFile(path.c_str());
    for (const auto& node : cfg.m_Nodes) {
        FUZZ_CHECK(node);
        DBString line;
        switch (node->TypNode()) {
        case CProxyPort::kTypNode: line = SummaryLine(static_cast<const CProxyPort&>(*node)); break;
        case CProxyDNS::kTypNode: {
            const auto& dns = static_cast<const CProxyDNS&>(*node);
            FUZZ_CHECK(dns.m_LenQuestion <= CProxyDNS::kImageSize && dns.m_LenAnswer <= CProxyDNS::kImageSize);
            line = SummaryLine(dns);
            break;
        }
        case CProxyCloudRM7::kTypNode: line = SummaryLine(static_cast<const CProxyCloudRM7&>(*node)); break;
        default: FUZZ_CHECK(false);
        }
        (void)line.ToStr();
    }
    fuzz::DrainLogs();
    return 0;
}
