"""The bootloader table: U-Boot's time for both downloads of a 4,000,000-byte image from
skelvo-cli serve, dnsmasq and tftpd-hpa, lossless and at 3 % loss each way, with tftpwindowsize 1
and 16, side by side in one run (the servers take turns within each round); then curl and atftp
fetching it twice with blksize 1468 from the same servers. Run by bench/bootloader-bench.sh.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "bootloader"))
import bootloader  # noqa: E402

SERVERS = ("skelvo", "dnsmasq", "tftpd-hpa")


def start(server, ns, cli, root, image, log):
    if server == "skelvo":
        return bootloader.skelvo_serve(ns, cli, image, log)
    if server == "dnsmasq":
        return bootloader.dnsmasq(ns, root, log)
    return bootloader.tftpd_hpa(ns, root, log)


def uboot_row(args, work, data, root, image, loss, window):
    """{server: [seconds or None]} over the rounds."""
    ns = bootloader.Namespace("skelvo-blb-%d" % os.getpid())
    times = {s: [] for s in SERVERS}
    uboot = None
    try:
        if loss:
            ns.loss(loss)
        rounds = args.loss_rounds if loss else args.rounds
        for r in range(rounds):
            for server in SERVERS:
                # A fresh U-Boot for every measurement: one whose network stalled stays stalled.
                if uboot is not None:
                    uboot.close()
                uboot = bootloader.UBoot(ns, os.path.join(work, "console.log"), {"tftpwindowsize": str(window)})
                peer = start(server, ns, args.cli, root, image, os.path.join(work, "%s.log" % server))
                try:
                    seconds, sizes, _ = uboot.fetch(2, timeout=args.timeout)
                    good = sizes == [len(data)] * 2 and uboot.crc32(len(data)) == bootloader.crc32(data)
                    times[server].append(seconds if good else None)
                except (TimeoutError, EOFError):
                    times[server].append(None)
                finally:
                    peer.stop()
                print("  loss %d%% window %d round %d %s: %s" % (loss, window, r + 1, server, times[server][-1]),
                      file=sys.stderr, flush=True)
    finally:
        if uboot is not None:
            uboot.close()
        ns.close()
    return times


def client_row(args, work, data, root, image, client):
    ns = bootloader.Namespace("skelvo-blc-%d" % os.getpid())
    times = {s: [] for s in SERVERS}
    url = "tftp://%s/image" % bootloader.SERVER_IP
    try:
        for _ in range(args.rounds):
            for server in SERVERS:
                peer = start(server, ns, args.cli, root, image, os.path.join(work, "%s.log" % server))
                outs = [os.path.join(work, "got%d" % i) for i in (1, 2)]
                for o in outs:
                    if os.path.exists(o):
                        os.unlink(o)
                t0 = time.monotonic()
                ok = True
                for o in outs:
                    if client == "curl":
                        argv = ["curl", "-s", "--max-time", "60", "--tftp-blksize", "1468", "-o", o, url]
                    else:
                        argv = ["atftp", "--option", "blksize 1468", "-g", "-r", "image", "-l", o, bootloader.SERVER_IP]
                    ok = ok and subprocess.run(ns.exec_argv(argv), stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, timeout=90).returncode == 0
                seconds = time.monotonic() - t0
                ok = ok and all(open(o, "rb").read() == data for o in outs)
                peer.stop()
                times[server].append(seconds if ok else None)
    finally:
        ns.close()
    return times


def cells(times):
    """Median seconds of the successes per server, and the ratio to the faster peer."""
    med = {}
    for server, samples in times.items():
        good = [t for t in samples if t is not None]
        med[server] = statistics.median(good) if good else None
    peers = [med[s] for s in SERVERS if s != "skelvo" and med[s] is not None]
    best = min(peers) if peers else None
    out = []
    for server in SERVERS:
        samples = times[server]
        ok = sum(t is not None for t in samples)
        if med[server] is None:
            out.append("fail (%d/%d)" % (ok, len(samples)))
        else:
            ratio = " (%.2f×)" % (med[server] / best) if server == "skelvo" and best else ""
            out.append("%.3f s%s, %d/%d" % (med[server], ratio, ok, len(samples)))
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--loss-rounds", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    why = bootloader.missing()
    if why:
        print("bootloader benchmark skipped: " + why)
        return 0
    data = random.Random(21).randbytes(4_000_000)
    with tempfile.TemporaryDirectory(prefix="skelvo-blbench-") as work:
        root, image = bootloader.serving_root(work, data)
        print("== Bootloader: U-Boot (qemu_arm64, QEMU user-mode network) fetching a 4,000,000-byte image twice ==")
        print("   (median seconds of both downloads, from the command to U-Boot's prompt; ok/rounds; the servers")
        print("    take turns in each round; U-Boot asks for blksize 1468 and timeout 5)")
        print()
        print("| loss | tftpwindowsize | skelvo-cli serve | dnsmasq | tftpd-hpa |")
        print("|---|---|---|---|---|")
        for loss in (0, 3):
            for window in (1, 16):
                row = cells(uboot_row(args, work, data, root, image, loss, window))
                print("| %d %% | %d | %s |" % (loss, window, " | ".join(row)), flush=True)
        print()
        print("| client, both downloads | skelvo-cli serve | dnsmasq | tftpd-hpa |")
        print("|---|---|---|---|")
        for client in ("curl", "atftp"):
            row = cells(client_row(args, work, data, root, image, client))
            print("| %s, blksize 1468 | %s |" % (client, " | ".join(row)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
