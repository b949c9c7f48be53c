#include "udp/Association.h"

#include <cerrno>

#include "daemon/VEXAProxy.h"

bool OpenAssociation(int family, Socket& socket, Thread& reader, std::atomic<bool>& run, const DBString& failed) {
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
    socket = std::move(sock);
    run = true;
    if (!reader.Start(0, 0)) {
        run = false;
        socket.Close();
        return false;
    }
    return true;
}
