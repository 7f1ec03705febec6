# -*- coding: utf-8 -*-
"""Running skelvo-cli on the runner and reading its JSON lines."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re
import signal
import subprocess

# Outcomes after which a device runs the image's firmware or was deliberately left alone.
SUCCESS_OUTCOMES = frozenset(["complete", "up-to-date", "dry-run"])

# Once the upgrade command has gone out, a device may be erasing its flash: the first SIGTERM
# lets every commanded device be served to the end, and the module waits this long for it.
GRACE_AFTER_SIGNAL = 900
# A second SIGTERM abandons the devices still being served, and the CLI reports each with the
# command that serves it its image again. A kill would end the serving without saying which
# devices need that, so only a CLI that has not ended this long after the second is killed.
GRACE_AFTER_SECOND_SIGNAL = 60

# The CLI's placeholder in its setcap hint, replaced by the path that actually ran.
_SETCAP_PLACEHOLDER = "<path of skelvo-cli>"


def one_line(text):
    """Collapses the line breaks of a CLI text (error texts span several lines)."""
    if text is None:
        return None
    return re.sub(r"\s*\n\s*", " ", text).strip()


def find_cli(module, name):
    """Resolves the skelvo_cli option to an executable path, or fails the task."""
    if os.sep in name:
        path = os.path.expanduser(name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
        module.fail_json(msg="skelvo-cli not found on the runner: %s is not an executable file "
                             "(install skelvo-cli there, or set skelvo_cli to its path)" % path)
    path = module.get_bin_path(name, required=False)
    if not path:
        module.fail_json(msg="skelvo-cli not found on the runner: no %s on its PATH; install it "
                             "there, or set skelvo_cli to its path" % name)
    return path


def parse_json_lines(text):
    """The JSON objects of the CLI's standard output, in order; other lines are skipped."""
    events = []
    for line in text.splitlines():
        line = line.strip()
        if not line.startswith("{"):
            continue
        try:
            value = json.loads(line)
        except ValueError:
            continue
        if isinstance(value, dict):
            events.append(value)
    return events


def run_cli(args, stdin_text, timeout, grace=GRACE_AFTER_SIGNAL):
    """Runs the CLI with an argument list (no shell).

    stdin_text goes to its standard input, which is then closed, so a password never reaches the
    command line or the environment. With a timeout, the CLI gets one SIGTERM when it runs out:
    it then contacts no further device and finishes those it has already commanded. After
    grace more seconds it gets a second SIGTERM, which abandons the devices still being served
    with their rescue commands, and GRACE_AFTER_SECOND_SIGNAL seconds later it is killed.

    Returns (exit code, stdout, stderr, timed_out).
    """
    process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, close_fds=True)
    data = (stdin_text or "").encode("utf-8")
    timed_out = False
    try:
        out, err = process.communicate(data, timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        process.send_signal(signal.SIGTERM)
        try:
            out, err = process.communicate(timeout=grace)
        except subprocess.TimeoutExpired:
            process.send_signal(signal.SIGTERM)
            try:
                out, err = process.communicate(timeout=GRACE_AFTER_SECOND_SIGNAL)
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
    return (process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
            timed_out)


def stderr_reason(stderr, cli_path):
    """The CLI's own explanation of a run that ended before any device: its last message.

    A port that cannot be bound is explained from "cannot be bound" on, with the setcap command
    naming the binary that ran.
    """
    lines = [line for line in stderr.splitlines() if line.strip()]
    for index, line in enumerate(lines):
        if "cannot be bound" in line:
            text = one_line("\n".join(lines[index:]))
            text = text[max(text.find("the TFTP port"), 0):]
            return text.replace(_SETCAP_PLACEHOLDER, cli_path)
    kept = [line for line in lines if not line.startswith("(see ")]
    return one_line(kept[-1]) if kept else ""


def in_given_order(results, devices):
    """The CLI reports devices as they end; results follow the order of the devices option."""
    order = {}
    for index, host in enumerate(devices):
        order.setdefault(host, index)
    return sorted(results, key=lambda entry: order.get(entry.get("host"), len(order)))
