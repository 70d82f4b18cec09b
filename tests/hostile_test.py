#!/usr/bin/env python3
"""Hostile inputs through the real program (Linux):
    hostile_test.py --program build/asan/quillmar [--sanitized]

The fuzz reproducers of tests/regression/ and tests/corpus/'s PNG crashers,
headers that claim 100000x100000 pixels, empty, one-byte and cut-off files.
Each file gets its report line, succeeds with a whole output or fails with a
text, and the run leaves no partial output and (under the sanitizers) no report
on standard error. Peak memory is measured with wait4.
"""
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

from batch_support import complete_image, png_chunk, program_options
from run_cases import run_cases

HERE = os.path.dirname(os.path.abspath(__file__))
REGRESSION = os.path.join(HERE, "regression")
DATA = os.path.join(HERE, "data")
CRASHERS = os.path.join(HERE, "corpus", "png-crashers")
STB_ISSUES = os.path.join(HERE, "corpus", "stb-issues")
PROGRAM = None
SANITIZED = False
PEAK_LIMIT_KIB = 300 * 1024


def png(width, height, color_type=2):
    ihdr = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"IDAT", zlib.compress(b"\0" * 64)) + png_chunk(b"IEND", b""))


def jpeg_claiming(width, height):
    """tests/data/rgb.jpg with its frame header (SOF0) changed to claim width x height."""
    with open(os.path.join(DATA, "rgb.jpg"), "rb") as f:
        data = bytearray(f.read())
    at = 2
    while data[at + 1] != 0xC0:
        at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    struct.pack_into(">HH", data, at + 5, height, width)
    return bytes(data)


class Run:
    def __init__(self, code, out, err, peak_kib):
        self.code, self.out, self.err, self.peak_kib = code, out, err, peak_kib

    def lines(self):
        """{name: (word, rest)} of the image lines."""
        found = {}
        for line in self.out.splitlines():
            if line.startswith("[") and "] " in line:
                word, rest = line.split("] ", 1)[1].split("  ", 1)
                name = rest.split("  ")[0]
                if word == "失败":
                    name, rest = rest.rsplit(" (", 1)
                    rest = rest.rstrip(")")
                found[name] = (word, rest)
        return found


