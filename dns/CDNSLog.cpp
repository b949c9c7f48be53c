#include "dns/CDNSLog.h"

#include <arpa/inet.h>

#include <cstdio>

#include "util/DBTime.h"

std::string CDNSLog::Record(typRec typ, const unsigned char* data, int len, int id,
                            const sockaddr_in& addr, const std::string& time) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto* a = reinterpret_cast<const unsigned char*>(&addr.sin_addr.s_addr);
    char head[64];
    int n = std::snprintf(head, sizeof head, "%05d %03d.%03d.%03d.%03d:%05d ", id, a[0], a[1], a[2], a[3],
                          static_cast<int>(ntohs(addr.sin_port)));
    std::string line;
    line.reserve(static_cast<size_t>(n) + time.size() + 2 + 3 * static_cast<size_t>(len));
    line.append(head, static_cast<size_t>(n));
    line += typ == typSend ? '>' : ' ';
    line += time;
    line += typ == typRecv ? '<' : ' ';
    for (int i = 0; i < len; ++i) {
        line += kHex[data[i] >> 4];
        line += kHex[data[i] & 0x0F];
        line += ' ';
    }
    return line;
}

int CDNSLog::Put(typRec typ, const unsigned char* data, int len, int id, sockaddr_in addr) {
    if (len < 1) return 1;
    PutDirect(Record(typ, data, len, id, addr, DBTime::CurDateTime().DatTimForLog()));
    return 1;
}
