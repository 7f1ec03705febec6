"""GRUB, a client that starts no download without an OACK (it asks for blksize 1024 and tsize),
fetching a 4,000,000-byte image twice from skelvo-cli serve through its PXE stack, under
qemu-system-x86_64 in a network namespace of its own.

    test_grub.py --cli build/cli/skelvo-cli
"""
import argparse
import os
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bootloader  # noqa: E402

ARGS = None


class GrubTest(unittest.TestCase):
    def test_grub_needs_an_oack_and_gets_both_downloads(self):
        data = random.Random(22).randbytes(4_000_000)
        with tempfile.TemporaryDirectory(prefix="skelvo-grub-") as work:
            _, image = bootloader.serving_root(work, data)
            ns = bootloader.Namespace("skelvo-grub-%d" % os.getpid())
            self.addCleanup(ns.close)
            server = bootloader.skelvo_serve(ns, ARGS.cli, image, os.path.join(work, "serve.log"))
            self.addCleanup(server.stop)
            grub = bootloader.Grub(ns, work, os.path.join(work, "console.log"))
            self.addCleanup(grub.close)
            _, crcs, out = grub.fetch()
            self.assertEqual(crcs, [bootloader.crc32(data)] * 2, repr(out[-2000:]))
            self.assertEqual(server.wait(), 0, server.text()[-2000:])
            self.assertEqual(server.text().count("Options answered with an OACK: blksize 1024 tsize 4000000\n"), 2)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    ARGS, rest = parser.parse_known_args()
    why = bootloader.grub_missing()
    if why:
        print("skipped: " + why)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
