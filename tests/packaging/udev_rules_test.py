#!/usr/bin/env python3
"""Runs the real `udevadm test` with packaging/70-korvaline.rules on emulated devices (umockdev),
the rule file placed in /usr/local/lib/udev/rules.d inside a private mount namespace (bwrap), and
compares what udev sets on the module's tty, the bootloader's hidraw node and a stranger's tty.
udev must read the file without complaint. Exit status 77 means "cannot run here" (skip).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

USB = "/sys/devices/pci0000:00/0000:00:14.0/usb1"


def usb_device(port, vendor, product, children):
    """umockdev records of a USB device, its interface 0 and the nodes below that interface."""
    path = USB[len("/sys"):] + "/" + port
    records = (f"P: {path}\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor={vendor}\n"
               f"A: idProduct={product}\n\nP: {path}/{port}:1.0\nE: SUBSYSTEM=usb\n"
               "E: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\n")
    for below, lines in children:
        records += f"P: {path}/{port}:1.0/{below}\n" + "".join(f"{line}\n" for line in lines) + "\n"
    return records


def node(subsystem, name, dev, under=""):
    return f"{under}{subsystem}/{name}", [f"N: {name}", f"E: SUBSYSTEM={subsystem}", f"E: DEVNAME=/dev/{name}", f"A: dev={dev}"]


HID = "0003:1209:BEBA.0001"
DEVICES = (usb_device("1-2", "0483", "5740", [node("tty", "ttyACM0", "166:0")]) +
           usb_device("1-3", "1209", "beba", [
               (HID, ["E: SUBSYSTEM=hid", "E: HID_ID=0003:00001209:0000BEBA"]),
               node("hidraw", "hidraw0", "241:0", HID + "/")]) +
           usb_device("1-4", "2341", "0043", [node("tty", "ttyACM1", "166:1")]))

INSTALLED = "/usr/local/lib/udev/rules.d"
CASES = [
    # (sysfs path, uaccess expected, ModemManager exclusion expected)
    (USB + "/1-2/1-2:1.0/tty/ttyACM0", True, True),
    (USB + "/1-3/1-3:1.0/0003:1209:BEBA.0001/hidraw/hidraw0", True, False),
    (USB + "/1-4/1-4:1.0/tty/ttyACM1", False, False),
]


def check_apply(path):
    if not all(shutil.which(tool) for tool in ("bwrap", "umockdev-run", "udevadm")):
        print("skipped: bwrap, umockdev-run or udevadm is not installed")
        return 77
    with tempfile.TemporaryDirectory() as folder:
        rules = os.path.join(folder, "rules")
        os.mkdir(rules)
        shutil.copy(path, rules)
        devices = os.path.join(folder, "devices.umockdev")
        open(devices, "w", encoding="utf-8").write(DEVICES)
        # The file goes where `cmake --install` puts it with the default prefix, which udev reads
        # as well; tmpfs layers keep the namespace's writes out of the real system.
        sandbox = ["bwrap", "--dev-bind", "/", "/", "--tmpfs", "/run/udev",
                   "--tmpfs", "/usr/local/lib", "--bind", rules, INSTALLED]
        if subprocess.run(sandbox + ["true"], capture_output=True).returncode != 0:
            print("skipped: bwrap cannot create a mount namespace here")
            return 77
        name = os.path.basename(path)
        for sysfs, uaccess, mm_ignore in CASES:
            command = sandbox + ["umockdev-run", "-d", devices, "--", "udevadm", "test",
                                 "--action=add", sysfs]
            result = subprocess.run(command, capture_output=True, text=True, timeout=120)
            output = result.stdout + result.stderr
            assert f"Reading rules file: {INSTALLED}/{name}" in output, output
            complaints = [line for line in output.splitlines() if f"{name}:" in line and
                          re.search(r"invalid|unknown|error|fail|ignor", line, re.I)]
            assert not complaints, "\n".join(complaints)
            properties = dict(line.split("=", 1) for line in result.stdout.splitlines()
                              if re.fullmatch(r"[A-Z_]+=.*", line))
            tags = properties.get("CURRENT_TAGS", "").strip(":").split(":")
            device = os.path.basename(sysfs)
            assert ("uaccess" in tags) == uaccess, f"{device}: tags {tags}"
            assert (properties.get("ID_MM_DEVICE_IGNORE") == "1") == mm_ignore, \
                f"{device}: ID_MM_DEVICE_IGNORE={properties.get('ID_MM_DEVICE_IGNORE')}"
    return 0


if __name__ == "__main__":
    sys.exit(check_apply(sys.argv[1]))
