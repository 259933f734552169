#!/usr/bin/python3
"""The library's open sequence written with pyserial, the benchmark's peer.

Opens PORT like the library does (57600 8N1, exclusive), reads the 128 EEPROM bytes one
exchange each (discard input, write the 4-byte command, read the 4-byte reply within 100 ms,
check its checksum), and prints the time of each open in milliseconds, one per line.

    pyserial_open.py PORT RUNS
"""
import sys
import time

import serial


def read_eeprom(port):
    for address in range(128):
        frame = bytes([4, 0xF2, address, (4 + 0xF2 + address) & 0xFF])
        port.reset_input_buffer()
        port.write(frame)
        reply = port.read(4)
        if len(reply) != 4 or sum(reply[:3]) & 0xFF != reply[3]:
            raise RuntimeError("EEPROM address %d: reply %s" % (address, reply.hex()))


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    path, runs = sys.argv[1], int(sys.argv[2])
    for _ in range(runs):
        start = time.monotonic()
        port = serial.Serial(
            path,
            57600,
            bytesize=8,
            parity="N",
            stopbits=1,
            timeout=0.1,
            write_timeout=0.5,
            exclusive=True,
        )
        read_eeprom(port)
        elapsed = time.monotonic() - start
        port.close()
        print("%.4f" % (elapsed * 1000.0), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
