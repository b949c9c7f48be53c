"""The daemon process itself: the "service" word, the start line, signals, an orderly stop and the
log numbering across runs."""
import os
import re
import signal
import time

import pytest

import vexa

EMPTY = vexa.config()
START = r"Start v1\.0\.6 \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$"


@pytest.mark.parametrize("args", [[], ["Service"], ["service "], ["run", "SERVICE"]])
def test_refuses_to_run_without_the_exact_service_word(args):
    rc, out = vexa.Daemon(EMPTY, args=args).run_to_end()
    lines = out.splitlines()
    assert rc == 0
    assert re.match("^Start VEXAProxy v" + START[7:], lines[0])
    # The argument list comes before the refusal, argument 0 included.
    assert lines[1:2 + len(args)] == ["0 " + vexa.BIN] + ["%d %s" % (i + 1, a) for i, a in enumerate(args)]
    assert lines[-1] == 'no "service" in launch command line'
    assert not os.path.exists("/var/log/VEXA"), "a refused start must not open any log"


def test_start_line_signals_and_orderly_stop(daemon):
    d = daemon(EMPTY)
    assert re.match(vexa.STAMP.pattern + START, d.main_raw()[0])
    assert os.path.isdir(vexa.DNS_LOG_DIR)
    # SIGHUP only reloads. The kernel merges a signal that is still pending: a short gap lets each arrive.
    for _ in range(3):
        d.signal(signal.SIGHUP)
        time.sleep(0.05)
    d.wait_for("Interrup signal number 1", count=3)
    d.wait_for("Reload")
    d.stop(sig=signal.SIGINT)
    lines = d.main()
    assert lines.index("Interrup signal number 1") < lines.index("Reload")
    assert lines.index("Interrup signal number 2") < lines.index("End Stop")


def test_program_named_service_runs_and_log_numbering_continues(daemon):
    daemon(EMPTY).stop()
    os.rename(vexa.MAIN_LOG_DIR + "/C0000001.log", vexa.MAIN_LOG_DIR + "/C0000007.log")
    d = daemon(EMPTY, args=[], argv0="service", clean_logs=False)
    d.stop()
    assert "0 service" in d.stdout
    assert sorted(os.listdir(vexa.MAIN_LOG_DIR)) == ["C0000007.log"]
    assert d.main().count("End Stop") == 2
