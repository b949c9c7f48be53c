"""The daemon process itself: the "service" word, the start line, signals and an orderly stop."""
import os
import re
import signal
import time

import pytest

import vexa

EMPTY_CONFIG = '<?xml version="1.0" encoding="UTF-8"?>\n<VEXAProxy/>\n'


@pytest.mark.parametrize("args", [[], ["Service"], ["service "], ["run", "SERVICE"]])
def test_refuses_to_run_without_the_exact_service_word(args):
    d = vexa.Daemon(EMPTY_CONFIG, args=args)
    rc, out = d.run_to_end()
    lines = out.splitlines()
    assert rc == 0
    assert re.match(r"^Start VEXAProxy v1\.0\.6 \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$", lines[0])
    # The argument list comes before the refusal, argument 0 included.
    assert lines[1] == "0 " + vexa.BIN
    assert lines[2:2 + len(args)] == ["%d %s" % (i + 1, a) for i, a in enumerate(args)]
    assert lines[-1] == 'no "service" in launch command line'
    assert not os.path.exists("/var/log/VEXA"), "a refused start must not open any log"


def test_program_named_service_runs_without_arguments():
    d = vexa.Daemon(EMPTY_CONFIG, args=[], argv0="service").start()
    d.stop()
    assert "0 service" in d.stdout


def test_start_line_logs_and_orderly_stop():
    d = vexa.Daemon(EMPTY_CONFIG).start()
    first = d.main_raw()[0]
    assert re.match(r"^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d Start v1\.0\.6 \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d$", first)
    assert os.path.isfile(vexa.MAIN_LOG_DIR + "/C0000001.log")
    assert os.path.isdir(vexa.DNS_LOG_DIR)
    d.stop()
    lines = d.main()
    assert lines.index("Interrup signal number 15") < lines.index("End Stop")


def test_sighup_only_reloads_and_sigint_stops():
    d = vexa.Daemon(EMPTY_CONFIG).start()
    d.signal(signal.SIGHUP)
    d.wait_for("Reload", timeout=5)
    lines = d.main()
    assert lines.index("Interrup signal number 1") < lines.index("Reload")
    d.stop(sig=signal.SIGINT)
    assert "Interrup signal number 2" in d.main()


def test_every_signal_of_a_burst_is_logged():
    d = vexa.Daemon(EMPTY_CONFIG).start()
    # The kernel merges a signal that is still pending; a short gap lets each one arrive.
    for _ in range(3):
        d.signal(signal.SIGHUP)
        time.sleep(0.05)
    d.wait_for("Interrup signal number 1", count=3, timeout=5)
    d.stop()


def test_log_numbering_continues_after_restart():
    d = vexa.Daemon(EMPTY_CONFIG).start()
    d.stop()
    os.rename(vexa.MAIN_LOG_DIR + "/C0000001.log", vexa.MAIN_LOG_DIR + "/C0000007.log")
    d2 = vexa.Daemon(EMPTY_CONFIG, clean_logs=False).start()
    d2.stop()
    assert sorted(os.listdir(vexa.MAIN_LOG_DIR)) == ["C0000007.log"]
    assert d2.main().count("End Stop") == 2
