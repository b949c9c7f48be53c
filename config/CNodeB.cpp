#include "config/CNodeB.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace VEXACloud {

namespace {

// The attribute's value as libxml2 returns it, or nothing when the attribute is absent.
std::optional<std::string> GetProp(xmlNode* node, const char* attr) {
    if (!node || !attr) return std::nullopt;
    struct Free {
        void operator()(xmlChar* p) const { xmlFree(p); }
    };
    std::unique_ptr<xmlChar, Free> value(xmlGetProp(node, BAD_CAST attr));
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

}  // namespace

DBString CNodeB::XMLLoadString(xmlNode* node, const char* attr, bool trim) {
    auto value = GetProp(node, attr);
    if (!value) return DBString();
    DBString text(*value);
    if (trim) text.Trim();
    return text;
}

int CNodeB::XMLLoadInteger(xmlNode* node, const char* attr, int def) {
    auto value = GetProp(node, attr);
    if (!value) return def;
    // An out-of-range number saturates like strtol; the cast keeps its low 32 bits.
    return static_cast<int>(std::strtol(value->c_str(), nullptr, 10));
}

int CNodeB::XMLLoadIP(xmlNode* node, const char* attr, int def) {
    auto value = GetProp(node, attr);
    if (!value) return def;
    // Reads what "%d.%d.%d.%d" would, without sscanf's undefined behaviour on huge numbers.
    unsigned char bytes[4];
    const char* p = value->c_str();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return def;
            ++p;
        }
        char* end = nullptr;
        long number = std::strtol(p, &end, 10);
        if (end == p) return def;
        bytes[i] = static_cast<unsigned char>(number & 0xFF);
        p = end;
    }
    int addr = 0;
    static_assert(sizeof addr == sizeof bytes);
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

}  // namespace VEXACloud
