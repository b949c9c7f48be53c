#pragma once
// The DNS relay's TCP side on port 53 (RFC 7766): what a client asks over a connection gets the
// same local answers as a datagram (CDNSPort::LocalAnswer) and the same DNS log records; anything
// else goes to the relay's server over a TCP connection of its own, opened at the client's first
// forwarded query and closed with the client's. Clients whose UDP answer came back truncated retry
// here, so the server's answers pass unchanged, TC bit and all. Each connection has a thread per
// socket side; the client side reads and answers or forwards queries, the server side carries the
// answers back.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "thread/Thread.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/PortBase.h"
#include "util/Traffic.h"

class DNSTCPPort;

class DNSTCPConn {
public:
    // A connection without a whole message either way for this long (ms) is closed.
    static constexpr int64_t kIdleLimit = 10000;
    // How long a connect to the server may take (ms); the client side waits in it.
    static constexpr int kConnectMs = 3000;

    DNSTCPConn(int socket, const SockAddr& addr, DNSTCPPort* port, uint64_t key);
    ~DNSTCPConn();
    DNSTCPConn(const DNSTCPConn&) = delete;
    DNSTCPConn& operator=(const DNSTCPConn&) = delete;

    // The ClientTable entry.
    void SetID(int id);
    bool Start();
    void Stop();
    void PutLog(const wchar_t* text) const;
    const wchar_t* SweepReason(int64_t now) const;
    EvictRank Rank(int64_t now, bool silentNewcomer) const;
    static void PaceLog();
    static void PutLine(const DBString& text);

private:
    static bool WinSockCliProc(void* conn);
    static bool WinSockSrvProc(void* conn);
    // Reads the messages of one side until it ends, the stream breaks or (client side) the
    // connection has been idle too long; the first side to end writes the line.
    void Pump(Socket& from, bool client);
    // A whole message of a side; false ends the connection (its line written).
    bool Query(std::string& msg);
    bool Answered(const std::string& msg);
    bool ConnectServer();
    bool SendCli(const char* data, size_t len);
    // The line of the side that ends the connection first; the other ends quietly.
    void Ending(const wchar_t* text);
    void PutErr(const wchar_t* what, int err);
    // As at TCP rules: the first side to end shuts both sockets down to wake the other; the last
    // closes them and tells the table.
    void Finish();

    DNSTCPPort* m_Port;
    uint64_t m_Key;
    Thread m_ThreadCli;
    Thread m_ThreadSrv;
    DBString m_Str;
    int m_ID = 0;
    std::mutex m_Lock;  // m_Run against the start of the server side
    std::atomic<bool> m_Run{false};
    std::atomic<bool> m_Said{false};
    std::atomic<int> m_Sides{1};
    Socket m_SocketCli;
    Socket m_SocketSrv;
    SockAddr m_AddrCli;
    SockAddr m_AddrSrv;
    std::mutex m_Sending;  // both sides send to the client: whole messages, one at a time
    const int64_t m_TimeOpen;           // ms
    std::atomic<int64_t> m_TimeLast;    // ms: the last whole message either way
    std::atomic<bool> m_Talked{false};  // a whole query came
};

class DNSTCPPort : public PortBase {
public:
    using CliTab = ClientTable<uint64_t, DNSTCPConn>;

    DNSTCPPort();
    ~DNSTCPPort();

    // server: host name or dotted address of the relay's server, resolved for every connection.
    // local6: an IPv6 address to listen on besides the IPv4 one; empty: none.
    void Start(const char* server, int port, int srvPort, const std::string& local6);
    void Stop();
    // "DNSTCP00053 00001 ": the relay's own form, as its datagram side's.
    DBString CliPrefix(int id) const;

    CliTab m_CliTab;
    Traffic m_Traffic;  // messages
    std::string m_Server;
    int m_PortLocal = 53;
    int m_PortRemote = 53;
    int64_t m_IdleLimit = DNSTCPConn::kIdleLimit;

private:
    static bool WinSockAcceptProc(void* port);
    static bool WinSockAcceptProc6(void* port);
    void AcceptLoop(Socket& sock);

    Socket m_Socket;
    Socket m_Socket6;
    Thread m_ThreadAccept;
    Thread m_ThreadAccept6;
    std::atomic<uint64_t> m_Accepted{0};
};
