"""The multi-subnet play: two runners (ansible_connection local), each upgrading the simulated
devices of its own subnet on its own TFTP port, with the password from Ansible Vault.

    python3 test_fleet.py --cli PATH --devsim PATH
"""

import glob
import json
import os

import harness

PASSWORD = "Vq3-fleet-secret-7719"
WRONG_PASSWORD = "Wz8-not-the-secret-2240"
RUNNERS = ("runner_a", "runner_b")


class FleetPlay(harness.LabTest):
    def setUp(self):
        super().setUp()
        members = harness.default_members(3, PASSWORD)
        self.models = [m["model"] for m in members]
        self.fleets = {
            "runner_a": self.lab.fleet("subnet_a", "127.0.150.1", members),
            "runner_b": self.lab.fleet("subnet_b", "127.0.151.1", members),
        }
        self.vault_password = self.lab.write("vault-pass", "test vault key 5531\n")
        self.audit_dest = os.path.join(self.lab.root, "audit")
        self.inventory = self.write_inventory("inventory", runner_b_password=None)
        self.wrong_inventory = self.write_inventory("inventory-wrong", runner_b_password=WRONG_PASSWORD)

    def write_inventory(self, name, runner_b_password):
        hosts = {}
        for runner, fleet in self.fleets.items():
            hosts[runner] = {
                "skelvo_devices": fleet.addresses,
                "skelvo_tftp_port": fleet.tftp_port,
                "skelvo_http_port": fleet.http_port,
                "skelvo_audit_log": os.path.join(self.lab.root, runner + "-audit.jsonl"),
                "skelvo_journal": os.path.join(self.lab.root, runner + "-state", "journal.jsonl"),
            }
        # One runner finds skelvo-cli on the PATH, the other is given its path.
        hosts["runner_b"]["skelvo_cli"] = self.lab.cli
        inventory = {"all": {"children": {"skelvo_runners": {"hosts": hosts}},
                             "vars": {"ansible_connection": "local",
                                      "skelvo_audit_dest": self.audit_dest}}}
        directory = os.path.join(self.lab.root, name)
        self.lab.write(os.path.join(name, "hosts.yml"), json.dumps(inventory))
        self.lab.vault(os.path.join(directory, "group_vars", "skelvo_runners", "vault.yml"),
                       {"skelvo_password": PASSWORD}, self.vault_password)
        if runner_b_password:
            self.lab.vault(os.path.join(directory, "host_vars", "runner_b", "vault.yml"),
                           {"skelvo_password": runner_b_password}, self.vault_password)
        return directory

    def play(self, inventory, *extra):
        return self.lab.playbook("-i", inventory, "--vault-password-file", self.vault_password,
                                 "skelvo.firmware.fleet_upgrade", *extra)

    def versions(self, table):
        return {runner: dict(zip(fleet.addresses, (table[m] for m in self.models)))
                for runner, fleet in self.fleets.items()}

    def assert_recap(self, run, **expected):
        for runner in RUNNERS:
            got = run.recap.get(runner)
            self.assertIsNotNone(got, "no recap line for %s" % runner)
            for key, value in expected.get(runner, expected.get("each", {})).items():
                self.assertEqual(got[key], value, "%s %s in the recap" % (runner, key))

    def outcomes(self, run, runner):
        found = run.module_results(runner)
        # The recover step first, with nothing left half-way by an earlier run, then the upgrade.
        self.assertEqual(len(found), 2, "one recover and one upgrade result for %s" % runner)
        self.assertEqual(found[0]["results"], [], found[0]["msg"])
        self.assertEqual(found[0]["msg"], "the journal holds no device left half-way")
        return {r["host"]: r["outcome"] for r in found[1]["results"]}, found[1]

    def test_check_first_second_and_wrong_password_runs(self):
        before = self.versions(harness.OLD_VERSION)
        after = self.versions(harness.NEW_VERSION)

        # Check mode: a dry run that says what would change and sends no command.
        run = self.play(self.inventory, "--check")
        self.assertEqual(run.rc, 0)
        self.assert_recap(run, each={"changed": 1, "failed": 0})
        for runner, fleet in self.fleets.items():
            outcomes, result = self.outcomes(run, runner)
            self.assertEqual(outcomes, {a: "dry-run" for a in fleet.addresses})
            self.assertIn("3 would be upgraded", result["msg"])
        self.assertEqual(glob.glob(os.path.join(self.lab.root, "*-audit.jsonl")), [],
                         "check mode wrote the runners' audit logs")

        # First run: every device of both subnets is upgraded, each from its own runner.
        run = self.play(self.inventory)
        self.assertEqual(run.rc, 0)
        self.assert_recap(run, each={"changed": 1, "failed": 0})
        for runner, fleet in self.fleets.items():
            outcomes, result = self.outcomes(run, runner)
            self.assertEqual(outcomes, {a: "complete" for a in fleet.addresses})
            self.assertEqual([r["host"] for r in result["results"]], fleet.addresses)
            for entry in result["results"]:
                self.assertEqual(entry["previous_version"], before[runner][entry["host"]])
                self.assertEqual(entry["version"], after[runner][entry["host"]])
            fleet.wait_running(after[runner])
            for address, device in fleet.devices().items():
                tftp = {u.get("tftp_server") for u in device["upgrades"]}
                self.assertEqual(len(device["upgrades"]), 1, address)
                self.assertEqual({s.rsplit(":", 1)[1] for s in tftp}, {str(fleet.tftp_port)},
                                "%s fetched from %s, not its runner's port" % (address, tftp))
            records = self.audit(runner)
            self.assertEqual(sorted((r["host"], r["result"]) for r in records),
                             [(a, "complete") for a in fleet.addresses])
            # The journal came back too: each device's states in order, ended complete.
            journal = self.audit(runner + "-journal")
            for address in fleet.addresses:
                states = [r["state"] for r in journal if r["host"] == address]
                self.assertEqual(states[0], "commanding", address)
                self.assertEqual(states[-1], "end", address)
                self.assertIn("programming", states, address)
                ends = [r["result"] for r in journal if r["host"] == address and r["state"] == "end"]
                self.assertEqual(ends, ["complete"], address)

        # Second run: every device is up to date, nothing changes.
        run = self.play(self.inventory)
        self.assertEqual(run.rc, 0)
        self.assert_recap(run, each={"changed": 0, "failed": 0})
        for runner, fleet in self.fleets.items():
            outcomes, _ = self.outcomes(run, runner)
            self.assertEqual(outcomes, {a: "up-to-date" for a in fleet.addresses})

        # A wrong password on one runner fails only that runner's task, with the login message;
        # the other runner reinstalls its devices.
        run = self.play(self.wrong_inventory, "-e", "skelvo_allow_reinstall=true")
        self.assertNotEqual(run.rc, 0)
        self.assert_recap(run, runner_a={"changed": 1, "failed": 0}, runner_b={"failed": 1})
        outcomes, _ = self.outcomes(run, "runner_a")
        self.assertEqual(set(outcomes.values()), {"complete"})
        outcomes, result = self.outcomes(run, "runner_b")
        self.assertEqual(set(outcomes.values()), {"login-rejected"})
        self.assertIn("Invalid Username ( root ) or Password Entered", result["msg"])
        self.assertEqual([r["result"] for r in self.audit("runner_b")][-3:], ["login-rejected"] * 3,
                         "the failed runner's audit log was not fetched")

        # Every command that reached the devices: the first run's, the reinstall on runner_a
        # and the rejected login on runner_b. The check run and the second run sent none.
        self.fleets["runner_a"].wait_running(after["runner_a"])
        for runner, accepted in (("runner_a", [True, True]), ("runner_b", [True, False])):
            fleet = self.fleets[runner]
            commands = fleet.commands()
            for address in fleet.addresses:
                self.assertEqual([ok for a, ok in commands if a == address], accepted, address)

        # The password reaches no output, audit record or simulator report in any form.
        for text in self.lab.outputs + [harness.read(p) for p in self.written_files()]:
            self.assertNotIn(PASSWORD, text)
            self.assertNotIn(WRONG_PASSWORD, text)

    def audit(self, runner):
        with open(os.path.join(self.audit_dest, runner + ".jsonl")) as f:
            return [json.loads(line) for line in f if line.strip()]

    def written_files(self):
        found = glob.glob(os.path.join(self.audit_dest, "*"))
        found += glob.glob(os.path.join(self.lab.root, "*-audit.jsonl"))
        found += glob.glob(os.path.join(self.lab.root, "*-state", "journal.jsonl"))
        found += [fleet.report for fleet in self.fleets.values()]
        return found


if __name__ == "__main__":
    harness.main()
