#include "udp/Association.h"

#include <sys/socket.h>

#include <cerrno>

#include "daemon/VEXAProxy.h"

bool OpenAssociation(const SockAddr& target, Socket& socket, Thread& reader, std::atomic<bool>& run,
                     const DBString& failed, bool& connected) {
    const int family = target.Family();
    Socket sock(net::OpenSocket(family, SOCK_DGRAM));
    if (!sock.IsOpen()) {
        _Modul.m_Log.PutErr((failed + L"socket()").c_str(), errno);
        return false;
    }
    if (net::Bind(sock.Fd(), SockAddr::Any(family, 0)) != 0) {
        const int err = errno;
        _Modul.m_Log.PutErr((failed + (family == AF_INET ? L"bind(0.0.0.0:0)" : L"bind(0:0)")).c_str(), err);
        return false;
    }
    connected = ::connect(sock.Fd(), target.Raw(), target.Len()) == 0;
    socket = std::move(sock);
    run = true;
    if (!reader.Start(0, 0)) {
        run = false;
        socket.Close();
        return false;
    }
    return true;
}

ssize_t SendToTarget(Socket& socket, bool connected, const SockAddr& target, const char* data, size_t len) {
    if (!connected) return socket.SendTo(data, len, target);
    ssize_t n = socket.Send(data, len);
    // The error of an earlier datagram, reported now: this one has not gone yet.
    if (n < 0 && IsTargetHiccup(errno)) n = socket.Send(data, len);
    return n;
}
