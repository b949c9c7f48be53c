#pragma once
// What every port of the daemon shares (UDP and TCP rules, the DNS relay, the cloud relay): its
// sockets bound to a local port, a receive loop per socket that runs while the run flag is up, and
// the sweep of its client table every 8 seconds. The stop ends the sweep first, so that it never
// works on a table being cleared, then wakes the loops and waits for them; what they used (clients,
// sockets) is the owner's to release after that, in the order it needs.
#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>

#include "thread/Thread.h"
#include "util/DBString.h"
#include "util/Net.h"

class PortBase {
public:
    static constexpr int kSweepMs = 8000;

    // The lines of the set-up steps that can fail; listen: stream sockets only.
    struct BindTexts {
        DBString socket;
        DBString bind;
        DBString listen;
    };

    PortBase(const PortBase&) = delete;
    PortBase& operator=(const PortBase&) = delete;

    bool IsRunning() const { return m_Run.load(); }

    // Opens a socket of family and type bound to the local port (a stream socket with address reuse,
    // listening) into `into`. It is published only once ready: another thread sending through it
    // meanwhile would bind it to a random port of its own. A failed step is logged with its text once
    // the socket is closed, and leaves nothing open. Returns 0 or the failed step's errno.
    static int OpenBound(Socket& into, int family, int type, int port, const BindTexts& texts);

protected:
    // cls: the class name of the owner, which names the sweep's thread ("CUDPPort::TimerClose").
    PortBase(const std::string& cls, std::function<void()> sweep);
    ~PortBase() = default;

    // Raises the run flag, then starts the loops and the sweep.
    void Run(std::initializer_list<Thread*> loops);
    // Ends the sweep and, when the port ran, lowers the flag, wakes the loops with wake() and waits
    // for them.
    void Halt(std::initializer_list<Thread*> loops, const std::function<void()>& wake);

    std::atomic<bool> m_Run{false};

private:
    static bool TimerClose(void* port);

    std::function<void()> m_Sweep;
    Thread m_ThreadTimer;
};
