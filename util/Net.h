#pragma once
// Socket plumbing shared by every relay: one address type for both families, one owner per
// descriptor, and the system calls wrapped so that interruptions by signals are retried and short
// sends are completed. The classes above this read like the protocol.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string>

#include "util/DBString.h"

// An IPv4 or IPv6 socket address; two are equal when family, address and port are.
class SockAddr {
public:
    SockAddr() { Clear(); }
    explicit SockAddr(const sockaddr_in& a);
    explicit SockAddr(const sockaddr_in6& a);
    // The wildcard address of a family (0.0.0.0 or ::) with a port in host order.
    static SockAddr Any(int family, int port);

    void Clear();
    int Family() const { return m_Addr.sa.sa_family; }
    socklen_t Len() const;
    // Room for recvfrom/accept of either family.
    static socklen_t Capacity() { return sizeof(sockaddr_in6); }
    sockaddr* Raw() { return &m_Addr.sa; }
    const sockaddr* Raw() const { return &m_Addr.sa; }
    const sockaddr_in& V4() const { return m_Addr.v4; }
    const sockaddr_in6& V6() const { return m_Addr.v6; }
    // Port in host order.
    int Port() const;
    // The log text of the address: " a.b.c.d:port " or " [addr]:port ".
    DBString ToLog() const;
    // The same text in UTF-8, appended to out.
    void AppendLog(std::string& out) const;

    bool operator==(const SockAddr& o) const;

private:
    union {
        sockaddr sa;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } m_Addr;
};

// The local address a client's datagram came in on, as IP_PKTINFO / IPV6_PKTINFO report it on a
// port's socket bound to every address: answers go back from it. On a host with several addresses
// the routing table may pick another source, and a client that checks whom it hears from (a
// connected socket, the C library's resolver, a NAT in between) would drop such an answer. Unknown
// (none reported, or a multicast one that cannot be a source): the kernel picks, as before.
class LocalAddr {
public:
    bool Known() const { return m_Family != AF_UNSPEC; }
    // Reads it from the control messages of a received datagram.
    void Take(const msghdr& msg);

private:
    friend class Socket;
    int m_Family = AF_UNSPEC;  // AF_INET: m_V4 (an IPv4 socket); AF_INET6: m_V6 (perhaps a mapped IPv4 one)
    in_addr m_V4{};
    in6_addr m_V6{};
};

// A pipe that carries one direction of a TCP relay from socket to socket inside the kernel: the
// bytes are never copied into the daemon. Each side owns its pipe; only that side's thread uses it.
class SplicePipe {
public:
    SplicePipe() = default;
    ~SplicePipe();
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;

    // False when no pipe can be had (descriptors used up): the side then copies instead.
    bool Open();
    void Close();
    // Throws away what a failed send left in the pipe, which would otherwise block the next
    // receive into it where no stop can wake it. False when no new pipe can be had.
    bool Empty();
    bool IsOpen() const { return m_Read != -1; }
    int ReadEnd() const { return m_Read; }
    int WriteEnd() const { return m_Write; }
    // Test hook: the next this many opens fail as if the descriptors were used up.
    static inline std::atomic<int> s_FailOpen{0};
    // Pipes open at most at once, from the client budget; opens beyond it fail.
    static inline std::atomic<long long> s_Limit{1LL << 40};
    static long long OpenNow() { return s_Open.load(); }

private:
    static inline std::atomic<long long> s_Open{0};
    int m_Read = -1;
    int m_Write = -1;
};

