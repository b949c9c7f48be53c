# vexaproxy-check: the daemon's loader turned into an operator's tool. That the daemon itself stays
# silent about what it warns of is in test_daemon.
import os
import subprocess

import pytest

import vexa

CHECK = os.environ.get("VEXAPROXY_CHECK", os.path.join(os.path.dirname(vexa.BIN), "tools", "vexaproxy-check"))
HEAD = '<?xml version="1.0" encoding="UTF-8"?>\n'


# addresses: the host's addresses the checker is to see (by default none, so none is global).
def check(*args, addresses=""):
    env = dict(os.environ, VEXAPROXY_CHECK_ADDRESSES=addresses)
    res = subprocess.run([CHECK, *args], capture_output=True, text=True, timeout=30, env=env)
    return res.returncode, res.stdout.splitlines(), res.stderr.splitlines()


def test_clean_files_are_listed_like_the_daemon_lists_them_and_the_command_line():
    assert check(vexa.SAMPLE) == (0, vexa.SAMPLE_LISTING, [vexa.SAMPLE + ": OK"])
    assert check(os.path.join(vexa.ROOT, "examples", "VEXAProxy.xml"), "-q") == (0, [], [])
    rc, out, err = check("--help")
    assert rc == 0 and "Exit status: 0 clean, 1 warnings, 2" in "\n".join(out)
    assert check()[2][-1].startswith(vexa.CFG_FILE + ":")  # without FILE: the daemon's own path
    for arg, error in (("/none.xml", "/none.xml: error: cannot be read (No such file or directory)"),
                       ("--bogus", "vexaproxy-check: unknown option --bogus")):
        rc, out, err = check(arg)
        assert rc == 2 and err[0].startswith(error), err


# A file with one problem on line 4 (rule elements alone: the line numbers count from the first).
def rules(elements):
    return HEAD + '<VEXAProxy DNSSrv="10.0.0.53">\n' + ("" if "\n" in elements else "<!-- -->\n") + elements + "\n</VEXAProxy>\n"


TCP80 = '<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h"'

