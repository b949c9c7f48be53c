// The relay with real datagrams on loopback: a client on 127.0.0.1, a fake server on 127.0.0.2,
// the relay on a port from the kernel, and its main and DNS log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/Loopback.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSPort.h"
#include "thread/BaseThread.h"
#include "util/Clock.h"

using namespace lb;

namespace {
// Ten labels of nine letters: a question image but no answer image.
const char* const kLongName = "aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa.aaaaaaaaa";

Bytes Query(uint16_t id, unsigned char flags, const std::string& name, bool edns = false) {
    Bytes q = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id), flags, 0x20, 0, 1, 0, 0, 0, 0, 0, edns};
    for (size_t start = 0, dot; start <= name.size(); start = dot + 1) {
        dot = std::min(name.find('.', start), name.size());
        q.push_back(static_cast<unsigned char>(dot - start));
        q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    if (edns) q.insert(q.end(), {0, 0, 0x29, 0x10, 0, 0, 0, 0, 0, 0, 0});
    return q;
}

// q with its bytes from `at` on (counted from the end when negative) replaced by `with`, which may
// run past q's end.
Bytes Patch(Bytes q, long at, const Bytes& with) {
    const size_t from = static_cast<size_t>(at < 0 ? static_cast<long>(q.size()) + at : at);
    q.resize(std::max(q.size(), from + with.size()));
    std::copy(with.begin(), with.end(), q.begin() + static_cast<long>(from));
    return q;
}

// A DNS log record, peer with its association's number ("00001 127.000.000.001:40000"), its time
// as "00.00.0000 00:00.00": '<' received, '>' sent.
std::string Record(const std::string& peer, char dir, const Bytes& data) {
    std::string line = peer + (dir == '>' ? " >00.00.0000 00:00.00 " : "  00.00.0000 00:00.00<");
    for (unsigned char c : data) line += DBString().Format(L"%02X ", c).ToStr();
    return line;
}

// The answer here to a query for printer.zone: QR set, RD cleared, one answer record, no OPT.
Bytes Answered(const Bytes& query) {
    Bytes answer(query.begin(), query.end() - (query[11] ? 11 : 0));
    answer[2] = 0x80, answer[7] = 1, answer[11] = 0;
    answer.insert(answer.end(), {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x2B, 0xDB, 0, 4, 192, 168, 0, 50});
    return answer;
}

// The next n lines of the DNS log, the digits of their time (after "00001 " and the peer) as 0.
Lines TakeDNS(size_t n) {
    Lines lines;
    EXPECT_TRUE(WaitUntil([&] {
        for (auto& l : _Modul.m_LogDNS.TakeQueued()) lines.push_back(l);
        return lines.size() >= n;
    }));
    for (auto& l : lines)
        for (size_t i = 29; i < std::min<size_t>(l.size(), 48); ++i)
            if (std::isdigit(static_cast<unsigned char>(l[i]))) l[i] = '0';
    return lines;
}

}  // namespace

