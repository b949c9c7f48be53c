#include "util/PortBase.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "daemon/VEXAProxy.h"

PortBase::PortBase(const std::string& cls, std::function<void()> sweep)
    : m_Sweep(std::move(sweep)), m_ThreadTimer(cls + "::TimerClose", &TimerClose, this) {}

int PortBase::OpenBound(Socket& into, const SockAddr& at, int type, const BindTexts& texts, bool v6Only) {
    Socket sock(net::OpenSocket(at.Family(), type));
    if (!sock.IsOpen()) {
        const int err = errno;
        _Modul.m_Log.PutErr(texts.socket.c_str(), err);
        return err;
    }
    auto fail = [&](const DBString& text) {
        const int err = errno;
        sock.Close();
        _Modul.m_Log.PutErr(text.c_str(), err);
        return err;
    };
    if (type == SOCK_STREAM) {
        // Connections this port closed linger in TIME_WAIT for a minute; without address reuse a
        // restarted daemon could not bind its port again until they expire. Two live listeners on
        // one port are still refused.
        int one = 1;
        ::setsockopt(sock.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (v6Only) sock.SetOption(IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (type == SOCK_DGRAM) sock.ReportLocal(at.Family());
    if (net::Bind(sock.Fd(), at) != 0) return fail(texts.bind);
    // A deep backlog: with one thread per connection, a burst of clients otherwise waits in SYN
    // retries for whole seconds.
    if (type == SOCK_STREAM && ::listen(sock.Fd(), SOMAXCONN) != 0) return fail(texts.listen);
    into = std::move(sock);
    return 0;
}

void PortBase::Run(std::initializer_list<Thread*> loops) {
    m_Run = true;
    for (Thread* loop : loops) loop->Start(0, 0);
    m_ThreadTimer.Start(kSweepMs, kSweepMs);
}

void PortBase::Halt(std::initializer_list<Thread*> loops, const std::function<void()>& wake) {
    m_ThreadTimer.Stop();
    if (!m_Run.exchange(false)) return;
    wake();
    for (Thread* loop : loops) loop->Stop();
    // What the last second of a flood left unwritten.
    if (const uint64_t n = m_Refusals.Due(true)) PutRefusals(n);
}

void PortBase::PutRefusals(uint64_t n) const {
    _Modul.m_Log.Put(Refusals::Line(m_RefusalName, n, m_RefusalWhat).c_str());
}

bool PortBase::TimerClose(void* arg) {
    auto* port = static_cast<PortBase*>(arg);
    port->m_Sweep();
    // A flood that stopped within a second of its last line: its rest written now.
    if (const uint64_t n = port->m_Refusals.Due()) port->PutRefusals(n);
    return true;
}
