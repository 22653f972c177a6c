"""quarn-monitor --list: on this machine, and on a fake system (sysfs, /dev
and /proc below QUARN_SYSTEM_ROOT) that the test builds as the kernel lays
it out. HID devices come from hidapi, that is from this machine.
"""

import json
import os
import subprocess
import unittest

from support import MONITOR, FakeSystem, Session


class DeviceList(Session):
    def list(self, root=None):
        """Lists in both forms; returns the plain lines, the JSON objects and
        the advice on standard error."""
        env = dict(os.environ)
        if root:
            env["QUARN_SYSTEM_ROOT"] = root
        # Root opens anything; without its file-permission override it is refused.
        prefix = []
        if os.geteuid() == 0:
            prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]
        plain = self.run_listing(prefix, env)
        objects = self.run_listing(prefix, env, "--json")
        self.assertEqual(plain[1], objects[1])  # the same advice either way
        return plain[0], [json.loads(line) for line in objects[0]], plain[1]

    def run_listing(self, prefix, env, *args):
        r = subprocess.run([*prefix, MONITOR, "--list", *args], capture_output=True, text=True,
                           env=env, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.splitlines(), r.stderr.splitlines()

    def fake_system(self):
        system = FakeSystem(self.path("system"))
        # A CDC device that names itself Quarn, with its by-id link.
        acm = system.usb("1-1", ("0483", "5740"), ("Quarn Devices", 'Quarn "Link"', "0001"),
                         "cdc_acm")
        system.tty("ttyACM0", acm)
        system.link("../../ttyACM0", system.at("dev/serial/by-id/usb-Quarn_Devices_Link-if00"))
        # Two of another maker: numbers sort as numbers.
        for n, port in ((10, "1-3"), (2, "1-4")):
            system.tty(f"ttyACM{n}", system.usb(port, ("1209", "0001")))
        # An FTDI adapter: a usb-serial device below its interface, with a
        # latency timer.
        ftdi = os.path.join(system.usb("1-2", ("0403", "6001"), ("FTDI", "FT232R USB UART",
                                                                 "A10K")), "ttyUSB0")
        system.link(system.at("sys/bus/usb-serial/drivers/ftdi_sio"), os.path.join(ftdi, "driver"))
        system.latency_timer("ttyUSB0", 16)
        system.tty("ttyUSB0", ftdi)
        # Built-in ports: one with its UART, one placeholder without; a
        # virtual console with no device at all.
        uart = system.at("sys/devices/platform/serial8250")
        system.link(system.at("sys/bus/platform/drivers/serial8250"), os.path.join(uart, "driver"))
        system.tty("ttyS0", uart, type_="4", node_mode=0)
        system.tty("ttyS1", uart, type_="0")
        os.makedirs(system.at("sys/devices/virtual/tty/tty0"))
        system.link("../../devices/virtual/tty/tty0", system.at("sys/class/tty/tty0"))
        for pid, program in ((1, "systemd"), (412, "ModemManager"), (977, "brltty")):
            system.write(system.at("proc", str(pid), "comm"), program)
        system.write(system.at("proc/loadavg"), "0.00 0.00 0.00 1/1 1")
        return system.root

    def test_a_fake_system(self):
        root = self.fake_system()
        lines, objects, advice = self.list(root)
        dev = os.path.join(root, "dev")
        by_id = os.path.join(dev, "serial/by-id/usb-Quarn_Devices_Link-if00")
        self.assertEqual([line for line in lines if line.startswith("serial")], [
            f'serial  {dev}/ttyACM0  usb 0483:5740  "Quarn Devices"  "Quarn \\"Link\\""  '
            f'serial-number "0001"  interface 0  driver cdc_acm  by-id {by_id}  [likely Quarn]',
            f"serial  {dev}/ttyACM2  usb 1209:0001  interface 0",
            f"serial  {dev}/ttyACM10  usb 1209:0001  interface 0",
            f'serial  {dev}/ttyUSB0  usb 0403:6001  "FTDI"  "FT232R USB UART"  '
            f'serial-number "A10K"  interface 0  driver ftdi_sio  latency-timer 16 ms',
            f"serial  {dev}/ttyS0  built-in port  driver serial8250  (no access)",
        ])
        serial = [o for o in objects if o["kind"] == "serial"]
        self.assertEqual(serial[0], {
            "kind": "serial", "path": f"{dev}/ttyACM0", "by_id": by_id, "bus": "usb",
            "vid": "0483", "pid": "5740", "manufacturer": "Quarn Devices",
            "product": 'Quarn "Link"', "serial_number": "0001", "interface": 0,
            "driver": "cdc_acm", "latency_timer_ms": None, "access": True, "likely_quarn": True})
        self.assertEqual([(o["path"], o["latency_timer_ms"], o["access"]) for o in serial[1:]], [
            (f"{dev}/ttyACM2", None, True), (f"{dev}/ttyACM10", None, True),
            (f"{dev}/ttyUSB0", 16, True), (f"{dev}/ttyS0", None, False)])
        self.assertEqual(serial[4]["bus"], "built-in")

        text = "\n".join(advice)
        latency = os.path.join(root, "sys/bus/usb-serial/devices/ttyUSB0/latency_timer")
        for part in (f"you may not open {dev}/ttyS0: serial ports belong to the 'dialout' group",
                     "72-quarninterface.rules",
                     "the latency timer of ttyUSB0 is 16 ms",
                     f"echo 1 | sudo tee {latency}",
                     "ModemManager is running", 'ENV{ID_MM_DEVICE_IGNORE}="1"',
                     "brltty is running"):
            self.assertIn(part, text)
        self.assertNotIn("no serial port", text)

    def test_nothing_found_and_this_machine(self):
        empty = self.path("empty")
        os.makedirs(empty)
        for root in (empty, None):
            with self.subTest(root=root or "this machine"):
                lines, objects, advice = self.list(root)
                self.assertEqual(len(lines), len(objects))
                for line, obj in zip(lines, objects):
                    self.assertIn(obj["kind"], ("serial", "hid"))
                    self.assertTrue(line.startswith(obj["kind"] + "  " + obj["path"] + "  "), line)
                if root:
                    self.assertEqual([o for o in objects if o["kind"] == "serial"], [])
                # Nothing at all: a line that says so and how to check.
                nothing = [a for a in advice if "no serial port or HID device found" in a]
                self.assertEqual(len(nothing), 0 if lines else 1, advice)
                if not lines:
                    self.assertIn("ls -l /dev/ttyACM* /dev/ttyUSB* /dev/hidraw*", nothing[0])


if __name__ == "__main__":
    unittest.main()
