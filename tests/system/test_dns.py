"""The DNS relay on port 53 with real peers: dig and dnspython as clients, dnsmasq as the server on
127.0.0.2 (port 5353, reached as port 53 through an nftables redirect)."""
import contextlib
import os
import re
import socket
import subprocess
import time

import dns.flags
import dns.message
import dns.rdatatype
import dns.rrset
import pytest

import peers
import vexa

CONFIG = vexa.config('<DNS Name="printer.lan" IP="192.168.0.50" Note="office"/>', dns_srv="%s")


def relay(daemon, server="127.0.0.2"):
    d = daemon(CONFIG % server)
    peers.wait_udp("0.0.0.0", 53)
    return d


def ask(wire, sport=0, timeout=3):
    """One datagram to the relay from 127.0.0.1:sport; the raw answer (None on time-out)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", sport))
        s.settimeout(timeout)
        s.sendto(wire, ("127.0.0.1", 53))
        try:
            data, peer = s.recvfrom(65535)
        except socket.timeout:
            return None
        assert peer == ("127.0.0.1", 53)
        return data


def query(name, *additional, **edns):
    """A query for name, type A, in wire form, with these additional records (rrset texts) and EDNS
    arguments of dnspython."""
    m = dns.message.make_query(name, "A", **edns)
    m.additional.extend(dns.rrset.from_text(*rr) for rr in additional)
    return m.to_wire()


def asked_and_answered(client):
    """The question asked and the relay's answer (flags, question, A records as (TTL, address)) for dig
    run with these arguments or a query in wire form; questions as "name. TYPE", letter case kept."""
    if isinstance(client, list):
        name, *qtype = [a for a in client if not a.startswith("+")]
        out = subprocess.run(["dig", "@127.0.0.1", "+tries=1", "+time=3"] + client,
                             capture_output=True, text=True, timeout=10).stdout
        flags = re.search(r";; flags: ([a-z ]*);", out).group(1).split()
        echoed = " ".join(re.search(r"^;; QUESTION SECTION:\n;(\S+)\s+IN\s+(\S+)$", out, re.M).groups())
        answers = [(int(t), a) for t, a in re.findall(r"^\S+\s+(\d+)\s+IN\s+A\s+(\S+)$", out, re.M)]
        return "%s. %s" % (name, (qtype or ["A"])[0]), (flags, echoed, answers)
    q, r = dns.message.from_wire(client), dns.message.from_wire(ask(client))
    text = ["%s %s" % (m.question[0].name, dns.rdatatype.to_text(m.question[0].rdtype)) for m in (q, r)]
    answers = [(rrs.ttl, rd.address) for rrs in r.answer if rrs.rdtype == dns.rdatatype.A for rd in rrs]
    return text[0], (dns.flags.to_text(r.flags).lower().split(), text[1], answers)


# Dig sends EDNS unless told +noedns; names compare in any letter case. The canaries (RD clear, another
# name, another type, an additional record that is not OPT) get dnsmasq's answer.
@pytest.mark.parametrize("client,address,local", [
    (["+noedns", "printer.lan"], "192.168.0.50", True),
    (["printer.lan"], "192.168.0.50", True),
    (["PRINTER.Lan"], "192.168.0.50", True),
    (query("printer.lan", use_edns=0, payload=1232), "192.168.0.50", True),
    (["+noedns", "+norecurse", "printer.lan"], "10.9.9.9", False),
    (["+noedns", "other.lan"], "10.2.2.2", False),
    (["printer.lan", "AAAA"], None, False),
    (query("printer.lan", (".", 0, "IN", "A", "192.168.0.50")), "10.9.9.9", False),  # where an OPT record would be
], ids=["noedns", "edns", "letter-case", "dnspython-edns", "norecurse", "other-name", "aaaa", "other-additional"])
def test_only_configured_names_are_answered_by_the_relay(daemon, upstream, client, address, local):
    d = relay(daemon)
    asked, (flags, echoed, answers) = asked_and_answered(client)
    assert "qr" in flags and echoed == asked and [a[1] for a in answers] == ([address] if address else [])
    if local:
        assert "rd" not in flags and answers[0][0] == 11227
        time.sleep(0.2)  # a query wrongly forwarded as well would have reached dnsmasq by now
    assert len(upstream.queries()) == (0 if local else 1)
    d.wait_for(re.compile(r"^00001 127\.000\.000\.001:\d{5} "), log="dns", count=2)  # query and answer


@contextlib.contextmanager
def resolver(text):
    """Replaces /etc/resolv.conf, a symbolic link included (/etc is a private overlay: the host's file
    is untouched)."""
    path = "/etc/resolv.conf"
    link = os.readlink(path) if os.path.islink(path) else None
    saved = None if link or not os.path.exists(path) else open(path).read()
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, "w") as f:
        f.write(text)
    try:
        yield
    finally:
        os.unlink(path)
        if link:
            os.symlink(link, path)
        elif saved is not None:
            with open(path, "w") as f:
                f.write(saved)


def test_unresolvable_server_is_logged_and_the_daemon_stays_up(daemon):
    with resolver("nameserver 192.0.2.1\noptions timeout:1 attempts:1\n"):  # no route: look-ups fail at once
        d = relay(daemon, "dns.relay-test.invalid")
        for sport in (40101, 40102):
            assert ask(query("other.lan"), sport=sport, timeout=1) is None
        d.wait_for("CDNSCli::Start getaddrinfo()", count=2)
        lines = d.main()
        assert "DNS00053 00001  127.0.0.1:40101 connect" in lines
        assert "DNS00053 00002  127.0.0.1:40102 connect" in lines
        assert ask(query("printer.lan"), sport=40101)  # names of the configuration are still answered
        d.stop()

