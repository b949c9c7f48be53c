#pragma once
// The datagram relay of UDP rules and of the DNS relay. A port receives its clients' datagrams on
// the rule's local port; every client address and port gets an Association, with a socket of its
// own towards the target, whose thread sends the target's datagrams back from the port's socket. In
// echo mode the port answers every datagram itself. A kind of relay that does more with a datagram
// (the DNS relay's local answers and its log) overrides the two hooks.
#include <string>

#include "udp/Association.h"
#include "udp/ClientKey.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/PortBase.h"
#include "util/RuleName.h"
#include "util/Traffic.h"

class DatagramPort : public PortBase {
public:
    using CliTab = ClientTable<ClientKey, Association>;

    // What tells the kinds apart in their lines and threads.
    struct Names {
        const char* port;         // class name of the port's lines: "CUDPPort::Bind(): bind()"
        const char* cli;          // and of its associations': "CUDPCli::Start socket()"
        RuleKind kind;            // UDPv4, UDPv6 (the port socket's family) or DNS
        const wchar_t* recvText;  // an association's receive error, after its prefix
        const wchar_t* refusals;  // what the table's refusals are
    };

    void Stop();
    const Names& Texts() const { return m_Names; }
    // One datagram from the port's socket to a client, from the local address the client sent to,
    // counted as out.
    void SendToCli(const char* buf, int len, const SockAddr& to, const LocalAddr& from);
    // A text of the associations' lines: "CUDPCli" + rest.
    DBString CliText(const wchar_t* rest) const { return DBString(m_Names.cli) + rest; }
    // The start of an association's lines, before its client's address: "UDPv4 00053 00001 ".
    virtual DBString CliPrefix(int id) const;
    // A datagram of the target, on its way to the client of cli.
    virtual void Replying(const Association& cli, const char* buf, int len, const SockAddr& from);
    // One datagram of len bytes from a client, sent to the local address at, in a buffer of size
    // bytes: echoed, or relayed through the client's association.
    virtual void RecvFromCli(char* buf, int len, int size, const SockAddr& from, const LocalAddr& at);

    Socket m_Socket;
    // The DNS relay's second socket, for IPv6 clients beside the IPv4 ones of m_Socket; its
    // clients share the table. Closed when the relay has no IPv6 address to listen on.
    Socket m_Socket6;
    std::string m_Local6;  // that address; empty: none. Set before the start.
    CliTab m_CliTab;
    Traffic m_Traffic;  // datagrams
    int m_PortLocal = 0;
    int m_PortRemote = 0;
    std::string m_IPRemote;
    bool m_TargetIPv6 = false;  // m_IPRemote is an IPv6 address text; otherwise an IPv4 host
    int m_Echo = -1;            // >= 0: every datagram is sent back to its client
    int64_t m_IdleLimit = Association::kIdleLimit;  // ms an association's target may stay silent

protected:
    explicit DatagramPort(const Names& names);
    ~DatagramPort();

    // Binds the local port and starts the receive loop and the sweep; a failure is logged and leaves
    // the port stopped.
    void Open(int portLocal, int portRemote, const char* ipRemote, bool targetIPv6, int echo);
    // The association of a client, started first if it has none; empty when the table refused it.
    // Held, so that the sweep does not stop it while it is used outside the table lock.
    CliTab::Held Associate(const SockAddr& from, const LocalAddr& at);

private:
    int Bind();
    int Bind6();
    static bool WinSockProc(void* port);
    static bool WinSockProc6(void* port);
    void Receive(Socket& sock, int (DatagramPort::*rebind)());

    const Names m_Names;
    Thread m_ThreadRecv;
    Thread m_ThreadRecv6;
};
