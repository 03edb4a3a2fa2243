#!/usr/bin/env python3
"""Usage: serial_peer.py LINK COMMAND... Links a raw pty into a Wine prefix as LINK (a COM port),
runs COMMAND (a test under Wine) and answers the lines it sends: "burst" with one line in two parts
20 ms apart, "big" with 10,000 bytes of every value, "hangup" by unplugging. Exits as the test."""
import os
import select
import subprocess
import sys
import time
import tty


def main(link, command):
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(link):  # left behind by a run that was killed
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    test = subprocess.Popen(command)
    pending = b""
    while test.poll() is None and master is not None:
        try:
            if select.select([master], [], [], 0.1)[0]:
                pending += os.read(master, 4096)
        except OSError:  # until the test opens the port, the master reads EIO
            time.sleep(0.01)
        while master is not None and b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if line == b"burst":
                os.write(master, b"first part, ")
                time.sleep(0.02)
                os.write(master, b"second part\n")
            elif line == b"big":
                for start in range(0, 10000, 1000):
                    os.write(master, bytes((i * 7) % 256 for i in range(start, start + 1000)))
            elif line == b"hangup":
                os.unlink(link)
                os.close(master)
                os.close(slave)
                master = None
    status = test.wait()
    if master is not None:
        os.unlink(link)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