class Hostile(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillmar-hostile-")
        self.out = os.path.join(self.dir, "out")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_program(self, *args, env=None):
        """Runs the program; the peak resident memory comes from wait4."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([PROGRAM] + list(args), cwd=self.dir, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err, env=env)
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
            out.seek(0)
            err.seek(0)
            return Run(process.returncode, out.read().decode(), err.read().decode(), usage.ru_maxrss)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def assert_batch_keeps_its_promises(self, run, files):
        self.assertEqual(run.err, "")  # no sanitizer report
        lines = run.lines()
        self.assertEqual(sorted(lines), sorted(os.path.basename(f) for f in files), run.out)
        failed = [n for n, (word, _) in lines.items() if word == "失败"]
        for name in failed:
            self.assertTrue(lines[name][1], "a failure without a text: " + name)
        self.assertEqual(run.code, 1 if failed else 0)
        written = sorted(os.listdir(self.out)) if os.path.isdir(self.out) else []
        self.assertEqual(len(written), len(files) - len(failed))
        for name in written:
            with open(os.path.join(self.out, name), "rb") as f:
                self.assertTrue(complete_image(f.read()), name)
        return lines

    def test_fuzz_reproducers_and_lying_headers(self):
        files = sorted(os.path.join(REGRESSION, n) for n in os.listdir(REGRESSION))
        run = self.run_program("-o", self.out, *files)
        lines = self.assert_batch_keeps_its_promises(run, files)
        self.assertEqual(lines["jpeg-dht-over-256-codes.jpg"], ("失败", "Corrupt JPEG"))
        self.assertEqual(lines["jpeg-sof-65535x65535.jpg"], ("失败", "图片尺寸过大"))
        self.assertLess(run.peak_kib, PEAK_LIMIT_KIB)

    def test_png_crashers_of_the_corpus(self):
        files = sorted(os.path.join(CRASHERS, n) for n in os.listdir(CRASHERS))
        run = self.run_program("-o", self.out, "-q", "100", *files)
        self.assert_batch_keeps_its_promises(run, files)
        self.assertLess(run.peak_kib, PEAK_LIMIT_KIB)

    def test_stb_issue_reproducers_named_jpg_and_png(self):
        files = []
        for name in sorted(os.listdir(STB_ISSUES)):
            if name.startswith("stb"):
                for ending in (".jpg", ".png"):  # links: the corpus is read where it is
                    files.append(os.path.join(self.dir, name + ending))
                    os.symlink(os.path.join(os.path.abspath(STB_ISSUES), name), files[-1])
        run = self.run_program("-o", self.out, *files)
        lines = self.assert_batch_keeps_its_promises(run, files)
        self.assertLess(run.peak_kib, PEAK_LIMIT_KIB)
        self.assertEqual(lines["stb1859-pic-null-deref.pic.png"],
                         ("失败", "Image not of any known type, or corrupt"))
        for name in ("stb1538-gif-two-back-wild-read.gif.jpg", "stb1876-gif-header-1gb-alloc.gif.png"):
            self.assertEqual(lines[name], ("失败", "图片尺寸过大"))

    def test_header_claiming_100000_by_100000_pixels(self):
        for name, data, text in (
                ("huge-rgb.png", png(100000, 100000, 2), "Image too large to decode"),
                ("huge-gray.png", png(100000, 100000, 0), "Image too large to decode"),
                ("huge-palette.png", png(100000, 100000, 3), "Corrupt PNG"),
                # A JPEG frame holds 16 bits a side: 65535 is the most it can claim.
                ("huge.jpg", jpeg_claiming(65535, 65535), "图片尺寸过大"),
                # Within the decoder's own limit, but 805 MB of samples from 3 KB.
                ("big.jpg", jpeg_claiming(16384, 16384), "图片尺寸过大"),
                ("big.png", png(20000, 20000, 0), "图片尺寸过大")):
            with self.subTest(name):
                path = self.write(name, data)
                run = self.run_program(path, "-o", self.out)
                self.assertEqual(run.err, "")
                self.assertEqual(run.code, 1, run.out)
                self.assertEqual(run.lines(), {name: ("失败", text)})
                self.assertLess(run.peak_kib, PEAK_LIMIT_KIB)
                self.assertEqual(os.listdir(self.out), [])

    def test_large_files_refused_by_their_head_are_not_read(self):
        # 1 GiB each (sparse): no image at all, a header the library refuses, and
        # one the PNG writer could not encode.
        gif = b"GIF89a" + struct.pack("<HHBBB", 65535, 65535, 0, 0, 0)
        files = []
        for name, head in (("zeros.png", b""), ("huge.png", png(100000, 100000, 0)), ("gif.png", gif)):
            files.append(self.write(name, head))
            os.truncate(files[-1], 1 << 30)
        run = self.run_program("-o", self.out, *files)
        self.assertEqual(run.lines(), {"zeros.png": ("失败", "Image not of any known type, or corrupt"),
                                       "huge.png": ("失败", "Image too large to decode"),
                                       "gif.png": ("失败", "图片尺寸过大")})
        self.assertLess(run.peak_kib, PEAK_LIMIT_KIB)

    def test_jpeg_padded_with_empty_scans(self):
        # The decoder goes over the whole image once per scan; no encoder writes
        # hundreds. 256 scans pass the check, 257 are refused before decoding.
        with open(os.path.join(DATA, "rgb.jpg"), "rb") as f:
            jpeg = f.read()
        at = jpeg.index(b"\xff\xda")
        header = jpeg[at:at + 2 + struct.unpack(">H", jpeg[at + 2:at + 4])[0]]
        assert jpeg.endswith(b"\xff\xd9")
        for name, extra, allowed in (("255-more.jpg", 255, True), ("256-more.jpg", 256, False)):
            with self.subTest(name):
                path = self.write(name, jpeg[:-2] + header * extra + b"\xff\xd9")
                run = self.run_program(path, "-o", self.out)
                self.assertEqual(run.err, "")
                word, text = run.lines()[name]
                if allowed:
                    self.assertNotEqual(text, "JPEG扫描次数过多")
                else:
                    self.assertEqual((run.code, word, text), (1, "失败", "JPEG扫描次数过多"))

    def test_empty_single_byte_and_cut_off_files(self):
        with open(os.path.join(DATA, "rgb.jpg"), "rb") as f:
            jpeg = f.read()
        with open(os.path.join(DATA, "rgba.png"), "rb") as f:
            png_data = f.read()
        files = [self.write("empty.jpg", b""), self.write("empty.png", b""),
                 self.write("one.jpg", b"\xff"), self.write("one.png", b"\x89")]
        for cut in (2, 3, 20, len(jpeg) // 2, len(jpeg) - 2):
            files.append(self.write("cut%d.jpg" % cut, jpeg[:cut]))
        for cut in (8, 16, 33, len(png_data) // 2, len(png_data) - 12):
            files.append(self.write("cut%d.png" % cut, png_data[:cut]))
        run = self.run_program("-o", self.out, *files)
        lines = self.assert_batch_keeps_its_promises(run, files)
        for name in ("empty.jpg", "empty.png", "one.jpg", "one.png"):
            self.assertEqual(lines[name], ("失败", "Image not of any known type, or corrupt"))
        for name in ("cut%d.png" % (len(png_data) // 2), "cut%d.png" % (len(png_data) - 12)):
            self.assertEqual(lines[name][0], "失败")

    def test_output_does_not_depend_on_leftover_memory(self):
        if not SANITIZED:
            self.skipTest("needs the sanitizer allocator to fill new blocks")
        files = sorted(os.path.join(REGRESSION, n) for n in os.listdir(REGRESSION))
        files += sorted(os.path.join(CRASHERS, n) for n in os.listdir(CRASHERS))
        outputs = []
        for byte in (0, 0xAA):
            env = dict(os.environ)
            env["ASAN_OPTIONS"] = ("%s:malloc_fill_byte=%d:max_malloc_fill_size=%d" %
                                   (env.get("ASAN_OPTIONS", ""), byte, 1 << 30)).lstrip(":")
            out = os.path.join(self.dir, "fill%d" % byte)
            run = self.run_program("-o", out, *files, env=env)
            self.assertEqual(run.err, "")
            contents = {}
            for name in os.listdir(out):
                with open(os.path.join(out, name), "rb") as f:
                    contents[name] = f.read()
            outputs.append((run.out.replace(out, "OUT"), contents))
        self.assertEqual(outputs[0], outputs[1])


def main():
    global PROGRAM, SANITIZED
    PROGRAM, SANITIZED, argv = program_options()
    return run_cases(argv)


if __name__ == "__main__":
    raise SystemExit(main())
