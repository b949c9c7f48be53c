#pragma once
// The DNS relay on UDP port 53: queries for names of the configuration's DNS nodes are answered
// here, every other query goes unchanged to one configured server through an association of the
// client's own (socket and receive thread), whose answers go back from the port's socket. Every
// datagram in either direction is written to the DNS log.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "thread/Thread.h"
#include "util/DBString.h"
#include "util/Net.h"

class CDNSPort;

// One client address and port: its own socket towards the server and the thread that carries the
// server's answers back to the client.
class CDNSCli {
public:
    CDNSCli(sockaddr_in client, CDNSPort* port);
    ~CDNSCli();
    CDNSCli(const CDNSCli&) = delete;
    CDNSCli& operator=(const CDNSCli&) = delete;

    // Resolves the port's server, opens and binds the socket and starts the receive thread.
    // A failing step is logged as "CDNSCli::Start <step>"; returns whether the association runs.
    bool Start(CDNSPort* port);
    void SetID(int id);
    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    void SendToSrv(char* buf, int len);
    void Stop();
    static bool WinSockProc(void* cli);

    int ID() const { return m_ID; }
    bool IsRunning() const { return m_Run; }
    int64_t TimeLast() const { return m_TimeLast; }
    const SockAddr& AddrCli() const { return m_AddrCli; }
    const SockAddr& AddrSrv() const { return m_AddrSrv; }

private:
    Thread m_Thread;
    DBString m_Str;  // log prefix "DNS%05d %05d " + client address text
    CDNSPort* m_Port;
    int m_ID = 0;
    std::atomic<bool> m_Run{false};
    // Held around every use of the descriptor number by another thread and around its close, so a
    // number closed here and reused elsewhere is never sent on or shut down.
    std::mutex m_SockLock;
    Socket m_Socket;
    SockAddr m_AddrCli;
    SockAddr m_AddrSrv;
    // Refreshed only by answers from the server: a server that stays silent ends the association
    // at the sweep however often its client asks.
    std::atomic<int64_t> m_TimeLast;
};

class CDNSCliTab {
public:
    static constexpr int kMaxID = 99999;
    static constexpr int64_t kIdleLimit = 181;  // seconds without an answer from the server

    CDNSCliTab() = default;
    ~CDNSCliTab() { Clear(); }
    CDNSCliTab(const CDNSCliTab&) = delete;
    CDNSCliTab& operator=(const CDNSCliTab&) = delete;

    // One query from a client. buf must have room for 16 bytes more than len (an answer built in
    // place is longer than its question); the port's receive buffer has.
    void RecvFromCli(char* buf, int len, sockaddr_in from, CDNSPort* port);
    void DeleteCloseOrOld();
    void Clear();

    size_t Size();
    // The last association number given out; the next one is this plus one, 1 after kMaxID.
    int LastID();
    void SetLastID(int id);

    // Answers a query from the configuration's DNS nodes in place. Returns the answer's length, or 0
    // when the query is not one of them.
    static int LocalAnswer(unsigned char* buf, int len);

private:
    std::map<int64_t, std::unique_ptr<CDNSCli>> m_Clis;
    std::recursive_mutex m_Mutex;
    int m_LastID = 0;
};

class CDNSPort {
public:
    CDNSPort();
    ~CDNSPort();
    CDNSPort(const CDNSPort&) = delete;
    CDNSPort& operator=(const CDNSPort&) = delete;

    // server: host name or dotted address, resolved for every new association.
    void Start(const char* server, int port, int srvPort);
    int Bind(DBString& text);
    void Stop();
    void SendToCli(char* buf, int len, sockaddr_in to);
    static bool WinSockProc(void* port);
    static bool TimerClose(void* port);
    // The table key of a client: its address (network order, as a signed number) above its port.
    static int64_t CreateLong(int a, int b);

    bool IsRunning() const { return m_Run; }
    int PortLocal() const { return m_PortLocal; }
    int SrvPort() const { return m_PortSrv; }
    const std::string& Server() const { return m_Srv; }
    CDNSCliTab& CliTab() { return m_CliTab; }

private:
    std::recursive_mutex m_Mutex;  // every send on m_Socket and its re-opening
    Thread m_ThreadRecv;
    Thread m_ThreadTimer;
    std::atomic<bool> m_Run{false};
    Socket m_Socket;
    CDNSCliTab m_CliTab;
    int m_PortLocal = 53;
    int m_PortSrv = 53;
    std::string m_Srv;
};
