#include "tcp/RelaySocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

void RelaySocket::Reset(int fd) {
    Close();
    m_Fd.store(fd);
}

ssize_t RelaySocket::Recv(void* buf, size_t len) {
    std::shared_lock<std::shared_mutex> use(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) return 0;
    return net::Recv(fd, buf, len);
}

ssize_t RelaySocket::SendAll(const void* data, size_t len) {
    std::shared_lock<std::shared_mutex> use(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    return net::SendAll(fd, data, len);
}

int RelaySocket::Connect(const SockAddr& to) {
    std::shared_lock<std::shared_mutex> use(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    if (::connect(fd, to.Raw(), to.Len()) == 0) return 0;
    if (errno != EINTR) return -1;
    // An interrupted connect goes on in the background; wait for its outcome instead of starting a
    // second one.
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
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
}

int RelaySocket::Accept(SockAddr& from) {
    std::shared_lock<std::shared_mutex> use(m_Use);
    int fd = m_Fd.load();
    if (fd == -1) {
        errno = EBADF;
        return -1;
    }
    return net::Accept(fd, from);
}

void RelaySocket::Close() {
    int fd = m_Fd.exchange(-1);
    if (fd == -1) return;
    ::shutdown(fd, SHUT_RDWR);
    std::unique_lock<std::shared_mutex> drained(m_Use);
    ::close(fd);
}
