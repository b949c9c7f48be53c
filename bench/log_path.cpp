// What a relay thread pays for one log line, one DNS record and one dump line: each case is the
// call a relay makes, run in a loop against the daemon's own logs (never opened: the bounded queue
// drops its oldest line for every new one, as a writer frees the lines it has written).
//
//   bench_log_path [iterations]           ns per call of every case (median and best of 7 repeats)
//   bench_log_path iterations case        one case only, for instruction counts:
//     valgrind --tool=callgrind --collect-atstart=no --toggle-collect='Measured*' \
//         bench_log_path 2000 dns
//   then callgrind's total divided by the iterations is the instructions per call.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/VEXAProxy.h"
#include "dns/CDNSLog.h"
#include "tcp/CTCPPort.h"
#include "udp/CUDPPort.h"
#include "util/DBString.h"
#include "util/Net.h"

namespace {
// A query for "up.bench" A, as dnsperf sends it (26 bytes), and the answer of the upstream (42 bytes).
const unsigned char kQuery[] = {0x4a, 0x1c, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,
                                'u',  'p',  0x05, 'b',  'e',  'n',  'c',  'h',  0x00, 0x00, 0x01, 0x00, 0x01};
const unsigned char kAnswer[] = {0x4a, 0x1c, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 'u',
                                 'p',  0x05, 'b',  'e',  'n',  'c',  'h',  0x00, 0x00, 0x01, 0x00, 0x01, 0xc0, 0x0c,
                                 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 10,   9,    9,    9};
// The payload of an echo datagram: 30 bytes, as many as a dump line shows.
const char kEcho[] = "0123456789abcdefghijklmnopqrst";

SockAddr Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return SockAddr(a);
}

struct Rig {
    CTCPPort tcpPort;
    CTCPCli tcpCli{-1, Loopback(40000)};
    CUDPPort echoPort;
    int sink = -1;  // receives the echoes: a datagram socket nobody reads (a full one drops them)
    SockAddr sinkAddr;
    sockaddr_in client{};
    char echo[sizeof kEcho];  // a receive buffer, as the port's loop hands it over

    Rig() {
        tcpPort.m_PortLocal = 8080;
        tcpCli.m_Port = &tcpPort;
        tcpCli.SetID(1);
        echoPort.m_PortLocal = 7000;
        echoPort.m_Echo = 0;
        echoPort.m_Socket.Reset(::socket(AF_INET, SOCK_DGRAM, 0));
        sink = ::socket(AF_INET, SOCK_DGRAM, 0);
        SockAddr any = Loopback(0);
        ::bind(sink, any.Raw(), any.Len());
        socklen_t len = SockAddr::Capacity();
        ::getsockname(sink, sinkAddr.Raw(), &len);
        client = Loopback(40000).V4();
        std::memcpy(echo, kEcho, sizeof echo);
    }
    ~Rig() { ::close(sink); }
};

Rig* g_Rig = nullptr;

// The cases: each one call of a relay thread.
void LogLine() { g_Rig->tcpCli.PutLog(L"connect"); }
void DnsRecord() { _Modul.m_LogDNS.Put(CDNSLog::typRecv, kQuery, sizeof kQuery, 7, g_Rig->client); }
void DnsAnswer() { _Modul.m_LogDNS.Put(CDNSLog::typSend, kAnswer, sizeof kAnswer, 7, g_Rig->client); }
void DumpLine() {
    _Modul.m_Log.PutMes(L"UDPv4 07000 127.0.0.1:40000 ", reinterpret_cast<const unsigned char*>(kEcho), 30);
}
void EchoDatagram() { g_Rig->echoPort.RecvFromCli(g_Rig->echo, 30, sizeof g_Rig->echo, g_Rig->sinkAddr, LocalAddr()); }
void FormatPrefix() {
    DBString s;
    s.Format(L"%ls %05d %05d ", L"TCPv4", 8080, 1);
}

struct Case {
    const char* name;
    const char* what;
    void (*fn)();
};
const Case kCases[] = {
    {"line", "log line: a connection's \"connect\" (prefix + text, main log)", LogLine},
    {"dns", "DNS record: a 26-byte query (DNS log)", DnsRecord},
    {"dnsanswer", "DNS record: a 42-byte answer (DNS log)", DnsAnswer},
    {"dump", "dump line: PutMes of 30 bytes (main log)", DumpLine},
    {"echo", "UDP echo datagram: title, dump line and sendto", EchoDatagram},
    {"format", "DBString::Format of a connection prefix", FormatPrefix},
};

// Callgrind collects inside this function only (--toggle-collect='Measured*').
__attribute__((noinline)) void MeasuredLoop(void (*fn)(), long n) {
    for (long i = 0; i < n; ++i) fn();
}
__attribute__((noinline)) void WarmLoop(void (*fn)(), long n) {
    for (long i = 0; i < n; ++i) fn();
}

double NsPerCall(void (*fn)(), long n) {
    auto t0 = std::chrono::steady_clock::now();
    MeasuredLoop(fn, n);
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(n);
}
}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 20000;
    const char* only = argc > 2 ? argv[2] : nullptr;
    Rig rig;
    g_Rig = &rig;
    for (const Case& c : kCases) {
        if (only && std::strcmp(only, c.name) != 0) continue;
        // Past the queue's limit first: from then on every line pushes the oldest out.
        WarmLoop(c.fn, 2000);
        if (only) {
            MeasuredLoop(c.fn, n);
            std::printf("%-10s %ld calls\n", c.name, n);
            continue;
        }
        std::vector<double> ns;
        for (int r = 0; r < 7; ++r) ns.push_back(NsPerCall(c.fn, n));
        std::sort(ns.begin(), ns.end());
        std::printf("%-10s median %9.1f ns  best %9.1f ns  %s\n", c.name, ns[ns.size() / 2], ns[0], c.what);
    }
    _Modul.m_Log.TakeQueued();
    _Modul.m_LogDNS.TakeQueued();
    return 0;
}
