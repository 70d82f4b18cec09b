#!/usr/bin/env python3
"""Fault tests of the command-line batch on the real program (Linux):
    faults_test.py --program build/native/quillmar

A batch of ten images meets a fault part-way: its output folder deleted, an
output folder it may not write to, an input deleted before its turn, a disk
that fills up, a dangling link at an output name. Each time the other files
are still processed, the report and the exit code say what happened, no
incomplete output stays, and nothing outside the output folder changes.

A fault "when line N appears" happens while the program is writing that line
and before it writes the next file (a few files ahead may be read already): its
standard output is a pipe filled by the test so that exactly the lines before N
fit. The program blocks in that write, the test acts, then reads on. No timing
is involved.
"""
import argparse
import fcntl
import hashlib
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

from batch_support import complete_image, noise_png, png_chunk, wait_until_writing
from run_cases import run_cases

PROGRAM = None
SANITIZED = False
FILE_SYSTEM_FAULTS = None
F_SETPIPE_SZ = 1031
F_GETPIPE_SZ = 1032
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def at_most_two_processors():
    """Runs the program on at most two of the processors it may use, so that how
    far it reads ahead of the writing is known."""
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:2])


def snapshot(root, skip):
    """Everything under root except the folder skip: type, mode, size, time, content."""
    state = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        for name in dirs + files:
            path = os.path.join(folder, name)
            if path == skip:
                continue
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                content = os.readlink(path)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    content = hashlib.sha256(f.read()).hexdigest()
            else:
                content = None
            state[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns, content)
    return state


def parse_report(text):
    """{index: (word, name, rest)} for the image lines of a report."""
    lines = {}
    for line in text.splitlines():
        if line.startswith("[") and "/" in line and "] " in line:
            head, rest = line.split("] ", 1)
            index = int(head[1:].split("/")[0])
            word, rest = rest.split("  ", 1)
            name = rest.split("  ")[0].split(" (")[0]
            lines[index] = (word, name, rest)
    return lines


