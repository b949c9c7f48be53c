#include "util/AllowList.h"

#include <arpa/inet.h>
#include <endian.h>

#include <cstring>

#include "util/Net.h"

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ','; }

uint64_t Half(const unsigned char* bytes) {
    uint64_t v;
    std::memcpy(&v, bytes, sizeof v);
    return be64toh(v);
}

// The top bits of a 64-bit half, bits 0..64.
uint64_t TopBits(int bits) {
    if (bits <= 0) return 0;
    if (bits >= 64) return ~uint64_t{0};
    return ~uint64_t{0} << (64 - bits);
}

std::string Cut(std::string_view text) {
    if (text.size() <= AllowList::kShownBytes) return std::string(text);
    return std::string(text.substr(0, AllowList::kShownBytes)) + "...";
}

}  // namespace

AllowList AllowList::Parse(std::string_view text) {
    AllowList list;
    list.m_Given = true;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i])) ++i;
        const size_t begin = i;
        while (i < text.size() && !IsSeparator(text[i])) ++i;
        if (begin == i) break;
        const std::string_view entry = text.substr(begin, i - begin);
        Net net{};
        std::string why;
        if (Read(entry, net, why)) list.m_Nets.push_back(net);
        else list.m_Bad.push_back({Cut(entry), std::move(why)});
    }
    return list;
}

bool AllowList::Read(std::string_view entry, Net& net, std::string& why) {
    const size_t slash = entry.find('/');
    // inet_pton reads up to a NUL: one inside the entry would hide what follows it.
    const std::string addr(entry.substr(0, slash));
    unsigned char bytes[16] = {};
    in_addr a4{};
    in6_addr a6{};
    if (addr.find('\0') == std::string::npos && ::inet_pton(AF_INET, addr.c_str(), &a4) == 1) {
        net.v4 = true;
        bytes[10] = bytes[11] = 0xFF;
        std::memcpy(bytes + 12, &a4, sizeof a4);
    } else if (addr.find('\0') == std::string::npos && ::inet_pton(AF_INET6, addr.c_str(), &a6) == 1) {
        net.v4 = false;
        std::memcpy(bytes, &a6, sizeof a6);
    } else {
        why = "is not an IPv4 or IPv6 address";
        return false;
    }
    const int full = net.v4 ? 32 : 128;
    int length = full;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        length = -1;
        if (!digits.empty() && digits.size() <= 3 && digits.find_first_not_of("0123456789") == std::string_view::npos) {
            length = 0;
            for (char c : digits) length = length * 10 + (c - '0');
        }
        if (length < 0 || length > full) {
            why = "has a prefix length that is not 0.." + std::to_string(full);
            return false;
        }
    }
    const int bits = net.v4 ? length + 96 : length;
    net.length = static_cast<uint8_t>(bits);
    net.maskHi = TopBits(bits);
    net.maskLo = TopBits(bits - 64);
    const uint64_t hi = Half(bytes), lo = Half(bytes + 8);
    net.hi = hi & net.maskHi;
    net.lo = lo & net.maskLo;
    if (net.hi != hi || net.lo != lo) {
        why = "has address bits set past its prefix (" + Show(net) + "?)";
        return false;
    }
    return true;
}

std::string AllowList::Show(const Net& net) {
    unsigned char bytes[16];
    const uint64_t hi = htobe64(net.hi), lo = htobe64(net.lo);
    std::memcpy(bytes, &hi, sizeof hi);
    std::memcpy(bytes + 8, &lo, sizeof lo);
    char text[INET6_ADDRSTRLEN];
    const int length = net.v4 ? net.length - 96 : net.length;
    if (!::inet_ntop(net.v4 ? AF_INET : AF_INET6, net.v4 ? bytes + 12 : bytes, text, sizeof text)) return "?";
    std::string shown = text;
    if (length != (net.v4 ? 32 : 128)) {
        shown += '/';
        shown += std::to_string(length);
    }
    return shown;
}

std::string AllowList::Text() const {
    if (!m_Given) return "";
    if (m_Nets.empty()) return "none";
    std::string text;
    for (const Net& net : m_Nets) {
        if (!text.empty()) text += ',';
        text += Show(net);
    }
    return text;
}

bool AllowList::Allows(const SockAddr& addr) const {
    if (!m_Given) return true;
    uint64_t hi, lo;
    if (addr.Family() == AF_INET) {
        hi = 0;
        lo = uint64_t{0xFFFF} << 32 | ntohl(addr.V4().sin_addr.s_addr);
    } else if (addr.Family() == AF_INET6) {
        hi = Half(addr.V6().sin6_addr.s6_addr);
        lo = Half(addr.V6().sin6_addr.s6_addr + 8);
    } else {
        return false;
    }
    for (const Net& net : m_Nets)
        if ((hi & net.maskHi) == net.hi && (lo & net.maskLo) == net.lo) return true;
    return false;
}
