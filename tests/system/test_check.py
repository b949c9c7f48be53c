# vexaproxy-check: the daemon's loader turned into an operator's tool. That the daemon itself stays
# silent about what it warns of is in test_daemon.
import os
import subprocess

import pytest

import vexa

CHECK = os.environ.get("VEXAPROXY_CHECK", os.path.join(os.path.dirname(vexa.BIN), "tools", "vexaproxy-check"))
HEAD = '<?xml version="1.0" encoding="UTF-8"?>\n'


# Runs the checker, on the given text written to a file if any: exit code, output lines, error lines.
def check(*args, text=None, tmp_path=None):
    if text is not None:
        args += (str(tmp_path / "VEXAProxy.xml"),)
        (tmp_path / "VEXAProxy.xml").write_bytes(text.encode() if isinstance(text, str) else text)
    res = subprocess.run([CHECK, *args], capture_output=True, text=True, timeout=30)
    return res.returncode, res.stdout.splitlines(), res.stderr.splitlines()


def test_clean_files_are_listed_like_the_daemon_lists_them_and_help():
    assert check(vexa.SAMPLE) == (0, vexa.SAMPLE_LISTING, [vexa.SAMPLE + ": OK"])
    assert check(os.path.join(vexa.ROOT, "examples", "VEXAProxy.xml"), "-q") == (0, [], [])
    rc, out, err = check("--help")
    assert rc == 0 and "Exit status: 0 clean, 1 warnings, 2" in "\n".join(out)
    assert check()[2][-1].startswith(vexa.CFG_FILE + ":")  # without FILE: the daemon's own path


# One problem per case, always on line 4 of the file: (rule elements, text the warning must contain).
WARNINGS = {
    "unknown TypProt": ('<Port TypProt="tcp" PortLocal="80" PortRemote="80" IPRemote="10.0.0.1"/>',
                        'TypProt "tcp" is not UDP, TCP, UDPv6 or TCPv6: the rule runs as UDP over IPv4'),
    "trailing junk": ('<Port TypProt="TCP" PortLocal="8080abc" PortRemote="80" IPRemote="10.0.0.1"/>',
                      'PortLocal "8080abc" has trailing "abc": read as 8080'),
    "port range": ('<Port TypProt="UDP" PortLocal="65536" PortRemote="53" IPRemote="10.0.0.1"/>',
                   "PortLocal 65536 is not a port (1..65535)"),
    "number above 255": ('<DNS Name="a.b" IP="10.0.0.300"/>', 'IP "10.0.0.300" has a number above 255: read as 10.0.0.44'),
    "same port twice": ('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h"/>\n'
                        '<Port TypProt="TCP" PortLocal="80" PortRemote="81" IPRemote="h"/>',
                        "the TCPv4 rule on TCP port 80 clashes with the TCPv4 rule on line 3: it fails to bind"),
    "ignored element": ('<port TypProt="TCP" PortLocal="1"/>', "element <port> is ignored (names are case-sensitive: Port?)"),
    "ignored text": ("abcdefghijklmnopqrstu", 'text "abcdefghijklmnopqrst..." inside <VEXAProxy> is ignored'),
    "client bounds beyond the budget": ('<Port TypProt="TCP" PortLocal="80" PortRemote="80" IPRemote="h" MaxClients="2000000000"/>',
                                        "the daemon clamps them: TCPv4 00080 2000000000 -> "),
}


@pytest.mark.parametrize("case", sorted(WARNINGS))
def test_each_kind_of_problem_is_one_warning_with_its_line(tmp_path, case):
    rules, expected = WARNINGS[case]
    text = HEAD + '<VEXAProxy DNSSrv="10.0.0.53">\n' + ("" if "\n" in rules else "<!-- -->\n") + rules + "\n</VEXAProxy>\n"
    rc, out, err = check(text=text, tmp_path=tmp_path)
    path = str(tmp_path / "VEXAProxy.xml")
    got = [l for l in err if " warning: " in l]
    assert rc == 1 and err[-1] == path + ": 1 warning", err
    assert len(got) == 1 and got[0].startswith(path + ":4: warning: ") and expected in got[0], err


@pytest.mark.parametrize("args,text,expected", [
    ((), HEAD + "<VEXAProxy>\n<Port PortLocal='1'>\n</VEXAProxy>\n", ":4: error: XML: Opening and ending tag mismatch: Port line 3 and VEXAProxy"),
    ((), '<?xml version="1.0" encoding="UTF-8"?>\n<VEXAProxy Note="\xff"/>\n'.encode("latin-1"), ":2: error: XML: Input is not proper UTF-8"),
    ((), HEAD + "<VEXADOMAIN>\n<VEXAProxy/>\n</VEXADOMAIN>\n",
     ":2: error: the root element is <VEXADOMAIN>, not <VEXAProxy>: the daemon starts with an empty configuration"),
    (("/nonexistent/none.xml",), None, "/nonexistent/none.xml: error: cannot be read (No such file or directory)"),
    (("--bogus",), None, "vexaproxy-check: unknown option --bogus"),
], ids=["unclosed element", "bad encoding", "wrong root", "missing file", "unknown option"])
def test_a_file_or_command_line_the_daemon_cannot_use_is_refused(tmp_path, args, text, expected):
    rc, out, err = check(*args, text=text, tmp_path=tmp_path)
    assert rc == 2 and out == [] and any(expected in l for l in err), err
    assert text is None or err[-1] == str(tmp_path / "VEXAProxy.xml") + ": cannot be loaded"