# Each kind of problem: the file, where its (first) finding is and what it says.
FINDINGS = {
    "unknown TypProt": (rules('<Port TypProt="tcp" PortLocal="80" PortRemote="80" IPRemote="10.0.0.1"/>'), ":4: warning",
                        'TypProt "tcp" is not UDP, TCP, UDPv6 or TCPv6: the rule runs as UDP over IPv4'),
    "trailing junk": (rules('<Port TypProt="TCP" PortLocal="8080abc" PortRemote="80" IPRemote="10.0.0.1"/>'), ":4: warning",
                      'PortLocal "8080abc" has trailing "abc": read as 8080'),
    "port range": (rules('<Port TypProt="UDP" PortLocal="65536" PortRemote="53" IPRemote="10.0.0.1"/>'), ":4: warning",
                   "PortLocal 65536 is not a port (1..65535)"),
    "number above 255": (rules('<DNS Name="a.b" IP="10.0.0.300"/>'), ":4: warning", 'IP "10.0.0.300" has a number above 255: read as 10.0.0.44'),
    "same port twice": (rules('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h"/>\n'
                              '<Port TypProt="TCP" PortLocal="80" PortRemote="81" IPRemote="h"/>'), ":4: warning",
                        "the TCPv4 rule on TCP port 80 clashes with the TCPv4 rule on line 3: it fails to bind"),
    "ignored element": (rules('<port TypProt="TCP" PortLocal="1"/>'), ":4: warning", "element <port> is ignored (names are case-sensitive: Port?)"),
    "ignored text": (rules("abcdefghijklmnopqrstu"), ":4: warning", 'text "abcdefghijklmnopqrst..." inside <VEXAProxy> is ignored'),
    "client bounds beyond the budget": (rules('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h" MaxClients="2000000000"/>'),
                                        ":4: warning", "the daemon clamps them: TCPv4 00080 2000000000 -> "),
    "unclosed element": (HEAD + "<VEXAProxy>\n<Port PortLocal='1'>\n</VEXAProxy>\n", ":4: error",
                         "XML: Opening and ending tag mismatch: Port line 3 and VEXAProxy"),
    "bad encoding": ('<?xml version="1.0" encoding="UTF-8"?>\n<VEXAProxy Note="\xff"/>\n', ":2: error", "XML: Input is not proper UTF-8"),
    "wrong root": (HEAD + "<VEXADOMAIN>\n<VEXAProxy/>\n</VEXADOMAIN>\n", ":2: error",
                   "the root element is <VEXADOMAIN>, not <VEXAProxy>: the daemon starts with an empty configuration"),
    # That relay never starts (its host never resolves): the rule after it binds.
    "cloud without its server": (rules('<CloudRM7 PortCloud="5001"/>\n<Port TypProt="UDPv6" PortLocal="4999" PortRemote="1" IPRemote="h"/>'),
                                 ":3: warning", "has no VEXACloud: device data goes to cloud.vexa.invalid, which never resolves"),
    "Allow entry": (rules(TCP80 + ' Allow="10.0.0.0/8, 10.1.2.3/8"/>'), ":4: warning",
                    'Allow entry "10.1.2.3/8" is skipped: it has address bits set past its prefix (10.0.0.0/8?)'),
    "Allow without entries": (rules('<CloudRM7 PortCloud="5000" VEXACloud="h" Allow=" , "/>'), ":4: warning", "<CloudRM7> Allow has no valid entry: nobody is served"),
    "listening address": (rules(TCP80.replace("TCP", "UDPv6") + ' IPv6Local="localhost"/>'), ":4: warning",
                          'IPv6Local "localhost" is not an IPv6 or IPv4 address (names are not resolved): the rule is not started'),
    "DNS IPv6 address": (HEAD + '<VEXAProxy DNSSrv="10.0.0.53" DNSIPv6Local="10.1" DNSAllow="10.0.0.0/8">\n</VEXAProxy>\n', ":2: warning",
                         'DNSIPv6Local "10.1" is not an IPv6 or IPv4 address (names are not resolved): the DNS relay does not listen for IPv6 clients'),
    "TCP rule on the DNS relay's port": (HEAD + '<VEXAProxy DNSSrv="10.0.0.53" DNSAllow="10.0.0.0/8">\n'
                                         '<Port TypProt="TCP" PortLocal="53" PortRemote="53" IPRemote="h"/>\n</VEXAProxy>\n',
                                         ":2: warning", "the DNS relay (DNSSrv) on TCP port 53 clashes with the TCPv4 rule on line 3"),
    "DNS relay's IPv6 side": (HEAD + '<VEXAProxy DNSSrv="10.0.0.53" DNSIPLocal="127.0.0.1" DNSIPv6Local="::" DNSAllow="10.0.0.0/8">\n'
                              '<Port TypProt="UDPv6" PortLocal="53" PortRemote="53" IPRemote="h" IPv6Local="::1"/>\n</VEXAProxy>\n',
                              ":2: warning", "the DNS relay (DNSIPv6Local) on UDP port 53 clashes with the UDPv6 rule on line 3"),
    "limit": (rules(TCP80 + ' IdleLimit="-1" OpenLimit="0"/>'), ":4: warning", 'IdleLimit "-1" is not a positive number of seconds: the default 30 is used'),
    "address and its mapped form": (rules('%s IPLocal="127.0.0.2"/>\n%s IPLocal="127.0.0.3"/>\n%s IPv6Local="::ffff:127.0.0.2"/>' % (
        TCP80, TCP80, TCP80.replace("TCP", "TCPv6"))), ":5: warning", "the TCPv6 rule on TCP port 80 clashes with the TCPv4 rule on line 3: it fails to bind"),
    # The host's addresses follow the file; private ones, and a family the relay does not listen on, are no reason.
    "open DNS relay": (HEAD + '<VEXAProxy DNSSrv="10.0.0.53">\n</VEXAProxy>\n', ":2: warning",
                       "the DNS relay serves every source on the global address 203.0.113.5: an open resolver", "10.0.0.1 2001:db8::5 203.0.113.5"),
    "open UDP rule": (rules('<Port TypProt="UDP" PortLocal="7" Echo="1" IPLocal="10.0.0.1"/>\n<Port TypProt="UDP" PortLocal="8" Echo="1"/>\n'
                            '<Port TypProt="UDPv6" PortLocal="9" Echo="1"/>'), ":5: warning", "the UDPv6 rule serves every source on the global address 2001:db8::5: it relays", "10.0.0.1 2001:db8::5"),
}


@pytest.mark.parametrize("case", sorted(FINDINGS))
def test_each_kind_of_problem_is_one_finding_with_its_line(tmp_path, case):
    text, where, expected, *addresses = FINDINGS[case]
    path = tmp_path / "VEXAProxy.xml"
    path.write_bytes(text.encode("latin-1" if case == "bad encoding" else "utf-8"))
    rc, out, err = check(str(path), addresses=" ".join(addresses))
    found = [l for l in err if " warning: " in l or " error: " in l]
    warning = "warning" in where  # a warning leaves a file the daemon loads; an error, none
    assert (rc, err[-1]) == ((1, "%s: 1 warning" % path) if warning else (2, "%s: cannot be loaded" % path)), err
    assert found[0].startswith("%s%s: " % (path, where)) and expected in found[0] and (len(found) == 1 or not warning), err
