#include "dns/CDNSLog.h"

#include <arpa/inet.h>

#include "util/DBTime.h"
#include "util/Digits.h"

std::string CDNSLog::Record(typRec typ, const unsigned char* data, int len, int id, const sockaddr_in& addr,
                            DBTime time) {
    // "%05d %03d.%03d.%03d.%03d:%05d " with the association, the address bytes and the port.
    const auto* a = reinterpret_cast<const unsigned char*>(&addr.sin_addr.s_addr);
    char head[digits::DecimalMax(5) + 1 + 4 * 4 + 5 + 1];
    char* h = digits::Decimal(head, id, 5);
    *h++ = ' ';
    for (int k = 0; k < 4; ++k) {
        h = digits::Unsigned(h, a[k], 3);
        *h++ = k < 3 ? '.' : ':';
    }
    h = digits::Unsigned(h, ntohs(addr.sin_port), 5);
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
    if (len < 1) return 1;
    PutDirect(Record(typ, data, len, id, addr, DBTime::CurDateTime()));
    return 1;
}
