// The DNS relay's decision on one datagram from a client: a local answer from the configuration's
// images or forwarding, and the DNS log records of both directions.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "dns/CDNSLog.h"
#include "dns/CDNSPort.h"
#include "fuzz/FuzzUtil.h"

namespace {
const char kConfig[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<VEXAProxy DNSSrv=\"127.0.0.2\">\n"
    "  <DNS Name=\"printer.lan\" IP=\"192.168.0.50\" Note=\"office\"/>\n"
    "  <DNS Name=\"a\" IP=\"10.0.0.1\"/>\n"
    "  <DNS Name=\"x.y.z.example.org\" IP=\"255.255.255.255\"/>\n"
    "  <DNS Name=\"\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbd\xd1\x82\xd0\xb5\xd1\x80.lan\" IP=\"10.1.2.3\"/>\n"
    "  <DNS Name=\"trailing.dot.\" IP=\"10.9.9.9\"/>\n"
    "  <DNS Name=\"a..b\" IP=\"10.9.9.8\"/>\n"
    "  <DNS Name=\"very-long-label-very-long-label-very-long-label-very-long-label-xx."
    "very-long-label-very-long-label-very-long-label-very-long-label-xx\" IP=\"10.9.9.7\"/>\n"
    "</VEXAProxy>\n";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitXml();
    std::string path = fuzz::WriteTemp("dns", reinterpret_cast<const uint8_t*>(kConfig), sizeof kConfig - 1);
    _Modul.m_Cfg.XMLLoadFile(path.c_str());
    std::remove(path.c_str());
    fuzz::DrainLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The relay reads at most 32000 bytes; the buffer has exactly the 16 bytes of room the local
    // answer may need, so any write past it is caught.
    if (size > 32000) return 0;
    const int len = static_cast<int>(size);
    auto buf = std::make_unique<unsigned char[]>(size + 16);
    if (size) std::memcpy(buf.get(), data, size);

    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_port = htons(40000);
    client.sin_addr.s_addr = htonl(0x7F000001);
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, buf.get(), len, 1, client);
    int answer = CDNSPort::LocalAnswer(buf.get(), len, len + 16);
    FUZZ_CHECK(answer >= 0 && answer <= len + 16);
    if (answer > 0) {
        FUZZ_CHECK(len >= 12 && (buf[2] & 0x80) != 0);
        FUZZ_CHECK(std::memcmp(buf.get(), data, 2) == 0);  // the query's id is kept
        // One answer record of 16 bytes after the question as the client sent it, and no OPT record.
        FUZZ_CHECK(answer >= 12 + 16 && buf[7] == 1 && buf[10] == 0 && buf[11] == 0);
        FUZZ_CHECK(std::memcmp(buf.get() + 12, data + 12, static_cast<size_t>(answer - 12 - 16)) == 0);
        _Modul.m_LogDNS.Put(CDNSLog::typSend, buf.get(), answer, 1, client);
    } else {
        FUZZ_CHECK(size == 0 || std::memcmp(buf.get(), data, size) == 0);  // forwarded unchanged
        _Modul.m_LogDNS.Put(CDNSLog::typSend, buf.get(), len, 1, client);
    }
    auto lines = _Modul.m_LogDNS.TakeQueued();
    FUZZ_CHECK(lines.size() == (len > 0 ? 2u : 0u));
    for (const auto& line : lines) FUZZ_CHECK(line.find('\n') == std::string::npos);
    fuzz::DrainLogs();
    return 0;
}
