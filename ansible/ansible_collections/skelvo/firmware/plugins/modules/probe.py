#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: probe
short_description: Read the model and firmware version of device servers with skelvo-cli
version_added: "0.1.0"
description:
  - Runs C(skelvo-cli probe --json) on the host the task runs on, for all C(devices).
  - Each device is identified by the C(Server) header of its web server, and its firmware
    version is read. No command is sent to any device, so the module changes nothing, and check
    mode runs it as usual.
  - For reports, and for C(when:) conditions on later tasks through C(devices).
options:
  devices:
    description: The devices, by address or name, as the runner resolves them.
    type: list
    elements: str
    required: true
  skelvo_cli:
    description: The C(skelvo-cli) program on the runner, a name looked up on the PATH or a path.
    type: str
    default: skelvo-cli
  http_port:
    description: The devices' HTTP port (default 80). For tests and simulators.
    type: int
  parallel:
    description: Probe at most this many devices at once (the CLI's default when left out).
    type: int
  timeout:
    description: Seconds after which the probe is stopped; it sends no command, so it is safe.
    type: int
    default: 600
notes:
  - The task fails when any device cannot be identified or read; the others' results are
    still returned.
seealso:
  - module: skelvo.firmware.upgrade
author:
  - Skelvo authors
"""

EXAMPLES = r"""
- name: Read each device's model and version
  skelvo.firmware.probe:
    devices: "{{ skelvo_devices }}"
  register: probe

- name: Upgrade only the devices that still run 1.0.7
  skelvo.firmware.upgrade:
    devices: "{{ probe.results | selectattr('version', 'equalto', '1.0.7') | map(attribute='host') | list }}"
    password: "{{ vault_skelvo_password }}"

- name: Report one device
  ansible.builtin.debug:
    msg: "{{ probe.devices['192.0.2.7'].model }} runs {{ probe.devices['192.0.2.7'].version }}"
  when: probe.devices['192.0.2.7'].version is version('1.0.9', '<')
"""

RETURN = r"""
changed:
  description: Always false; nothing is sent to any device.
  returned: always
  type: bool
msg:
  description: A one-line summary.
  returned: always
  type: str
  sample: "3 devices: Tolva 22xx 1.0.8 (2), Dravenholt II 6.2.0 (1)"
results:
  description: One entry per device, in the order given.
  returned: when skelvo-cli ran
  type: list
  elements: dict
  contains:
    host:
      description: The device as given.
      type: str
    type:
      description: The server type number (0 when unknown).
      type: int
    model:
      description: The model name, C(unknown) when the device names no known server.
      type: str
    version:
      description: The firmware version the device reports; C(Not-Known) when it cannot be
        read; null when the device was not identified.
      type: str
    exit_code:
      description: 0 when the device was identified, 4 when unreachable, 5 for an unknown server.
      type: int
    error:
      description: The name of the error event, when one came.
      type: str
      returned: on failure
    text:
      description: The error text, on one line.
      type: str
      returned: on failure
devices:
  description: The same entries keyed by host, for C(when:) conditions.
  returned: when skelvo-cli ran
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.skelvo.firmware.plugins.module_utils.skelvo_cli import (
    find_cli, in_given_order, one_line, parse_json_lines, run_cli, stderr_reason)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            devices=dict(type="list", elements="str", required=True),
            skelvo_cli=dict(type="str", default="skelvo-cli"),
            http_port=dict(type="int"),
            parallel=dict(type="int"),
            timeout=dict(type="int", default=600),
        ),
        supports_check_mode=True,
    )
    params = module.params
    if not params["devices"]:
        module.exit_json(changed=False, results=[], devices={}, msg="no devices")

    cli = find_cli(module, params["skelvo_cli"])
    args = [cli, "probe", "--json"]
    for option in ("http_port", "parallel"):
        if params[option] is not None:
            args.extend(["--" + option.replace("_", "-"), str(params[option])])
    args.append("--")
    args.extend(params["devices"])
    rc, out, err, timed_out = run_cli(args, "", params["timeout"], grace=5)

    results = []
    for event in parse_json_lines(out):
        if event.get("event") != "probe":
            continue
        entry = dict((key, event.get(key)) for key in ("host", "type", "model", "version", "exit_code"))
        if event.get("error") is not None:
            entry["error"] = event["error"]
            entry["text"] = one_line(event.get("text"))
        results.append(entry)

    results = in_given_order(results, params["devices"])
    devices = dict((entry["host"], entry) for entry in results)
    failures = [entry for entry in results if entry["exit_code"] != 0]
    if results:
        kinds = {}
        for entry in results:
            if entry["exit_code"] == 0:
                key = "%s %s" % (entry["model"], entry["version"])
                kinds[key] = kinds.get(key, 0) + 1
        parts = ["%s (%d)" % (key, kinds[key]) for key in sorted(kinds)]
        msg = "%d device%s: %s" % (len(results), "" if len(results) == 1 else "s", ", ".join(parts) or "none identified")
        for entry in failures:
            msg += "; %s: %s" % (entry["host"], entry.get("text") or "the device names no known server type")
    else:
        msg = "skelvo-cli probe failed (exit %d): %s" % (rc, stderr_reason(err, cli))
    if timed_out:
        msg = "timed out after %d s; %s" % (params["timeout"], msg)
    if failures or not results or timed_out:
        module.fail_json(msg=msg, changed=False, results=results, devices=devices, rc=rc)
    module.exit_json(msg=msg, changed=False, results=results, devices=devices, rc=rc)


if __name__ == "__main__":
    main()
