"""Helpers shared by the command-line tests that run the real program (Linux)."""
import argparse
import os
import random
import struct
import sys
import time
import zlib


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def noise_png(width, height, seed, level=-1):
    """An RGB PNG of noise (so that its re-encoding stays about as large)."""
    rng = random.Random(seed)
    rows = b"".join(b"\x00" + bytes(rng.getrandbits(8) for _ in range(width * 3))
                    for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(rows, level)) + png_chunk(b"IEND", b""))


def complete_image(data):
    """Whether a PNG or JPEG file ends the way a finished one does."""
    if data.startswith(b"\x89PNG"):
        return data.endswith(b"IEND\xaeB`\x82")
    return data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")


def waiting_to_write_stdout(pid):
    """True while the process sleeps in write(1, ...), waiting for room in its pipe."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/syscall" % pid) as f:
            call = f.read().split()
    except OSError:
        return False
    return state == "S" and len(call) > 1 and call[0] == "1" and call[1] == "0x1"


def wait_until_writing(test, process, what, give_up):
    """Waits (until the monotonic time give_up, a guard against hanging, not a speed
    test) for the program to block writing `what` to its standard output."""
    while not waiting_to_write_stdout(process.pid):
        test.assertIsNone(process.poll(), "ended before it waited to write " + what)
        if time.monotonic() > give_up:
            process.kill()
            test.fail("never waited to write " + what)
        time.sleep(0.002)


def program_options():
    """--program PATH [--sanitized] from the command line; the rest goes to unittest."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--sanitized", action="store_true")
    options, rest = parser.parse_known_args()
    return os.path.abspath(options.program), options.sanitized, [sys.argv[0]] + rest
