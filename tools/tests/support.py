"""What the end-to-end tests of quarn-monitor and quarn-sim share: the
programs under test, frames, SBUS frames and recordings packed from their
byte layouts (never by the library), pseudo-terminals held from both ends,
and a test case that always cleans up the processes it starts.
"""

import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

MONITOR = os.environ.get("QUARN_MONITOR", "quarn-monitor")
SIM = os.environ.get("QUARN_SIM", "quarn-sim")
TMUX = os.environ.get("QUARN_TMUX") or shutil.which("tmux")

# Generous: the machine may be loaded, and nothing here measures speed.
WAIT = 15.0

HEAD, TAIL, DATA = 0xFA, 0x5F, 0xA5
REQUEST, STOP = [HEAD, 0xE5, 2, 0], [HEAD, 0xE4, 0, 0, TAIL]
SBUS_SIZE, SBUS_START = 25, 0x0F
EXIT_FAILURE, EXIT_USAGE, EXIT_OPEN = 1, 2, 3


def wait_for(predicate, timeout=WAIT, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def read_lines(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.endswith("\n")]


def line_count(path):
    with open(path) as f:
        return sum(1 for line in f if line.endswith("\n"))


def values_of(obj, type_):
    """The values a frame of the given payload type carries."""
    out = {}
    if type_ != 1:
        out["channels"] = obj["channels"]
    if type_ != 0:
        out["ports"] = obj["ports"]
    return out


def le16(values):
    return [b for v in values for b in (v & 0xFF, v >> 8)]


def data_frame(type_, channels=(), ports=()):
    """A data frame from the layout: type byte, 12 channels, six unused
    bytes and 32 ports for type 2."""
    payload = [type_]
    if type_ == 0:
        payload += le16(channels)
    elif type_ == 1:
        payload += le16(ports)
    else:
        payload += le16(channels) + [0] * 6 + le16(ports)
    return bytes([HEAD, DATA, len(payload) & 0xFF, len(payload) >> 8] + payload + [TAIL])


def recording(records, version=1, header_size=16, extra=b""):
    """A timed recording: "QUARNREC", version, header size, reserved, any
    extra header bytes, then (microseconds, chunk) records."""
    out = b"QUARNREC" + struct.pack("<HHI", version, header_size, 0) + extra
    for micros, chunk in records:
        out += struct.pack("<QH", micros, len(chunk)) + chunk
    return out


def parse_recording(data):
    """The records of a timed recording, read from its layout; an empty
    chunk marks where the device was reconnected."""
    magic, version, header_size, reserved = struct.unpack_from("<8sHHI", data)
    assert (magic, version, header_size, reserved) == (b"QUARNREC", 1, 16, 0), data[:16]
    records, pos = [], header_size
    while pos < len(data):
        micros, n = struct.unpack_from("<QH", data, pos)
        records.append((micros, data[pos + 10:pos + 10 + n]))
        assert n == len(records[-1][1]), (pos, n)
        pos += 10 + n
    return records


def sbus_pack(channels, flags=0, end=0):
    """An SBUS frame: start byte, 16 channels of 11 bits packed lowest bit
    first, flags, end byte."""
    bits = sum(v << (11 * k) for k, v in enumerate(channels))
    return bytes([SBUS_START]) + bits.to_bytes(22, "little") + bytes([flags, end])


def sbus_unpack(frame):
    """16 channels of 11 bits, LSB first: bit b of channel k is frame bit 8 + 11k + b."""
    bits = int.from_bytes(frame, "little")
    return [(bits >> (8 + 11 * k)) & 0x7FF for k in range(16)]


def to_sbus(v):
    return min(v * 1706 // 1000, 2047)


class FakeSystem:
    """A system below a root directory, for QUARN_SYSTEM_ROOT: its sys/, dev/
    and proc/ laid out as the kernel lays out /sys, /dev and /proc."""

    def __init__(self, root):
        self.root = root

    def at(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text + "\n")

    def link(self, target, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)

    def usb(self, port, ids, strings=("", "", ""), driver=None):
        """A USB device at a port of the first bus, with one interface;
        returns the interface's directory."""
        device = self.at("sys/devices/pci0000:00/0000:00:14.0/usb1", port)
        for name, value in zip(("idVendor", "idProduct", "manufacturer", "product", "serial"),
                               (*ids, *strings)):
            if value:
                self.write(os.path.join(device, name), value)
        interface = os.path.join(device, port + ":1.0")
        self.write(os.path.join(interface, "bInterfaceNumber"), "00")
        if driver:
            self.link(self.at("sys/bus/usb/drivers", driver), os.path.join(interface, "driver"))
        return interface

    def tty(self, name, device, type_=None, node_mode=0o600, node_target=None):
        """The class entry of a tty with its device behind it, and its node:
        a file of that mode, or a link to node_target. Returns the paths an
        unplug removes."""
        entry = os.path.join(device, "tty", name)
        os.makedirs(entry)
        self.link(os.path.relpath(device, entry), os.path.join(entry, "device"))
        if type_ is not None:
            self.write(os.path.join(entry, "type"), type_)
        self.link(os.path.relpath(entry, self.at("sys/class/tty")), self.at("sys/class/tty", name))
        node = self.at("dev", name)
        if node_target:
            self.link(node_target, node)
        else:
            self.write(node, "")
            os.chmod(node, node_mode)
        return [self.at("sys/class/tty", name), node]

    def latency_timer(self, name, ms):
        self.write(self.at("sys/bus/usb-serial/devices", name, "latency_timer"), str(ms))


class Pty:
    """A pseudo-terminal the test holds from both ends."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        return os.read(self.master, 4096) if ready else b""

    def read_exactly(self, n):
        got = b""
        deadline = time.monotonic() + WAIT
        while len(got) < n and time.monotonic() < deadline:
            got += self.read(0.1)
        return got

    def close(self):
        """Closes both ends, once: the device goes away."""
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None


class Session(unittest.TestCase):
    """Starts the tools and always cleans them up."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.procs = []
        self.ptys = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()
            for stream in (p.stdout, p.stderr):
                if stream:
                    stream.close()
        for pty in self.ptys:
            pty.close()
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def pty(self):
        self.ptys.append(Pty())
        return self.ptys[-1]

    def start(self, args, stdout=subprocess.DEVNULL, **kw):
        p = subprocess.Popen(args, stdout=stdout, stderr=subprocess.PIPE, **kw)
        self.procs.append(p)
        return p

    def start_sim(self, *args):
        """Runs quarn-sim --pty; returns the process, its pty path and its log path."""
        log = self.path("sim.jsonl")
        p = self.start([SIM, "--pty", "--once", "--log", log, *args], stdout=subprocess.PIPE)
        ready, _, _ = select.select([p.stdout], [], [], WAIT)
        self.assertTrue(ready, "quarn-sim printed no path")
        path = p.stdout.readline().decode().strip()
        self.assertTrue(path.startswith("/dev/"), path)
        return p, path, log

    def start_monitor(self, *args, out="monitor.jsonl"):
        out_file = open(self.path(out), "w")
        p = self.start([MONITOR, *args], stdout=out_file)
        out_file.close()
        return p, self.path(out)

    def finish(self, p):
        """Waits for a process; returns (exit code, standard error)."""
        try:
            p.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.fail(f"{p.args[0]} did not exit")
        return p.returncode, p.stderr.read().decode()

    def run_tool(self, *args, stdin=None):
        r = subprocess.run(args, input=stdin, capture_output=True, timeout=WAIT)
        return r.returncode, r.stdout.decode(), r.stderr.decode()

    def replay_json(self, path, *args):
        rc, out, err = self.run_tool(MONITOR, "--replay", path, "--json", "--chunk-size", "1", *args)
        return rc, [json.loads(line) for line in out.splitlines()], err

    def expect_request(self, device):
        self.assertEqual(list(device.read_exactly(7)), REQUEST + [0, 0, TAIL])
