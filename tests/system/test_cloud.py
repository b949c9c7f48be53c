"""The RM7 cloud relay in the running daemon: device datagrams relayed to the cloud, cloud datagrams
routed back by node number (the checks, the moves of devices and failed starts are the unit
tests' part)."""

import peers
import vexa

RELAY = '<CloudRM7 PortRM7="4999" PortCloud="5000" PortVEXACloud="6000" VEXACloud="%s"/>'


def test_datagrams_relayed_both_ways_and_routed_by_node(daemon, cloud):
    d = daemon(vexa.config(RELAY % "127.0.0.4"))
    d.wait_for("RM7 UDP 4999 Cloud UDP 5000 -> [127.0.0.4]:6000")
    devices = [peers.UdpPeer("127.0.0.1"), peers.UdpPeer("127.0.0.5")]
    try:
        for node, device in zip((1234, 77), devices):
            up = peers.v7_datagram(3, node, 1, "status")
            device.sock.sendto(up, ("127.0.0.1", 4999))
            got, relay = cloud.get()
            assert (got, relay[1]) == (up, 5000)
            d.wait_for("RM7 04999 %7d  [::ffff:%s]:%d connect" % ((node,) + device.sock.getsockname()))
        for node, device in zip((77, 1234), devices[::-1]):
            down = peers.v7_datagram(4, 1, node, "command")
            cloud.sock.sendto(down, relay)
            assert device.get() == (down, ("127.0.0.1", 4999))
        cloud.sock.sendto(peers.v7_datagram(8, 1, 777), relay)
        d.wait_for("Recipient not found 1.0 -> 777.0")
    finally:
        for device in devices:
            device.close()
    d.stop()

