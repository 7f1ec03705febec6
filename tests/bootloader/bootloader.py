"""Real boot loaders as TFTP clients: U-Boot (Debian's u-boot-qemu, qemu_arm64) under
qemu-system-aarch64, driven through its serial console, with QEMU's user-mode network inside a
network namespace of its own.

The user-mode network answers UDP port 69 at its own host address (10.0.2.2) itself, so the
servers listen on another address of the namespace (SERVER_IP, on its loopback) and U-Boot reaches
it through its gateway. That U-Boot cannot change the server port, so every server binds 69 in the
namespace. Inside the namespace every datagram between QEMU and a server is delivered locally, so
nftables' input hook sees both directions once: that is where loss is added.

Used by tests/bootloader/test_uboot.py and bench/bootloader-bench.sh.
"""
import os
import re
import select
import shutil
import subprocess
import time
import zlib

UBOOT = "/usr/lib/u-boot/qemu_arm64/u-boot.bin"
QEMU = "qemu-system-aarch64"
SERVER_IP = "10.77.0.1"
LOAD_ADDR = "0x40400000"
PROMPT = b"=> "
# The network card U-Boot drives.
NIC = os.environ.get("SKELVO_UBOOT_NIC", "virtio-net-pci")


def missing():
    """Why this machine cannot run the boot loader, or None."""
    if os.geteuid() != 0:
        return "needs root for a network namespace"
    for program in (QEMU, "ip", "nft"):
        if shutil.which(program) is None:
            return program + " is not installed (scripts/install-deps.sh)"
    if not os.path.exists(UBOOT):
        return UBOOT + " is missing (package u-boot-qemu)"
    return None


def crc32(data):
    return "%08x" % (zlib.crc32(data) & 0xFFFFFFFF)


class Namespace:
    """A network namespace of our own with SERVER_IP on its loopback; deleted on close."""

    def __init__(self, name):
        self.name = name
        subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "add", name], check=True)
        self.ip("link", "set", "lo", "up")
        self.ip("addr", "add", SERVER_IP + "/32", "dev", "lo")

    def ip(self, *args):
        subprocess.run(["ip", "-n", self.name] + list(args), check=True)

    def exec_argv(self, argv):
        return ["ip", "netns", "exec", self.name] + list(argv)

    def loss(self, percent):
        """Drops `percent` % of the UDP datagrams in each direction, at random."""
        rules = (
            "table inet skelvo_loss {\n"
            "  chain input {\n"
            "    type filter hook input priority 0; policy accept;\n"
            "    meta l4proto udp numgen random mod 100 < %d drop\n"
            "  }\n"
            "}\n" % percent
        )
        subprocess.run(self.exec_argv(["nft", "-f", "-"]), input=rules.encode(), check=True)

    def close(self):
        subprocess.run(["ip", "netns", "del", self.name], stderr=subprocess.DEVNULL)


class Console:
    """A child process whose standard output is searched for expected text, with a bound on
    every wait; everything it writes is kept in `log_path`."""

    def __init__(self, argv, log_path):
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.fd = self.proc.stdout.fileno()
        os.set_blocking(self.fd, False)
        self.buffer = b""

    def expect(self, text, timeout, line_start=False):
        """The output before `text`, which is consumed with it. With `line_start`, only `text`
        at the start of a line counts (a prompt, not the same characters inside a line)."""
        deadline = time.monotonic() + timeout
        while True:
            at = self.buffer.find(text)
            while line_start and at > 0 and self.buffer[at - 1:at] != b"\n":
                at = self.buffer.find(text, at + 1)
            if at >= 0:
                before = self.buffer[:at]
                self.buffer = self.buffer[at + len(text):]
                return before
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no %r within %g s; the console last showed %r" % (text, timeout, self.buffer[-400:]))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                chunk = os.read(self.fd, 65536)
                if not chunk:
                    raise EOFError("the console ended while %r was awaited: %r" % (text, self.buffer[-400:]))
                self.log.write(chunk)
                self.log.flush()
                self.buffer += chunk

    def send(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=30)
        self.log.close()


class UBoot:
    """U-Boot at its prompt, its network set up to reach SERVER_IP through the gateway."""

    def __init__(self, ns, log_path, env=None):
        argv = ns.exec_argv([QEMU, "-M", "virt", "-cpu", "cortex-a57", "-m", "256", "-display", "none",
                             "-serial", "stdio", "-monitor", "none", "-bios", UBOOT,
                             "-netdev", "user,id=n0", "-device", NIC + ",netdev=n0"])
        self.console = Console(argv, log_path)
        try:
            self.console.expect(b"Hit any key to stop autoboot", 120)
            self.console.send(" ")
            self.console.expect(PROMPT, 60, line_start=True)
            settings = {"ipaddr": "10.0.2.15", "netmask": "255.255.255.0", "gatewayip": "10.0.2.2",
                        "serverip": SERVER_IP}
            settings.update(env or {})
            self.run("; ".join("setenv %s %s" % kv for kv in settings.items()))
        except Exception:
            self.console.close()
            raise

    def run(self, command, timeout=60):
        """The output of one command line, up to the next prompt."""
        self.console.send(command + "\n")
        # The console echoes the line first.
        self.console.expect(command.encode() + b"\r\n", 30)
        return self.console.expect(PROMPT, timeout, line_start=True).decode("latin-1")

    def fetch(self, times=2, name="image", timeout=300):
        """Runs `tftpboot` `times` times in one command line: (seconds, sizes transferred, output)."""
        line = "; ".join(["tftpboot %s %s" % (LOAD_ADDR, name)] * times)
        start = time.monotonic()
        out = self.run(line, timeout)
        seconds = time.monotonic() - start
        sizes = [int(n) for n in re.findall(r"Bytes transferred = (\d+)", out)]
        return seconds, sizes, out

    def crc32(self, size):
        out = self.run("crc32 %s %x" % (LOAD_ADDR, size))
        found = re.search(r"==> ([0-9a-f]{8})", out)
        return found.group(1) if found else None

    def close(self):
        self.console.close()


