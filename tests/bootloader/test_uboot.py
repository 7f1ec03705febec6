"""U-Boot fetching a 4,000,000-byte image from skelvo-cli serve, rescue and the fleet server, with
the options U-Boot asks for by default (blksize 1468, timeout 5), with others set through its
environment, with negotiation turned off, and at 3 % loss each way. Each case boots its own U-Boot
in a network namespace of its own. (This U-Boot build sends no tsize; the real clients of
tests/tftp ask for it.)

    test_uboot.py --cli build/cli/skelvo-cli --fleet build/tests/bootloader/skelvo-test-fleet-serve
"""
import argparse
import os
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bootloader  # noqa: E402

IMAGE_SIZE = 4_000_000
ARGS = None


class UBootTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = random.Random(21).randbytes(IMAGE_SIZE)
        cls.crc = bootloader.crc32(cls.data)

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="skelvo-uboot-")
        self.addCleanup(self.dir.cleanup)
        self.root, self.image = bootloader.serving_root(self.dir.name, self.data)
        self.ns = bootloader.Namespace("skelvo-bl-%d" % os.getpid())
        self.addCleanup(self.ns.close)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def boot(self, env=None):
        uboot = bootloader.UBoot(self.ns, self.path("console.log"), env)
        self.addCleanup(uboot.close)
        return uboot

    def assertFetched(self, uboot, times):
        seconds, sizes, out = uboot.fetch(times)
        self.assertEqual(sizes, [IMAGE_SIZE] * times, out[-2000:])
        self.assertEqual(uboot.crc32(IMAGE_SIZE), self.crc)
        return seconds

    def serve(self, extra=()):
        server = bootloader.skelvo_serve(self.ns, ARGS.cli, self.image, self.path("serve.log"), extra)
        self.addCleanup(server.stop)
        return server

    def assertServedBoth(self, server):
        self.assertEqual(server.wait(), 0, server.text()[-2000:])
        self.assertIn("both downloads served", server.text())

    def test_serve_answers_the_options_uboot_asks_for_by_default(self):
        server = self.serve()
        self.assertFetched(self.boot(), 2)
        self.assertServedBoth(server)
        self.assertEqual(server.text().count("Options answered with an OACK: timeout 5 blksize 1468\n"), 2)

    def test_block_and_window_size_set_in_the_environment_are_answered(self):
        server = self.serve()
        self.assertFetched(self.boot({"tftpblocksize": "1024", "tftpwindowsize": "16"}), 2)
        self.assertServedBoth(server)
        self.assertIn("Options answered with an OACK: timeout 5 blksize 1024 windowsize 16\n", server.text())

    def test_without_negotiation_uboot_falls_back_to_plain_blocks(self):
        server = self.serve(["--tftp-no-options"])
        self.assertFetched(self.boot(), 2)
        self.assertServedBoth(server)
        self.assertNotIn("OACK", server.text())

    def test_every_download_completes_at_three_percent_loss_each_way(self):
        # U-Boot gives up after 10 time-outs in a transfer; the server's adaptive timer resends a
        # lost block long before U-Boot's 5 s. (With tftpwindowsize 16 this U-Boot under QEMU's
        # user-mode network stalls on its own time-outs after a loss, whatever the server:
        # see docs/BENCHMARKS.md.)
        self.ns.loss(3)
        server = self.serve()
        self.assertFetched(self.boot(), 2)
        self.assertServedBoth(server)

    def test_rescue_serves_the_boot_loader_until_it_is_quiet(self):
        server = bootloader.skelvo_rescue(self.ns, ARGS.cli, self.image, self.path("rescue.log"), ["--quiet-end", "1"])
        self.addCleanup(server.stop)
        self.assertFetched(self.boot(), 1)
        self.assertEqual(server.wait(), 0, server.text()[-2000:])
        self.assertIn("served 1 complete download", server.text())

    def test_fleet_server_serves_both_passes(self):
        server = bootloader.skelvo_fleet(self.ns, ARGS.fleet, self.image, self.path("fleet.log"))
        self.addCleanup(server.stop)
        self.assertFetched(self.boot(), 2)
        self.assertEqual(server.wait(), 0, server.text()[-2000:])
        events = [line for line in server.text().splitlines() if line.startswith(("event ", "result "))]
        self.assertEqual(events, ["event STATUS_VERIFYING", "event STATUS_ERASING", "event STATUS_PROGRAMMING",
                                  "event STATUS_COMPLETE", "result 1"])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--fleet", required=True)
    ARGS, rest = parser.parse_known_args()
    why = bootloader.missing()
    if why:
        print("skipped: " + why)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