// The one owner of a socket descriptor; -1 is "closed". A stop closes sockets that other threads
// are blocked on, and closing a number another thread is about to pass to a system call is not
// enough: the number may be handed out again by the next socket() or accept() and that thread would
// then read or send on someone else's socket. Every call therefore runs under a shared lock; Close
// takes the handle away and shuts the socket down (which wakes blocked calls), then waits for the
// calls in flight to leave before it releases the number. Interruptions by signals are retried.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_Fd(fd) {}
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    // Moving is for sockets no other thread uses yet (set-up, tests).
    Socket(Socket&& o) noexcept : m_Fd(o.Release()) {}
    Socket& operator=(Socket&& o) noexcept;

    // Takes ownership of fd; a socket still open is closed first.
    void Reset(int fd);
    bool IsOpen() const { return m_Fd.load() != -1; }
    // The number, for options set before other threads use the socket.
    int Fd() const { return m_Fd.load(); }
    int Release() { return m_Fd.exchange(-1); }

    // A closed socket reads as an orderly end (0) on Recv, and fails the others with EBADF.
    ssize_t Recv(void* buf, size_t len, int flags = 0);
    ssize_t RecvFrom(void* buf, size_t len, SockAddr& from);
    // The same, with the local address the datagram was sent to, once ReportLocal is on.
    ssize_t RecvFrom(void* buf, size_t len, SockAddr& from, LocalAddr& at);
    // Makes a datagram socket of family report the local address of each datagram it receives.
    void ReportLocal(int family);
    // progress, when given, gets Clock::Now() whenever a send has moved some of the data.
    ssize_t SendAll(const void* data, size_t len, std::atomic<int64_t>* progress = nullptr);
    ssize_t SendTo(const void* data, size_t len, const SockAddr& to);
    // From a known local address of this host (the kernel's pick if it cannot be a source any more).
    ssize_t SendTo(const void* data, size_t len, const SockAddr& to, const LocalAddr& from);
    // Moves what the stream has to read into the empty pipe, waiting for it like Recv (a closed
    // socket reads as an end): the bytes moved, 0 at the end, -1 with errno (EINVAL: this socket
    // cannot be spliced).
    ssize_t SpliceIn(SplicePipe& pipe);
    // Sends the len bytes the pipe holds, like SendAll.
    ssize_t SpliceOutAll(SplicePipe& pipe, size_t len, std::atomic<int64_t>* progress);
    // One send on a connected socket, retried while interrupted.
    ssize_t Send(const void* data, size_t len);
    // A send time-out set before limits the connect also when a signal interrupts it (EINPROGRESS).
    int Connect(const SockAddr& to);
    int Accept(SockAddr& from);
    // Waits up to ms for something to read (a datagram, data, a connection to accept): > 0 when
    // there is, 0 on time-out, -1 on error or a closed socket.
    int WaitReadable(int ms);
    // Makes a blocking receive give up after ms with EAGAIN (0: wait without limit).
    int SetRecvTimeout(int ms);
    // Makes a blocking send return what it has moved after ms (SendAll then goes on waiting), so
    // that a peer reading slowly is seen to read.
    int SetSendTimeout(int ms);
    int SetOption(int level, int name, int value);
    int GetOption(int level, int name, void* value, socklen_t* len);

    // Wakes the calls blocked on the socket (they return an end or an error) and keeps the number,
    // for an owner that closes only once its reader has ended.
    void Shutdown();
    // Shuts both directions down and closes, exactly once whoever calls it.
    void Close();

private:
    std::atomic<int> m_Fd{-1};
    std::shared_mutex m_Use;
};

namespace net {
// The log texts of addresses, appended to out in UTF-8:
// " a.b.c.d:port " with the four bytes of addr in memory order and port as an unsigned number;
// " [addr]:port " for IPv6, or " [???]port " when the address cannot be written.
void AppendAddrText(std::string& out, int addr, int port);
void AppendAddrText(std::string& out, const in6_addr& addr, int port);
// The title of an echo rule's dump line in UTF-8: tag ("UDPv4", "TCPv6", ...), a blank, the local
// port as "%05d", then the sender's address text.
std::string EchoTitle(const wchar_t* tag, int portLocal, const SockAddr& from);

// Sends all of data, retrying interruptions and continuing after short sends and send time-outs.
// Returns len, or -1 with errno set by the failing call. progress: as Socket::SendAll.
ssize_t SendAll(int fd, const void* data, size_t len, std::atomic<int64_t>* progress = nullptr);
ssize_t SendTo(int fd, const void* data, size_t len, const SockAddr& to);
// recv/recvfrom/accept, retried while interrupted by a signal.
ssize_t Recv(int fd, void* buf, size_t len, int flags = 0);
ssize_t RecvFrom(int fd, void* buf, size_t len, SockAddr& from);
int Accept(int fd, SockAddr& from);
// A datagram or stream socket of the given family; -1 with errno on failure.
int OpenSocket(int family, int type);
// Binds to addr; returns 0 or -1 with errno.
int Bind(int fd, const SockAddr& addr);

// Resolves host (name or dotted address) for the given socket type and takes the first IPv4 result
// with port (host order). Returns 0, or the resolver's code; an empty result gives kNoAddress.
constexpr int kNoAddress = 0x7fffffff;
int ResolveFirst(const std::string& host, int port, int family, int socktype, SockAddr& out);

// Turns an IPv6 target text into an address with port (host order). Texts the system parser accepts
// are used exactly; others go through the lenient group parser, which throws
// ErrorXML("std::stoi(ServAddrPart[i], 0, 16))", 0) for a group that is not a number. An empty text
// throws ErrorXML("empty IPv6 target address", 0): it must never become the all-zero address.
SockAddr ParseIPv6Target(const std::string& text, int port);

// The address a socket of family listens on, with port (host order): for AF_INET an IPv4 address;
// for AF_INET6 an IPv6 address, or an IPv4 one as its mapped form (a dual-stack socket bound to it
// takes that IPv4 address alone). An empty text is the family's wildcard. No names are resolved:
// a listening address must not depend on a resolver at start. False when text is no such address.
bool ParseLocal(const std::string& text, int family, int port, SockAddr& out);
}  // namespace net
