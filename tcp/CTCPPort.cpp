#include "tcp/CTCPPort.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "daemon/VEXAProxy.h"
#include "util/Clock.h"

namespace {
// accept() failures that only time can cure (descriptor or memory limits): retrying at once would
// spin a core until a connection ends somewhere.
bool IsResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);
}  // namespace

template <int AF>
TCPPortT<AF>::TCPPortT()
    : PortBase(Family::kPortClass, [this] { m_CliTab.DeleteCloseOrOld(); }),
      m_ThreadAccept(std::string(Family::kPortClass) + "::WinSockAcceptProc", WinSockAcceptProc, this) {}

template <int AF>
TCPPortT<AF>::~TCPPortT() {
    Stop();
}

template <int AF>
void TCPPortT<AF>::Start(int portLocal, int portRemote, const char* ipRemote, const char* httpHost,
                         typIP typ, int echo) {
    m_PortLocal = portLocal;
    m_PortRemote = portRemote;
    m_IPRemote = ipRemote ? ipRemote : "";
    m_HTTPHost = httpHost ? httpHost : "";
    m_TypIP = typ;
    m_Echo = echo;
    Start();
}

template <int AF>
void TCPPortT<AF>::Start() {
    m_Run = false;
    SockAddr at;
    if (!ListenAt(AF, m_PortLocal, at) ||
        OpenBound(m_Socket, at, SOCK_STREAM, {Family::kSocketError, L" bind(" + at.ToLog() + L") error", L" listen() error"}) != 0)
        return;
    m_Deferring = false;
    m_CliTab.SetName(RuleName(Family::kKind, m_PortLocal), L"clients turned away: no room for them");
    NameRefusals(RuleName(Family::kKind, m_PortLocal), Refusals::kConnections);
    Run({&m_ThreadAccept});
}

template <int AF>
void TCPPortT<AF>::Stop() {
    Halt({&m_ThreadAccept}, [this] { m_Socket.Close(); });
    m_Held.Close();
    m_CliTab.Clear();
}

template <int AF>
bool TCPPortT<AF>::WinSockAcceptProc(void* arg) {
    static_cast<TCPPortT*>(arg)->AcceptLoop();
    return true;
}

template <int AF>
void TCPPortT<AF>::Defer(bool full) {
    // On while the rule is full and for a minute after it was last: a rule at its bound under
    // churn has room for a moment after every eviction, and the sweep frees many places at once;
    // silent clients should not come through at each of them.
    const int64_t now = Clock::Now();
    const int seconds = s_DeferSeconds;
    if (full) m_FullAt = now;
    const bool on = full || (m_Deferring && now - m_FullAt < kPressure * seconds);
    if (on == m_Deferring) return;
    m_Deferring = on;
    m_Socket.SetOption(IPPROTO_TCP, TCP_DEFER_ACCEPT, on ? seconds : 0);
}

template <int AF>
size_t TCPPortT<AF>::Waiting() {
    tcp_info info{};
    socklen_t len = sizeof info;
    // On a listening socket the kernel reports its accept queue as "unacked".
    const int rc = m_Socket.GetOption(IPPROTO_TCP, TCP_INFO, &info, &len);
    return (rc == 0 ? info.tcpi_unacked : 0) + (m_Held.IsOpen() ? 1 : 0);
}

template <int AF>
int TCPPortT<AF>::Take(SockAddr& from) {
    const int fd = m_Socket.Accept(from);
    if (fd < 0 || Admits(from)) return fd;
    ::close(fd);
    errno = 0;
    return -1;
}

template <int AF>
void TCPPortT<AF>::AcceptLoop() {
    using Room = typename TCPCliTabT<AF>::Room;
    while (m_Run) {
        // A full table takes a client only when one may make room for it: the first client waiting
        // is taken from the backlog and held, the others wait there, as at other relays'
        // connection limits. Meanwhile, and for a while after the rule was last full, the kernel
        // keeps back clients that have not sent anything, and those that are still silent when
        // they come through are taken one a second at most: clients that reconnect whenever they
        // are cut would otherwise fill every place the sweep frees, and the log with their lines.
        Room room = m_CliTab.MakeRoom(false, false);
        Defer(room != Room::kFree);
        if (room != Room::kFree || m_Deferring) {
            if (!m_Held.IsOpen()) {
                if (m_Socket.WaitReadable(100) <= 0) continue;
                if (!m_Run) return;
                const int fd = Take(m_HeldFrom);
                if (fd < 0) {
                    if (IsResourceShortage(errno)) std::this_thread::sleep_for(kAcceptBackOff);
                    continue;
                }
                m_Held.Reset(fd);
            }
            // Data or an end there: a client that speaks (a rule's clients speak first). One that
            // came through the backlog just before the kernel began to hold silent clients back may
            // be about to speak: when nobody waits behind it, it gets that moment.
            const bool talks = m_Held.WaitReadable(0) > 0 ||
                               (m_Socket.WaitReadable(0) == 0 && m_Held.WaitReadable(kSpeakMs) > 0);
            const int64_t now = Clock::Now();
            bool refuse = !talks && m_Deferring && now - m_SilentAt < kSilentEvery;
            if (!refuse && room != Room::kFree) {
                room = m_CliTab.MakeRoom(!talks, true);
                refuse = room == Room::kNone && !talks;
            }
            if (refuse) {
                // Silent through the kernel's deferral, and nobody may give way to it (or a silent
                // client was taken just before): turned away, counted, summed up now and then.
                m_Held.Close();
                m_CliTab.Refused();
                continue;
            }
            if (room != Room::kFree) {
                m_CliTab.WaitForRoom(100);
                continue;
            }
            if (!talks) m_SilentAt = now;
        }
        SockAddr from;
        int fd;
        if (m_Held.IsOpen()) {
            from = m_HeldFrom;
            fd = m_Held.Release();
        } else {
            fd = Take(from);
            const int err = errno;
            if (!m_Run) {
                if (fd >= 0) ::close(fd);
                return;
            }
            if (fd < 0) {
                if (IsResourceShortage(err)) std::this_thread::sleep_for(kAcceptBackOff);
                continue;
            }
        }
        auto cli = std::make_unique<TCPCliT<AF>>(fd, from);
        cli->m_Port = this;
        cli->m_Key = m_Accepted++;
        const uint64_t key = cli->m_Key;
        m_CliTab.Add(key, std::move(cli), [](TCPCliT<AF>&) {});
    }
}

template class TCPPortT<AF_INET>;
template class TCPPortT<AF_INET6>;
