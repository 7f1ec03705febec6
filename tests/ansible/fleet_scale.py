"""A measurement, not a test (ctest does not run it): the fleet play over many simulated
subnets on one machine, for docs/fleet.md.

    python3 tests/ansible/fleet_scale.py --cli build/cli/skelvo-cli \
        --devsim build/devsim/skelvo-devsim [--runners 40] [--devices 500] [--forks 40] \
        [--erase-seconds 3] [--parallel 20]

Each runner is an inventory host with ansible_connection local and its own skelvo-devsim fleet
on 127.0.(160 + i).1 upwards, with its own TFTP port. It prints the wall time of the play, the
recap's sums and the devices' outcomes and times taken from the module's results.
"""

import argparse
import json
import os
import statistics
import sys
import time

import harness


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--devsim", required=True)
    parser.add_argument("--runners", type=int, default=40)
    parser.add_argument("--devices", type=int, default=500)
    parser.add_argument("--forks", type=int, default=40)
    parser.add_argument("--parallel", type=int, default=20)
    parser.add_argument("--erase-seconds", type=float, default=3)
    options = parser.parse_args()
    if not 1 <= options.runners <= 90:
        parser.error("--runners: 1 to 90 (one 127.0.X range each, from 127.0.160)")

    lab = harness.Lab(options.cli, options.devsim)
    try:
        hosts = {}
        started = time.monotonic()
        for i in range(options.runners):
            count = options.devices // options.runners + (1 if i < options.devices % options.runners else 0)
            runner = hosts["runner%02d" % i] = {
                "skelvo_devices": [],
                "skelvo_parallel": options.parallel,
                "skelvo_audit_log": os.path.join(lab.root, "runner%02d-audit.jsonl" % i),
            }
            if count:  # without devices the play measures Ansible's own cost
                fleet = lab.fleet("subnet%02d" % i, "127.0.%d.1" % (160 + i),
                                  harness.default_members(count, "marlin"), erase_seconds=options.erase_seconds)
                runner.update(skelvo_devices=fleet.addresses, skelvo_tftp_port=fleet.tftp_port,
                              skelvo_http_port=fleet.http_port)
        print("%d fleets, %d devices, ready in %.1f s" % (options.runners, options.devices,
                                                          time.monotonic() - started))
        inventory = {"all": {"children": {"skelvo_runners": {"hosts": hosts}},
                             "vars": {"ansible_connection": "local", "skelvo_cli": lab.cli,
                                      "skelvo_audit_dest": os.path.join(lab.root, "audit")}}}
        path = lab.write("inventory/hosts.yml", json.dumps(inventory))

        before = os.times()
        started = time.monotonic()
        run = lab.playbook("-i", path, "-f", str(options.forks), "skelvo.firmware.fleet_upgrade",
                           echo=False)
        wall = time.monotonic() - started
        after = os.times()
        lab.write("play.log", run.output, mode=0o644)  # kept with SKELVO_KEEP_TEST_DIR=1
        sums = {}
        for counts in run.recap.values():
            for key, value in counts.items():
                sums[key] = sums.get(key, 0) + value
        outcomes = {}
        erase, transfer = [], []
        for runner in hosts:
            for result in run.module_results(runner):
                for entry in result["results"]:
                    outcomes[entry["outcome"]] = outcomes.get(entry["outcome"], 0) + 1
                    if None not in (entry.get("verify_ms"), entry.get("erase_ms"), entry.get("program_ms")):
                        erase.append(entry["erase_ms"] / 1000.0)
                        transfer.append((entry["verify_ms"] + entry["program_ms"]) / 1000.0)
        print("play: %.1f s wall, exit %d; children's CPU %.1f s user, %.1f s system"
              % (wall, run.rc, after.children_user - before.children_user,
                 after.children_system - before.children_system))
        print("recap over %d runners: %s" % (len(run.recap), sums))
        print("outcomes: %s" % outcomes)
        for runner in hosts:
            for result in run.module_results(runner):
                if any(e["outcome"] not in ("complete", "up-to-date") for e in result["results"]):
                    print("%s: %s" % (runner, result["msg"]))
        if erase:
            print("per device: erase wait median %.1f s, both downloads median %.2f s (max %.2f s)"
                  % (statistics.median(erase), statistics.median(transfer), max(transfer)))
        return 0 if run.rc == 0 else 1
    finally:
        lab.close()


if __name__ == "__main__":
    sys.exit(main())
