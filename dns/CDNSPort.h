#pragma once
// The DNS relay on UDP port 53: queries for names of the configuration's DNS nodes are answered
// here, every other query goes unchanged to one configured server through an association of the
// client's own (socket and receive thread), whose answers go back from the port's socket. Every
// datagram in either direction is written to the DNS log.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "thread/Thread.h"
#include "udp/Association.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/Traffic.h"

class CDNSPort;

// One client address and port: its own socket towards the server and the thread that carries the
// server's answers back to the client.
class CDNSCli {
public:
    CDNSCli(sockaddr_in client, CDNSPort* port);
    ~CDNSCli();
    CDNSCli(const CDNSCli&) = delete;
    CDNSCli& operator=(const CDNSCli&) = delete;

    static constexpr int64_t kIdleLimit = 181000;  // ms without an answer from the server

    // Resolves the port's server, opens and binds the socket, starts the receive thread and logs
    // "connect". A failing step is logged as "CDNSCli::Start <step>" and leaves nothing open.
    bool Start();
    void SetID(int id);
    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    void SendToSrv(char* buf, int len);
    // A query from the client: counts for the table's choice at its bound.
    void FromClient();
    void Stop();
    const wchar_t* SweepReason(int64_t now) const;
    EvictRank Rank(int64_t now, bool silentNewcomer) const;
    static void PaceLog();
    static void PutLine(const DBString& text);
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
    Socket m_Socket;
    SockAddr m_AddrCli;
    SockAddr m_AddrSrv;
    bool m_Connected = false;  // m_Socket connected to m_AddrSrv
    // Refreshed only by answers from the server: a server that stays silent ends the association
    // at the sweep however often its client asks.
    std::atomic<int64_t> m_TimeLast;
    Exchange m_Exchange;
};

// The relay's associations, keyed by CDNSPort::CreateLong of the client's address and port.
using CDNSCliTab = ClientTable<int64_t, CDNSCli>;

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
    // One query of len bytes from a client, in a buffer of size bytes: a local answer is built there.
    void RecvFromCli(char* buf, int len, int size, sockaddr_in from);
    // Answers a query from the configuration's DNS nodes in place, within size bytes. Returns the
    // answer's length, or 0 when the query is not one of them (or the answer would not fit): one
    // question, of a node's name in any ASCII letter case, type A, class IN, RD set, nothing after it
    // but an OPT record. The answer echoes the question as asked and carries no OPT record.
    static int LocalAnswer(unsigned char* buf, int len, int size);
    // Logs a query of a client (id 0: one without an association) and answers it here or, through
    // cli, forwards it. False when it was neither answered nor forwarded.
    bool Answer(char* buf, int len, int size, int id, sockaddr_in client, CDNSCli* cli);
    static bool WinSockProc(void* port);
    static bool TimerClose(void* port);
    // The table key of a client: its address (network order, as a signed number) above its port.
    static int64_t CreateLong(int a, int b);

    bool IsRunning() const { return m_Run; }
    int PortLocal() const { return m_PortLocal; }
    int SrvPort() const { return m_PortSrv; }
    const std::string& Server() const { return m_Srv; }
    CDNSCliTab& CliTab() { return m_CliTab; }
    Traffic& Relayed() { return m_Traffic; }

private:
    Thread m_ThreadRecv;
    Thread m_ThreadTimer;
    std::atomic<bool> m_Run{false};
    Socket m_Socket;
    CDNSCliTab m_CliTab;
    Traffic m_Traffic;  // datagrams: queries passed to the server or answered here, and answers
    int m_PortLocal = 53;
    int m_PortSrv = 53;
    std::string m_Srv;
};