class Server:
    """A TFTP server started in the namespace; its output goes to `log_path`."""

    def __init__(self, ns, argv, log_path, ready_text=None, timeout=30):
        self.log_path = log_path
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(ns.exec_argv(argv), stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        if ready_text is None:
            # Peers that print nothing: wait until port 69 is taken in the namespace.
            probe = ns.exec_argv(["python3", "-c",
                                  "import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                  "try:\n s.bind(('%s',69))\nexcept OSError:\n sys.exit(0)\nsys.exit(1)" % SERVER_IP])
            while subprocess.run(probe).returncode != 0:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise RuntimeError("%s did not take port 69: %s" % (argv[0], self.text()))
                time.sleep(0.05)
            return
        while ready_text not in self.text():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("%s did not start: %s" % (argv[0], self.text()))
            time.sleep(0.05)

    def text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def wait(self, timeout=60):
        """The exit status, or None after the bound (the server is then killed)."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def skelvo_serve(ns, cli, image, log_path, extra=()):
    return Server(ns, [cli, "serve", "--image", image, "--client", SERVER_IP, "--trace"] + list(extra), log_path,
                  ready_text="on UDP port 69")


def skelvo_rescue(ns, cli, image, log_path, extra=()):
    return Server(ns, [cli, "rescue", SERVER_IP, "--image", image, "--trace"] + list(extra), log_path,
                  ready_text="on UDP port 69")


def skelvo_fleet(ns, helper, image, log_path):
    return Server(ns, [helper, image, SERVER_IP], log_path, ready_text="serving")


def dnsmasq(ns, root, log_path):
    return Server(ns, ["dnsmasq", "-k", "--conf-file=/dev/null", "--port=0", "--enable-tftp", "--tftp-root=" + root,
                       "--listen-address=" + SERVER_IP, "--bind-interfaces", "--quiet-tftp", "--pid-file=",
                       "--log-facility=/dev/null"], log_path)


def tftpd_hpa(ns, root, log_path):
    return Server(ns, ["/usr/sbin/in.tftpd", "-L", "-a", SERVER_IP + ":69", "-u", "nobody", "-s", root], log_path)


def serving_root(directory, data):
    """A directory that the peers serve "image" from (readable by their unprivileged user)."""
    root = os.path.join(directory, "root")
    os.makedirs(root, exist_ok=True)
    os.chmod(directory, 0o755)
    os.chmod(root, 0o755)
    path = os.path.join(root, "image")
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    return root, path


GRUB_MODULES = "/usr/lib/grub/i386-pc"


def grub_missing():
    """Why GRUB's PXE image cannot run here, or None."""
    for program in ("qemu-system-x86_64", "grub-mkimage"):
        if shutil.which(program) is None:
            return program + " is not installed (scripts/install-deps.sh)"
    if not os.path.isdir(GRUB_MODULES):
        return GRUB_MODULES + " is missing (package grub-pc-bin)"
    return missing()


class Grub:
    """GRUB's PXE image (i386-pc-pxe) under qemu-system-x86_64: SeaBIOS and the e1000's iPXE ROM
    boot it from QEMU's own TFTP server, and its embedded script fetches `name` from SERVER_IP
    `times` times through the PXE stack, printing each file's CRC-32, then halts."""

    def __init__(self, ns, directory, log_path, times=2, name="image"):
        boot = os.path.join(directory, "pxe")
        os.makedirs(boot, exist_ok=True)
        script = os.path.join(directory, "embed.cfg")
        with open(script, "w") as f:
            f.write("serial --unit=0 --speed=115200\nterminal_input serial\nterminal_output serial\n"
                    "echo grub-ready\n")
            # GRUB keeps a path without a leading slash as it is, so the request names "image".
            f.write("hashsum --hash crc32 (tftp,%s)%s\n" % (SERVER_IP, name) * times)
            f.write("echo grub-done\nhalt\n")
        subprocess.run(["grub-mkimage", "-O", "i386-pc-pxe", "-d", GRUB_MODULES, "-o", os.path.join(boot, "core.0"),
                        "-c", script, "-p", "(pxe)/", "pxe", "tftp", "net", "normal", "echo", "hashsum", "gcry_crc",
                        "serial", "terminal", "halt"], check=True)
        argv = ns.exec_argv(["qemu-system-x86_64", "-m", "256", "-display", "none", "-serial", "stdio",
                             "-monitor", "none", "-boot", "order=n",
                             "-netdev", "user,id=n0,tftp=%s,bootfile=core.0" % boot, "-device", "e1000,netdev=n0"])
        self.console = Console(argv, log_path)

    def fetch(self, timeout=300):
        """(seconds from GRUB's start to its last download, the CRC-32s it printed)."""
        self.console.expect(b"grub-ready", 180)
        start = time.monotonic()
        out = self.console.expect(b"grub-done", timeout).decode("latin-1")
        return time.monotonic() - start, re.findall(r"([0-9a-f]{8})  \(tftp", out), out

    def close(self):
        self.console.close()
