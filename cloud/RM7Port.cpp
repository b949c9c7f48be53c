#include "cloud/RM7Port.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "cloud/PackV7.h"
#include "daemon/VEXAProxy.h"
#include "util/Clock.h"
#include "util/DatagramLoop.h"
#include "util/IPv6.h"
#include "util/RuleName.h"

// ---------------------------------------------------------------------------------------------- RM7

RM7::RM7(int node, sockaddr_in6 addr, const LocalAddr& at, RM7Port* port)
    : m_Port(port), m_Node(node), m_Addr(addr), m_AddrLocal(at), m_Last(Clock::Now()) {
    m_Str.Format(L"RM7 %05d %7d ", port->PortRM7, node);
    m_Str += SockAddr(addr).ToLog();
}

void RM7::PutLog(const wchar_t* text) const { _Modul.m_Log.Put(m_Str, text); }

bool RM7::Start() {
    PutLog(L"connect");
    return true;
}

const wchar_t* RM7::SweepReason(int64_t now) const {
    return now - m_Last >= kMaxIdle ? L"deleted because long idle" : nullptr;
}

void RM7::PaceLog() { _Modul.m_Log.Pace(); }

void RM7::PutLine(const DBString& text) { _Modul.m_Log.Put(text.c_str()); }

// ------------------------------------------------------------------------------------------- RM7Tab

bool RM7Tab::FindRM7Orig(int node, sockaddr_in6 from, const LocalAddr& at) {
    if (!IsValidNode(node)) return false;
    return m_Devices.Deliver(
        node, [&] { return std::make_unique<RM7>(node, from, at, m_Port); },
        [&](RM7& rm7) {
            rm7.m_Addr = from;
            rm7.m_AddrLocal = at;
            rm7.m_Last = Clock::Now();
        });
}

bool RM7Tab::AddrOf(int node, sockaddr_in6& addr, LocalAddr& at) {
    if (!IsValidNode(node)) return false;
    return m_Devices.Find(node, [&](RM7& rm7) {
        addr = rm7.m_Addr;
        at = rm7.m_AddrLocal;
    });
}

std::vector<RM7Tab::Seen> RM7Tab::Snapshot() {
    std::vector<Seen> seen;
    m_Devices.ForEach([&](int, const RM7& rm7) { seen.push_back({rm7.m_Node, rm7.m_Addr, rm7.m_Last}); });
    return seen;
}

void RM7Tab::RecvFromRM7(char* buf, int len, sockaddr_in6 from, const LocalAddr& at) {
    if (len <= kDropLength) return;
    CPackV7 pack;
    if (!pack.ChanCloudDecod(reinterpret_cast<const unsigned char*>(buf), len)) return;
    const int node = pack.Src().GetNode();
    if (!IsValidNode(node)) return;
    if (!FindRM7Orig(node, from, at)) {
        m_Devices.Dropped();
        return;
    }
    m_Port->SendToCloud(buf, len);
}

void RM7Tab::RecvFromCloud(char* buf, int len, sockaddr_in6 /*from*/, const LocalAddr& /*at*/) {
    if (len <= kDropLength) return;
    CPackV7 pack;
    if (!pack.ChanCloudDecod(reinterpret_cast<const unsigned char*>(buf), len)) return;
    sockaddr_in6 to;
    LocalAddr local;
    if (AddrOf(pack.Dst().GetNode(), to, local)) {
        m_Port->SendToRM7(buf, len, to, local);
        return;
    }
    DBString line(L"Recipient not found ");
    line += pack.Src().GetString();
    line += L" -> ";
    line += pack.Dst().GetString();
    _Modul.m_Log.Put(line.c_str());
}

// ------------------------------------------------------------------------------------------ RM7Port

RM7Port::RM7Port()
    : PortBase("RM7Port", [this] { m_Tab.DeleteCloseOrOld(); }),
      m_ThreadRM7("RM7Port::InpRM7Proc", &RM7Port::InpRM7Proc, this),
      m_ThreadCloud("RM7Port::InpCloudProc", &RM7Port::InpCloudProc, this),
      m_Tab(this),
      m_CloudIPv6(NulIPv6()) {
    std::memset(&m_CloudAddr, 0, sizeof m_CloudAddr);
}

RM7Port::~RM7Port() { Stop(); }

RM7Port::Side RM7Port::RM7Side() {
    return {m_SocketRM7,
            &RM7Port::PortRM7,
            L"RM7Port::BindRM7(): m_SocketRM7 = socket()",
            L"RM7Port::BindRM7(): bind(m_SocketRM7)",
            L"RM7Port::InpRM7Proc recvfrom()",
            L"RM7Port::SendToRM7::Send sendto()",
            &RM7Port::BindRM7,
            &RM7Tab::RecvFromRM7};
}

RM7Port::Side RM7Port::CloudSide() {
    return {m_SocketCloud,
            &RM7Port::PortCloud,
            L"RM7Port::BindCloud(): m_SocketCloud = socket()",
            L"RM7Port::BindCloud(): bind(m_SocketCloud)",
            L"RM7Port::InpCloudProc recvfrom()",
            L"RM7Port::SendToCloud::Send sendto()",
            &RM7Port::BindCloud,
            &RM7Tab::RecvFromCloud};
}

