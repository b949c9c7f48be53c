#pragma once
// UDP forwarding. A port receives the datagrams of its clients on the rule's local port; every client
// address and port gets an association with a socket of its own towards the target, whose thread
// sends the target's datagrams back to the client from the port's socket. In echo mode the port
// answers every datagram itself.
//
// IPv4 and IPv6 differ only in the family of the port socket, the table key and a few names, so
// there is one implementation (the templates below) and the named classes are its two instances.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "thread/Thread.h"
#include "udp/Association.h"
#include "udp/KeyIPv6.h"
#include "util/ClientTable.h"
#include "util/DBString.h"
#include "util/Net.h"
#include "util/Traffic.h"

template <int Family>
struct UDPFamily;

template <>
struct UDPFamily<AF_INET> {
    using Key = int64_t;
    static constexpr const char* kPort = "CUDPPort";
    static constexpr const char* kCli = "CUDPCli";
    static constexpr const wchar_t* kTag = L"UDPv4";
};

template <>
struct UDPFamily<AF_INET6> {
    using Key = KeyIPv6;
    static constexpr const char* kPort = "CUDPv6Port";
    static constexpr const char* kCli = "CUDPv6Cli";
    static constexpr const wchar_t* kTag = L"UDPv6";
};

template <int Family>
class UDPPortT;

// One client's association: its own socket towards the target and the thread that carries the
// target's datagrams back. An entry of the port's ClientTable.
template <int Family>
class UDPCliT {
public:
    using Port = UDPPortT<Family>;
    // Sweep: ended associations, and those whose target was silent for more than 180 s (in ms).
    static constexpr int64_t kIdleLimit = 180000;

    UDPCliT(const SockAddr& client, Port* port);
    ~UDPCliT();
    UDPCliT(const UDPCliT&) = delete;
    UDPCliT& operator=(const UDPCliT&) = delete;

    // Finds the target, opens and binds the socket and starts the receive thread, then logs
    // "connect". A failure is logged here and leaves nothing open.
    bool Start();
    void SetID(int id);
    DBString Str() const { return m_Str; }
    void PutLog(const wchar_t* text) const;
    void SendToSrv(const char* buffer, int length);
    void Stop();
    const wchar_t* SweepReason(int64_t now) const;
    EvictRank Rank(int64_t now, bool silentNewcomer) const;
    static void PaceLog();
    static void PutLine(const DBString& text);
    static bool WinSockProc(void* cli);

    Thread m_Thread;
    DBString m_Str;
    Port* m_Port;
    int m_ID = 0;
    std::atomic<bool> m_Run{false};
    Socket m_Socket;
    SockAddr m_AddrCli;
    SockAddr m_AddrSrv;
    bool m_Connected = false;  // m_Socket connected to m_AddrSrv
    int64_t m_TimeOpen;  // ms
    // Refreshed only by datagrams from the target: a client talking to a silent target is dropped.
    std::atomic<int64_t> m_TimeLast;
    Exchange m_Exchange;
};

template <int Family>
using UDPCliTabT = ClientTable<typename UDPFamily<Family>::Key, UDPCliT<Family>>;

template <int Family>
class UDPPortT {
public:
    enum typIP { IPv4 = 1, IPv6 = 2 };
    using Traits = UDPFamily<Family>;

    UDPPortT();
    ~UDPPortT();
    UDPPortT(const UDPPortT&) = delete;
    UDPPortT& operator=(const UDPPortT&) = delete;

    void Start(int portLocal, int portRemote, const char* ipRemote, typIP typ, int echo);
    int Bind(DBString& text);
    void Stop();
    void SendToCli(const char* buffer, int length, const SockAddr& to);
    // One datagram from a client: echoed, or relayed through the client's association.
    void RecvFromCli(const char* buffer, int length, const SockAddr& from);
    static int64_t CreateLong(int a, int b);
    static bool WinSockProc(void* port);
    static bool TimerClose(void* port);

    Thread m_ThreadRecv;
    Thread m_ThreadTimer;
    std::atomic<bool> m_Run{false};
    Socket m_Socket;
    UDPCliTabT<Family> m_CliTab;
    Traffic m_Traffic;  // datagrams
    int m_PortLocal = 0;
    int m_PortRemote = 0;
    std::string m_IPRemote;
    typIP m_TypIP = IPv4;
    int m_Echo = -1;
};

extern template class UDPCliT<AF_INET>;
extern template class UDPCliT<AF_INET6>;
extern template class UDPPortT<AF_INET>;
extern template class UDPPortT<AF_INET6>;

using CUDPPort = UDPPortT<AF_INET>;
using CUDPv6Port = UDPPortT<AF_INET6>;
using CUDPCliTab = UDPCliTabT<AF_INET>;
using CUDPv6CliTab = UDPCliTabT<AF_INET6>;
using CUDPCli = UDPCliT<AF_INET>;
using CUDPv6Cli = UDPCliT<AF_INET6>;
