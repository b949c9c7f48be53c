#include "dns/CDNSPort.h"

#include <cstring>

#include "config/CProxyCFG.h"
#include "daemon/VEXAProxy.h"
#include "dns/CDNSLog.h"

namespace {
// Parts of a DNS message (RFC 1035 4.1). The stored images begin at the counts.
constexpr size_t kCounts = 4;
constexpr size_t kHeader = 12;
constexpr size_t kTypeClass = 4;
constexpr size_t kOptFixed = 11;  // an OPT record without options: root, type, class, TTL, data length
constexpr unsigned kTypeOPT = 41;

unsigned char* Bytes(char* buf) { return reinterpret_cast<unsigned char*>(buf); }
const unsigned char* Bytes(const char* buf) { return reinterpret_cast<const unsigned char*>(buf); }

unsigned Get16(const unsigned char* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

unsigned char Lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
}

// Whether one OPT record owned by the root starts where the question ends (`end`, perhaps past len)
// and ends the datagram. EDNS clients add that record to every query, and a responder without EDNS
// answers as if it were not there (RFC 6891 section 7). Any other record after the question asks for
// more than a stored answer gives, so its query goes to the server.
bool OptEnds(const unsigned char* buf, size_t len, size_t end) {
    return end <= len && len - end >= kOptFixed && buf[end] == 0 && Get16(buf + end + 1) == kTypeOPT &&
           Get16(buf + end + 9) == len - end - kOptFixed;
}

// Whether a question (name, type, class) is the image's, n bytes from the name on. Names compare
// without regard to ASCII case (RFC 4343), but nearly every client sends the configured spelling: one
// memcmp settles that, and only a difference is gone through label by label.
bool SameQuestion(const unsigned char* query, const unsigned char* image, size_t n) {
    if (std::memcmp(query, image, n) == 0) return true;
    const size_t end = n - kTypeClass;
    if (std::memcmp(query + end, image + end, kTypeClass) != 0) return false;
    // Length bytes compare exactly: a label of 65 bytes ('A') is not one of 97 ('a').
    for (size_t p = 0, label = 0; p < end; ++p) {
        if (p == label) {
            if (query[p] != image[p]) return false;
            label = p + 1 + image[p];
        } else if (Lower(query[p]) != Lower(image[p])) {
            return false;
        }
    }
    return true;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// CDNSPort

int CDNSPort::LocalAnswer(unsigned char* buf, int len, int size) {
    // Flags are only meaningful in a full header; anything shorter is passed on untouched. The counts
    // are those of every question image: one question, no answer or authority records.
    if (len < static_cast<int>(kHeader) || (buf[2] & 0x01) == 0) return 0;
    if (Get16(buf + 4) != 1 || Get16(buf + 6) != 0 || Get16(buf + 8) != 0) return 0;
    const size_t n = static_cast<size_t>(len);
    // Where the question ends: at the end of the datagram, or where the OPT record begins, after the
    // name's labels, its zero byte, type and class. Found once per query, so that each node whose
    // question has another length costs one comparison, and only a node of the same length a memcmp.
    size_t end = n;
    switch (Get16(buf + 10)) {
    case 0:
        break;
    case 1: {
        size_t p = kHeader;
        while (p < n && buf[p] != 0) p += 1u + buf[p];
        end = p + 1 + kTypeClass;
        if (!OptEnds(buf, n, end)) return 0;
        break;
    }
    default:
        return 0;
    }
    const size_t image = end - kCounts;  // the length of a question image that can match
    for (const auto& node : _Modul.m_Cfg.m_Nodes) {
        if (!node || node->TypNode() != CProxyDNS::kTypNode) continue;
        const auto& dns = static_cast<const CProxyDNS&>(*node);
        // The length first: it turns away nearly every node. A name too long for the answer image has
        // none: its queries go to the server rather than getting a bare header back.
        if (dns.m_LenQuestion != image || dns.m_LenAnswer == 0) continue;
        if (!SameQuestion(buf + kHeader, dns.m_Question + (kHeader - kCounts), end - kHeader)) continue;
        // Built in place: the answer replaces the OPT record, if any, by its own record, and can be
        // longer than the query.
        const int answer = static_cast<int>(kCounts + dns.m_LenAnswer);
        if (answer > size) return 0;
        buf[2] = static_cast<unsigned char>((buf[2] & 0xFE) | 0x80);
        // The counts of the answer image (one answer, no additional record), the question as the
        // client asked it, its letter case included, and the record that follows it in the image.
        std::memcpy(buf + kCounts, dns.m_Answer, kHeader - kCounts);
        std::memcpy(buf + end, dns.m_Answer + dns.m_LenQuestion, dns.m_LenAnswer - dns.m_LenQuestion);
        return answer;
    }
    return 0;
}

CDNSPort::CDNSPort()
    : DatagramPort({"CDNSPort", "CDNSCli", RuleKind::DNS, L"recvfrom(m_Socket) error",
                    L"queries dropped: no association for their clients"}) {
    m_PortLocal = 53;
    m_PortRemote = 53;
}

CDNSPort::~CDNSPort() { Stop(); }

void CDNSPort::Start(const char* server, int port, int srvPort) { Open(port, srvPort, server, false, -1); }

DBString CDNSPort::CliPrefix(int id) const { return DBString().Format(L"DNS%05d %05d ", m_PortLocal, id); }

void CDNSPort::Replying(const Association& cli, const char* buf, int len, const SockAddr& from) {
    _Modul.m_LogDNS.PaceRecords();
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, cli.ID(), from);
    _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, cli.ID(), cli.AddrCli());
}

void CDNSPort::RecvFromCli(char* buf, int len, int size, const SockAddr& from, const LocalAddr& at) {
    // The wait for the log comes first, outside any lock. The association is held, not locked: its
    // records, a local answer and the send keep neither the table nor its sweep waiting.
    _Modul.m_LogDNS.PaceRecords();
    if (auto cli = Associate(from, at)) {
        cli->FromClient();
        Answer(buf, len, size, cli->ID(), cli->AddrCli(), at, &*cli);
        return;
    }
    // A client without an association (no room for it, or no thread): its query is still logged
    // and a configured name still answered; only forwarding needs the association.
    if (!Answer(buf, len, size, 0, from, at, nullptr)) m_CliTab.Dropped();
}

bool CDNSPort::Answer(char* buf, int len, int size, int id, const SockAddr& client, const LocalAddr& at, Association* cli) {
    _Modul.m_LogDNS.Put(CDNSLog::typRecv, Bytes(buf), len, id, client);
    int answer = LocalAnswer(Bytes(buf), len, size);
    if (answer > 0) {
        _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), answer, id, client);
        m_Traffic.Add(1, 0);
        SendToCli(buf, answer, client, at);
        return true;
    }
    if (cli == nullptr) return false;
    // Logged before the send, so that the answer, logged by the association's thread, can never
    // appear in the DNS log ahead of the query it answers.
    _Modul.m_LogDNS.Put(CDNSLog::typSend, Bytes(buf), len, id, cli->AddrSrv());
    cli->SendToSrv(buf, len);
    return true;
}
