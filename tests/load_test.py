#!/usr/bin/env python3
"""A batch of 2,000 small images through the real program (Linux):
    load_test.py --program build/native/quillmar [--sanitized]

Resident memory (VmRSS) is read when report line [100/2000] and the last line
have been written, while the program is still running, and must not grow by
more than 10%. Under the sanitizers the allocator keeps freed blocks on purpose, so there
the run checks instead that LeakSanitizer finds nothing at exit.

The program is read in step with its writes: the pipe holds one page, and the
test reads only while the program waits for room, so the program is alive and
at a known line when its memory is read. The page boundaries follow from the
report's bytes (learnt from a first run); a few filler bytes at the start put
the last line at the start of a page, where the program has to wait.
"""
import fcntl
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from batch_support import noise_png, program_options, wait_until_writing
from run_cases import run_cases

PROGRAM = None
SANITIZED = False
COUNT = 2000
PAGE = 4096
F_SETPIPE_SZ = 1031
F_GETPIPE_SZ = 1032


def writes_of(report):
    """The report split into the program's writes: header, one per image, summary."""
    first = report.index(b"[1/")
    writes = [report[:first]]
    rest = report[first:]
    for _ in range(COUNT):
        end = rest.index(b"\n") + 1
        writes.append(rest[:end])
        rest = rest[end:]
    writes.append(rest)
    return writes


def blocks(writes, filler):
    """Indexes of the writes the program waits at, reading a page at a time only
    while it waits: a write that no longer fits behind the page's data waits."""
    fill, waits = filler, []
    for i, w in enumerate(writes):
        if fill and fill + len(w) > PAGE:
            waits.append(i)
            fill = 0
        fill += len(w)
    return waits


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


class Load(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quillmar-load-")
        self.inputs = os.path.join(self.root, "in")
        os.makedirs(self.inputs)
        made = os.path.join(self.root, "made")
        os.makedirs(made)
        for i in range(COUNT):
            name = "img%04d.%s" % (i, "jpg" if i % 2 else "png")
            folder = made if i % 2 else self.inputs
            with open(os.path.join(folder, name), "wb") as f:
                f.write(noise_png(8 + i % 9, 8 + i % 7, i))
        # The JPEG inputs are made by the program itself from PNG pixels.
        done = subprocess.run([PROGRAM, made, "-q", "90", "-o", self.inputs],
                              stdout=subprocess.DEVNULL, timeout=600)
        self.assertEqual(done.returncode, 0)
        shutil.rmtree(made)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def test_two_thousand_images_with_flat_memory_and_no_leak(self):
        args = [PROGRAM, "in", "-o", "out", "-q", "75"]
        dry = subprocess.run(args, cwd=self.root, capture_output=True, timeout=900)
        self.assertEqual((dry.returncode, dry.stderr), (0, b""))  # no leak report either
        self.assertIn(b"[%d/%d] " % (COUNT, COUNT), dry.stdout)
        self.assertEqual(len(os.listdir(os.path.join(self.root, "out"))), COUNT)
        if SANITIZED:
            self.skipTest("memory checked for leaks only: the sanitizers' allocator "
                          "holds freed blocks back, so resident memory is not flat there")
        shutil.rmtree(os.path.join(self.root, "out"))
        if not os.access("/proc/self/syscall", os.R_OK):
            self.skipTest("no /proc/PID/syscall here: cannot tell when the program waits")

        writes = writes_of(dry.stdout)
        # Filler that makes the program wait at the last line (or the summary),
        # and at line 100 too where one exists.
        fitting = [k for k in range(PAGE) if blocks(writes, k) and blocks(writes, k)[-1] >= COUNT]
        filler = next((k for k in fitting if 100 in blocks(writes, k)), fitting[0])
        wait_at = blocks(writes, filler)
        late = wait_at[-1]  # 2000 (the last line) or 2001 (the summary)
        early = next(i for i in wait_at if i >= 100)

        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, PAGE)
        self.assertEqual(fcntl.fcntl(write_end, F_GETPIPE_SZ), PAGE)
        if filler:
            os.write(write_end, b"\0" * filler)
        process = subprocess.Popen(args, cwd=self.root, stdin=subprocess.DEVNULL,
                                   stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        got, samples = b"", {}
        give_up = time.monotonic() + 900  # for the whole run
        for i in wait_at:
            wait_until_writing(self, process, "write %d" % i, give_up)
            if i in (early, late):
                samples[i] = vm_rss_kib(process.pid)
            page = os.read(read_end, PAGE)
            got += page
            # Everything before write i has been read, nothing after it.
            self.assertEqual(got.lstrip(b"\0"), b"".join(writes[:i]))
        with os.fdopen(read_end, "rb") as f:
            got += f.read()
        self.assertEqual(process.wait(timeout=600), 0)
        self.assertEqual(got.lstrip(b"\0"), dry.stdout)
        at_100, at_end = samples[early], samples[late]
        print("VmRSS at line %d: %d KiB, at %s: %d KiB" % (
            early, at_100, "the summary" if late > COUNT else "the last line", at_end))
        # Growth is what a leak looks like; by the summary the workers have ended
        # and their stacks and heap arenas are given back, so it may be less.
        self.assertLessEqual(at_end - at_100, at_100 * 0.10)


def main():
    global PROGRAM, SANITIZED
    PROGRAM, SANITIZED, argv = program_options()
    return run_cases(argv)


if __name__ == "__main__":
    raise SystemExit(main())
