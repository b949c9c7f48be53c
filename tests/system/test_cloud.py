"""The RM7 cloud relay in the running daemon: device datagrams checked and relayed to the cloud,
cloud datagrams routed back by node number, bad datagrams dropped silently."""
import socket
import time

import pytest

import peers
import vexa

CONFIG = """<?xml version="1.0"?>
<VEXAProxy>
  <CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="%s"/>
</VEXAProxy>
"""


def device(addr):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    s.settimeout(3)
    return s


def nothing_arrives(peer, wait=0.5):
    try:
        peer.get(timeout=wait)
    except Exception:
        return True
    return False


@pytest.fixture
def cloud():
    c = peers.UdpPeer("127.0.0.4", 6000)
    yield c
    c.close()


def test_datagrams_relayed_both_ways_and_routed_by_node(cloud):
    d = vexa.Daemon(CONFIG % "127.0.0.4").start()
    d.wait_for("RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000")
    a, b = device("127.0.0.1"), device("127.0.0.5")
    try:
        up = peers.v7_datagram(3, 1234, 1, "status")
        a.sendto(up, ("127.0.0.1", 4999))
        got, relay = cloud.get()
        assert (got, relay[1]) == (up, 5000)
        d.wait_for("RM7 04999    1234  [::ffff:127.0.0.1]:%d connect" % a.getsockname()[1])

        down = peers.v7_datagram(4, 1, 1234, "command")
        cloud.sock.sendto(down, relay)
        assert a.recvfrom(2048) == (down, ("127.0.0.1", 4999))

        # The same node from another address: the device has moved.
        b.sendto(peers.v7_datagram(7, 1234, 1), ("127.0.0.1", 4999))
        cloud.get()
        cloud.sock.sendto(down, relay)
        assert b.recvfrom(2048)[0] == down
        a.settimeout(0.5)
        with pytest.raises(socket.timeout):
            a.recvfrom(2048)

        cloud.sock.sendto(peers.v7_datagram(8, 1, 777), relay)
        d.wait_for("Recipient not found 1.0 -> 777.0")

        # Canaries: nothing of these reaches the cloud, and none writes a line.
        lines = len(d.main())
        good = peers.v7_datagram(3, 1234, 1, "x" * 20)
        bad_crc = bytearray(good)
        bad_crc[5] ^= 0x01
        for junk in (good[:14], b"\x00" * 15, bytes(range(100)), bytes(bad_crc),
                     peers.v7_datagram(5, 1234, 1), peers.v7_datagram(6, 1234, 1),
                     peers.v7_datagram(3, 0, 1)):
            a.sendto(junk, ("127.0.0.1", 4999))
        assert nothing_arrives(cloud)
        assert len(d.main()) == lines
    finally:
        a.close()
        b.close()
    d.stop()


def test_unresolvable_cloud_host_leaves_the_relay_stopped():
    d = vexa.Daemon(CONFIG % "cloud.vexa.invalid").start()
    line = d.wait_for("cloud.vexa.invalid - ")[0]
    assert line.startswith("cloud.vexa.invalid - ")
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.bind(("::", 4999))  # the device-side port was never taken
    s.close()
    d.stop()
