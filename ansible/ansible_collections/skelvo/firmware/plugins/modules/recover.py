#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: recover
short_description: Bring back the devices that a crash left half-way through an upgrade
version_added: "0.2.0"
description:
  - Runs C(skelvo-cli recover --json) on the runner. It reads the runner's journal of upgrades
    and settles every device whose last record is not an end, for instance after the runner lost
    power, or an earlier task was killed, while a device was erasing or programming its flash.
  - A device that answers with the new version is ended C(complete). One that answers with its
    old version and never began erasing is ended C(not-upgraded) (or C(image-rejected)); its
    flash is intact. Every other device is served its recorded image, all of them at once, until
    it has its image and comes back, or C(window) ends.
  - No upgrade command is ever sent, so no device is flashed twice by this module.
  - Run it before C(skelvo.firmware.upgrade), which refuses a device the journal shows
    half-way.
options:
  journal:
    description:
      - The journal on the runner. Give the same file to C(skelvo.firmware.upgrade).
      - Left out, the one of the user the task runs as
        (C($XDG_STATE_HOME/skelvo/journal.jsonl), by default C(~/.local/state/skelvo/journal.jsonl)).
    type: path
  window:
    description: Seconds after which a device that is not back is given up (the CLI's default is 600).
    type: int
  settle:
    description:
      - Seconds that a device answering with its old version must ask for nothing before its
        flash counts as intact (the CLI's default is 90, longer than any erase).
    type: int
  skelvo_cli:
    description: The C(skelvo-cli) program on the runner, a name looked up on the PATH or a path.
    type: str
    default: skelvo-cli
  timeout:
    description:
      - Seconds after which the run is cut short with a SIGTERM; the devices not back then keep
        their records, for the next run.
    type: int
notes:
  - Check mode runs C(skelvo-cli recover --dry-run), which lists the devices and serves nothing.
  - The task fails when a device is left unrecovered, or its recorded image cannot be served
    (a changed image file, or a built-in image of another Skelvo release).
seealso:
  - module: skelvo.firmware.upgrade
author:
  - Skelvo authors
"""

EXAMPLES = r"""
- name: Settle the devices an earlier run left half-way
  skelvo.firmware.recover:
    journal: /var/lib/skelvo/journal.jsonl
  become: true
"""

RETURN = r"""
changed:
  description: Whether the journal showed any device half-way (in check mode, would be settled).
  returned: always
  type: bool
results:
  description: One entry per device the journal showed half-way.
  returned: always
  type: list
  elements: dict
  contains:
    host:
      description: The device as the upgrade named it.
      type: str
    state:
      description: The journal state the device was left at, such as C(erasing).
      type: str
    result:
      description:
        - C(complete), C(not-upgraded), C(image-rejected), C(unrecovered), or C(refused) for a
          recorded image that cannot be served. In check mode C(dry-run).
      type: str
    recovered:
      description: Whether the device's record is ended now.
      type: bool
    version:
      description: The version the device answered with last, when it answered.
      type: str
    reason:
      description: Why, for a device that is not back, or whose flash was found intact.
      type: str
msg:
  description: A summary.
  returned: always
  type: str
rc:
  description: The exit status of C(skelvo-cli recover).
  returned: always
  type: int
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.skelvo.firmware.plugins.module_utils.skelvo_cli import (
    find_cli, parse_json_lines, run_cli, stderr_reason)


def build_args(cli, params, check_mode):
    args = [cli, "recover", "--json"]
    if params["journal"] is not None:
        args.extend(["--journal", params["journal"]])
    for option in ("window", "settle"):
        if params[option] is not None:
            args.extend(["--" + option, str(params[option])])
    if check_mode:
        args.append("--dry-run")
    return args


def device_results(events):
    """One entry per device: where it was left, and what it came to."""
    results = {}
    for event in events:
        host = event.get("host")
        if host is None:
            continue
        entry = results.setdefault(host, {"host": host, "state": None, "result": None,
                                          "recovered": False, "version": None, "reason": None})
        if event.get("event") == "recover":
            entry["state"] = event.get("state")
            if event.get("dry_run"):
                entry["result"] = "dry-run"
                entry["reason"] = event.get("action")
        elif event.get("event") == "recovered":
            for key in ("result", "recovered", "version", "reason"):
                if event.get(key) is not None:
                    entry[key] = event[key]
    return list(results.values())


def main():
    module = AnsibleModule(
        argument_spec=dict(
            journal=dict(type="path"),
            window=dict(type="int"),
            settle=dict(type="int"),
            skelvo_cli=dict(type="str", default="skelvo-cli"),
            timeout=dict(type="int"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    cli = find_cli(module, params["skelvo_cli"])
    rc, out, err, timed_out = run_cli(build_args(cli, params, module.check_mode), "", params["timeout"])
    results = device_results(parse_json_lines(out))
    changed = bool(results)
    if not results:
        msg = "the journal holds no device left half-way" if rc == 0 else \
            "skelvo-cli recover failed (exit %d): %s" % (rc, stderr_reason(err, cli))
    else:
        left = [e for e in results if not e["recovered"] and e["result"] != "dry-run"]
        msg = "%d device(s) left half-way" % len(results)
        if module.check_mode:
            msg += ": " + "; ".join("%s (at %s) would be settled" % (e["host"], e["state"]) for e in results)
        elif left:
            msg += "; not back: " + "; ".join("%s: %s" % (e["host"], e["reason"] or e["result"]) for e in left)
        else:
            msg += "; all settled: " + ", ".join("%s %s" % (e["host"], e["result"]) for e in results)
    if timed_out:
        msg = "timed out after %d s; %s" % (params["timeout"], msg)
    if rc != 0 or timed_out:
        module.fail_json(msg=msg, changed=changed, results=results, rc=rc)
    module.exit_json(msg=msg, changed=changed, results=results, rc=rc)


if __name__ == "__main__":
    main()
