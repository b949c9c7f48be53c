#include "util/Net.h"

#include "util/Clock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <linux/sockios.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/ErrorXML.h"
#include "util/Digits.h"
#include "util/IPv6.h"
#include "util/ParseString.h"

SockAddr::SockAddr(const sockaddr_in& a) {
    Clear();
    m_Addr.v4 = a;
}

SockAddr::SockAddr(const sockaddr_in6& a) {
    Clear();
    m_Addr.v6 = a;
}

SockAddr SockAddr::Any(int family, int port) {
    SockAddr s;
    if (family == AF_INET6) {
        s.m_Addr.v6.sin6_family = AF_INET6;
        s.m_Addr.v6.sin6_addr = in6addr_any;
        s.m_Addr.v6.sin6_port = htons(static_cast<uint16_t>(port));
    } else {
        s.m_Addr.v4.sin_family = AF_INET;
        s.m_Addr.v4.sin_addr.s_addr = htonl(INADDR_ANY);
        s.m_Addr.v4.sin_port = htons(static_cast<uint16_t>(port));
    }
    return s;
}

void SockAddr::Clear() { std::memset(&m_Addr, 0, sizeof m_Addr); }

socklen_t SockAddr::Len() const {
    return Family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int SockAddr::Port() const {
    return ntohs(Family() == AF_INET6 ? m_Addr.v6.sin6_port : m_Addr.v4.sin_port);
}

DBString SockAddr::ToLog() const {
    std::string text;
    AppendLog(text);
    return DBString(text);
}

void SockAddr::AppendLog(std::string& out) const {
    if (Family() == AF_INET6) net::AppendAddrText(out, m_Addr.v6.sin6_addr, Port());
    else net::AppendAddrText(out, static_cast<int>(m_Addr.v4.sin_addr.s_addr), Port());
}

void net::AppendAddrText(std::string& out, int addr, int port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&addr);
    char text[2 + 4 * 4 + digits::DecimalMax(1) + 1];
    char* p = text;
    *p++ = ' ';
    for (int k = 0; k < 4; ++k) {
        p = digits::Unsigned(p, b[k]);
        *p++ = k < 3 ? '.' : ':';
    }
    p = digits::Unsigned(p, static_cast<uint32_t>(port));
    *p++ = ' ';
    out.append(text, p);
}

void net::AppendAddrText(std::string& out, const in6_addr& addr, int port) {
    char text[INET6_ADDRSTRLEN] = {};
    char number[digits::DecimalMax(1)];
    const bool ok = inet_ntop(AF_INET6, &addr, text, sizeof text) != nullptr;
    out += " [";
    out += ok ? text : "???";
    out += ok ? "]:" : "]";
    out.append(number, digits::Decimal(number, port));
    out += ' ';
}

std::string net::EchoTitle(const wchar_t* tag, int portLocal, const SockAddr& from) {
    std::string title;
    DBString::AppendUtf8(tag, title);
    char number[digits::DecimalMax(5) + 1];
    char* p = number;
    *p++ = ' ';
    title.append(number, digits::Decimal(p, portLocal, 5));
    from.AppendLog(title);
    return title;
}

bool SockAddr::operator==(const SockAddr& o) const {
    if (Family() != o.Family() || Port() != o.Port()) return false;
    if (Family() == AF_INET6) return std::memcmp(&m_Addr.v6.sin6_addr, &o.m_Addr.v6.sin6_addr, sizeof(in6_addr)) == 0;
    return m_Addr.v4.sin_addr.s_addr == o.m_Addr.v4.sin_addr.s_addr;
}

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
}

void Socket::Reset(int fd) {
    Close();
    m_Fd.store(fd);
}

