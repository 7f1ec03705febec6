#!/usr/bin/env python3
"""Checks that bench/fleet_summary.py counts every kind of failure: python3 bench/fleet_summary_test.py"""
import json
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet_summary  # noqa: E402


def result(host, outcome, verify_ms, program_ms):
    return {"time": "2026-12-08T19:00:00.000Z", "event": "result", "host": host, "result": outcome,
            "verify_ms": verify_ms, "erase_ms": 4000, "program_ms": program_ms}


def member(succeeded, state, passes):
    return {"upgrades": [{"succeeded": succeeded, "state": state, "passes": passes}]}


def one_pass(requests_sent=1, timeouts=0):
    return {"requests_sent": requests_sent, "timeouts": timeouts}


class UpgradeSummary(unittest.TestCase):
    def summarise(self, lines, report, devices):
        with tempfile.TemporaryDirectory() as d:
            out, rep = os.path.join(d, "out.json"), os.path.join(d, "report.json")
            with open(out, "w", encoding="utf-8") as f:
                f.write("\n".join(json.dumps(x) for x in lines) + "\n")
            with open(rep, "w", encoding="utf-8") as f:
                json.dump(report, f)
            pairs = fleet_summary.upgrade_summary(out, rep, devices).split()
            return dict(p.split("=") for p in pairs)

    def test_failures_losses_and_repeats_are_told_apart(self):
        lines = [
            {"event": "status", "host": "127.0.1.1", "name": "STATUS_VERIFYING"},
            result("127.0.1.1", "complete", 1000, 2000),
            result("127.0.1.2", "complete", 500, 500),
            result("127.0.1.3", "transfer-failed", 200, None),
            # 127.0.1.4 never got a result line: it counts as failed.
        ]
        report = {"fleet": 4, "devices": {
            "127.0.1.1": member(True, "programmed", [one_pass(2, 1), one_pass(1, 2)]),
            "127.0.1.2": member(True, "programmed", [one_pass(), one_pass()]),
            "127.0.1.3": member(False, "bricked", [one_pass(), one_pass(1, 5)]),
            # A member that no command reached.
            "127.0.1.4": {"upgrades": []},
        }}
        s = self.summarise(lines, report, 4)
        self.assertEqual((s["complete"], s["failed"], s["lost"]), ("2", "2", "2"))
        # The repeated read request is also one time-out; it is not counted twice.
        self.assertEqual((s["rrq_repeats"], s["ack_repeats"]), ("1", "7"))
        # Only the complete hosts' transfers: 3.0 s and 1.0 s.
        self.assertEqual((s["tftp_med"], s["tftp_max"]), ("2.000", "3.000"))

    def test_a_report_with_fewer_members_than_devices_counts_the_missing_as_lost(self):
        s = self.summarise([], {"fleet": 1, "devices": {"127.0.1.1": member(True, "programmed", [])}}, 3)
        self.assertEqual((s["complete"], s["failed"], s["lost"]), ("0", "3", "2"))
        self.assertEqual(s["tftp_med"], "nan")


class CurlFailures(unittest.TestCase):
    def test_error_status_difference_and_missing_client_each_count_once(self):
        with tempfile.TemporaryDirectory() as d:
            image = os.path.join(d, "image")
            with open(image, "wb") as f:
                f.write(b"x" * 1000)

            def client(i, rc, a, b):
                with open(os.path.join(d, "rc.%d" % i), "w", encoding="ascii") as f:
                    f.write("%d\n" % rc)
                for name, data in (("a", a), ("b", b)):
                    if data is not None:
                        with open(os.path.join(d, "%s.%d" % (name, i)), "wb") as f:
                            f.write(data)

            client(0, 0, b"x" * 1000, b"x" * 1000)
            client(1, 0, b"x" * 1000, b"x" * 999)  # the second download came short
            client(2, 28, b"x" * 1000, None)  # curl timed out
            # client 3 left no files at all
            self.assertEqual(fleet_summary.curl_failures(d, 4, image), "failed=3")
            self.assertEqual(fleet_summary.curl_failures(d, 1, image), "failed=0")


if __name__ == "__main__":
    unittest.main()
