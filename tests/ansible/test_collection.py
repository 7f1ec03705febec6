"""The collection as a package: offline sanity checks, its documentation against the modules'
arguments, and a tarball built and installed with ansible-galaxy that then runs.

    python3 test_collection.py --cli PATH --devsim PATH
"""

import json
import os
import shutil
import sys
import tarfile

import harness  # first: it may start the tests again under ansible's Python

import yaml  # ansible-core's own dependency

MODULES = ("upgrade", "probe", "recover")

# The sanity tests that need a virtual environment with packages from the network (which the
# tests never use); the documentation is checked below instead of by "ansible-doc" and
# "validate-modules".
NEEDS_NETWORK = ("ansible-doc", "import", "pep8", "pylint", "runtime-metadata", "validate-modules",
                 "yamllint")


def module_arguments(name):
    """The options a module declares to AnsibleModule, captured without running it."""
    module = harness.collection_module("plugins.modules." + name)

    class Captured(Exception):
        pass

    def capture(argument_spec, **_):
        raise Captured(argument_spec)

    saved = module.AnsibleModule
    module.AnsibleModule = capture
    try:
        module.main()
    except Captured as e:
        return e.args[0]
    finally:
        module.AnsibleModule = saved
    raise AssertionError("%s: main() never built its AnsibleModule" % name)


class Collection(harness.LabTest):
    def copy_collection(self, root):
        target = os.path.join(root, "ansible_collections", "skelvo", "firmware")
        shutil.copytree(harness.COLLECTION_DIR, target,
                        ignore=shutil.ignore_patterns("output", "*.tar.gz", "__pycache__"))
        return target

    def test_offline_sanity(self):
        copy = self.copy_collection(os.path.join(self.lab.root, "sanity"))
        args = ["ansible-test", "sanity", "--python", "%d.%d" % sys.version_info[:2], "--color", "no"]
        for test in NEEDS_NETWORK:
            args += ["--skip-test", test]
        env = self.lab.env()
        env["HOME"] = self.lab.root  # ansible-test keeps its state under ~/.ansible
        completed = self.lab.run(args, cwd=copy, env=env)
        sys.stdout.write(completed.stdout + completed.stderr)
        self.assertEqual(completed.returncode, 0)
        self.assertIn('Running sanity test "compile"', completed.stdout + completed.stderr)

    def test_documentation_matches_the_modules(self):
        completed = self.lab.run(["ansible-doc", "--json"] + ["skelvo.firmware." + m for m in MODULES])
        self.assertEqual(completed.returncode, 0, completed.stderr)
        self.assertEqual(completed.stderr.strip(), "")
        docs = json.loads(completed.stdout)
        for name in MODULES:
            with self.subTest(module=name):
                doc = docs["skelvo.firmware." + name]
                arguments = module_arguments(name)
                options = doc["doc"]["options"]
                self.assertEqual(sorted(options), sorted(arguments))
                for option, arg in arguments.items():
                    documented = options[option]
                    self.assertEqual(documented.get("type", "str"), arg.get("type", "str"), option)
                    self.assertEqual(documented.get("default"), arg.get("default"), option)
                    self.assertEqual(bool(documented.get("required")), bool(arg.get("required")), option)
                    self.assertEqual(documented.get("elements"), arg.get("elements"), option)
                for task in yaml.safe_load(doc["examples"]):
                    modules = [k for k in task if k.startswith("skelvo.firmware.")]
                    if not modules:
                        continue
                    example_arguments = module_arguments(modules[0].rsplit(".", 1)[1])
                    self.assertLessEqual(set(task[modules[0]]), set(example_arguments), task["name"])
                self.assertIn("changed", doc["return"])
        self.assertTrue(module_arguments("upgrade")["password"].get("no_log"))

        completed = self.lab.run(["ansible-doc", "--json", "-t", "role", "skelvo.firmware.fleet_upgrade"])
        self.assertEqual(completed.returncode, 0, completed.stderr)
        documented = json.loads(completed.stdout)["skelvo.firmware.fleet_upgrade"]["entry_points"]["main"]
        with open(os.path.join(harness.COLLECTION_DIR, "roles", "fleet_upgrade", "defaults", "main.yml")) as f:
            defaults = yaml.safe_load(f)
        self.assertLessEqual(set(defaults), set(documented["options"]))

    def test_tarball_installs_and_runs(self):
        built = os.path.join(self.lab.root, "built")
        completed = self.lab.run(["ansible-galaxy", "collection", "build", "--output-path", built,
                                  harness.COLLECTION_DIR])
        self.assertEqual(completed.returncode, 0, completed.stderr)
        with open(os.path.join(harness.COLLECTION_DIR, "galaxy.yml")) as f:
            version = yaml.safe_load(f)["version"]
        tarball = os.path.join(built, "skelvo-firmware-%s.tar.gz" % version)
        with tarfile.open(tarball) as t:
            names = set(t.getnames())
        for wanted in ("MANIFEST.json", "README.md", "meta/runtime.yml", "plugins/modules/upgrade.py",
                       "plugins/module_utils/skelvo_cli.py", "roles/fleet_upgrade/tasks/main.yml",
                       "playbooks/fleet_upgrade.yml"):
            self.assertIn(wanted, names)

        installed = os.path.join(self.lab.root, "installed")
        completed = self.lab.run(["ansible-galaxy", "collection", "install", "--offline", "-p", installed,
                                  tarball])
        self.assertEqual(completed.returncode, 0, completed.stderr)
        self.lab.collections_path = installed

        fleet = self.lab.fleet("fleet", "127.0.153.1", harness.default_members(2, "unused"))
        args = json.dumps({"devices": fleet.addresses, "http_port": fleet.http_port})
        completed = self.lab.run(["ansible", "localhost", "-c", "local", "-m", "skelvo.firmware.probe",
                                  "-a", args])
        self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)
        self.assertIn(os.path.join(installed, "ansible_collections", "skelvo", "firmware"),
                      self.lab.run(["ansible-doc", "skelvo.firmware.probe"]).stdout)
        self.assertIn('"msg": "2 devices: Tolva 21xx 1.0.8 (1), Tolva 22xx 1.0.8 (1)"', completed.stdout)


if __name__ == "__main__":
    harness.main()