namespace {
// Runs call(fd) under the shared lock, or fails with EBADF on a closed socket.
template <class Call>
auto WithFd(std::atomic<int>& fdSlot, std::shared_mutex& use, Call call) -> decltype(call(0)) {
    std::shared_lock<std::shared_mutex> lock(use);
    int fd = fdSlot.load();
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    return call(fd);
}

// Sends len bytes, sendSome(done, left) at a time, retrying interruptions and continuing after
// short sends and send time-outs. Returns len, or -1 with errno set by the failing call.
template <class SendSome>
ssize_t SendLoop(int fd, size_t len, std::atomic<int64_t>* progress, SendSome sendSome) {
    size_t done = 0;
    size_t left = len;
    int unsent = -1;  // bytes the kernel had not yet delivered at the last send time-out
    while (left > 0) {
        ssize_t n = sendSome(done, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
            // A send time-out that took nothing: the kernel wakes a blocked sender only once a
            // large part of its buffer is free, so whether the peer reads shows in what is still
            // queued. Less than at the last look: the data moves, however slowly.
            int queued;
            if (progress != nullptr && ::ioctl(fd, SIOCOUTQ, &queued) == 0) {
                if (unsent >= 0 && queued < unsent) progress->store(Clock::Now(), std::memory_order_relaxed);
                unsent = queued;
            }
            continue;
        }
        if (n == 0) {
            // Nothing moved and nothing wrong: trying again would spin.
            errno = EPIPE;
            return -1;
        }
        if (progress != nullptr) progress->store(Clock::Now(), std::memory_order_relaxed);
        unsent = -1;
        done += static_cast<size_t>(n);
        left -= static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(len);
}
}  // namespace

ssize_t Socket::Recv(void* buf, size_t len, int flags) {
    std::shared_lock<std::shared_mutex> lock(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) return 0;
    return net::Recv(fd, buf, len, flags);
}

ssize_t Socket::RecvFrom(void* buf, size_t len, SockAddr& from) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return net::RecvFrom(fd, buf, len, from); });
}

ssize_t Socket::RecvFrom(void* buf, size_t len, SockAddr& from, LocalAddr& at) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(in6_pktinfo))];
        iovec iov{buf, len};
        for (;;) {
            from.Clear();
            msghdr msg{};
            msg.msg_name = from.Raw();
            msg.msg_namelen = SockAddr::Capacity();
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = ::recvmsg(fd, &msg, 0);
            if (n < 0 && errno == EINTR) continue;
            at = LocalAddr();
            if (n >= 0) at.Take(msg);
            return n;
        }
    });
}

void Socket::ReportLocal(int family) {
    if (family == AF_INET) SetOption(IPPROTO_IP, IP_PKTINFO, 1);
    else SetOption(IPPROTO_IPV6, IPV6_RECVPKTINFO, 1);
}

void LocalAddr::Take(const msghdr& msg) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // The address an answer goes from: for a broadcast, the receiving interface's own.
            m_Family = AF_INET;
            m_V4 = info.ipi_spec_dst;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            const uint8_t* a = info.ipi6_addr.s6_addr;
            const bool multicast = IN6_IS_ADDR_MULTICAST(&info.ipi6_addr) ||
                                   (IN6_IS_ADDR_V4MAPPED(&info.ipi6_addr) && (a[12] >= 224 || (a[12] & a[13] & a[14] & a[15]) == 255));
            if (multicast) continue;
            m_Family = AF_INET6;
            m_V6 = info.ipi6_addr;
        }
    }
}

ssize_t Socket::SendAll(const void* data, size_t len, std::atomic<int64_t>* progress) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return net::SendAll(fd, data, len, progress); });
}

ssize_t Socket::SpliceIn(SplicePipe& pipe) {
    std::shared_lock<std::shared_mutex> lock(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) return 0;
    for (;;) {
        // As much as an empty pipe holds by default: larger pipes count against the daemon
        // user's pipe allowance, past which every new pipe shrinks to two pages.
        ssize_t n = ::splice(fd, nullptr, pipe.WriteEnd(), nullptr, 64 * 1024, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t Socket::SpliceOutAll(SplicePipe& pipe, size_t len, std::atomic<int64_t>* progress) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        return SendLoop(fd, len, progress, [&](size_t, size_t left) {
            return ::splice(pipe.ReadEnd(), nullptr, fd, nullptr, left, SPLICE_F_MOVE);
        });
    });
}

SplicePipe::~SplicePipe() { Close(); }

void SplicePipe::Close() {
    if (m_Read == -1) return;
    ::close(m_Read);
    ::close(m_Write);
    m_Read = m_Write = -1;
    s_Open.fetch_sub(1);
}

bool SplicePipe::Empty() {
    Close();
    return Open();
}

