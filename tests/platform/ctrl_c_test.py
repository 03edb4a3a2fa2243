#!/usr/bin/env python3
"""A console's Ctrl+C reaches the Windows program's waiter through its console handler.

Wine turns SIGINT into the console's Ctrl+C for a process that has a console, which a program of
the console subsystem started from Linux has (the GUI program has none, and Wine drops its SIGINT:
the end-to-end tests close it with taskkill). Usage: ctrl_c_test.py WINE_RUN PROBE_EXE
"""
import signal
import subprocess
import sys

wine_run, probe = sys.argv[1:3]
program = subprocess.Popen([wine_run, probe], stdout=subprocess.PIPE, text=True)
first = program.stdout.readline().strip()
if first != "waiting":
    sys.exit(f"the probe did not start: {first!r}")
program.send_signal(signal.SIGINT)
rest, _ = program.communicate(timeout=120)
if program.returncode != 0 or rest.strip() != "ended by the system":
    sys.exit(f"Ctrl+C ended the probe with status {program.returncode} and output {rest!r}")
print("Ctrl+C ended the wait as the system's request")
