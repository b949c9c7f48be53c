#pragma once
// The receive loop of a port's datagram socket (UDP rules, the DNS relay, both sides of the cloud
// relay). A receive error other than a peer's reset is reported, the socket closed and, after a
// pause of a second, bound again; a socket that cannot be bound again ends the loop.
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <thread>

#include "util/Net.h"

// handle(buf, n, from, at) takes each datagram with the local address it came in on; fail(err) reports a receive error; rebind() opens and
// binds a new socket into sock, reporting its own failure, and returns whether it succeeded.
template <class Run, class Handle, class Fail, class Rebind>
void DatagramLoop(Socket& sock, Run&& running, char* buf, size_t size, Handle&& handle, Fail&& fail,
                  Rebind&& rebind) {
    SockAddr from;
    LocalAddr at;
    while (running()) {
        ssize_t n = sock.RecvFrom(buf, size, from, at);
        const int err = errno;
        if (!running()) return;
        if (n > 0) {
            handle(buf, static_cast<size_t>(n), from, at);
            continue;
        }
        // An empty datagram carries nothing to relay; a reset is an ICMP error of an earlier send.
        if (n == 0 || err == ENETRESET || err == ECONNRESET) continue;
        fail(err);
        // Sends from other threads fail while the socket is closed instead of waiting for the pause.
        sock.Close();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // A stop during the pause: no new socket (the owner closes whatever is left after the loop).
        if (!running()) return;
        if (!rebind()) return;
    }
}
