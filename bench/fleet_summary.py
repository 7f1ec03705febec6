#!/usr/bin/env python3
"""One fleet upgrade run in figures, for the fleet part of bench/run-bench.sh.

    fleet_summary.py upgrade CLI_JSON DEVSIM_REPORT DEVICES
prints one line of key=value pairs:
    complete    hosts whose `result` line says complete
    failed      DEVICES minus complete: a host with any other result, or none at all, is a failure
    lost        simulated devices that never received a whole image, or whose upgrade did not end
                programmed (also one that no command reached)
    rrq_repeats read requests the devices sent again, over every device and pass: each one went
                unanswered for the client's whole time-out (2 s)
    ack_repeats ACKs repeated after a time-out (a DATA block that did not come in time)
    tftp_med, tftp_max
                verify_ms + program_ms (the two transfers, the erase left out), median and largest
                over the complete hosts, in seconds

    fleet_summary.py curl DIR CLIENTS EXPECTED
counts the clients that failed: DIR holds, for client i, rc.i (curl's exit status) and the two
downloads a.i and b.i, which must equal the file EXPECTED byte for byte.
"""
import json
import os
import statistics
import sys


def upgrade_summary(cli_json, report_path, devices):
    results = {}
    with open(cli_json, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            event = json.loads(line)
            if event.get("event") == "result":
                results[event["host"]] = event
    complete = [r for r in results.values() if r.get("result") == "complete"]
    tftp = [(r["verify_ms"] + r["program_ms"]) / 1000.0 for r in complete
            if r.get("verify_ms") is not None and r.get("program_ms") is not None]

    with open(report_path, encoding="utf-8") as f:
        report = json.load(f)
    members = report.get("devices", {})
    lost = devices - len(members)
    rrq_repeats = ack_repeats = 0
    for member in members.values():
        upgrades = member.get("upgrades") or []
        if not upgrades or not upgrades[0].get("succeeded") or upgrades[0].get("state") != "programmed":
            lost += 1
        for upgrade in upgrades:
            for p in upgrade.get("passes", []):
                again = max(0, p.get("requests_sent", 1) - 1)
                rrq_repeats += again
                ack_repeats += max(0, p.get("timeouts", 0) - again)

    def seconds(xs, pick):
        return "%.3f" % pick(xs) if xs else "nan"

    return ("complete=%d failed=%d lost=%d rrq_repeats=%d ack_repeats=%d tftp_med=%s tftp_max=%s"
            % (len(complete), devices - len(complete), lost, rrq_repeats, ack_repeats,
               seconds(tftp, statistics.median), seconds(tftp, max)))


def curl_failures(directory, clients, expected):
    with open(expected, "rb") as f:
        want = f.read()
    failed = 0
    for i in range(clients):
        try:
            with open(os.path.join(directory, "rc.%d" % i), encoding="ascii") as f:
                ok = f.read().strip() == "0"
            for name in ("a", "b"):
                with open(os.path.join(directory, "%s.%d" % (name, i)), "rb") as f:
                    ok = ok and f.read() == want
        except OSError:
            ok = False
        failed += 0 if ok else 1
    return "failed=%d" % failed


def main(argv):
    if len(argv) == 5 and argv[1] == "upgrade":
        print(upgrade_summary(argv[2], argv[3], int(argv[4])))
    elif len(argv) == 5 and argv[1] == "curl":
        print(curl_failures(argv[2], int(argv[3]), argv[4]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
