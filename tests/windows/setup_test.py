#!/usr/bin/env python3
"""The setup program under Wine, in the Windows tree's prefix: a silent install for every user and
one for the current user alone, each checked through what Windows would show (the entry in
"Apps", the Start-menu shortcut, the installed program's --version), then a silent uninstall that
must leave nothing of it behind while the user's own files stay.

Usage: setup_test.py WINE_RUN SETUP_EXE VERSION VERSION_LINE
(KORVALINE_WINEPREFIX in the environment names the prefix.)
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE_RUN, SETUP, VERSION, VERSION_LINE = sys.argv[1:5]
PREFIX = pathlib.Path(os.environ["KORVALINE_WINEPREFIX"])
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvaline"
START_MENU = r"Microsoft\Windows\Start Menu\Programs\Korvaline.lnk"


def wine(*args, check=True):
    """Runs a program in the prefix and returns its exit status and output. The output goes to a
    file, not a pipe: a program that starts Wine's server passes the pipe on to it and its
    services, which keep it open long after the program has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([WINE_RUN, *args], stdout=out, stderr=err, timeout=120).returncode
        output, errors = [(f.seek(0), f.read().decode(errors="replace"))[1] for f in (out, err)]
    if check and status != 0:
        raise AssertionError(f"{args} exited with {status}: {output}{errors}")
    return status, output


def unix(path):
    """The file behind a Windows path of the prefix (C: is its drive_c, Z: the Linux root)."""
    drive, rest = path.split(":", 1)
    return PREFIX / "dosdevices" / (drive.lower() + ":") / rest.replace("\\", "/").lstrip("/")


def windows(path):
    return "Z:" + str(path).replace("/", "\\")


def uninstall_entry(root):
    """The values of the uninstall key under HKLM or HKCU, or None without one."""
    status, output = wine("reg", "query", rf"{root}\{UNINSTALL_KEY}", check=False)
    if status != 0:
        return None
    found = re.findall(r"^\s+(\S+)\s+REG_\w+\s+(.*?)\s*$", output, re.MULTILINE)
    return dict(found)


class setup_program(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not pathlib.Path(SETUP).is_file():
            raise AssertionError(f"{SETUP} is missing: build the target korvaline_setup first.")
        # Wine starts its server anew (about 2 s) for a program that finds none running: a command
        # prompt that waits on its input keeps one running while the test lasts.
        cls.keeper = subprocess.Popen([WINE_RUN, "cmd"], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The setup program refuses anything before Windows 10, and Wine 8 makes its prefixes
        # Windows 7: the prefix says it is the system the program is built for.
        wine("reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "win10", "/f")
        _, echo = wine("cmd", "/c", "echo %APPDATA%^|%LOCALAPPDATA%^|%ProgramData%^|%ProgramFiles%")
        cls.folders = dict(zip(("APPDATA", "LOCALAPPDATA", "ProgramData", "ProgramFiles"),
                               echo.strip().split("|")))

    @classmethod
    def tearDownClass(cls):
        cls.keeper.stdin.close()  # the prompt's end of input ends it
        cls.keeper.wait(timeout=60)

    def install_and_remove(self, options, root, folder, start_menu):
        location = folder + r"\Korvaline"
        shortcut = unix(start_menu + "\\" + START_MENU)
        # What an earlier run that failed half-way may have left.
        wine("reg", "delete", rf"{root}\{UNINSTALL_KEY}", "/f", check=False)
        shutil.rmtree(unix(location), ignore_errors=True)

        began = time.monotonic()
        wine(windows(SETUP), "/S", *options)
        installed = time.monotonic() - began
        entry = uninstall_entry(root)
        self.assertIsNotNone(entry, f"no uninstall key under {root}")
        quoted = f'"{location}\\uninstall.exe"'
        self.assertEqual(
            {k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "Publisher", "DisplayIcon",
                                       "InstallLocation", "UninstallString", "QuietUninstallString",
                                       "NoModify", "NoRepair")},
            {"DisplayName": "Korvaline", "DisplayVersion": VERSION, "Publisher": "Talverin Acoustics",
             "DisplayIcon": location + r"\korvaline.exe,0", "InstallLocation": location,
             "UninstallString": quoted, "QuietUninstallString": quoted + " /S",
             "NoModify": "0x1", "NoRepair": "0x1"})
        self.assertGreater(int(entry["EstimatedSize"], 16), 0)
        self.assertTrue(shortcut.is_file(), shortcut)
        self.assertEqual(wine(location + r"\korvaline.exe", "--version")[1].strip(), VERSION_LINE)

        # The user's own files, which the uninstaller must leave alone.
        data = unix(self.folders["LOCALAPPDATA"] + r"\Korvaline")
        data.mkdir(parents=True, exist_ok=True)
        kept = data / f"setup-test-{os.getpid()}.json"
        kept.write_text("{}")
        # Uninstallers copy themselves away and return at once, unless told the folder to remove
        # with _?=, which must stand unquoted at the end of the command line: a copy outside the
        # folder runs in place through a batch file (Wine quotes arguments that hold spaces).
        with tempfile.TemporaryDirectory() as temp:
            copy = pathlib.Path(temp) / "Un_A.exe"
            shutil.copy(unix(location + r"\uninstall.exe"), copy)
            batch = pathlib.Path(temp) / "uninstall.bat"
            batch.write_text(f'@"{windows(copy)}" /S _?={location}\r\n@exit /b %ERRORLEVEL%\r\n')
            began = time.monotonic()
            wine("cmd", "/c", windows(batch))
            removed = time.monotonic() - began
        left = sorted(p.name for p in unix(location).iterdir()) if unix(location).exists() else None
        self.assertIsNone(left, "the install folder is still there")
        self.assertFalse(shortcut.exists(), shortcut)
        self.assertIsNone(uninstall_entry(root))
        self.assertTrue(kept.is_file(), "the uninstaller removed the user's own files")
        kept.unlink()
        print(f"{' '.join(options) or 'default'}: install {installed:.1f} s, uninstall {removed:.1f} s",
              file=sys.stderr)

    def test_for_every_user_when_run_as_administrator(self):
        # Wine's user is an administrator: without options the install is the machine's.
        self.install_and_remove([], "HKLM", self.folders["ProgramFiles"], self.folders["ProgramData"])

    def test_for_the_current_user_alone(self):
        self.install_and_remove(["/CURRENTUSER"], "HKCU", self.folders["LOCALAPPDATA"] + r"\Programs",
                                self.folders["APPDATA"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
