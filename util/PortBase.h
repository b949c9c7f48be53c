#pragma once
// What every port of the daemon shares (UDP and TCP rules, the DNS relay, the cloud relay): its
// sockets bound to a local port (on the rule's listening address, if it has one), a receive loop per
// socket that runs while the run flag is up, the sweep of its client table every 8 seconds, and the
// gate that turns away clients from outside the rule's Allow list. The stop ends the sweep first, so that it never
// works on a table being cleared, then wakes the loops and waits for them; what they used (clients,
// sockets) is the owner's to release after that, in the order it needs.
#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>

#include "thread/Thread.h"
#include "util/AllowList.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/Refusals.h"

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

    // Where the port listens (an address text; empty: every address of its family) and whom it
    // serves (a list the configuration owns and outlives the port with; nullptr or one not given:
    // everyone). Set before the start.
    void Place(std::string local, const AllowList* allow) {
        m_Local = std::move(local);
        m_Allow = allow != nullptr && allow->Given() ? allow : nullptr;
    }
    bool HasAllow() const { return m_Allow != nullptr; }
    // Clients refused since the start for their source.
    uint64_t Denied() const { return m_Refusals.Total(); }

    // Opens a socket of type bound to `at` (a stream socket with address reuse, listening) into
    // `into`. It is published only once ready: another thread sending through it meanwhile would bind
    // it to a random port of its own. A failed step is logged with its text once the socket is
    // closed, and leaves nothing open. Returns 0 or the failed step's errno. v6Only: an IPv6 socket
    // that leaves IPv4 to a socket of its own on the same port (dual-stack it could not be bound).
    static int OpenBound(Socket& into, const SockAddr& at, int type, const BindTexts& texts, bool v6Only = false);

protected:
    // cls: the class name of the owner, which names the sweep's thread ("CUDPPort::TimerClose").
    PortBase(const std::string& cls, std::function<void()> sweep);
    ~PortBase() = default;

    // Raises the run flag, then starts the loops and the sweep.
    void Run(std::initializer_list<Thread*> loops);
    // Ends the sweep and, when the port ran, lowers the flag, wakes the loops with wake() and waits
    // for them.
    void Halt(std::initializer_list<Thread*> loops, const std::function<void()>& wake);

    // The address of the port's listening socket of family: the listening address given, or the
    // family's wildcard. False for a text that is no address: the port is not started (the start-up
    // listing has named the text already, so nothing is written here).
    bool ListenAt(int family, int port, SockAddr& at) const { return net::ParseLocal(m_Local, family, port, at); }
    // Whether a client from `from` is served. Checked before anything is done or kept for a client:
    // a refused one is only counted, and the count written when its line is due.
    bool Admits(const SockAddr& from) {
        if (m_Allow == nullptr || m_Allow->Allows(from)) return true;
        if (const uint64_t n = m_Refusals.Add()) PutRefusals(n);
        return false;
    }
    // The refusals' line: name, the rule as its other lines name it; what, one of the Refusals texts.
    void NameRefusals(const DBString& name, const wchar_t* what) {
        m_RefusalName = name;
        m_RefusalWhat = what;
    }

    std::atomic<bool> m_Run{false};

private:
    static bool TimerClose(void* port);
    void PutRefusals(uint64_t n) const;

    std::function<void()> m_Sweep;
    Thread m_ThreadTimer;
    std::string m_Local;
    const AllowList* m_Allow = nullptr;
    Refusals m_Refusals;
    DBString m_RefusalName;
    const wchar_t* m_RefusalWhat = Refusals::kDatagrams;
};