bool SplicePipe::Open() {
    if (s_FailOpen.load() > 0 && s_FailOpen.fetch_sub(1) > 0) return false;
    if (s_Open.fetch_add(1) >= s_Limit.load()) {
        s_Open.fetch_sub(1);
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        s_Open.fetch_sub(1);
        return false;
    }
    m_Read = fds[0];
    m_Write = fds[1];
    return true;
}

ssize_t Socket::SendTo(const void* data, size_t len, const SockAddr& to) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return net::SendTo(fd, data, len, to); });
}

ssize_t Socket::SendTo(const void* data, size_t len, const SockAddr& to, const LocalAddr& from) {
    if (!from.Known()) return SendTo(data, len, to);
    return WithFd(m_Fd, m_Use, [&](int fd) {
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
        iovec iov{const_cast<void*>(data), len};
        msghdr msg{};
        msg.msg_name = const_cast<sockaddr*>(to.Raw());
        msg.msg_namelen = to.Len();
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        auto put = [&](int level, int type, const auto& info) {
            cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
            c->cmsg_level = level;
            c->cmsg_type = type;
            c->cmsg_len = CMSG_LEN(sizeof info);
            std::memcpy(CMSG_DATA(c), &info, sizeof info);
            msg.msg_controllen = CMSG_SPACE(sizeof info);
        };
        if (from.m_Family == AF_INET) {
            in_pktinfo info{};
            info.ipi_spec_dst = from.m_V4;
            put(IPPROTO_IP, IP_PKTINFO, info);
        } else {
            in6_pktinfo info{};
            info.ipi6_addr = from.m_V6;
            put(IPPROTO_IPV6, IPV6_PKTINFO, info);
        }
        for (;;) {
            ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            // An address that is no source any more (removed since, or a subnet broadcast the client
            // sent to): the kernel picks one, as it does without.
            if (n < 0 && errno == EINVAL) return net::SendTo(fd, data, len, to);
            return n;
        }
    });
}

ssize_t Socket::Send(const void* data, size_t len) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        for (;;) {
            ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    });
}

int Socket::Accept(SockAddr& from) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return net::Accept(fd, from); });
}

int Socket::Connect(const SockAddr& to) {
    return WithFd(m_Fd, m_Use, [&](int fd) -> int {
        if (::connect(fd, to.Raw(), to.Len()) == 0) return 0;
        if (errno != EINTR) return -1;
        // An interrupted connect goes on in the background; wait for its outcome instead of
        // starting a second one, but no longer than the send time-out an owner set as its limit
        // (what a connect left alone would give up after).
        timeval limit{};
        socklen_t limitLen = sizeof limit;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &limitLen);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit.tv_sec) +
                         std::chrono::microseconds(limit.tv_usec);
        const bool limited = limit.tv_sec > 0 || limit.tv_usec > 0;
        pollfd p{fd, POLLOUT, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const int ready = ::poll(&p, 1, limited ? static_cast<int>(std::max<int64_t>(left.count(), 0)) : -1);
            if (ready > 0) break;
            if (ready == 0) {
                errno = EINPROGRESS;
                return -1;
            }
            if (errno != EINTR) return -1;
        }
        int err = 0;
        socklen_t errLen = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    });
}

int Socket::WaitReadable(int ms) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, ms);
        return n < 0 && errno == EINTR ? 0 : n;
    });
}

int Socket::SetRecvTimeout(int ms) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    });
}

int Socket::SetOption(int level, int name, int value) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return ::setsockopt(fd, level, name, &value, sizeof value); });
}

int Socket::GetOption(int level, int name, void* value, socklen_t* len) {
    return WithFd(m_Fd, m_Use, [&](int fd) { return ::getsockopt(fd, level, name, value, len); });
}

int Socket::SetSendTimeout(int ms) {
    return WithFd(m_Fd, m_Use, [&](int fd) {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    });
}

