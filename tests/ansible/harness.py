"""Simulated device fleets and real ansible-playbook runs for the collection's tests.

Standard library only. Every fleet runs on its own loopback range with a free HTTP port, and
every runner on its own free TFTP port; nothing listens on 69 or 80.
"""

import argparse
import importlib
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

def _ansible_python():
    """The interpreter that runs ansible-playbook, from its first line."""
    program = shutil.which("ansible-playbook")
    if not program:
        return None
    with open(program, "rb") as f:
        first = f.readline().decode("utf-8", "replace")
    return first[2:].strip().split()[0] if first.startswith("#!") else None


# The tests import ansible's modules (and PyYAML): run under the Python that has them, which
# need not be the first python3 on the PATH.
try:
    import ansible  # noqa: F401
except ImportError:
    _python = _ansible_python()
    if _python and os.path.realpath(_python) != os.path.realpath(sys.executable) and os.access(_python, os.X_OK):
        os.execv(_python, [_python] + sys.argv)
sys.dont_write_bytecode = True  # importing the modules leaves nothing in the source tree

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
COLLECTIONS_ROOT = os.path.join(SOURCE_ROOT, "ansible")
COLLECTION_DIR = os.path.join(COLLECTIONS_ROOT, "ansible_collections", "skelvo", "firmware")

# Generous: the suite must pass on a loaded 2-core machine.
START_BOUND = 60
PLAYBOOK_BOUND = 300

_RESULT_LINE = re.compile(r"^(ok|changed|failed|fatal): \[([^\]]+)\](?:: FAILED!)? => (\{.*\})$")
_RECAP_LINE = re.compile(r"^(\S+)\s+:\s+ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)"
                         r"\s+skipped=(\d+)\s+rescued=(\d+)\s+ignored=(\d+)")


def collection_module(name):
    """A Python module of the collection imported from the source tree, such as
    "plugins.modules.upgrade"."""
    sys.path.insert(0, COLLECTIONS_ROOT)
    try:
        return importlib.import_module("ansible_collections.skelvo.firmware." + name)
    finally:
        sys.path.pop(0)


def free_udp_port():
    """A UDP port that nothing holds now, for a runner's TFTP port. It is taken below the
    ephemeral range: the simulated devices send from fresh ports on their own addresses, and
    one of those on the same number would keep skelvo-cli from binding the port on every
    address."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            ephemeral = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        ephemeral = 32768
    generator = random.Random()
    for _ in range(1000):
        port = generator.randrange(max(1024, ephemeral - 12000), ephemeral)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free UDP port below %d" % ephemeral)


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def wait_until(predicate, bound, what):
    deadline = time.monotonic() + bound
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("gave up after %d s waiting for %s" % (bound, what))
        time.sleep(0.1)


class Fleet:
    """One skelvo-devsim process running a fleet on consecutive loopback addresses."""

    def __init__(self, lab, name, base, members, tftp_port, erase_seconds=0.2):
        self.name = name
        self.tftp_port = tftp_port
        directory = os.path.join(lab.root, name)
        os.makedirs(directory)
        fleet_file = os.path.join(directory, "fleet.json")
        with open(fleet_file, "w") as f:
            json.dump(members, f)
        self.ready = os.path.join(directory, "ready")
        self.report = os.path.join(directory, "report.json")
        self.log = open(os.path.join(directory, "devsim.log"), "w")
        # Short waits keep the runs quick; a short dally lets each device restart soon after
        # its last acknowledgement. The client's patience (3 s, 10 times) outlasts a loaded
        # machine's pauses.
        args = [lab.devsim, "--fleet-file", fleet_file, "--address-base", base, "--http-port", "0",
                "--tftp-port", str(tftp_port), "--erase-seconds", str(erase_seconds), "--reboot-seconds", "0.2",
                "--tftp-dally-ms", "100", "--tftp-timeout-ms", "3000", "--tftp-retries", "10", "--ready-file", self.ready, "--report", self.report]
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        lab.cleanups.append(self.stop)

        def ready():
            if self.process.poll() is not None:
                raise AssertionError("%s: skelvo-devsim ended with %s (see %s)"
                                     % (name, self.process.returncode, self.log.name))
            if not os.path.exists(self.ready):
                return None
            with open(self.ready) as f:
                lines = [line.strip() for line in f if line.strip()]
            return lines if len(lines) == len(members) else None

        endpoints = wait_until(ready, START_BOUND, "fleet %s to listen" % name)
        self.addresses = [e.rsplit(":", 1)[0] for e in endpoints]
        self.http_port = int(endpoints[0].rsplit(":", 1)[1])

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

    def devices(self):
        """The report's entry per member, keyed by address."""
        def read():
            try:
                with open(self.report) as f:
                    return json.load(f)["devices"]
            except (OSError, ValueError, KeyError):
                return None  # written again at every change: read it once it is whole
        return wait_until(read, START_BOUND, "the report of fleet %s" % self.name)

    def commands(self):
        """Every upgrade command the members received, as (address, credentials accepted), from
        the report written when the simulator ends. It is stopped first: while it runs, the file
        is written again only when an upgrade's record changes, so a command that started no
        upgrade (a rejected login) would not be in it yet."""
        self.stop()
        return [(address, r.get("credentials_accepted")) for address, d in self.devices().items()
                for r in d.get("requests", []) if r.get("target", "").startswith("/config")]

    def wait_running(self, versions):
        """Waits until every member answers again with the version it is expected to run."""
        def settled():
            devices = self.devices()
            return all(d.get("device_state") == "running" and d.get("final_version") == versions[a]
                       for a, d in devices.items())
        wait_until(settled, START_BOUND, "fleet %s to run %s" % (self.name, versions))