// Only a full query with RD set, whose question matches a name with an answer image in any letter
// case, with nothing after it but one OPT record, is answered here; the answer echoes the question as
// asked, without the OPT record. Everything else reaches the server byte for byte, and every datagram
// is in the DNS log, each query before its answer. What associations do is the UDP rules' own
// (tests/unit/udp): only what the relay does without one is asked here.
TEST(DNSRelay, AnswersOnlyNamesWithAnImageForwardsTheRestAndLogsEveryQuery) {
    // A name of this process's own: the other test programs run at the same time.
    const std::string path = "/tmp/vexaproxy-dns-unit-" + std::to_string(getpid()) + ".xml";
    std::ofstream(path) << "<VEXAProxy DNSSrv=\"127.0.0.2\"><DNS Name=\"printer.zone\" IP=\"192.168.0.50\"/>"
                        << "<DNS Name=\"" << kLongName << "\" IP=\"10.0.0.1\"/></VEXAProxy>";
    _Modul.m_Cfg.XMLLoadFile(path.c_str());
    std::remove(path.c_str());
    Udp server("127.0.0.2"), client;  // bound first: neither may take the relay's port before it binds
    const int local = FreePort("::", SOCK_DGRAM);
    const SockAddr relay = Addr("127.0.0.1", local);
    CDNSPort port;
    Clock::Freeze();  // the second without a new try after a failed start lasts as long as needed
    MainLog log;
    TakeLog();
    _Modul.m_LogDNS.TakeQueued();
    port.Start("127.0.0.2", local, server.Port());
    ASSERT_TRUE(port.IsRunning());

    const Bytes plain = Query(7, 0x01, "printer.zone"), edns = Query(8, 0x01, "printer.zone", true);
    const struct { const char* what; Bytes query; bool local; } cases[] = {
        {"configured name", Query(0xBEEF, 0x01, "printer.zone"), true},
        {"other letter case", Query(3, 0x01, "PRINTER.Zone", true), true},
        {"name without answer image", Query(5, 0x01, kLongName), false},
        {"answer count 1", Patch(plain, 7, {1}), false},
        {"authority count 1", Patch(plain, 9, {1}), false},
        {"question cut short", Bytes(plain.begin(), plain.end() - 1), false},
        {"additional count 2", Patch(plain, 11, {2}), false},
        {"OPT record not last", Patch(edns, -2, {0, 0, 0}), false},
        {"OPT data beyond the datagram", Patch(edns, -2, {0, 1}), false},
        {"OPT owner not the root", Patch(edns, -11, {1}), false},
        {"eleven bytes with RD", Bytes(11, 0x01), false},
        {"512 bytes, logged whole", Bytes(512, 0x01), false},
    };
    const std::string cli = DBString().Format(L"00001 127.000.000.001:%05d", client.Port()).ToStr();
    const std::string srv = DBString().Format(L"00001 127.000.000.002:%05d", server.Port()).ToStr();
    for (const auto& [what, query, local] : cases) {
        SCOPED_TRACE(what);
        client.Send(query, relay);
        SockAddr assoc, from;
        Bytes answer = local ? Answered(query) : query;
        if (!local) {
            EXPECT_EQ(answer = server.Recv(&assoc), query);
            answer.push_back(0x42);
            server.Send(answer, assoc);
        }
        EXPECT_EQ(client.Recv(&from), answer);
        EXPECT_TRUE(from == relay);
        EXPECT_EQ(TakeDNS(local ? 2 : 4),
                  local ? (Lines{Record(cli, '<', query), Record(cli, '>', answer)})
                        : (Lines{Record(cli, '<', query), Record(srv, '>', query), Record(srv, '<', answer), Record(cli, '>', answer)}));
    }

    // A client that gets no association, because no thread could be had for it or, for a second
    // after that, none is tried, is still in the DNS log (as client 0) and still answered a
    // configured name; a query to forward is dropped and summed up. Every association that started
    // has its socket and its reader, the failed one holds nothing.
    const Bytes far = Query(1, 0x01, kLongName), near = Query(2, 0x01, "printer.zone");
    const size_t fds = Entries("/proc/self/fd");
    BaseThread::s_FailCreate = 1 << 20;  // from now on only idle workers can be had
    std::vector<std::unique_ptr<Udp>> clients;
    while (port.m_CliTab.GetTotals().failed == 0 && clients.size() < 500) {
        clients.push_back(std::make_unique<Udp>());
        clients.back()->Send(far, relay);
        ASSERT_TRUE(WaitUntil([&] {
            auto t = port.m_CliTab.GetTotals();
            return t.clients + t.failed == clients.size() + 1;
        }));
    }
    BaseThread::s_FailCreate = 0;
    ASSERT_EQ(port.m_CliTab.GetTotals().failed, 1u);
    EXPECT_EQ(Entries("/proc/self/fd"), fds + clients.size() * 2 - 1);  // each client's own socket too
    for (size_t i = 1; i < clients.size(); ++i) EXPECT_EQ(server.Recv(), far);
    const Udp& last = *clients.back();
    last.Send(near, relay);  // within the same second: not tried
    EXPECT_EQ(last.Recv(), Answered(near));
    last.Send(far, relay);
    ASSERT_TRUE(WaitUntil([&] { return port.m_CliTab.GetTotals().refused == 2; }));
    Clock::Advance(std::chrono::seconds(1));
    port.m_CliTab.DeleteCloseOrOld();  // writes the sum that is due
    last.Send(far, relay);
    EXPECT_EQ(server.Recv(), far);
    const std::string none = DBString().Format(L"00000 127.000.000.001:%05d", last.Port()).ToStr();
    const Lines records = TakeDNS(2 * clients.size() + 4);
    EXPECT_EQ(Lines(records.end() - 6, records.end() - 2),
              (Lines{Record(none, '<', far), Record(none, '<', near), Record(none, '>', Answered(near)), Record(none, '<', far)}));
    const std::string rule = DBString().Format(L"DNS %05d ", local).ToStr(), sum = "1 queries dropped: no association for their clients";
    const std::string connect =
        DBString().Format(L"DNS%05d %05d ", local, static_cast<int>(clients.size()) + 2).ToStr() + last.Me().ToLog().ToStr() + "connect";
    ASSERT_TRUE(log.WaitFor(connect));
    ASSERT_GE(log.lines.size(), 4u);
    EXPECT_EQ(log.lines.back(), connect);
    EXPECT_EQ(Lines(log.lines.end() - 3, log.lines.end() - 1), (Lines{rule + sum, rule + sum}));
    EXPECT_EQ(log.lines[log.lines.size() - 4].rfind("std::system_error CDNSCli::WinSockProc", 0), 0u) << log.lines[log.lines.size() - 4];
    Clock::Reset();
}
