#!/usr/bin/env python3
"""Checks packaging/70-korvaline.rules.

"syntax": parses the file the way udev reads it (key, optional {attribute}, operator, quoted
value, separated by commas) and checks that the module's tty and the bootloader's hidraw node get
the uaccess tag and the tty the ModemManager exclusion, and that the file sorts where those take
effect. "apply": runs the real `udevadm test` on emulated devices (umockdev), with the rule file
placed in /usr/local/lib/udev/rules.d inside a private mount namespace (bwrap), and compares what udev sets
on the module, the bootloader and a stranger. Exit status 77 means "cannot run here" (skip).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

MATCH_KEYS = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "NAME", "SYMLINK", "SUBSYSTEM",
              "SUBSYSTEMS", "DRIVER", "DRIVERS", "ATTR", "ATTRS", "SYSCTL", "ENV", "CONST",
              "TAG", "TAGS", "TEST", "PROGRAM", "RESULT"}
ASSIGN_KEYS = {"NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL", "ENV",
               "TAG", "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"}
KEYS_WITH_ATTRIBUTE = {"ATTR", "ATTRS", "SYSCTL", "ENV", "CONST", "TEST", "IMPORT", "RUN",
                       "SECLABEL"}
PAIR = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*')


def rules_of(path):
    """Returns (line number, [(key, attribute, operator, value)]) for every rule line."""
    rules = []
    with open(path, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            assert not line.endswith("\\"), f"line {number}: continuation lines are not used"
            pairs, position = [], 0
            while position < len(line):
                found = PAIR.match(line, position)
                assert found, f"line {number}: cannot parse from column {position + 1}: {line}"
                pairs.append(found.groups())
                position = found.end()
                if position < len(line):
                    assert line[position] == ",", f"line {number}: expected ',' at {position + 1}"
                    position += 1
            rules.append((number, pairs))
    return rules


def check_syntax(path):
    rules = rules_of(path)
    labels = {value for _, pairs in rules for key, _, op, value in pairs if key == "LABEL"}
    for number, pairs in rules:
        for key, attribute, op, value in pairs:
            where = f"line {number}: {key}"
            matching = op in ("==", "!=")
            assert key in (MATCH_KEYS if matching else ASSIGN_KEYS), f"{where}: {op} not allowed"
            assert (attribute is not None) == (key in KEYS_WITH_ATTRIBUTE) or key == "IMPORT", \
                f"{where}: attribute braces misused"
            if key == "GOTO":
                assert value in labels, f"{where}: no LABEL {value}"
            if key == "ATTRS" and attribute in ("idVendor", "idProduct"):
                assert re.fullmatch(r"[0-9a-f]{4}", value), \
                    f"{where}: sysfs spells USB ids as four lower-case hex digits, not {value}"

    def rule_with(subsystem, vendor, product, assignment):
        for _, pairs in rules:
            matches = {(k, a, v) for k, a, op, v in pairs if op == "=="}
            assigns = {(k, a, op, v) for k, a, op, v in pairs if op not in ("==", "!=")}
            if (("ATTRS", "idVendor", vendor) in matches and
                    ("ATTRS", "idProduct", product) in matches and
                    (subsystem is None or ("SUBSYSTEM", None, subsystem) in matches) and
                    assignment in assigns):
                return True
        return False

    uaccess = ("TAG", None, "+=", "uaccess")
    assert rule_with("tty", "0483", "5740", uaccess), "the module's tty lacks uaccess"
    assert rule_with("hidraw", "1209", "beba", uaccess), "the bootloader's hidraw lacks uaccess"
    assert rule_with(None, "0483", "5740", ("ENV", "ID_MM_DEVICE_IGNORE", "=", "1")), \
        "ModemManager is not told to ignore the module"

    # uaccess becomes an ACL in 73-seat-late.rules; ModemManager's filter rules are 77-mm-*.
    name = os.path.basename(path)
    assert re.fullmatch(r"\d\d-[a-z0-9-]+\.rules", name), name
    assert name < "73-seat-late.rules" and name < "77-mm", f"{name} sorts too late"
    print(f"{name}: {len(rules)} rules parsed, module and bootloader covered")


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
    return f"{under}{subsystem}/{name}", [f"N: {name}", f"E: SUBSYSTEM={subsystem}",
                                   f"E: DEVNAME=/dev/{name}", f"A: dev={dev}"]


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
    for tool in ("bwrap", "umockdev-run", "udevadm"):
        if shutil.which(tool) is None:
            print(f"skipped: {tool} is not installed")
            return 77
    with tempfile.TemporaryDirectory() as folder:
        rules = os.path.join(folder, "rules")
        os.mkdir(rules)
        shutil.copy(path, rules)
        devices = os.path.join(folder, "devices.umockdev")
        with open(devices, "w", encoding="utf-8") as handle:
            handle.write(DEVICES)
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
            print(f"{device}: tags {tags}, ID_MM_DEVICE_IGNORE="
                  f"{properties.get('ID_MM_DEVICE_IGNORE', '')}")
    return 0


if __name__ == "__main__":
    mode, rules_file = sys.argv[1], sys.argv[2]
    if mode == "syntax":
        check_syntax(rules_file)
        sys.exit(0)
    sys.exit(check_apply(rules_file))
