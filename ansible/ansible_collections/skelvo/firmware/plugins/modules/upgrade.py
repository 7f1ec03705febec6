#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: upgrade
short_description: Upgrade the flash firmware of device servers with skelvo-cli
version_added: "0.1.0"
description:
  - Runs C(skelvo-cli upgrade --json --yes) on the host the task runs on (the runner), as one
    batch for all C(devices).
  - Each device fetches its image by TFTP from the runner, so the runner must be in the
    devices' own subnet. Run one task per subnet, on a runner in that subnet.
  - A device already at the image's version is left alone and reports no change, so running
    the same task again changes nothing.
  - A device that runs a newer version than the image, or whose version cannot be read, is
    refused without anything being sent to it, unless C(allow_older) or C(allow_reinstall)
    says otherwise.
  - The password goes to C(skelvo-cli) on its standard input (C(--password-stdin)); it never
    appears on its command line, in its environment or in the result.
options:
  devices:
    description:
      - The devices to upgrade, by address or name, as the runner resolves them.
      - A device named twice is upgraded once.
    type: list
    elements: str
    required: true
  login:
    description: The devices' administrative login.
    type: str
    default: root
  password:
    description:
      - The devices' administrative password, for example from Ansible Vault.
      - Without it C(skelvo-cli) takes the C(SKELVO_PASSWORD) variable of the runner, else the
        product's default password.
    type: str
  image:
    description:
      - An image file on the runner, served unchanged to every device instead of the built-in
        image of each device's model.
      - Its version is unknown, so every device whose version can be read is upgraded.
    type: path
  allow_older:
    description: Flash a device whose firmware is newer than the image.
    type: bool
    default: false
  allow_reinstall:
    description: Flash a device already at the image's version, or whose version cannot be read.
    type: bool
    default: false
  force:
    description: With C(image), flash a device whose version cannot be read.
    type: bool
    default: false
  parallel:
    description: Serve at most this many devices at once (1 to 1000; the CLI's default is 20).
    type: int
  verify_reboot:
    description:
      - After a device's upgrade, wait up to this many seconds for it to restart and check that
        it reports the new version. 0 leaves the check out.
    type: int
    default: 0
  audit_log:
    description:
      - A file on the runner that gets one JSON line per device (appended, flushed to disk).
      - It is opened before any device is contacted; one that cannot be opened fails the task
        with nothing sent.
      - Left out in check mode, which writes nothing on the runner.
    type: path
  journal:
    description:
      - The runner's journal of upgrades, written ahead of each step, from which
        M(skelvo.firmware.recover) brings back a device that a crash left half-way. A device the
        journal shows half-way is not commanded again (unless C(force)); run
        M(skelvo.firmware.recover) first.
      - Left out, the one of the user the task runs as
        (C($XDG_STATE_HOME/skelvo/journal.jsonl), by default C(~/.local/state/skelvo/journal.jsonl)).
      - One that cannot be written fails the task with nothing sent.
    type: path
  skelvo_cli:
    description: The C(skelvo-cli) program on the runner, a name looked up on the PATH or a path.
    type: str
    default: skelvo-cli
  tftp_port:
    description:
      - The UDP port the runner serves the image on. The default, 69, needs root or the
        C(cap_net_bind_service) capability on C(skelvo-cli).
      - Other ports are for tests and simulators; a real device always asks port 69.
    type: int
  http_port:
    description: The devices' HTTP port (default 80). For tests and simulators.
    type: int
  timeout:
    description:
      - Seconds after which the run is cut short. C(skelvo-cli) then gets one SIGTERM, contacts
        no further device (those are reported C(interrupted)) and finishes serving the devices
        it has already commanded, since a device that is erasing its flash needs its image.
        Its own time limits end every device long before 15 minutes; a C(skelvo-cli) that has
        still not ended then gets a second SIGTERM, which abandons the devices it still serves
        and reports each with its C(rescue_command). Only one that has not ended a
        minute after that is killed.
      - Without it the run ends when every device has ended; the CLI's own time limits bound
        each device.
    type: int
notes:
  - Check mode runs C(skelvo-cli upgrade --dry-run), which probes each device and checks the
    TFTP port and the image but sends no command. C(changed) then says whether any device
    would be upgraded.
  - The task fails when any device fails; the others' results are still returned.
seealso:
  - module: skelvo.firmware.probe
author:
  - Skelvo authors
"""

EXAMPLES = r"""
- name: Upgrade the devices of this runner's subnet
  skelvo.firmware.upgrade:
    devices: "{{ skelvo_devices }}"
    password: "{{ vault_skelvo_password }}"
    audit_log: /var/log/skelvo-firmware-audit.jsonl
  register: upgrade

- name: Show what would be upgraded, sending nothing
  skelvo.firmware.upgrade:
    devices:
      - 192.0.2.7
      - 192.0.2.8
    password: "{{ vault_skelvo_password }}"
  check_mode: true

- name: Go back to the built-in image on devices that run a newer one
  skelvo.firmware.upgrade:
    devices: "{{ skelvo_devices }}"
    password: "{{ vault_skelvo_password }}"
    allow_older: true
    verify_reboot: 180
"""

RETURN = r"""
changed:
  description: Whether any device was upgraded (in check mode, would be upgraded).
  returned: always
  type: bool
failed:
  description: Whether any device failed, or the run failed before any device.
  returned: always
  type: bool
msg:
  description: A one-line summary, with the failures' hosts, outcomes and texts.
  returned: always
  type: str
  sample: "3 devices: 2 upgraded, 1 up to date"
rc:
  description: The exit code of C(skelvo-cli) (see its C(upgrade --help)).
  returned: when skelvo-cli ran
  type: int
results:
  description: One entry per device, in the order given.
  returned: when skelvo-cli ran
  type: list
  elements: dict
  contains:
    host:
      description: The device as given.
      type: str
      sample: 192.0.2.7
    model:
      description: The device's model, C(unknown) when it was not identified.
      type: str
      sample: Tolva 22xx
    previous_version:
      description: The version the device reported before the run, or null.
      type: str
      sample: 1.0.8
    version:
      description:
        - The version the device runs after the run, as far as the run knows; null when it is
          not known (a user image, or a device that may have been left without firmware).
      type: str
      sample: 1.0.9
    image_version:
      description: The version of the image for this device, or null for a user image.
      type: str
      sample: 1.0.9
    outcome:
      description:
        - The CLI's result, for example C(complete), C(up-to-date), C(dry-run),
          C(refused-newer), C(login-rejected), C(interrupted), C(transfer-failed).
      type: str
      sample: complete
    changed:
      description: Whether this device was upgraded (in check mode, would be).
      type: bool
    exit_code:
      description: The CLI's exit code for this device.
      type: int
      sample: 0
    error:
      description: The error text the device's upgrade ended with, on one line.
      type: str
      returned: when an error was reported
      sample: "ERROR: Invalid Username ( root ) or Password Entered Please check ..."
    rescue_command:
      description: The command that serves the device its image again, when it may be left
        without firmware.
      type: str
      returned: when one was printed
      sample: skelvo-cli rescue 192.0.2.7 --builtin tolva22
    command_status:
      description: The HTTP status with which the device refused the upgrade command.
      type: str
      returned: for C(command-refused)
    phase:
      description: How far an interrupted or abandoned upgrade had come.
      type: str
      returned: for C(interrupted) and C(abandoned)
    image_sha256:
      description: The SHA-256 of the image served to the device.
      type: str
    verify_ms:
      description: How long the verify download took, in milliseconds; null when it did not happen.
      type: int
    erase_ms:
      description: How long the device erased its flash (the wait between the two downloads).
      type: int
    program_ms:
      description: How long the programming download took.
      type: int
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.skelvo.firmware.plugins.module_utils.skelvo_cli import (
    SUCCESS_OUTCOMES, find_cli, in_given_order, one_line, parse_json_lines, run_cli, stderr_reason)


def build_args(cli, params, check_mode):
    args = [cli, "upgrade", "--json", "--yes", "--login", params["login"]]
    if params["password"] is not None:
        args.append("--password-stdin")
    if check_mode:
        args.append("--dry-run")
    for flag in ("allow_older", "allow_reinstall", "force"):
        if params[flag]:
            args.append("--" + flag.replace("_", "-"))
    for option in ("image", "parallel", "tftp_port", "http_port"):
        if params[option] is not None:
            args.extend(["--" + option.replace("_", "-"), str(params[option])])
    if params["verify_reboot"]:
        args.append("--verify-reboot=%d" % params["verify_reboot"])
    if params["audit_log"] is not None and not check_mode:
        args.extend(["--audit-log", params["audit_log"]])
    if params["journal"] is not None:
        args.extend(["--journal", params["journal"]])
    # Every device is a positional after "--", so that a name beginning with "-" stays a device.
    args.append("--")
    args.extend(params["devices"])
    return args


def device_results(events, check_mode):
    """One entry per result line, with the error texts and reboot check of its host."""
    errors = {}
    rebooted = {}
    results = []
    for event in events:
        kind = event.get("event")
        host = event.get("host")
        if kind == "error" and not event.get("warning"):
            text = one_line(event.get("text"))
            if event.get("detail"):
                text = "%s (%s)" % (text, one_line(event["detail"]))
            if text not in errors.setdefault(host, []):
                errors[host].append(text)
        elif kind == "reboot":
            rebooted[host] = event
        elif kind == "result":
            outcome = event.get("result")
            previous = event.get("old_version")
            image_version = event.get("new_version")
            if image_version and image_version.startswith("("):
                image_version = None  # "(user file)": an image of unknown version
            if outcome == "complete":
                version = image_version
                if host in rebooted and rebooted[host].get("version"):
                    version = rebooted[host].get("version")
            elif outcome in ("abandoned", "no-programming-request", "transfer-failed",
                             "reboot-check-failed"):
                version = None
            else:
                version = previous
            entry = dict(
                host=host,
                model=event.get("model"),
                previous_version=previous,
                version=version,
                image_version=image_version,
                outcome=outcome,
                changed=outcome == ("dry-run" if check_mode else "complete"),
                exit_code=event.get("exit_code"),
                image_sha256=event.get("image_sha256"),
                verify_ms=event.get("verify_ms"),
                erase_ms=event.get("erase_ms"),
                program_ms=event.get("program_ms"),
            )
            for key in ("rescue_command", "command_status", "phase"):
                if event.get(key) is not None:
                    entry[key] = event[key]
            if errors.get(host):
                entry["error"] = " ".join(errors.pop(host))
            elif event.get("reason") and outcome not in SUCCESS_OUTCOMES:
                # A failure that no error event told, such as a bound or the journal's refusal.
                entry["error"] = one_line(event["reason"])
            results.append(entry)
    return results


def summary(results, check_mode):
    counts = {}
    for entry in results:
        counts[entry["outcome"]] = counts.get(entry["outcome"], 0) + 1
    upgraded = counts.pop("dry-run" if check_mode else "complete", 0)
    up_to_date = counts.pop("up-to-date", 0)
    parts = []
    if upgraded:
        parts.append("%d %s" % (upgraded, "would be upgraded" if check_mode else "upgraded"))
    if up_to_date:
        parts.append("%d up to date" % up_to_date)
    failures = [entry for entry in results if entry["outcome"] not in SUCCESS_OUTCOMES]
    if failures:
        parts.append("%d failed" % len(failures))
    text = "%d device%s: %s" % (len(results), "" if len(results) == 1 else "s",
                                ", ".join(parts) if parts else "none")
    # Devices that failed alike are named together, so that a subnet with one wrong password
    # gives one line however many devices it holds.
    groups = []
    for entry in failures:
        key = (entry["outcome"], entry.get("error"))
        for group in groups:
            if group[0] == key:
                group[1].append(entry["host"])
                break
        else:
            groups.append((key, [entry["host"]]))
    for (outcome, error), hosts in groups:
        text += "; %s (%s)" % (outcome, ", ".join(hosts))
        if error:
            text += ": " + error
    rescues = [entry["rescue_command"] for entry in failures if entry.get("rescue_command")]
    if rescues:
        text += "; may be left without firmware, serve the image again with: " + "; ".join(rescues)
    return text


def main():
    module = AnsibleModule(
        argument_spec=dict(
            devices=dict(type="list", elements="str", required=True),
            login=dict(type="str", default="root"),
            password=dict(type="str", no_log=True),
            image=dict(type="path"),
            allow_older=dict(type="bool", default=False),
            allow_reinstall=dict(type="bool", default=False),
            force=dict(type="bool", default=False),
            parallel=dict(type="int"),
            verify_reboot=dict(type="int", default=0),
            audit_log=dict(type="path"),
            journal=dict(type="path"),
            skelvo_cli=dict(type="str", default="skelvo-cli"),
            tftp_port=dict(type="int"),
            http_port=dict(type="int"),
            timeout=dict(type="int"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    if not params["devices"]:
        module.exit_json(changed=False, results=[], msg="no devices")
    password = params["password"]
    if password is not None and ("\n" in password or "\r" in password):
        module.fail_json(msg="password: a line break cannot be part of a password")

    cli = find_cli(module, params["skelvo_cli"])
    args = build_args(cli, params, module.check_mode)
    stdin_text = password + "\n" if password is not None else ""
    rc, out, err, timed_out = run_cli(args, stdin_text, params["timeout"])

    results = in_given_order(device_results(parse_json_lines(out), module.check_mode),
                             params["devices"])
    changed = any(entry["changed"] for entry in results)
    failed = rc != 0 or timed_out or any(
        entry["outcome"] not in SUCCESS_OUTCOMES for entry in results)
    if rc == 3:
        msg = "skelvo-cli cannot serve the image: %s" % stderr_reason(err, cli)
    elif results:
        msg = summary(results, module.check_mode)
        if rc != 0 and not timed_out and all(e["outcome"] in SUCCESS_OUTCOMES for e in results):
            msg += "; skelvo-cli exited with %d: %s" % (rc, stderr_reason(err, cli))
    else:
        msg = "skelvo-cli upgrade failed (exit %d): %s" % (rc, stderr_reason(err, cli))
    if timed_out:
        msg = "timed out after %d s; %s" % (params["timeout"], msg)
    if failed:
        module.fail_json(msg=msg, changed=changed, results=results, rc=rc)
    module.exit_json(msg=msg, changed=changed, results=results, rc=rc)


if __name__ == "__main__":
    main()