class Batch(unittest.TestCase):
    """Ten inputs in a fresh folder: big and small, PNG and JPEG, given in order."""

    @classmethod
    def setUpClass(cls):
        cls.images = tempfile.mkdtemp(prefix="quillmar-fault-images-")
        sources = os.path.join(cls.images, "sources")
        os.makedirs(sources)
        cls.names = []
        for i in range(10):
            big = i in (0, 2, 4, 6)
            side = 300 if big else 12
            ext = "jpg" if i in (0, 2, 4, 8) else "png"  # the 7th is a big PNG
            name = "%02d-%s.%s" % (i + 1, "big" if big else "small", ext)
            # A JPEG input is made by the program itself from the PNG noise.
            with open(os.path.join(sources, name), "wb") as f:
                f.write(noise_png(side, side, i, level=1))
            cls.names.append(name)
        jpegs = [n for n in cls.names if n.endswith(".jpg")]
        done = subprocess.run([PROGRAM, "-q", "95", "-o", cls.images] + jpegs, cwd=sources,
                              stdout=subprocess.DEVNULL)
        assert done.returncode == 0
        for name in cls.names:
            if name.endswith(".png"):
                shutil.copyfile(os.path.join(sources, name), os.path.join(cls.images, name))
        shutil.rmtree(sources)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.images, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quillmar-fault-")
        os.chmod(self.root, 0o755)  # the unprivileged run must reach its inputs
        self.inputs = os.path.join(self.root, "in")
        os.makedirs(self.inputs)
        for name in self.names:
            shutil.copyfile(os.path.join(self.images, name), os.path.join(self.inputs, name))
        self.out = os.path.join(self.root, "out")
        self.args = ["-q", "80", "-o", self.out] + [os.path.join("in", n) for n in self.names]

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_batch(self, prefix=()):
        done = subprocess.run(list(prefix) + [PROGRAM] + self.args, cwd=self.root,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        self.assertEqual(done.stderr, b"")  # no sanitizer report either
        return done.returncode, done.stdout.decode()

    def run_with_fault_at(self, line, fault):
        """Runs the batch and calls fault() when report line [line/10] is being written."""
        if not os.access("/proc/self/syscall", os.R_OK):
            self.skipTest("no /proc/PID/syscall here: cannot tell when the program waits")
        # The bytes before that line, learnt from the same batch run once.
        dry = subprocess.run([PROGRAM] + self.args, cwd=self.root, capture_output=True, timeout=600)
        shutil.rmtree(self.out)
        before = dry.stdout[:dry.stdout.index(b"[%d/10]" % line)]

        read_end, write_end = os.pipe()
        try:
            fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
        except OSError:
            pass
        capacity = fcntl.fcntl(write_end, F_GETPIPE_SZ)
        os.write(write_end, b"\0" * (capacity - len(before)))
        with tempfile.TemporaryFile() as err:
            process = subprocess.Popen([PROGRAM] + self.args, cwd=self.root,
                                       stdin=subprocess.DEVNULL, stdout=write_end, stderr=err,
                                       preexec_fn=at_most_two_processors)
            os.close(write_end)
            wait_until_writing(self, process, "line %d" % line, time.monotonic() + 600)
            # Reading frees the pipe and lets the program go on: the fault comes first.
            fault()
            held = b""
            while len(held) < capacity:
                held += os.read(read_end, capacity - len(held))
            self.assertEqual(held.lstrip(b"\0"), before)
            with os.fdopen(read_end, "rb") as lines:
                rest = b"".join(iter(lines.readline, b""))
            code = process.wait(timeout=600)
            err.seek(0)
            self.assertEqual(err.read(), b"")
        return code, (before + rest).decode()

    def assert_outputs_complete(self, report, expect_failed):
        """Every success has its whole file; failures left nothing in the folder."""
        lines = parse_report(report)
        self.assertEqual(sorted(lines), list(range(1, 11)))
        failed = {i for i, (word, _, _) in lines.items() if word == "失败"}
        self.assertEqual(failed, set(expect_failed))
        present = sorted(os.listdir(self.out)) if os.path.isdir(self.out) else []
        written = sorted(lines[i][1] for i in lines if i not in failed)
        self.assertEqual(present, written)
        for name in present:
            with open(os.path.join(self.out, name), "rb") as f:
                self.assertTrue(complete_image(f.read()), name)
        self.assertIn("| 成功 %d | 失败 %d |" % (10 - len(failed), len(failed)), report)


class Faults(Batch):
    def test_all_ten_go_through_without_a_fault(self):
        code, report = self.run_batch()
        self.assertEqual(code, 0, report)
        self.assert_outputs_complete(report, [])

    def test_a_reader_that_has_gone_away(self):
        # quillmar photos | head -c 20: the report is lost, the batch and its exit
        # code are not.
        read_end, write_end = os.pipe()
        os.close(read_end)
        done = subprocess.run([PROGRAM] + self.args, cwd=self.root, stdin=subprocess.DEVNULL,
                              stdout=write_end, stderr=subprocess.PIPE, timeout=600)
        os.close(write_end)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(sorted(os.listdir(self.out)), sorted(self.names))

    def test_output_folder_deleted_after_the_third_file(self):
        before = snapshot(self.root, self.out)
        code, report = self.run_with_fault_at(3, lambda: shutil.rmtree(self.out))
        self.assertEqual(code, 1, report)
        lines = parse_report(report)
        for i in range(1, 4):
            self.assertEqual(lines[i][0], "成功", report)
        for i in range(4, 11):
            self.assertEqual(lines[i][0], "失败", report)
            self.assertTrue(lines[i][2].endswith("(写入失败)"), report)
        self.assertFalse(os.path.exists(self.out))  # never made again, nothing left behind
        self.assertEqual(snapshot(self.root, self.out), before)

    def test_input_deleted_before_its_turn(self):
        # Files are read ahead of the writing, at most two per processor: while line 1
        # is written on two processors, files 1-4 may have been read, the fifth not.
        fifth = os.path.join(self.inputs, self.names[4])
        code, report = self.run_with_fault_at(1, lambda: os.remove(fifth))
        self.assertEqual(code, 1, report)
        self.assertIn("[5/10] 失败  %s (文件不存在)\n" % self.names[4], report)
        self.assert_outputs_complete(report, [5])

    def test_output_folder_the_program_may_not_write(self):
        prefix = []
        if os.geteuid() == 0:
            if not shutil.which("setpriv"):
                self.skipTest("running as root and setpriv is missing: permissions are not enforced")
            prefix = NOBODY
            if subprocess.run(NOBODY + ["true"]).returncode != 0:
                self.skipTest("setpriv cannot drop root here: permissions are not enforced")
        os.makedirs(self.out)
        os.chmod(self.out, 0o555)
        before = snapshot(self.root, self.out)
        code, report = self.run_batch(prefix)
        self.assertEqual(code, 1, report)
        lines = parse_report(report)
        self.assertEqual(sorted(lines), list(range(1, 11)))
        for i in range(1, 11):
            self.assertEqual(lines[i][0], "失败", report)
            self.assertTrue(lines[i][2].endswith("(写入失败)"), report)
        self.assertEqual(os.listdir(self.out), [])
        self.assertIn("| 成功 0 | 失败 10 |", report)
        self.assertEqual(snapshot(self.root, self.out), before)

    def test_disk_fills_up(self):
        if not shutil.which("unshare"):
            self.skipTest("unshare is missing: no small file system to fill")
        probe = subprocess.run(["unshare", "-rm", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no user and mount namespace here: " + probe.stderr.decode().strip())
        # How much the first four outputs take, in pages, from a run on the real disk.
        code, report = self.run_batch()
        self.assertEqual(code, 0, report)
        sizes = {n: os.path.getsize(os.path.join(self.out, n)) for n in os.listdir(self.out)}
        shutil.rmtree(self.out)
        pages = sum((sizes[n] + 4095) // 4096 for n in self.names[:4])
        os.makedirs(self.out)
        # The big ones from the fifth on no longer fit; the small ones still do.
        self.assertGreater((sizes[self.names[4]] + 4095) // 4096, 8)
        size_kib = (pages + 8) * 4
        result = os.path.join(self.root, "tmpfs.json")
        before = snapshot(self.root, self.out)
        inside = subprocess.run(
            ["unshare", "-rm", sys.executable, os.path.abspath(__file__), "--program", PROGRAM,
             "--inside-tmpfs", str(size_kib), self.out, result, self.root, "--"] + self.args,
            capture_output=True, timeout=600)
        if inside.returncode == 77:
            self.skipTest("no user and mount namespace here: " + inside.stderr.decode())
        self.assertEqual(inside.returncode, 0, inside.stderr.decode())
        with open(result) as f:
            seen = json.load(f)
        os.remove(result)
        report = seen["stdout"]
        self.assertEqual(seen["stderr"], "")
        self.assertEqual(seen["code"], 1, report)
        lines = parse_report(report)
        self.assertEqual(sorted(lines), list(range(1, 11)))
        failed = [i for i in lines if lines[i][0] == "失败"]
        self.assertIn(5, failed, report)  # a JPEG
        self.assertIn(7, failed, report)  # a PNG
        for i in failed:
            self.assertTrue(lines[i][2].endswith("(写入失败)"), report)
        self.assertTrue(any(lines[i][0] == "成功" for i in range(6, 11)), report)
        written = {lines[i][1] for i in lines if lines[i][0] == "成功"}
        self.assertEqual(set(seen["files"]), written)  # nothing of a failed one stays
        for name, (size, complete) in seen["files"].items():
            self.assertEqual(size, sizes[name], name)
            self.assertTrue(complete, name)
        self.assertEqual(snapshot(self.root, self.out), before)

    def test_dangling_link_at_the_output_name(self):
        outside = os.path.join(self.root, "outside")
        os.makedirs(outside)
        os.makedirs(self.out)
        first = self.names[1]
        stem, ext = os.path.splitext(first)
        os.symlink(os.path.join(outside, "target" + ext), os.path.join(self.out, first))
        os.symlink("../outside/target_1" + ext, os.path.join(self.out, stem + "_1" + ext))
        before = snapshot(self.root, self.out)
        code, report = self.run_batch()
        self.assertEqual(code, 0, report)
        self.assertIn("[2/10] 成功  %s  " % first, report)
        self.assertEqual(os.listdir(outside), [])
        self.assertTrue(os.path.isfile(os.path.join(self.out, stem + "_2" + ext)))
        self.assertEqual(os.readlink(os.path.join(self.out, first)),
                         os.path.join(outside, "target" + ext))
        self.assertEqual(len(os.listdir(self.out)), 12)
        self.assertEqual(snapshot(self.root, self.out), before)


class Reliability(Batch):
    """A batch killed, limited or handed odd inputs still leaves only whole images."""

    def output_fds(self, pid):
        """The program's open files inside the output folder (unnamed ones too)."""
        found = []
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                if target.startswith(self.out + "/"):
                    found.append(target)
        except OSError:
            pass
        return found

    def test_killed_while_writing_leaves_nothing_incomplete(self):
        if not os.path.isdir("/proc/self/fd"):
            self.skipTest("no /proc here: cannot tell when the program writes")
        big = os.path.join(self.inputs, "noise.png")
        with open(big, "wb") as f:
            f.write(noise_png(1500, 1500, 7, level=1))
        os.makedirs(self.out)
        process = subprocess.Popen([PROGRAM, "-o", self.out, big], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        give_up = time.monotonic() + 600
        while not self.output_fds(process.pid) and process.poll() is None:
            self.assertLess(time.monotonic(), give_up, "never opened its output")
        process.kill()  # as SIGKILL, Task Manager or a power cut would: no clean-up runs
        process.wait()
        for name in os.listdir(self.out):
            with open(os.path.join(self.out, name), "rb") as f:
                self.assertTrue(complete_image(f.read()), name)

    def test_file_size_limit_fails_the_big_files_only(self):
        import resource
        limit = 8192  # the 300x300 images' outputs are larger, the 12x12 ones far smaller

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        done = subprocess.run([PROGRAM] + self.args, cwd=self.root, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=600, preexec_fn=limited)
        report = done.stdout.decode()
        self.assertEqual((done.returncode, done.stderr), (1, b""), report)
        lines = parse_report(report)
        for i in (1, 3, 5, 7):
            self.assertTrue(lines[i][2].endswith("(写入失败)"), report)
        self.assert_outputs_complete(report, [1, 3, 5, 7])

    def fault_library(self):
        """The fault library's path, for LD_PRELOAD."""
        if SANITIZED:
            self.skipTest("under the sanitizers no fault library can load: their runtime must come first")
        self.assertTrue(FILE_SYSTEM_FAULTS, "no fault library: --file-system-faults LIBRARY")
        return os.path.abspath(FILE_SYSTEM_FAULTS)

    def assert_memory_limited_runs_equal(self, inputs, limits_kib, limit_process):
        """The same reports on one and on two processors under each limit, some of
        them mixed; every failure is the file's own lack of memory."""
        if len(os.sched_getaffinity(0)) < 2:
            self.skipTest("one processor only")
        mixed = 0
        for limit_kib in limits_kib:
            reports = []
            for processors in (1, 2):
                def limited():
                    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:processors])
                    limit_process(limit_kib << 10)
                shutil.rmtree(self.out, ignore_errors=True)
                done = subprocess.run([PROGRAM, "-o", "out"] + inputs, cwd=self.root,
                                      capture_output=True, timeout=600, preexec_fn=limited)
                reports.append(done.stdout.decode())
            self.assertEqual(reports[0], reports[1], "limit %d KiB" % limit_kib)
            lines = parse_report(reports[0]).values()
            words = {word for word, _, _ in lines}
            mixed += words == {"成功", "失败"}
            for word, name, rest in lines:
                if word == "失败":  # the reason is this file's own
                    self.assertTrue(rest.endswith("(Out of memory)"), rest)
        self.assertGreater(mixed, 0, "no limit let some files through and not others")

    def test_memory_limited_runs_equal_on_one_and_two_processors(self):
        if SANITIZED:
            self.skipTest("the sanitizers' shadow memory does not fit an address-space limit")
        import resource
        big = os.path.join(self.inputs, "noise.png")
        with open(big, "wb") as f:
            f.write(noise_png(600, 500, 3, level=1))
        self.assert_memory_limited_runs_equal(
            [os.path.join("in", n) for n in self.names] + [big], range(8 << 10, 30 << 10, 2 << 10),
            lambda limit: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))

    def test_allocation_limited_runs_equal_on_one_and_two_processors(self):
        # A limit on what is allocated, not on address space, as Windows' commit
        # and job limits are: the program can't see it and runs two workers. Five
        # noise images and a larger one: under some limits only the larger one
        # fits no more, where two files at once would fail others too. The limits
        # lie a quarter MiB apart: the batch's own records and threads hold a few
        # KiB that a run in turn does not, so within that much of a file's
        # threshold the two runs may still differ.
        library = self.fault_library()
        inputs = []
        for i, side in enumerate((500, 500, 560, 500, 500, 500)):
            inputs.append(os.path.join("in", "noise%d.png" % i))
            with open(os.path.join(self.root, inputs[-1]), "wb") as f:
                f.write(noise_png(side, side, i, level=1))

        def allocation_limit(limit):
            os.environ["LD_PRELOAD"] = library
            os.environ["QUILLMAR_TEST_ALLOCATION_LIMIT"] = str(limit)
        self.assert_memory_limited_runs_equal(inputs, range(3 << 10, 6 << 10, 256), allocation_limit)

    def test_outputs_reach_the_disk_before_their_names_and_the_summary(self):
        # What a power cut leaves can't be shown here; the order of the calls can:
        # each output's data is flushed before the file gets its name, and the
        # output folder (its names) before the summary is printed.
        strace = shutil.which("strace")
        if not strace:
            self.skipTest("traced with strace on Linux")
        trace = os.path.join(self.root, "trace")
        done = subprocess.run([strace, "-f", "-qq", "-s", "256", "-e",
                               "trace=openat,fdatasync,fsync,linkat,close,write", "-o", trace,
                               PROGRAM] + self.args, cwd=self.root, capture_output=True, timeout=600,
                              env=dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                                       + ":detect_leaks=0"))  # LeakSanitizer can't run traced
        self.assertEqual(done.returncode, 0, done.stderr.decode()[-2000:])
        # Calls of other threads may come between a call and its result
        # ("<unfinished ...>", then "resumed"): a call is taken where it starts.
        flushed, named, folder, folder_flushed, summaries = set(), 0, None, False, 0
        with open(trace) as f:
            for line in f:
                call = line.split(" ", 1)[1].strip()
                started = re.match(r"(\w+)\(([^,)<]*)", call)
                if not started:
                    continue
                name, first = started.group(1), started.group(2).strip()
                if name == "fdatasync":
                    flushed.add(first)
                elif name == "close":
                    flushed.discard(first)
                elif name == "linkat" and call.startswith('linkat(AT_FDCWD, "/proc/self/fd/'):
                    fd = re.match(r'linkat\(AT_FDCWD, "/proc/self/fd/(\d+)"', call).group(1)
                    self.assertIn(fd, flushed, "named before its data was flushed: " + call)
                    named += 1
                elif name == "openat" and ('"%s"' % self.out) in call and "O_DIRECTORY" in call:
                    folder = call.rsplit("= ", 1)[1]
                elif name == "fsync" and first == folder:
                    folder_flushed = True
                elif name == "write" and first == "1" and "\\345\\244\\204\\347\\220\\206" in call:
                    self.assertTrue(folder_flushed, "the summary came before the folder's flush")
                    summaries += 1
        self.assertEqual((named, summaries), (10, 1))

    def test_files_refused_from_their_head_let_their_handle_go_at_once(self):
        # Junk named .jpg, larger than the head the program reads first (so each
        # stays open after it), refused from that head; then the photos. With
        # few descriptors allowed, the photos still open on two processors as
        # on one: a refused file holds no handle once it has failed.
        import resource
        if len(os.sched_getaffinity(0)) < 2:
            self.skipTest("one processor only")
        inputs = []
        for i in range(40):
            inputs.append(os.path.join("in", "junk%02d.jpg" % i))
            with open(os.path.join(self.root, inputs[-1]), "wb") as f:
                f.write(os.urandom(1536 << 10))
        inputs += [os.path.join("in", n) for n in self.names]
        reports = []
        for processors in (1, 2):
            def few_descriptors():
                os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:processors])
                resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24))
            shutil.rmtree(self.out, ignore_errors=True)
            done = subprocess.run([PROGRAM, "-o", "out"] + inputs, cwd=self.root,
                                  capture_output=True, timeout=600, preexec_fn=few_descriptors)
            reports.append(done.stdout.decode())
        self.assertEqual(reports[0], reports[1])
        self.assertIn("| 成功 10 | 失败 40 |", reports[1])

    def test_a_flat_png_holds_its_own_bytes_not_its_worst_case(self):
        # 3000x3000 RGBA: 36 MB of pixels and 36 MB of filtered rows make a file of
        # a few hundred KB, whose block must hold that, not the 64 MiB of the worst case.
        if SANITIZED:
            self.skipTest("the sanitizers' shadow memory does not fit an address-space limit")
        import resource
        flat = os.path.join(self.inputs, "flat.png")
        row = b"\x00" + bytes([90, 140, 200, 255]) * 3000
        with open(flat, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n"
                    + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 3000, 3000, 8, 6, 0, 0, 0))
                    + png_chunk(b"IDAT", zlib.compress(row * 3000, 9)) + png_chunk(b"IEND", b""))

        def limited():
            limit = 88 << 20
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

        done = subprocess.run([PROGRAM, "-o", self.out, flat], capture_output=True, timeout=600,
                              preexec_fn=limited)
        report = done.stdout.decode()
        self.assertEqual((done.returncode, done.stderr), (0, b""), report)
        self.assertIn("[1/1] 成功  flat.png  ", report)

    def test_a_jpeg_that_stays_a_jpeg_takes_less_memory_than_its_planes(self):
        # A 6-megapixel photo-like JPEG, 4:2:0: 9 MB of planes, 18 MB of
        # coefficients in the library's layout. Baseline, it is decoded an MCU row
        # at a time as the writer asks (the whole planes need 12 MiB here);
        # progressive, its coefficients take a byte each where they fit (two
        # bytes need 24 MiB). The limit counts what is allocated, as Windows'
        # commit limit does, not what is touched.
        library = self.fault_library()
        source = os.path.join(self.root, "plasma.jpg")
        subprocess.run(["convert", "-seed", "1", "-size", "750x500", "plasma:fractal",
                        "-resize", "3000x2000!", "-quality", "85", source], check=True)
        for name, interlace, limit_mib in (("baseline.jpg", "none", 6), ("progressive.jpg", "JPEG", 18)):
            path = os.path.join(self.inputs, name)
            subprocess.run(["convert", source, "-interlace", interlace, "-quality", "85", path], check=True)
            environment = dict(os.environ, LD_PRELOAD=library,
                               QUILLMAR_TEST_ALLOCATION_LIMIT=str(limit_mib << 20))
            done = subprocess.run([PROGRAM, "-o", self.out, path], capture_output=True, timeout=600,
                                  env=environment)
            self.assertIn("[1/1] 成功  %s  3000x2000" % name, done.stdout.decode(), limit_mib)

    def test_a_jpeg_far_larger_than_an_allocation_limit_compresses_under_it(self):
        # A 24-megapixel photo with sensor-like noise at quality 95: its file is
        # more than twice the limit, its output nearly the limit. Both pass
        # through a window: the file is read as it is decoded, the output
        # written as it is encoded.
        library = self.fault_library()
        path = os.path.join(self.inputs, "camera.jpg")
        subprocess.run(["convert", "-seed", "1", "-size", "1500x1000", "plasma:fractal",
                        "-resize", "6000x4000!", "-seed", "2", "-attenuate", "0.6",
                        "+noise", "Gaussian", "-quality", "95", "-sampling-factor", "2x2", path],
                       check=True)
        limit = 5 << 20
        self.assertGreater(os.path.getsize(path), 2 * limit)
        environment = dict(os.environ, LD_PRELOAD=library,
                           QUILLMAR_TEST_ALLOCATION_LIMIT=str(limit))
        done = subprocess.run([PROGRAM, "-o", self.out, path], capture_output=True, timeout=600,
                              env=environment)
        self.assertIn("[1/1] 成功  camera.jpg  6000x4000", done.stdout.decode())
        self.assertGreater(os.path.getsize(os.path.join(self.out, "camera.jpg")), limit * 3 // 4)

    def test_a_long_run_of_fill_bytes_is_passed_not_held(self):
        # 48 MiB of 0xFF fill before the end of a photo's image data, which the
        # decoder skips: it is read past under a 16 MiB allocation limit, and
        # the output is the photo's own.
        library = self.fault_library()
        photo = os.path.join(self.inputs, "photo.jpg")
        subprocess.run(["convert", "-seed", "1", "-size", "1200x900", "plasma:fractal",
                        "-quality", "95", photo], check=True)
        with open(photo, "rb") as f:
            data = f.read()
        padded = os.path.join(self.inputs, "padded.jpg")
        with open(padded, "wb") as f:
            f.write(data[:-1] + b"\xff" * (48 << 20) + data[-1:])
        outputs = []
        for path in (photo, padded):
            done = subprocess.run([PROGRAM, "-o", self.out, path], capture_output=True,
                                  timeout=600, env=dict(os.environ, LD_PRELOAD=library,
                                                        QUILLMAR_TEST_ALLOCATION_LIMIT=str(16 << 20)))
            self.assertIn("[1/1] 成功", done.stdout.decode())
            with open(os.path.join(self.out, os.path.basename(path)), "rb") as f:
                outputs.append(f.read())
        self.assertEqual(outputs[0], outputs[1])

    def test_a_jpeg_cut_while_it_is_read_gives_what_its_bytes_give(self):
        # Past its head, a large JPEG is read twice (its checks, then its
        # decode): cut before the second read (in what a camera appended after
        # the picture), it is compressed as the file it is now, with that size,
        # exactly as a copy of what is left.
        library = self.fault_library()
        photo = os.path.join(self.inputs, "cut-while-read.jpg")
        subprocess.run(["convert", "-seed", "1", "-size", "1200x900", "plasma:fractal",
                        "-attenuate", "0.6", "+noise", "Gaussian", "-quality", "95", photo],
                       check=True)
        with open(photo, "ab") as f:
            f.write(os.urandom(2 << 20))
        with open(photo, "rb") as f:
            left = f.read()[:os.path.getsize(photo) - (1 << 20)]
        copy = os.path.join(self.inputs, "left.jpg")
        with open(copy, "wb") as f:
            f.write(left)
        seen = []
        for n, path in enumerate((photo, copy)):
            out = os.path.join(self.root, "out%d" % n)
            done = subprocess.run([PROGRAM, "-o", out, path], capture_output=True, timeout=600,
                                  env=dict(os.environ, LD_PRELOAD=library,
                                           QUILLMAR_TEST_CUT_AT=str(len(left))))
            line = [line for line in done.stdout.decode().splitlines() if "[1/1]" in line][0]
            self.assertIn("成功", line)
            with open(os.path.join(out, os.path.basename(path)), "rb") as f:
                seen.append((line.split("  ", 2)[2], f.read()))
        self.assertEqual(seen[0], seen[1])

    def test_a_file_written_over_while_it_is_read_is_compressed_from_one_version(self):
        # Another program saves over a queued photo (A becomes B, shorter) while
        # its head, its rest, or the checks and the decode of a JPEG read as it
        # is decoded are read: the output and the line are those of B alone,
        # never a head of one and a rest of the other. One that keeps being
        # written over fails with its reason. (No read follows a PNG's rest.)
        library = self.fault_library()
        versions = {}
        for ext, side in (("jpg", 1200), ("png", 1100)):
            for seed, name in ((1, "a"), (2, "b")):
                path = os.path.join(self.root, "%s.%s" % (name, ext))
                with open(path, "wb") as f:
                    f.write(noise_png(side, side - 100 * seed, seed, level=1))
                if ext == "jpg":
                    subprocess.run([PROGRAM, "-q", "95", "-o", self.root + "/q95", path],
                                   check=True, stdout=subprocess.DEVNULL)
                    os.replace(os.path.join(self.root, "q95", os.path.basename(path)), path)
            versions[ext] = [os.path.join(self.root, n + "." + ext) for n in ("a", "b")]
            self.assertGreater(os.path.getsize(versions[ext][1]), (2 << 20) + 4096)
            self.assertGreater(os.path.getsize(versions[ext][0]), os.path.getsize(versions[ext][1]))

        def run(ext, source, at, nth, name="rewritten-while-read"):
            photo = os.path.join(self.root, "in", "%s.%s" % (name, ext))
            shutil.copyfile(source, photo)
            out = os.path.join(self.root, "out-%s-%d-%s" % (ext, at, nth))
            done = subprocess.run(
                [PROGRAM, "-o", out, photo], capture_output=True, timeout=600,
                env=dict(os.environ, LD_PRELOAD=library, QUILLMAR_TEST_REWRITE_AT=str(at),
                         QUILLMAR_TEST_REWRITE_NTH=nth,
                         QUILLMAR_TEST_REWRITE_WITH=":".join(reversed(versions[ext]))))
            line = [line for line in done.stdout.decode().splitlines() if "[1/1]" in line][0]
            output = os.path.join(out, os.path.basename(photo))
            data = None
            if os.path.exists(output):
                with open(output, "rb") as f:
                    data = hashlib.sha256(f.read()).hexdigest()
            return line.replace(os.path.basename(photo), "*"), data

        for ext, at, nth in (("jpg", 0, "2"), ("jpg", 1 << 20, "1"), ("jpg", 0, "3"),
                             ("png", 1 << 20, "1"), ("png", 2 << 20, "1")):
            with self.subTest(ext=ext, at=at, nth=nth):
                self.assertEqual(run(ext, versions[ext][0], at, nth),
                                 run(ext, versions[ext][1], at, "0", name="b-as-it-is"))
        for ext, nth in (("jpg", "2+"), ("png", "1+")):
            with self.subTest(ext=ext, nth=nth):
                self.assertEqual(run(ext, versions[ext][0], 0, nth),
                                 ("[1/1] 失败  * (文件在读取时被改写)", None))

    def test_a_folder_that_cannot_be_opened_is_skipped_and_the_walk_goes_on(self):
        library = self.fault_library()
        tree = os.path.join(self.root, "tree")
        for i in range(20):
            if i == 10:
                os.makedirs(os.path.join(tree, "vanishing"))  # listed, never opened
            os.makedirs(os.path.join(tree, "s%d" % i))
            shutil.copyfile(os.path.join(self.inputs, self.names[1]),
                            os.path.join(tree, "s%d" % i, self.names[1]))
        env = dict(os.environ, LD_PRELOAD=library)
        done = subprocess.run([PROGRAM, "-r", "-o", self.out, tree], capture_output=True,
                              timeout=600, env=env)
        self.assertEqual(done.returncode, 0, done.stdout.decode())
        self.assertIn("共 20 张 | 成功 20 |", done.stdout.decode())
        # Not a refused permission: the list may lack its images, and the run says so.
        self.assertEqual(done.stderr.decode(), "警告: 文件夹未能完整列出, 其中的图片可能不全: %s\n"
                         % os.path.join(tree, "vanishing"))

    def test_without_unnamed_files_outputs_go_through_a_temporary_name(self):
        library = self.fault_library()
        out = os.path.join(self.root, "no-unnamed-files")
        env = dict(os.environ, LD_PRELOAD=library)
        for run in range(2):
            done = subprocess.run([PROGRAM, "-o", out] + self.args[4:], cwd=self.root,
                                  capture_output=True, timeout=600, env=env)
            self.assertEqual(done.returncode, 0, done.stdout.decode())
        expected = self.names + ["%s_1%s" % os.path.splitext(n) for n in self.names]
        self.assertEqual(sorted(os.listdir(out)), sorted(expected))  # no temporary file left
        for name in expected:
            with open(os.path.join(out, name), "rb") as f:
                self.assertTrue(complete_image(f.read()), name)

    def mount_fat(self):
        """A fresh FAT32 image mounted through FUSE (fusefat), as a camera card is on
        Linux without the vfat module: no O_TMPFILE, no hard links, and a rename
        that replaces (RENAME_NOREPLACE refused). Unmounted after the test."""
        if not os.path.exists("/dev/fuse"):
            self.skipTest("no /dev/fuse here: no FAT file system can be mounted through FUSE")
        for tool in ("fusefat", "mkfs.vfat"):
            self.assertIsNotNone(shutil.which(tool), tool + " is missing: tools/install-deps.sh")
        image, mount = os.path.join(self.root, "card.img"), os.path.join(self.root, "card")
        with open(image, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(["mkfs.vfat", "-F", "32", image], check=True, capture_output=True)
        os.makedirs(mount)
        # hard_remove: a file removed just after it was read is gone at once, not
        # renamed .fuse_hidden* until FUSE hears it closed (a race with the listings).
        subprocess.run(["fusefat", "-o", "rw+,hard_remove", image, mount], check=True,
                       capture_output=True)
        self.assertTrue(os.path.ismount(mount), "fusefat did not mount " + image)
        fusermount = shutil.which("fusermount") or shutil.which("fusermount3")
        self.addCleanup(subprocess.run, [fusermount, "-u", mount] if fusermount else
                        ["umount", mount], capture_output=True)
        return mount

    def test_on_fat_through_fuse_an_output_appears_only_whole(self):
        card = self.mount_fat()
        self.out = os.path.join(card, "out")
        # Never written under its own name: the output arrives there by a rename of
        # its flushed temporary, and nothing at a name is replaced (FAT compares
        # names without case, and its rename would replace).
        os.makedirs(self.out)
        with open(os.path.join(self.out, "01-BIG.JPG"), "wb") as f:
            f.write(b"not ours")
        strace = shutil.which("strace")
        self.assertIsNotNone(strace, "strace is missing: tools/install-deps.sh")
        trace = os.path.join(self.root, "trace")
        self.args = ["-q", "80", "-o", self.out] + self.args[4:]
        done = subprocess.run([strace, "-f", "-qq", "-e", "trace=openat,rename", "-o", trace,
                               PROGRAM] + self.args, cwd=self.root, capture_output=True, timeout=600,
                              env=dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                                       + ":detect_leaks=0"))
        self.assertEqual(done.returncode, 0, (done.stdout + done.stderr).decode())
        with open(trace) as f:
            calls = f.read()
        outputs = ["01-big_1.jpg"] + self.names[1:]
        for name in outputs:
            opened = [c for c in calls.splitlines() if '"%s/%s"' % (self.out, name) in c
                      and "openat(" in c]
            self.assertEqual(opened, [], "written in place")
            # Another thread's call may come between the call and its result.
            self.assertTrue(re.search(r'rename\(".*/\.quillmar-unfinished-[^"]*", "%s/%s"'
                                      % (re.escape(self.out), re.escape(name)), calls),
                            [c for c in calls.splitlines() if name in c])
        with open(os.path.join(self.out, "01-BIG.JPG"), "rb") as f:
            self.assertEqual(f.read(), b"not ours")
        os.remove(os.path.join(self.out, "01-BIG.JPG"))
        self.assertEqual(sorted(os.listdir(self.out)), sorted(outputs))

        # Killed as soon as an output name appears, in a run of three large ones:
        # the names hold whole images, and at most a hidden temporary is left.
        shutil.rmtree(self.out)
        large = []
        for i in range(3):
            large.append(os.path.join(self.inputs, "large-%d.png" % i))
            with open(large[-1], "wb") as f:
                f.write(noise_png(1000, 1000, i, level=1))
        for kill_at in range(1, 4):
            os.makedirs(self.out)
            process = subprocess.Popen([PROGRAM, "-o", self.out] + large,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            shown = []
            while len(shown) < kill_at and process.poll() is None:
                shown = [n for n in os.listdir(self.out) if not n.startswith(".")]
            process.kill()
            process.wait()
            for name in os.listdir(self.out):
                if name.startswith("."):
                    self.assertRegex(name, r"^\.quillmar-unfinished-\d+-\d+\.tmp$")
                    continue
                with open(os.path.join(self.out, name), "rb") as f:
                    self.assertTrue(complete_image(f.read()), "cut: %s, kill %d" % (name, kill_at))
            shutil.rmtree(self.out)

    def test_a_fifo_named_like_an_image_fails_at_once(self):
        fifo = os.path.join(self.inputs, "x.jpg")
        os.mkfifo(fifo)
        done = subprocess.run([PROGRAM, "-o", self.out, fifo,
                               os.path.join(self.inputs, self.names[1])],
                              capture_output=True, timeout=60)
        report = done.stdout.decode()
        self.assertEqual(done.returncode, 1, report)
        self.assertIn("[1/2] 失败  x.jpg (不是普通文件)\n", report)
        self.assertIn("[2/2] 成功  %s  " % self.names[1], report)

    def test_outputs_keep_who_may_read_the_input(self):
        private, shared = (os.path.join(self.inputs, n) for n in self.names[1:3])
        os.chmod(private, 0o600)
        os.chmod(shared, 0o644)
        done = subprocess.run([PROGRAM, "-o", self.out, private, shared], capture_output=True,
                              timeout=60, preexec_fn=lambda: os.umask(0o022))
        self.assertEqual(done.returncode, 0, done.stdout.decode())
        modes = [stat.S_IMODE(os.stat(os.path.join(self.out, n)).st_mode) for n in self.names[1:3]]
        self.assertEqual(modes, [0o600, 0o644])

    def test_a_private_input_moved_after_its_read_gives_a_private_output(self):
        # The fault library makes the name vanish for stat() once it is opened.
        library = self.fault_library()
        private = os.path.join(self.inputs, "moved-after-open.png")
        shutil.copyfile(os.path.join(self.inputs, self.names[1]), private)
        os.chmod(private, 0o600)
        env = dict(os.environ, LD_PRELOAD=library)
        done = subprocess.run([PROGRAM, "-o", self.out, private], capture_output=True,
                              timeout=60, env=env, preexec_fn=lambda: os.umask(0o022))
        self.assertEqual(done.returncode, 0, done.stdout.decode())
        mode = os.stat(os.path.join(self.out, "moved-after-open.png")).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)


def inside_tmpfs(size_kib, out, result, cwd, args):
    """In a fresh user and mount namespace: a small tmpfs as the output folder,
    the batch, and what it left there, written to result."""
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kib, "tmpfs", out],
                           capture_output=True)
    if mount.returncode != 0:
        sys.stderr.write(mount.stderr.decode())
        return 77
    done = subprocess.run([PROGRAM] + args, cwd=cwd, capture_output=True, timeout=600)
    files = {}
    for name in os.listdir(out):
        with open(os.path.join(out, name), "rb") as f:
            data = f.read()
        files[name] = (len(data), complete_image(data))
    with open(result, "w") as f:
        json.dump({"code": done.returncode, "stdout": done.stdout.decode(),
                   "stderr": done.stderr.decode(), "files": files}, f)
    return 0


def main():
    global PROGRAM, SANITIZED, FILE_SYSTEM_FAULTS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--inside-tmpfs", nargs=4, metavar=("KIB", "OUT", "RESULT", "CWD"))
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("--file-system-faults")
    options, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(options.program)
    SANITIZED = options.sanitized
    FILE_SYSTEM_FAULTS = options.file_system_faults
    if options.inside_tmpfs:
        size, out, result, cwd = options.inside_tmpfs
        return inside_tmpfs(int(size), out, result, cwd, rest[1:] if rest[:1] == ["--"] else rest)
    return run_cases([sys.argv[0]] + rest)


if __name__ == "__main__":
    sys.exit(main())