void RM7Port::Start(int portRM7, int portCloud, int portVexaCloud, const char* host) {
    if (m_Run.load()) return;  // one relay per daemon; the running one is kept
    PortRM7 = portRM7;
    PortCloud = portCloud;
    PortVEXACloud = portVexaCloud;
    m_Host = host != nullptr ? host : "";
    m_CloudIPv6 = NulIPv6();

    SockAddr found;
    int rc = net::ResolveFirst(m_Host, PortVEXACloud, AF_UNSPEC, SOCK_DGRAM, found);
    if (rc == net::kNoAddress) {
        _Modul.m_Log.PutUtf8(m_Host + " address not read");
    } else if (rc != 0) {
        _Modul.m_Log.PutUtf8(m_Host + " - " + gai_strerror(rc));
    } else if (found.Family() == AF_INET6) {
        m_CloudIPv6 = found.V6().sin6_addr;
    } else if (found.Family() == AF_INET) {
        m_CloudIPv6 = ToIPv6(static_cast<int>(found.V4().sin_addr.s_addr));
    } else {
        _Modul.m_Log.PutUtf8(m_Host + " AF_???? " + std::to_string(found.Family()));
    }
    if (isNulIPv6(m_CloudIPv6)) {
        // A host that resolves to the unspecified address cannot be sent to: say so rather than
        // leave the relay silently stopped.
        if (rc == 0 && (found.Family() == AF_INET6 || found.Family() == AF_INET))
            _Modul.m_Log.PutUtf8(m_Host + " address not read");
        return;
    }

    m_Tab.Devices().SetName(RuleName(RuleKind::CloudRM7, PortRM7), L"datagrams of new devices dropped: table full");
    NameRefusals(RuleName(RuleKind::CloudRM7, PortRM7), Refusals::kDatagrams);
    if (BindRM7() != 0) return;
    if (BindCloud() != 0) return;

    std::memset(&m_CloudAddr, 0, sizeof m_CloudAddr);
    m_CloudAddr.sin6_family = AF_INET6;
    m_CloudAddr.sin6_port = htons(static_cast<uint16_t>(PortVEXACloud));
    m_CloudAddr.sin6_flowinfo = 0;
    m_CloudAddr.sin6_addr = m_CloudIPv6;
    m_CloudAddr.sin6_scope_id = 0;
    Run({&m_ThreadRM7, &m_ThreadCloud});
}

void RM7Port::Stop() {
    // Shut down first and closed only once the loops have ended, so that a loop can never call
    // recvfrom on a descriptor number that was closed and reused meanwhile.
    Halt({&m_ThreadRM7, &m_ThreadCloud}, [this] {
        m_SocketRM7.Shutdown();
        m_SocketCloud.Shutdown();
    });
    m_SocketRM7.Close();
    m_SocketCloud.Close();
    m_Tab.Clear();
}

int RM7Port::Bind(const Side& side) {
    // The listening address is the device side's: the cloud side talks to one server from anywhere.
    SockAddr at = SockAddr::Any(AF_INET6, this->*side.port);
    if (&side.socket == &m_SocketRM7 && !ListenAt(AF_INET6, this->*side.port, at)) return EINVAL;
    return OpenBound(side.socket, at, SOCK_DGRAM, {side.socketText, side.bindText, {}});
}

int RM7Port::BindRM7() { return Bind(RM7Side()); }

int RM7Port::BindCloud() { return Bind(CloudSide()); }

void RM7Port::Send(const Side& side, char* buf, int len, const sockaddr_in6& to, const LocalAddr& from) {
    // Sent on the cloud-side socket: a device's datagram; on the device side: one for a device.
    const uint64_t in = &side.socket == &m_SocketCloud ? 1 : 0;
    m_Traffic.Add(in, 1 - in);
    if (side.socket.SendTo(buf, static_cast<size_t>(len), SockAddr(to), from) < 0) {
        int err = errno;
        m_Traffic.TakeBack(in, 1 - in);
        _Modul.m_Log.PutErr(side.sendText, err);
    }
}

void RM7Port::SendToRM7(char* buf, int len, sockaddr_in6 to, const LocalAddr& from) { Send(RM7Side(), buf, len, to, from); }

// From whichever address the routing table picks: the cloud server answers to that one.
void RM7Port::SendToCloud(char* buf, int len) { Send(CloudSide(), buf, len, m_CloudAddr, LocalAddr()); }

void RM7Port::RecvLoop(const Side& side) {
    char buf[kRecvBuf];
    DatagramLoop(
        side.socket, [this] { return m_Run.load(); }, buf, sizeof buf,
        [&](char* data, size_t n, const SockAddr& from, const LocalAddr& at) {
            if (&side.socket == &m_SocketRM7 && !Admits(from)) return;
            if (from.Family() == AF_INET6) (m_Tab.*side.handler)(data, static_cast<int>(n), from.V6(), at);
        },
        [&](int err) { _Modul.m_Log.PutErr(side.recvText, err); },
        [&] { return (this->*side.bind)() == 0; });
}

bool RM7Port::InpRM7Proc(void* port) {
    auto* self = static_cast<RM7Port*>(port);
    self->RecvLoop(self->RM7Side());
    return true;
}

bool RM7Port::InpCloudProc(void* port) {
    auto* self = static_cast<RM7Port*>(port);
    self->RecvLoop(self->CloudSide());
    return true;
}