void Socket::Shutdown() {
    std::shared_lock<std::shared_mutex> lock(m_Use);
    int fd = m_Fd.load();
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

void Socket::Close() {
    int fd = m_Fd.exchange(-1);
    if (fd == -1) return;
    ::shutdown(fd, SHUT_RDWR);
    std::unique_lock<std::shared_mutex> drained(m_Use);
    ::close(fd);
}

namespace net {

ssize_t SendAll(int fd, const void* data, size_t len, std::atomic<int64_t>* progress) {
    const char* p = static_cast<const char*>(data);
    return SendLoop(fd, len, progress, [&](size_t done, size_t left) { return ::send(fd, p + done, left, MSG_NOSIGNAL); });
}

ssize_t SendTo(int fd, const void* data, size_t len, const SockAddr& to) {
    for (;;) {
        ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL, to.Raw(), to.Len());
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t Recv(int fd, void* buf, size_t len, int flags) {
    for (;;) {
        ssize_t n = ::recv(fd, buf, len, flags);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t RecvFrom(int fd, void* buf, size_t len, SockAddr& from) {
    for (;;) {
        from.Clear();
        socklen_t alen = SockAddr::Capacity();
        ssize_t n = ::recvfrom(fd, buf, len, 0, from.Raw(), &alen);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int Accept(int fd, SockAddr& from) {
    for (;;) {
        from.Clear();
        socklen_t alen = SockAddr::Capacity();
        int c = ::accept4(fd, from.Raw(), &alen, SOCK_CLOEXEC);
        if (c < 0 && errno == EINTR) continue;
        return c;
    }
}

int OpenSocket(int family, int type) { return ::socket(family, type | SOCK_CLOEXEC, 0); }

int Bind(int fd, const SockAddr& addr) { return ::bind(fd, addr.Raw(), addr.Len()); }

int ResolveFirst(const std::string& host, int port, int family, int socktype, SockAddr& out) {
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_protocol = socktype == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) return rc;
    if (list == nullptr) return kNoAddress;
    out.Clear();
    if (list->ai_family == AF_INET6) {
        sockaddr_in6 a{};
        std::memcpy(&a, list->ai_addr, sizeof a);
        a.sin6_port = htons(static_cast<uint16_t>(port));
        out = SockAddr(a);
    } else {
        sockaddr_in a{};
        std::memcpy(&a, list->ai_addr, sizeof a);
        a.sin_port = htons(static_cast<uint16_t>(port));
        out = SockAddr(a);
    }
    ::freeaddrinfo(list);
    return 0;
}

namespace {
// Reads one group the way std::stoi(part, 0, 16) does; throws the relay's error line when it fails.
uint16_t HexGroup(const std::string& part) {
    try {
        return static_cast<uint16_t>(std::stoi(part, nullptr, 16));
    } catch (const std::exception&) {
        throw ErrorXML(L"std::stoi(ServAddrPart[i], 0, 16))", 0);
    }
}
}  // namespace

SockAddr ParseIPv6Target(const std::string& text, int port) {
    if (text.empty()) throw ErrorXML(L"empty IPv6 target address", 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_flowinfo = 0;
    a.sin6_scope_id = 0;
    if (::inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) {
        // Lenient reading of texts the system parser refuses: groups from the front until the first
        // empty part, then from the back, so "::" fills the middle.
        std::vector<std::string> parts;
        int k = ParseString(text, ":", parts);
        if (k > 8) k = 8;
        uint16_t groups[8] = {};
        for (int i = 0; i < k && !parts[i].empty(); ++i) groups[i] = HexGroup(parts[i]);
        for (int j = k - 1; j >= 0 && !parts[j].empty(); --j) groups[8 - k + j] = HexGroup(parts[j]);
        for (int g = 0; g < 8; ++g) {
            a.sin6_addr.s6_addr[2 * g] = static_cast<unsigned char>(groups[g] >> 8);
            a.sin6_addr.s6_addr[2 * g + 1] = static_cast<unsigned char>(groups[g] & 0xFF);
        }
    }
    return SockAddr(a);
}

bool ParseLocal(const std::string& text, int family, int port, SockAddr& out) {
    out = SockAddr::Any(family, port);
    if (text.empty()) return true;
    if (text.find('\0') != std::string::npos) return false;
    if (family == AF_INET) {
        sockaddr_in a = out.V4();
        if (::inet_pton(AF_INET, text.c_str(), &a.sin_addr) != 1) return false;
        out = SockAddr(a);
        return true;
    }
    sockaddr_in6 a = out.V6();
    if (::inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) {
        in_addr v4{};
        if (::inet_pton(AF_INET, text.c_str(), &v4) != 1) return false;
        a.sin6_addr = ToIPv6(static_cast<int>(v4.s_addr));
    }
    out = SockAddr(a);
    return true;
}

}  // namespace net