class PlaybookRun:
    def __init__(self, completed):
        self.rc = completed.returncode
        self.output = completed.stdout + completed.stderr
        self.recap = {}
        self.results = []
        for line in completed.stdout.splitlines():
            m = _RECAP_LINE.match(line.strip())
            if m:
                keys = ("ok", "changed", "unreachable", "failed", "skipped", "rescued", "ignored")
                self.recap[m.group(1)] = dict(zip(keys, (int(v) for v in m.groups()[1:])))
                continue
            m = _RESULT_LINE.match(line.strip())
            if m:
                self.results.append((m.group(2), json.loads(m.group(3))))

    def module_results(self, host):
        """The results of host's tasks that ran a skelvo module (they carry "results")."""
        return [r for h, r in self.results if h == host and "results" in r]


class Lab:
    """A temporary directory, the built programs, the fleets and the clean-up."""

    def __init__(self, cli, devsim):
        self.cli = os.path.abspath(cli)
        self.devsim = os.path.abspath(devsim)
        self.root = tempfile.mkdtemp(prefix="skelvo-ansible-")
        self.cleanups = []
        self.outputs = []
        self.collections_path = COLLECTIONS_ROOT

    def close(self):
        for cleanup in reversed(self.cleanups):
            cleanup()
        if os.environ.get("SKELVO_KEEP_TEST_DIR"):
            print("kept " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def fleet(self, name, base, members, tftp_port=None, erase_seconds=0.2):
        return Fleet(self, name, base, members, tftp_port or free_udp_port(), erase_seconds)

    def env(self):
        env = dict(os.environ)
        home = os.path.join(self.root, "ansible-home")
        env.update({
            "ANSIBLE_COLLECTIONS_PATH": self.collections_path,
            "ANSIBLE_COLLECTIONS_SCAN_SYS_PATH": "false",
            "ANSIBLE_HOME": home,
            "ANSIBLE_LOCAL_TEMP": os.path.join(home, "tmp"),
            "ANSIBLE_REMOTE_TEMP": os.path.join(home, "remote-tmp"),
            "ANSIBLE_NOCOLOR": "1",
            "ANSIBLE_FORCE_COLOR": "0",
            "ANSIBLE_RETRY_FILES_ENABLED": "false",
            "ANSIBLE_STDOUT_CALLBACK": "default",
            "ANSIBLE_LOAD_CALLBACK_PLUGINS": "false",
            # The runners' journals stay inside the test's folder.
            "XDG_STATE_HOME": os.path.join(self.root, "state"),
            "ANSIBLE_DEPRECATION_WARNINGS": "false",
            "ANSIBLE_PYTHON_INTERPRETER": "auto_silent",
            # The built skelvo-cli is found on the PATH by a runner that names no path.
            "PATH": os.path.dirname(self.cli) + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
        })
        env.pop("ANSIBLE_CONFIG", None)
        env.pop("SKELVO_PASSWORD", None)
        return env

    def run(self, args, bound=PLAYBOOK_BOUND, cwd=None, env=None):
        completed = subprocess.run(args, cwd=cwd or self.root, env=env or self.env(),
                                   stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   universal_newlines=True, timeout=bound)
        self.outputs.append(completed.stdout + completed.stderr)
        return completed

    def playbook(self, *args, echo=True):
        completed = self.run(["ansible-playbook", "-v"] + list(args))
        run = PlaybookRun(completed)
        if echo:
            sys.stdout.write("--- ansible-playbook %s: exit %d\n%s\n" % (" ".join(args), run.rc, run.output))
        return run

    def vault(self, path, variables, password_file):
        """Writes variables to path and encrypts the file with Ansible Vault."""
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            json.dump(variables, f)  # JSON is YAML
        completed = self.run(["ansible-vault", "encrypt", "--vault-password-file", password_file, path])
        if completed.returncode != 0:
            raise AssertionError("ansible-vault: " + completed.stderr)

    def write(self, name, text, mode=0o600):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path


def default_members(count, password):
    """count members cycling through the three models, all older than the built-in images."""
    models = ["tolva21", "tolva22", "dravenholt"]
    return [{"model": models[i % 3], "login": "root", "password": password} for i in range(count)]


NEW_VERSION = {"tolva21": "1.0.9", "tolva22": "1.0.9", "dravenholt": "6.2.1"}
OLD_VERSION = {"tolva21": "1.0.8", "tolva22": "1.0.8", "dravenholt": "6.2.0"}


class LabTest(unittest.TestCase):
    """A test case with its own Lab, closed after the test."""

    cli = devsim = None

    def setUp(self):
        self.lab = Lab(self.cli, self.devsim)
        self.addCleanup(self.lab.close)


def main():
    """python3 test_X.py --cli PATH --devsim PATH [unittest arguments]; exit 77 (skipped) without
    ansible-playbook."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--devsim", required=True)
    options, rest = parser.parse_known_args()
    for program in ("ansible-playbook", "ansible-galaxy", "ansible-doc", "ansible-vault"):
        if not shutil.which(program):
            print("%s not found: install ansible-core (scripts/install-deps.sh)" % program)
            sys.exit(77)
    LabTest.cli, LabTest.devsim = options.cli, options.devsim
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
