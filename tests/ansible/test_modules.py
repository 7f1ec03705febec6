"""The probe and upgrade modules on one runner against a simulated fleet: the cases a play is
written for (when: on a probe's versions, a reboot check) and the ways a run fails.

    python3 test_modules.py --cli PATH --devsim PATH
"""

import hashlib
import json
import os
import socket

import harness

PASSWORD = "Kp5-module-secret-3381"


class Modules(harness.LabTest):
    def test_probe_upgrade_and_failures(self):
        members = [
            {"model": "tolva22", "version": "1.0.8", "password": PASSWORD, "login": "root"},
            {"model": "tolva21", "version": "1.0.10", "password": PASSWORD, "login": "root"},
            {"model": "dravenholt", "password": PASSWORD, "login": "root"},
        ]
        fleet = self.lab.fleet("fleet", "127.0.152.1", members)
        held = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(held.close)
        held.bind(("0.0.0.0", 0))
        variables = {
            "devices": fleet.addresses,
            "absent": "127.0.152.200",  # nothing listens there: connection refused
            "http_port": fleet.http_port,
            "tftp_port": fleet.tftp_port,
            "held_port": held.getsockname()[1],
            "cli": self.lab.cli,
            "device_password": PASSWORD,
            "work_dir": self.lab.root,
        }
        # The modules run skelvo-cli through a wrapper that records what the CLI was given
        # (its arguments and environment), to show that the password is in neither.
        seen = os.path.join(self.lab.root, "seen-by-cli")
        variables["cli"] = self.lab.write("wrapped-cli", "#!/bin/sh\n"
                                          "printf '%%s\\n' \"$@\" >> '%s'\n"
                                          "env >> '%s'\n"
                                          "exec '%s' \"$@\"\n" % (seen, seen, self.lab.cli), mode=0o700)
        variables["journal"] = self.half_way_journal(fleet.addresses[0], fleet.http_port, fleet.tftp_port)
        vars_file = self.lab.write("vars.json", json.dumps(variables))
        run = self.lab.playbook("-i", "localhost,", "-c", "local", "-e", "@" + vars_file,
                                os.path.join(harness.HERE, "playbooks", "modules.yml"))
        self.assertEqual(run.rc, 0)
        self.assertEqual(run.recap["localhost"]["failed"], 0)

        # Only the device behind the image was commanded, once; the rest were only probed.
        self.assertEqual(fleet.commands(), [(fleet.addresses[0], True)])
        devices = fleet.devices()
        self.assertEqual(devices[fleet.addresses[0]]["final_version"], "1.0.9")
        self.assertEqual(devices[fleet.addresses[1]]["final_version"], "1.0.10")
        self.assertEqual(devices[fleet.addresses[2]]["final_version"], "6.2.0")
        self.assertFalse(os.path.exists(os.path.join(self.lab.root, "unused.jsonl")))
        self.assertIn("--password-stdin", harness.read(seen))
        for text in self.lab.outputs + [harness.read(fleet.report), harness.read(seen)]:
            self.assertNotIn(PASSWORD, text)

    def half_way_journal(self, address, http_port, tftp_port):
        """A journal in which an earlier run commanded the device with an image file and then
        ended without a word, as a kill does."""
        image = self.lab.write("earlier-image.bin", "firmware of an earlier run\n" * 400)
        with open(image, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        first = {"time": "2026-01-05T10:00:00.000Z", "id": "earlier-1", "host": address, "state": "commanding",
                 "address": address, "http_port": http_port, "tftp_port": tftp_port, "model": "Tolva 22xx",
                 "type": 5, "old_version": "1.0.8", "new_version": "", "image_source": image,
                 "image_sha256": digest, "rescue_command": "skelvo-cli rescue " + address}
        commanded = {"time": "2026-01-05T10:00:01.000Z", "id": "earlier-1", "host": address, "state": "commanded"}
        lines = "".join(json.dumps(record) + "\n" for record in (first, commanded))
        return self.lab.write("journal.jsonl", lines)

    def test_timeout_finishes_commanded_devices_and_commands_no_more(self):
        # One device at a time, each erasing for 3 s: the time limit ends the run while the
        # first device erases. It must be served to the end, the second never commanded.
        fleet = self.lab.fleet("slow", "127.0.154.1", harness.default_members(2, PASSWORD)[:2],
                               erase_seconds=3)
        task = {"devices": fleet.addresses, "password": PASSWORD, "parallel": 1, "timeout": 2,
                "skelvo_cli": self.lab.cli, "http_port": fleet.http_port, "tftp_port": fleet.tftp_port}
        # The values come from a vars file, so that the password is on no command line.
        variables = self.lab.write("slow.json", json.dumps(task))
        arguments = json.dumps({key: "{{ %s }}" % key for key in task})
        completed = self.lab.run(["ansible", "localhost", "-c", "local", "-m", "skelvo.firmware.upgrade",
                                  "-e", "@" + variables, "-a", arguments])
        output = completed.stdout + completed.stderr
        self.assertNotEqual(completed.returncode, 0, output)
        result = json.loads(output[output.index("{"):output.rindex("}") + 1])
        self.assertTrue(result["msg"].startswith("timed out after 2 s;"), result["msg"])
        outcomes = [entry["outcome"] for entry in result["results"]]
        self.assertEqual(outcomes[-1], "interrupted", outcomes)
        self.assertNotIn("abandoned", outcomes)
        versions = [harness.NEW_VERSION[m] if outcome == "complete" else harness.OLD_VERSION[m]
                    for m, outcome in zip(("tolva21", "tolva22"), outcomes)]
        fleet.wait_running(dict(zip(fleet.addresses, versions)))
        self.assertEqual([a for a, _ in fleet.commands()], fleet.addresses[:outcomes.count("complete")])
        for address, device in fleet.devices().items():
            self.assertNotIn(device["device_state"], ("bricked", "upgrading"), address)
        self.assertNotIn(PASSWORD, output)

    def test_a_cli_that_outlives_its_grace_abandons_its_devices_with_their_rescue_commands(self):
        # The device erases for longer than the time limit and the grace after the first signal
        # together. The CLI must then abandon it with its rescue command on the second signal,
        # not be killed with the device unreported.
        skelvo_cli = harness.collection_module("plugins.module_utils.skelvo_cli")
        fleet = self.lab.fleet("stuck", "127.0.155.1", harness.default_members(1, PASSWORD), erase_seconds=60)
        args = [self.lab.cli, "upgrade", "--json", "--yes", "--password-stdin",
                "--http-port", str(fleet.http_port), "--tftp-port", str(fleet.tftp_port),
                "--journal", os.path.join(self.lab.root, "stuck-journal.jsonl"), "--", fleet.addresses[0]]
        rc, out, err, timed_out = skelvo_cli.run_cli(args, PASSWORD + "\n", timeout=10, grace=1)
        self.assertTrue(timed_out)
        self.assertEqual(rc, 143, "ended by its signals, not killed: " + err)
        results = [e for e in skelvo_cli.parse_json_lines(out) if e.get("event") == "result"]
        self.assertEqual(len(results), 1, out)
        self.assertEqual(results[0]["result"], "abandoned", results[0])
        self.assertIn("rescue " + fleet.addresses[0], results[0].get("rescue_command", ""), results[0])
        self.assertEqual(fleet.commands(), [(fleet.addresses[0], True)])


if __name__ == "__main__":
    harness.main()
