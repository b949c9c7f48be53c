"""vexaproxy-check: the daemon's loader turned into an operator's tool."""
import os
import subprocess

import pytest

import vexa

CHECK = os.environ.get("VEXAPROXY_CHECK", os.path.join(os.path.dirname(vexa.BIN), "tools", "vexaproxy-check"))
HEAD = '<?xml version="1.0" encoding="UTF-8"?>\n'


def check(tmp_path, text, *args):
    path = tmp_path / "VEXAProxy.xml"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    res = subprocess.run([CHECK, *args, str(path)], capture_output=True, text=True, timeout=30)
    return res.returncode, res.stdout.splitlines(), res.stderr.splitlines(), str(path)


def test_clean_file_lists_the_rules_like_the_daemon(tmp_path):
    rc, out, err, path = check(tmp_path, HEAD + """<VEXAProxy DNSSrv="192.168.0.1">
  <!-- a comment is fine -->
  <Port TypProt=" TCP " PortLocal="8080" PortRemote="80" IPRemote="192.168.1.10" HTTPHost="portal"/>
  <Port TypProt="UDPv6" PortLocal="5000" PortRemote="5000" IPv6Remote="fd00::1" Note="n"/>
  <Port TypProt="TCP" PortLocal="7" Echo="0"/>
  <DNS Name="a.b" IP="1.2.3.4" Note="office"/>
  <CloudRM7 PortCloud="5001" VEXACloud="cloud.example.net"/>
</VEXAProxy>
""")
    assert (rc, err) == (0, [path + ": OK"])
    assert out == [
        "TCPv4  8080 -> [192.168.1.10]:80 Host: portal",
        "UDPv6  5000 -> [fd00::1]:5000",
        "TCPv4     7 -> Echo",
        "DNS a.b 1.2.3.4 office",
        "Question 00 01 00 00 00 00 00 00 01 61 01 62 00 00 01 00 01",
        "Answer   00 01 00 01 00 00 00 00 01 61 01 62 00 00 01 00 01 C0 0C 00 01 00 01 00 00 2B DB 00 04 01 ...",
        "RM7 UDP 4999 Cloud UDP 5001 -> [cloud.example.net]:4999",
    ]
    assert check(tmp_path, HEAD + "<VEXAProxy/>", "-q")[:3] == (0, [], [])
    for example in ("VEXAProxy.xml", "demo-loopback.xml"):  # the shipped examples are clean
        assert subprocess.run([CHECK, os.path.join(vexa.ROOT, "examples", example)]).returncode == 0, example


# One problem per case, always on line 4 of the file: (rule elements, text the warning must contain).
WARNINGS = {
    "unknown TypProt": ('<Port TypProt="tcp" PortLocal="80" PortRemote="80" IPRemote="10.0.0.1"/>',
                        'TypProt "tcp" is not UDP, TCP, UDPv6 or TCPv6: the rule runs as UDP over IPv4'),
    "trailing junk": ('<Port TypProt="TCP" PortLocal="8080abc" PortRemote="80" IPRemote="10.0.0.1"/>',
                      'PortLocal "8080abc" has trailing "abc": read as 8080'),
    "port range": ('<Port TypProt="UDP" PortLocal="70000" PortRemote="53" IPRemote="10.0.0.1"/>',
                   "PortLocal 70000 is not a port (1..65535)"),
    "number above 255": ('<DNS Name="a.b" IP="10.0.0.300"/>', 'IP "10.0.0.300" has a number above 255: read as 10.0.0.44'),
    "same port twice": ('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h"/>\n'
                        '<Port TypProt="TCP" PortLocal="80" PortRemote="81" IPRemote="h"/>',
                        "the TCPv4 rule on TCP port 80 clashes with the TCPv4 rule on line 3: it fails to bind"),
    "ignored element": ('<port TypProt="TCP" PortLocal="1"/>', "element <port> is ignored (names are case-sensitive: Port?)"),
    "client bounds beyond the budget": ('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h" MaxClients="2000000000"/>',
                                        "the daemon clamps them: TCPv4 00080 2000000000 -> "),
}


@pytest.mark.parametrize("case", sorted(WARNINGS))
def test_each_kind_of_problem_is_one_warning_with_its_line(tmp_path, case):
    rules, expected = WARNINGS[case]
    text = HEAD + '<VEXAProxy DNSSrv="10.0.0.53">\n' + ("" if "\n" in rules else "<!-- -->\n") + rules + "\n</VEXAProxy>\n"
    rc, out, err, path = check(tmp_path, text)
    got = [l for l in err if " warning: " in l]
    assert rc == 1 and err[-1] == path + ": 1 warning", err
    assert len(got) == 1 and got[0].startswith(path + ":4: warning: ") and expected in got[0], err


@pytest.mark.parametrize("text,expected", [
    (HEAD + "<VEXAProxy>\n<Port PortLocal='1'>\n</VEXAProxy>\n", ":4: error: XML: Opening and ending tag mismatch: Port line 3 and VEXAProxy"),
    ('<?xml version="1.0" encoding="UTF-8"?>\n<VEXAProxy Note="\xff"/>\n'.encode("latin-1"), ":2: error: XML: Input is not proper UTF-8"),
    (HEAD + "<VEXADOMAIN>\n<VEXAProxy/>\n</VEXADOMAIN>\n",
     ":2: error: the root element is <VEXADOMAIN>, not <VEXAProxy>: the daemon starts with an empty configuration"),
], ids=["unclosed element", "bad encoding", "wrong root"])
def test_a_file_the_daemon_cannot_use_cannot_be_loaded(tmp_path, text, expected):
    rc, out, err, path = check(tmp_path, text)
    assert (rc, out, err[-1]) == (2, [], path + ": cannot be loaded")
    assert any(l.startswith(path) and expected in l for l in err), err


def test_command_line():
    assert subprocess.run([CHECK, "--bogus"], capture_output=True).returncode == 2
    res = subprocess.run([CHECK, "--help"], capture_output=True, text=True)
    assert res.returncode == 0 and "Exit status: 0 clean, 1 warnings, 2" in res.stdout
    res = subprocess.run([CHECK, "/nonexistent/none.xml"], capture_output=True, text=True)
    assert res.returncode == 2 and "/nonexistent/none.xml: error: cannot be read (No such file or directory)" in res.stderr
    res = subprocess.run([CHECK], capture_output=True, text=True)  # without FILE the daemon's own path
    assert res.stderr.splitlines()[-1].startswith(vexa.CFG_FILE + ":")


def test_the_daemon_stays_silent_about_what_the_checker_reports(daemon):
    d = daemon(HEAD + '<VEXAProxy DNSsrv="x"><Dns Name="a"/><Colour/></VEXAProxy>')
    d.stop()
    assert not [l for l in d.main() if "warning" in l or "ignored" in l], d.describe()
