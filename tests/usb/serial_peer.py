#!/usr/bin/env python3
"""The far end of a Windows test's COM port under Wine: a pty linked into the prefix as LINK.

Usage: serial_peer.py LINK COMMAND...  Runs COMMAND (the test under Wine) and answers each line it
sends: "burst" with one line in two parts 20 ms apart, "big" with 10,000 bytes of every value, and
"hangup" by unplugging (the link removed, the pty closed). Exits with the test's status.
"""
import os
import select
import subprocess
import sys
import time
import tty

BIG = bytes((i * 7) % 256 for i in range(10000))


def main():
    link, command = sys.argv[1], sys.argv[2:]
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    test = subprocess.Popen(command)
    pending = b""
    while test.poll() is None and master is not None:
        if not select.select([master], [], [], 0.1)[0]:
            continue
        try:
            pending += os.read(master, 4096)
        except OSError:  # the port is not open: the master reads EIO until it is
            time.sleep(0.01)
        while master is not None and b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if line == b"burst":
                os.write(master, b"first part, ")
                time.sleep(0.02)
                os.write(master, b"second part\n")
            elif line == b"big":
                for start in range(0, len(BIG), 1000):
                    os.write(master, BIG[start:start + 1000])
            elif line == b"hangup":
                os.unlink(link)
                os.close(master)
                os.close(slave)
                master = None
    status = test.wait()
    if os.path.lexists(link):
        os.unlink(link)
    return status


if __name__ == "__main__":
    sys.exit(main())
