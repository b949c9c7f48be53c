#include "dns/CDNSLog.h"

#include <arpa/inet.h>

#include "util/DBTime.h"
#include "util/Digits.h"

std::string CDNSLog::Record(typRec typ, const unsigned char* data, int len, int id, const SockAddr& addr,
                            DBTime time) {
    // "%05d %03d.%03d.%03d.%03d:%05d " with the association, the address bytes and the port; an
    // IPv6 address as "[" eight groups of "%04x" "]".
    char head[digits::DecimalMax(5) + 1 + 2 + 8 * 5 + 5 + 1];
    char* h = digits::Decimal(head, id, 5);
    *h++ = ' ';
    if (addr.Family() == AF_INET6) {
        const unsigned char* a = addr.V6().sin6_addr.s6_addr;
        *h++ = '[';
        for (int k = 0; k < 16; k += 2) {
            h = digits::Hex(h, a[k]);
            h = digits::Hex(h, a[k + 1]);
            *h++ = k < 14 ? ':' : ']';
        }
        *h++ = ':';
    } else {
        const auto* a = reinterpret_cast<const unsigned char*>(&addr.V4().sin_addr.s_addr);
        for (int k = 0; k < 4; ++k) {
            h = digits::Unsigned(h, a[k], 3);
            *h++ = k < 3 ? '.' : ':';
        }
    }
    h = digits::Unsigned(h, addr.Port(), 5);
    *h++ = ' ';

    std::string line;
    line.reserve(static_cast<size_t>(h - head) + kTimeLength + 2 + 3 * static_cast<size_t>(len));
    line.append(head, h);
    line += typ == typSend ? '>' : ' ';
    time.AppendDatTimForLog(line);
    line += typ == typRecv ? '<' : ' ';
    // The whole datagram, "XX " per byte, written into the line's own buffer.
    const size_t at = line.size();
    line.resize(at + 3 * static_cast<size_t>(len));
    char* p = line.data() + at;
    for (int i = 0; i < len; ++i) {
        p = digits::Hex(p, data[i]);
        *p++ = ' ';
    }
    return line;
}

int CDNSLog::Put(typRec typ, const unsigned char* data, int len, int id, sockaddr_in addr) {
    return Put(typ, data, len, id, SockAddr(addr));
}

int CDNSLog::Put(typRec typ, const unsigned char* data, int len, int id, const SockAddr& addr) {
    if (len < 1) return 1;
    PutDirect(Record(typ, data, len, id, addr, DBTime::CurDateTime()));
    return 1;
}
