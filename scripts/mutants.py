#!/usr/bin/env python3
"""Plants small faults in a scratch copy of the tree at HEAD, one at a time, and says which tests catch them.

For each fault: rebuild the release build incrementally, run the unit tests (stopping at the first
failure); only if they all pass, run the system tests (stopping at the first failure). One line per
fault: "caught by unit", "caught by system" or "SURVIVED". A developer tool, not part of `make test`.

    scripts/mutants.py                 # every fault, in a copy of HEAD under /tmp/vexa-mutants
    scripts/mutants.py 3 17            # only faults 3 and 17
    scripts/mutants.py --list          # the faults, without running anything

Run it as root (the tests need scripts/netns-run). Builds with -j2.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

# (subsystem, file, exact original text, replacement, what the fault is)
MUTANTS = [
    ("util", "util/Net.cpp", "        done += static_cast<size_t>(n);\n        left -= static_cast<size_t>(n);\n    }\n    return static_cast<ssize_t>(len);",
     "        done += static_cast<size_t>(n);\n        left -= static_cast<size_t>(n);\n        break;\n    }\n    return static_cast<ssize_t>(len);",
     "SendAll sends once"),
    ("util", "util/DBString.cpp", "if (i + extra >= len) return false;", "if (i + extra > len) return false;",
     "UTF-8 sequence cut at the end read past it"),
    ("util", "util/DBString.cpp", "(cp >= 0xD800 && cp <= 0xDFFF)) return false;", "(cp > 0xD800 && cp <= 0xDFFF)) return false;",
     "first surrogate accepted"),
    ("util", "util/ClientTable.h", "if (!evict && used < m_Bound) return Room::kFree;",
     "if (!evict && used <= m_Bound) return Room::kFree;", "client table takes one more than its bound"),
    ("util", "util/ClientTable.h", "(r.since == bestRank.since && it->second.seq < best->second.seq)",
     "(r.since == bestRank.since && it->second.seq > best->second.seq)", "full table evicts the newest of equally quiet"),
    ("util", "util/ClientTable.h", "const size_t used = m_Map.size() + m_Outside;",
     "const size_t used = m_Map.size();", "clients being stopped do not count against the bound"),
    ("udp", "udp/Association.h", "        if (m_Answered.load(std::memory_order_relaxed)) m_TwoWay.store(true, std::memory_order_relaxed);\n", "",
     "a client that answers back is evicted like a spoofed source"),
    ("util", "util/ClientTable.h", "m_LastID = m_LastID < kMaxID ? m_LastID + 1 : 1;", "m_LastID = m_LastID <= kMaxID ? m_LastID + 1 : 1;",
     "client number wraps one too late"),
    ("util", "util/Budget.cpp", "if (l.maxMapCount >= 0) tasks.push_back({l.maxMapCount / 2,",
     "if (l.maxMapCount >= 0) tasks.push_back({l.maxMapCount,", "map count not halved for threads"),
    ("log", "log/CBaseLog.cpp", "        ClearTo(last - m_Keep);", "        ClearTo(last - m_Keep - 1);",
     "rotation keeps one file too many"),
    ("log", "log/CBaseLog.cpp", "if (k >= 1 && k <= n) unlink", "if (k >= 1 && k < n) unlink",
     "rotation deletes one file too few"),
    ("dns", "dns/CDNSLog.cpp", "line += typ == typSend ? '>' : ' ';", "line += typ == typRecv ? '>' : ' ';",
     "DNS log record with the wrong direction mark"),
    ("dns", "dns/CDNSPort.cpp", "return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;",
     "return c >= 'A' && c < 'Z' ? static_cast<unsigned char>(c | 0x20) : c;", "letter Z not folded"),
    ("dns", "dns/CDNSPort.cpp", "if (Get16(buf + 4) != 1 || Get16(buf + 6) != 0 || Get16(buf + 8) != 0) return 0;",
     "if (Get16(buf + 4) != 1 || Get16(buf + 6) != 0) return 0;", "query with authority records answered locally"),
    ("tcp", "tcp/CTCPCli.cpp", "if (now - m_TimeLast > m_Port->m_IdleLimit) return L\"deleted because long idle\";",
     "if (now - m_TimeLast >= m_Port->m_IdleLimit) return L\"deleted because long idle\";", "TCP idle limit one second early"),
    ("tcp", "tcp/CTCPCli.cpp", "hostPort[0] == httpHost) return true;", "hostPort[0] != httpHost) return true;",
     "HTTP host check flipped"),
    ("tcp", "tcp/CTCPCli.cpp", "return now - last >= quiet ? EvictRank", "return now - last > quiet ? EvictRank",
     "TCP connection quiet exactly long enough not evicted"),
    ("tcp", "tcp/CTCPCli.cpp", "if (silentNewcomer && now - m_TimeOpen < kSilentGrace) return EvictRank::Keep();", "",
     "silent newcomer evicts a silent client within its grace"),
    ("tcp", "tcp/CTCPCli.cpp", "const int64_t quiet = m_Sending > 0 ? kSendStall : kEvictQuiet;",
     "const int64_t quiet = kEvictQuiet;", "slow download evicted as quiet"),
    ("tcp", "tcp/CTCPCli.cpp", "if (m_Run && !m_OneEnded) _Modul.m_Log.PutErr((m_Str + sendError).c_str(), err);",
     "if (!m_OneEnded) _Modul.m_Log.PutErr((m_Str + sendError).c_str(), err);", "send error line after an eviction"),
    ("tcp", "tcp/CTCPCli.cpp", "else if (c < 0x20 || c == 0x7F) out.AppendFormat", "else if (c < 0x20) out.AppendFormat",
     "DEL not escaped in the TCP log"),
    ("udp", "udp/Association.cpp", "if (now - m_TimeLast > m_Port->m_IdleLimit) return L\"deleted because long idle\";",
     "if (now - m_TimeLast >= m_Port->m_IdleLimit) return L\"deleted because long idle\";", "UDP idle limit one second early"),
    ("udp", "udp/DatagramPort.cpp", "    if (m_Echo >= 0) {", "    if (m_Echo > 0) {", "UDP echo with Echo=0 forwards"),
    ("cloud", "cloud/RM7Port.cpp", "void RM7Tab::RecvFromRM7(char* buf, int len, sockaddr_in6 from, const LocalAddr& at) {\n    if (len <= kDropLength) return;",
     "void RM7Tab::RecvFromRM7(char* buf, int len, sockaddr_in6 from, const LocalAddr& at) {\n    if (len < kDropLength) return;",
     "RM7 datagram of the drop length relayed"),
    ("cloud", "cloud/PackV7.cpp", "return m_Type == 3 || m_Type == 4 || m_Type == 7 || m_Type == 8;",
     "return m_Type == 3 || m_Type == 4 || m_Type == 7 || m_Type == 8 || m_Type == 9;", "V7 type 9 accepted"),
    ("cloud", "cloud/PackV7.cpp", "if (Crc16(w, m) != (w[m] | (w[m + 1] << 8))) return false;", "",
     "V7 checksum not checked"),
    ("cloud", "cloud/RM7Port.cpp", "return now - m_Last >= kMaxIdle ?", "return now - m_Last > kMaxIdle ?",
     "RM7 idle limit one second late"),
    ("thread", "thread/BasePoolThread.cpp", "            if (!more || period < 1) break;", "            if (period < 1) break;",
     "periodic pool procedure that says stop runs again"),
    ("thread", "thread/BaseThread.cpp", "if (s_FailCreate.load() > 0 && s_FailCreate.fetch_sub(1) > 0) {",
     "if (s_FailCreate.load() > 1 && s_FailCreate.fetch_sub(1) > 0) {", "thread start fault injected once too few"),
    ("thread", "thread/BasePoolThread.cpp", "    if (m_Depth == 0 || --m_Depth > 0) return;", "    if (m_Depth == 0 || --m_Depth >= 0) return;",
     "pool lock never released"),
    ("config", "config/CProxyCFG.cpp", "if (needed > size || !buf) return 0;", "if (needed > size + 1 || !buf) return 0;",
     "DNS name one byte over the buffer accepted"),
    ("config", "config/CNodeB.cpp", "            if (*p != '.') return def;", "            if (*p != '.') {}",
     "IPv4 address without dots read"),
    ("config", "config/RuleSummary.cpp", "const bool tcp = port.m_TypProt == CProxyPort::TCP || port.m_TypProt == CProxyPort::TCPv6;",
     "const bool tcp = port.m_TypProt == CProxyPort::TCP;", "TCPv6 rule listed without its Host"),
    ("daemon", "daemon/VEXAProxy.cpp", "    else if (sig == SIGHUP) _Modul.m_ReloadAsked = 1;", "",
     "SIGHUP ignored"),
    ("daemon", "daemon/VEXAProxy.cpp", "line += (i == 0 ? \" - bounds: \" : \", \")", "line += (i == 0 ? \" - bounds: \" : \",\")",
     "budget line separator changed"),
    ("daemon", "daemon/main.cpp", "if (std::strcmp(argv[i], \"service\") == 0) service = true;", "",
     "service argument ignored"),
    ("check", "tools/vexaproxy-check.cpp", "if ((value >= 1 && value <= 65535) || (zeroAllowed && value == 0)) return;",
     "if ((value >= 1 && value <= 65536) || (zeroAllowed && value == 0)) return;", "port 65536 not warned about"),
    ("check", "tools/vexaproxy-check.cpp", "if (!tcp && Attr(e, \"HTTPHost\")) m_Report.Warn", "if (tcp && Attr(e, \"HTTPHost\")) m_Report.Warn",
     "HTTPHost warning on the wrong protocol"),
    ("check", "tools/vexaproxy-check.cpp", "if (text.size() > 20) text = text.substr(0, 20) + \"...\";",
     "if (text.size() > 21) text = text.substr(0, 20) + \"...\";", "ignored text cut one character late"),
    ("udp", "udp/Association.h", "case ECONNREFUSED: case EHOSTUNREACH:", "case ECONNREFUSED:",
     "ICMP host unreachable (a rejecting firewall) ends a UDP association"),
    ("util", "util/PortBase.cpp", "    if (type == SOCK_DGRAM) sock.ReportLocal(at.Family());\n", "",
     "datagram answers leave from the routing table's address"),
    ("tcp", "tcp/CTCPCli.cpp", "if (m_Run && (failed == EPIPE || failed == ECONNRESET)) {", "if (false) {",
     "TCP relays on after the peer it sends to is gone"),
    ("dns", "dns/DNSTCPPort.cpp", "if (client && frames.Partial() && Clock::Now() - m_TimeLast > m_Port->m_IdleLimit) {", "if (false) {",
     "trickled DNS message over TCP not closed in time"),
    ("util", "util/Net.cpp", "limited ? static_cast<int>(std::max<int64_t>(left.count(), 0)) : -1", "-1",
     "interrupted connect waits without its limit"),
    ("log", "log/StringQueue.cpp", "size() > m_Max || (!empty() && m_Bytes + s.size() > kMaxBytes)", "size() > m_Max",
     "log queue bounded by lines only"),
]


def run(cmd, cwd, timeout, env=None, log=None):
    """Runs cmd in its own process group; on timeout the whole group is killed. Returns the exit code or "timeout"."""
    p = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         errors="replace", start_new_session=True)
    try:
        out, _ = p.communicate(timeout=timeout)
        rc = p.returncode
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        rc = "timeout"
    if log:
        with open(log, "a") as f:
            f.write(f"$ {' '.join(cmd)}\n{out}\n-> {rc}\n")
    run.out = out
    return rc


def first_failure(out):
    """The name of the first failing test in ctest or pytest output, or ""."""
    for line in out.splitlines():
        m = re.search(r"Test +#\d+: (\S+) \.*[^.]*\*\*\*(Failed|Timeout|Exception)", line) or re.match(r"FAILED (\S+)", line)
        if m:
            return m.group(1).split("/")[-1]
    return ""


def sync_head(repo, src):
    """Makes src the tree at HEAD. Only files whose content differs are written (and files gone from
    HEAD removed), so the build directory of an earlier run, src/build, rebuilds incrementally."""
    fresh = src + ".head"
    shutil.rmtree(fresh, ignore_errors=True)
    os.makedirs(fresh)
    subprocess.run(f"git -C {repo} archive HEAD | tar -x -C {fresh}", shell=True, check=True)
    os.makedirs(src, exist_ok=True)
    wanted = set()
    for root, _, files in os.walk(fresh):
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), fresh)
            wanted.add(rel)
            a, b = os.path.join(fresh, rel), os.path.join(src, rel)
            if not os.path.exists(b) or open(a, "rb").read() != open(b, "rb").read():
                os.makedirs(os.path.dirname(b), exist_ok=True)
                shutil.copy(a, b)  # a new modification time: rebuilt
    for root, dirs, files in os.walk(src):
        if root == src and "build" in dirs:
            dirs.remove("build")
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), src)
            if rel not in wanted:
                os.unlink(os.path.join(src, rel))
    shutil.rmtree(fresh)


def apply(path, old, new):
    text = open(path).read()
    count = text.count(old)
    if count != 1:
        sys.exit(f"{path}: the original text occurs {count} times, not once:\n{old}")
    with open(path, "w") as f:
        f.write(text.replace(old, new, 1))
    return text


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("only", nargs="*", type=int, help="numbers of the faults to plant (default: all)")
    ap.add_argument("--scratch", default="/tmp/vexa-mutants", help="scratch directory (its copy follows HEAD; its build is reused)")
    ap.add_argument("--timeout", type=int, default=1200, help="seconds per fault for build and tests")
    ap.add_argument("--list", action="store_true", help="list the faults and exit")
    args = ap.parse_args()
    repo = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                          cwd=os.path.dirname(os.path.abspath(__file__)), check=True).stdout.strip()
    chosen = [(i, m) for i, m in enumerate(MUTANTS, 1) if not args.only or i in args.only]
    if args.list:
        for i, (sub, path, _, _, what) in chosen:
            print(f"{i:2} {sub:7} {path:28} {what}")
        return 0

    scratch = args.scratch
    src = os.path.join(scratch, "src")
    sync_head(repo, src)
    head = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    log = os.path.join(scratch, "mutants.log")
    open(log, "w").close()
    # Every planted text must match exactly once before anything is built.
    for i, (_, path, old, _, _) in chosen:
        text = open(os.path.join(src, path)).read()
        if text.count(old) != 1:
            sys.exit(f"fault {i}: {path}: the original text occurs {text.count(old)} times, not once")

    build = ["cmake", "--build", "--preset", "release", "-j2"]
    if run(["cmake", "--preset", "release"], src, 300, log=log) != 0 or run(build, src, 3600, log=log) != 0:
        sys.exit(f"the unchanged tree does not build; see {log}")
    env = dict(os.environ, VEXAPROXY_BIN=os.path.join(src, "build/release/vexaproxy"))
    netns = os.path.join(src, "scripts/netns-run")
    unit = [netns, "ctest", "--test-dir", "build/release", "--stop-on-failure", "--timeout", "120"]  # serial: as in make test
    system = [netns, "/usr/bin/python3", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "tests/system"]

    print(f"faults planted in {head} (log: {log})", flush=True)
    counts = {}
    for i, (sub, path, old, new, what) in chosen:
        start = time.monotonic()
        caught_by = ""
        target = os.path.join(src, path)
        original = apply(target, old, new)
        with open(log, "a") as f:
            f.write(f"\n===== fault {i}: {path}: {what}\n")
        try:
            left = lambda: max(1, args.timeout - int(time.monotonic() - start))
            rc = run(build, src, left(), log=log)
            if rc != 0:
                result = "does not build" if rc != "timeout" else "TIMEOUT (build)"
            elif (rc := run(unit, src, left(), env=env, log=log)) != 0:
                result = "caught by unit" + (" (timeout)" if rc == "timeout" else "")
                caught_by = first_failure(run.out)
            elif (rc := run(system, src, left(), env=env, log=log)) != 0:
                result = "caught by system" + (" (timeout)" if rc == "timeout" else "")
                caught_by = first_failure(run.out)
            else:
                result = "SURVIVED"
        finally:
            with open(target, "w") as f:
                f.write(original)
        counts[result] = counts.get(result, 0) + 1
        print(f"{i:2} {sub:7} {path:28} {what:55} {result} ({int(time.monotonic() - start)} s){' ' + caught_by if caught_by else ''}", flush=True)
    run(build, src, 3600, log=log)  # leave the scratch build matching HEAD
    print("summary: " + ", ".join(f"{n} {r}" for r, n in sorted(counts.items())) + f" of {len(chosen)}")
    return 0 if "SURVIVED" not in counts else 1


if __name__ == "__main__":
    sys.exit(main())
