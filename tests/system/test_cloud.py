"""The RM7 cloud relay in the running daemon: device datagrams checked and relayed to the cloud,
cloud datagrams routed back by node number, bad datagrams dropped silently."""
import re
import socket

import peers
import vexa

RELAY = '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="%s"/>'


def test_datagrams_relayed_both_ways_and_routed_by_node(daemon, cloud):
    d = daemon(vexa.config(RELAY % "127.0.0.4"))
    d.wait_for("RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000")
    a, b = peers.UdpPeer("127.0.0.1"), peers.UdpPeer("127.0.0.5")
    try:
        up = peers.v7_datagram(3, 1234, 1, "status")
        a.sock.sendto(up, ("127.0.0.1", 4999))
        got, relay = cloud.get()
        assert (got, relay[1]) == (up, 5000)
        d.wait_for("RM7 04999    1234  [::ffff:127.0.0.1]:%d connect" % a.sock.getsockname()[1])
        down = peers.v7_datagram(4, 1, 1234, "command")
        cloud.sock.sendto(down, relay)
        assert a.get() == (down, ("127.0.0.1", 4999))
        # The same node from another address: the device has moved.
        b.sock.sendto(peers.v7_datagram(7, 1234, 1), ("127.0.0.1", 4999))
        cloud.get()
        cloud.sock.sendto(down, relay)
        assert b.get()[0] == down and a.quiet()
        cloud.sock.sendto(peers.v7_datagram(8, 1, 777), relay)
        d.wait_for("Recipient not found 1.0 -> 777.0")
        # None of these reaches the cloud or writes a line.
        lines = len(d.main())
        bad_crc = bytearray(up)
        bad_crc[5] ^= 0x01
        for junk in (up[:14], b"\x00" * 15, bytes(range(100)), bytes(bad_crc), peers.v7_datagram(5, 1234, 1),
                     peers.v7_datagram(6, 1234, 1), peers.v7_datagram(3, 0, 1)):
            a.sock.sendto(junk, ("127.0.0.1", 4999))
        assert cloud.quiet() and len(d.main()) == lines
    finally:
        a.close()
        b.close()
    d.stop()


def test_unresolvable_cloud_host_leaves_the_relay_stopped(daemon):
    d = daemon(vexa.config(RELAY % "cloud.vexa.invalid"))
    d.wait_for(re.compile("^cloud.vexa.invalid - "))
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
        s.bind(("::", 4999))  # the device-side port was never taken
    d.stop()
