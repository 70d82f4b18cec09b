#!/usr/bin/env python3
"""End-to-end tests of the command-line batch on the real program.

Runs natively (quillmar) or under Wine (Quillmar.exe) with the same expected
bytes on standard output and standard error:
    cli_test.py --program build/native/quillmar
    cli_test.py --program build/windows/Quillmar.exe --wine tools/wine-run.sh PREFIX
and compares the exe in the download zip with the program built here:
    cli_test.py --program build/windows/Quillmar.exe --wine ... --packaged ZIP PackagedProgram
"""
import argparse
import atexit
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from run_cases import run_cases

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
PROGRAM = None
WINE = None  # [runner, prefix] under Wine
PACKAGED = None  # Quillmar.exe taken out of the download zip
PACKAGED_ZIP = None  # the download zip itself
LAUNCHER = None  # under Wine: starts the program with a command line as typed

HELP_WINDOWS = (
    "Quillmar工具 v2.0 (GUI版) - 本地批量压缩 JPG / PNG\n"
    "不缩放分辨率, 不覆盖原图\n"
    "\n"
    "直接双击程序: 打开图形界面(GUI), 可设置质量/输出目录/递归选项\n"
    "把图片或文件夹拖到程序图标上: 直接批量压缩(默认质量 80)\n"
    "\n"
    "命令行用法:\n"
    "  Quillmar.exe <输入路径...> [选项]\n"
    "\n"
    "  输入路径: 一个或多个图片文件或文件夹;\n"
    "            文件夹会自动收集其中所有 .jpg / .jpeg / .png 图片\n"
    "\n"
    "选项:\n"
    "  -q, --quality <0~100>  压缩质量, 默认 80。\n"
    "  -o, --out <目录>       输出文件夹, 默认 ./compressed, 自动创建。\n"
    "  -r, --recursive        递归遍历输入文件夹的子目录。\n"
    "  -h, --help             显示本帮助。\n"
    "\n"
    "说明:\n"
    "  * 输出文件与源文件同名; 若输出目录中已有同名文件, 自动追加\n"
    "    _1 / _2 ... 后缀, 绝不会覆盖任何已有文件(包括原始图片)。\n"
    "  * 退出码: 0 = 全部成功, 1 = 存在失败项, 2 = 参数或路径错误。\n"
).encode()
# The Linux program has no dialog and no icon: its help names it and leaves those out.
HELP_LINUX = (HELP_WINDOWS
              .replace("直接双击程序: 打开图形界面(GUI), 可设置质量/输出目录/递归选项\n"
                       "把图片或文件夹拖到程序图标上: 直接批量压缩(默认质量 80)\n\n".encode(), b"")
              .replace(b"  Quillmar.exe <", b"  quillmar <"))
HELP = None  # the help of the program under test
RULE = "=" * 40 + "\n"
PROMPT = "\n按任意键退出..."

# (width, height, channel label) of the images under tests/data
IMAGES = {
    "gray.jpg": (61, 37, "灰度(1通道)"),
    "rgb.jpg": (80, 60, "RGB(3通道)"),
    "rgba.png": (48, 40, "RGBA(4通道)"),
    "ga.png": (33, 21, "灰度+Alpha(2通道)"),
}


def format_size(n):
    # Python's fixed-point formatting rounds the exact binary value, halves to even.
    if n >= 1 << 30:
        return "%.2f GB" % (n / (1 << 30))
    if n >= 1 << 20:
        return "%.2f MB" % (n / (1 << 20))
    if n >= 1 << 10:
        return "%.1f KB" % (n / (1 << 10))
    return "%d B" % n


def to_windows(path):
    """A Linux path as Wine's drive Z: shows it."""
    return "Z:" + path.replace("/", "\\")


def saving(inp, out):
    return 0.0 if inp == 0 else (1.0 - out / inp) * 100.0


class Run:
    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr

    def report(self):
        """Standard output as text, without the closing prompt of Windows."""
        text = self.out.decode()
        if WINE:
            assert text.endswith(PROMPT), text[-40:]
            text = text[: -len(PROMPT)]
        return text


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillmar-cli-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_program(self, *args, merged=False, program=None):
        """merged: standard error into the same file as standard output (2>&1)."""
        command = ([WINE[0], WINE[1]] if WINE else []) + [program or PROGRAM] + list(args)
        # Files rather than pipes: Wine's helper processes inherit the streams and
        # would hold a pipe open for seconds after the program itself has ended.
        for attempt in range(2):
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                done = subprocess.run(command, cwd=self.dir, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=out if merged else err, timeout=120)
                out.seek(0)
                err.seek(0)
                done.stdout, done.stderr = out.read(), err.read()
            # Once, right after the prefix was made, Wine failed to start the program
            # (exit code 1, not a byte written: its own error is muted by WINEDEBUG).
            # Every run of ours writes something, so such a run is Wine's, not ours.
            if not (WINE and done.returncode == 1 and not done.stdout and not done.stderr):
                break
        return Run(done)

    def run_command_line(self, line):
        """Windows: the program started with this command line, byte for byte."""
        self.assertTrue(LAUNCHER, "--launcher names the exe that hands a command line over")
        env = dict(os.environ, QUILLMAR_EXE=to_windows(PROGRAM), QUILLMAR_COMMAND_LINE=line)
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([WINE[0], WINE[1], LAUNCHER], cwd=self.dir, env=env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120)
            out.seek(0)
            err.seek(0)
            done.stdout, done.stderr = out.read(), err.read()
        return Run(done)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def copy(self, name, as_name=None, folder="."):
        os.makedirs(self.path(folder), exist_ok=True)
        target = self.path(folder, as_name or name)
        shutil.copyfile(os.path.join(DATA, name), target)
        return target

    def write(self, relative, data=b"x"):
        os.makedirs(os.path.dirname(self.path(relative)) or self.dir, exist_ok=True)
        with open(self.path(relative), "wb") as f:
            f.write(data)

    def assert_error(self, run, stderr_text, stdout=b""):
        self.assertEqual(run.err.decode(), stderr_text)
        self.assertEqual(run.out, stdout)
        self.assertEqual(run.code, 2)

    def success_line(self, i, n, shown, source, written):
        w, h, label = IMAGES[source]
        inp = os.path.getsize(self.path(shown))
        out = os.path.getsize(written)
        p = saving(inp, out)
        word = "节省" if p >= 0 else "增大"
        return "[%d/%d] 成功  %s  %dx%d %s  %s -> %s  %s %.1f%%\n" % (
            i, n, shown, w, h, label, format_size(inp), format_size(out), word, abs(p))


class HelpAndOptions(CliTest):
    def test_help_in_both_forms_wins_over_everything_after_it(self):
        self.copy("rgb.jpg")
        for args in (["-h"], ["--help"], ["rgb.jpg", "-h"], ["-h", "--bogus"], ["-q", "5", "--help", "-q"]):
            run = self.run_program(*args)
            self.assertEqual((run.out, run.err, run.code), (HELP, b"", 0), args)
        self.assertFalse(os.path.exists(self.path("compressed")))

    def test_options_without_inputs_show_the_help_with_code_2(self):
        for args in (["-r"], ["-q", "50", "-o", "out"], ["-r", "--recursive"]):
            run = self.run_program(*args)
            self.assertEqual((run.out, run.err, run.code), (HELP, b"", 2), args)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_unknown_option_is_named_then_the_help(self):
        self.copy("rgb.jpg")
        for bad in ("--quality=80", "-q80", "-x", "--Help", "-H"):
            run = self.run_program(bad, "rgb.jpg")
            self.assert_error(run, "错误: 未知选项: %s\n" % bad, HELP)
        # An error before -h wins over the help.
        self.assert_error(self.run_program("-z", "-h"), "错误: 未知选项: -z\n", HELP)
        # In one file (2>&1) the error line comes first, also where the C runtime
        # buffers a redirected standard error (Windows).
        self.assertEqual(self.run_program("-x", "rgb.jpg", merged=True).out,
                         "错误: 未知选项: -x\n".encode() + HELP)

    def test_options_missing_their_values(self):
        self.copy("rgb.jpg")
        for flag in ("-q", "--quality"):
            self.assert_error(self.run_program("rgb.jpg", flag), "错误: -q 缺少质量参数\n")
        for flag in ("-o", "--out"):
            self.assert_error(self.run_program("rgb.jpg", flag), "错误: -o 缺少输出目录参数\n")

    def test_quality_out_of_range_creates_nothing(self):
        self.copy("rgb.jpg")
        for value, shown in (("101", "101"), ("-1", "-1"), ("2147483648", "2147483647"),
                             ("99999999999999999999", "2147483647"), ("-2147483649", "-2147483648")):
            run = self.run_program("rgb.jpg", "-q", value, "-o", "out")
            self.assert_error(run, "错误: 质量参数必须在 0~100 之间(当前: %s)\n" % shown)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_quality_is_read_as_a_leading_integer(self):
        self.copy("rgb.jpg")
        for value, read in (("abc", "0"), (" 90", "90"), ("75%", "75"), ("50.9", "50"),
                            ("+7", "7"), ("0", "0"), ("100", "100")):
            run = self.run_program("rgb.jpg", "-q", value, "-o", "out-" + read)
            self.assertEqual(run.code, 0, value)
            self.assertIn("质量参数: %s\n" % read, run.report())

    def test_the_value_after_o_is_taken_even_when_it_looks_like_an_option(self):
        self.copy("rgb.jpg")
        self.copy("gray.jpg", folder="sub")
        run = self.run_program(".", "-o", "-r")
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("-r", "rgb.jpg")))
        self.assertFalse(os.path.exists(self.path("-r", "gray.jpg")))  # recursion stayed off
        self.assertIn("输入图片: 1 张\n", run.report())

    def test_last_value_of_a_repeated_option_wins(self):
        self.copy("rgb.jpg")
        run = self.run_program("-o", "first", "rgb.jpg", "-q", "10", "-o", "second", "-q", "20")
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("second", "rgb.jpg")))
        self.assertFalse(os.path.exists(self.path("first")))
        self.assertIn("质量参数: 20\n", run.report())


class Paths(CliTest):
    def test_dash_and_empty_arguments_are_paths(self):
        self.assert_error(self.run_program("-"), "错误: 路径不存在: -\n")
        self.assert_error(self.run_program(""), "错误: 路径不存在: \n")

    def test_a_missing_second_path_stops_before_anything_is_written(self):
        self.copy("rgb.jpg")
        run = self.run_program("rgb.jpg", "missing.jpg")
        self.assert_error(run, "错误: 路径不存在: missing.jpg\n")
        self.assertFalse(os.path.exists(self.path("compressed")))

    def test_what_is_there_but_cannot_be_examined_gets_its_line(self):
        # A link loop is there, so it is no "路径不存在": it fails in its turn, in
        # a named input and in a walked folder alike, and so does a dangling link.
        self.copy("rgb.jpg", folder="in")
        os.symlink("loop.png", self.path("in", "loop.png"))
        os.symlink("nowhere.png", self.path("in", "dangling.png"))
        run = self.run_program(os.path.join("in", "loop.png"), "in", "-o", "out")
        self.assertEqual(run.code, 1, run.err)
        lines = sorted(line.split("  ")[1] for line in run.report().splitlines() if "] 失败  " in line)
        # Wine lists neither link in a folder (Windows does, as reparse points).
        walked = [] if WINE else ["dangling.png (文件不存在)", "loop.png (文件不存在)"]
        self.assertEqual(lines, sorted(["loop.png (文件不存在)"] + walked))

    def test_a_link_at_an_output_name_takes_that_name(self):
        # Neither a link that leads nowhere nor one to itself is replaced or
        # written through; each makes its name taken. (Wine shows neither to a
        # listing.)
        self.copy("rgb.jpg", folder="in")
        self.copy("rgba.png", folder="in")
        os.makedirs(self.path("out"))
        os.symlink("../nowhere.jpg", self.path("out", "rgb.jpg"))
        os.symlink("rgba.png", self.path("out", "rgba.png"))
        run = self.run_program("in", "-o", "out")
        self.assertEqual(run.code, 0, run.err)
        self.assertEqual(sorted(os.listdir(self.path("out"))),
                         ["rgb.jpg", "rgb_1.jpg", "rgba.png", "rgba_1.png"])
        self.assertTrue(os.path.islink(self.path("out", "rgb.jpg")))
        self.assertTrue(os.path.islink(self.path("out", "rgba.png")))
        self.assertFalse(os.path.exists(self.path("nowhere.jpg")))

    def test_a_folder_the_walk_cannot_enter_is_said(self):
        if WINE:
            self.skipTest("Wine lists no entry it can't examine")
        # A folder past the system's path limit (4096 bytes) can't be examined or
        # entered: the walk goes on, and says which folder it could not list in full.
        self.copy("rgb.jpg", folder="in")
        folder = os.open(self.path("in"), os.O_RDONLY)
        for _ in range(25):
            os.mkdir("d" * 200, dir_fd=folder)
            deeper = os.open("d" * 200, os.O_RDONLY, dir_fd=folder)
            os.close(folder)
            folder = deeper
        os.close(folder)
        run = self.run_program("in", "-r", "-o", "out")
        self.assertEqual(run.code, 0, run.err)
        self.assertIn("输入图片: 1 张\n", run.report())
        err = run.err.decode()
        self.assertTrue(err.startswith("警告: 文件夹未能完整列出, 其中的图片可能不全: in/ddd"), err[:120])
        self.assertEqual(err.count("\n"), 1, err[:120])

    def test_a_folder_without_images(self):
        self.write("empty/notes.txt")
        self.assert_error(self.run_program("empty"), "错误: 没有找到可处理的 JPG / PNG 图片\n")
        self.assertFalse(os.path.exists(self.path("compressed")))

    def test_output_folder_that_cannot_be_made(self):
        self.copy("rgb.jpg")
        self.write("file.txt")
        self.assert_error(self.run_program("rgb.jpg", "-o", "file.txt"),
                          "错误: 无法创建输出目录: file.txt\n")
        self.assert_error(self.run_program("rgb.jpg", "-o", ""), "错误: 无法创建输出目录: \n")

    def test_output_folder_several_levels_deep_is_created(self):
        self.copy("rgb.jpg")
        run = self.run_program("rgb.jpg", "-o", "a/b/c")
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("a", "b", "c", "rgb.jpg")))
        self.assertIn("输出目录: a/b/c\n", run.report())

    def test_folders_are_expanded_recursively_only_with_r(self):
        self.copy("rgb.jpg", folder="in")
        self.copy("rgba.png", folder="in/deeper")
        self.write("in/notes.txt")
        self.assertIn("输入图片: 1 张\n", self.run_program("in", "-o", "flat").report())
        self.assertIn("输入图片: 2 张\n", self.run_program("in", "-r", "-o", "deep").report())
        self.assertEqual(sorted(os.listdir(self.path("deep"))), ["rgb.jpg", "rgba.png"])

    def test_names_of_windows_devices_are_files_like_any_other(self):
        # To a Win32 path on Windows 10, and to Wine, "nul.jpg" and "aux.jpg" are
        # devices: read and written through them, nothing would be stored.
        names = ["aux.jpg", "nul.jpg", "ok.jpg"]
        for name in names:
            self.copy("rgb.jpg", as_name=name, folder="in")
        run = self.run_program("in", "-o", "out")
        self.assertEqual(run.code, 0, run.err)
        self.assertIn("输入图片: 3 张\n", run.report())
        self.assertEqual(sorted(os.listdir(self.path("out"))), names)
        for name in names:
            self.assertIn("成功  %s  80x60 RGB(3通道)" % name, run.report())
            self.assertGreater(os.path.getsize(self.path("out", name)), 0)


class Report(CliTest):
    def test_full_report_matches_the_files_written(self):
        self.copy("gray.jpg")
        self.copy("rgb.jpg")
        self.copy("rgba.png")
        self.copy("ga.png")
        self.write("broken.png", b"\x89PNG\r\n\x1a\nnot really")
        args = ["gray.jpg", "rgb.jpg", "broken.png", "rgba.png", "ga.png"]
        run = self.run_program(*args, "-q", "60", "-o", "out")
        self.assertEqual(run.code, 1)
        self.assertEqual(run.err, b"")
        out = self.path("out")
        lines = [
            self.success_line(1, 5, "gray.jpg", "gray.jpg", os.path.join(out, "gray.jpg")),
            self.success_line(2, 5, "rgb.jpg", "rgb.jpg", os.path.join(out, "rgb.jpg")),
            "[3/5] 失败  broken.png (Corrupt PNG)\n",
            self.success_line(4, 5, "rgba.png", "rgba.png", os.path.join(out, "rgba.png")),
            self.success_line(5, 5, "ga.png", "ga.png", os.path.join(out, "ga.png")),
        ]
        names = ["gray.jpg", "rgb.jpg", "rgba.png", "ga.png"]
        total_in = sum(os.path.getsize(self.path(n)) for n in names)
        total_out = sum(os.path.getsize(os.path.join(out, n)) for n in names)
        expected = (RULE + "输入图片: 5 张\n输出目录: out\n质量参数: 60\n" + RULE + "".join(lines) +
                    RULE + "处理完成: 共 5 张 | 成功 4 | 失败 1 | 跳过 0\n" +
                    "输入总大小 %s -> 输出总大小 %s  (节省 %.1f%%)\n" % (
                        format_size(total_in), format_size(total_out), saving(total_in, total_out)) +
                    RULE)
        self.assertEqual(run.report(), expected)
        self.assertEqual(sorted(os.listdir(out)), sorted(names))

    def test_a_text_file_given_directly_fails_in_its_line(self):
        self.write("notes.txt", b"hello")
        run = self.run_program("notes.txt")
        self.assertEqual(run.code, 1)
        self.assertIn("[1/1] 失败  notes.txt (不支持的格式)\n", run.report())

    def test_the_same_image_twice_gives_two_outputs(self):
        self.copy("rgba.png")
        run = self.run_program("rgba.png", "rgba.png")
        self.assertEqual(run.code, 0)
        self.assertEqual(run.report().count("成功  rgba.png  48x40"), 2)
        self.assertEqual(sorted(os.listdir(self.path("compressed"))), ["rgba.png", "rgba_1.png"])

    def test_every_image_failing(self):
        self.write("a.png", b"")
        self.write("b.gif", b"GIF89a")
        run = self.run_program("a.png", "b.gif")
        self.assertEqual(run.code, 1)
        report = run.report()
        self.assertIn("[1/2] 失败  a.png (Image not of any known type, or corrupt)\n", report)
        self.assertIn("[2/2] 失败  b.gif (不支持的格式)\n", report)
        self.assertIn("处理完成: 共 2 张 | 成功 0 | 失败 2 | 跳过 0\n", report)
        self.assertIn("输入总大小 0 B -> 输出总大小 0 B  (节省 0.0%)\n", report)

    def test_an_output_as_large_as_its_input_saves_zero(self):
        # A PNG written by the same encoder at the same level comes back byte for byte.
        self.copy("rgba.png")
        self.run_program("rgba.png", "-o", "first")
        os.rename(self.path("first", "rgba.png"), self.path("again.png"))
        run = self.run_program("again.png", "-o", "second")
        self.assertEqual(os.path.getsize(self.path("again.png")),
                         os.path.getsize(self.path("second", "again.png")))
        self.assertIn("  节省 0.0%\n", run.report())
        self.assertIn("  (节省 0.0%)\n", run.report())

    def test_a_batch_that_grew_shows_a_negative_saving(self):
        self.copy("gray.jpg")
        run = self.run_program("gray.jpg", "-q", "100")
        report = run.report()
        inp = os.path.getsize(self.path("gray.jpg"))
        out = os.path.getsize(self.path("compressed", "gray.jpg"))
        self.assertGreater(out, inp)
        self.assertIn("  增大 %.1f%%\n" % abs(saving(inp, out)), report)
        self.assertIn("  (节省 -%.1f%%)\n" % abs(saving(inp, out)), report)

    def test_control_and_direction_characters_in_names_are_shown_as_question_marks(self):
        # A name could otherwise erase its own "失败" line on the terminal or turn
        # the text round. Windows names hold no C0 characters; DEL, C1 and the
        # direction marks they can hold.
        hidden = "\x7f\u009b\u202e" + ("" if WINE else "\x1b[2K\r")
        self.write("a%sb.jpg" % hidden, b"not an image")
        run = self.run_program("a%sb.jpg" % hidden)
        self.assertEqual(run.code, 1)
        self.assertIn("[1/1] 失败  a???%sb.jpg (Image not of any known type, or corrupt)\n"
                      % ("" if WINE else "?[2K?"), run.report())

    def test_chinese_and_emoji_names_in_the_report(self):
        self.copy("rgb.jpg", "照片.jpg", folder="相册")
        self.copy("rgba.png", "😀.png", folder="相册")
        run = self.run_program("相册/照片.jpg", "相册/😀.png", "-o", "输出")
        self.assertEqual(run.code, 0, run.err)
        report = run.report()
        self.assertIn("] 成功  照片.jpg  80x60 ", report)
        self.assertIn("] 成功  😀.png  48x40 ", report)
        self.assertIn("输出目录: 输出\n", report)
        self.assertEqual(sorted(os.listdir(self.path("输出"))), sorted(["照片.jpg", "😀.png"]))


class Platform(CliTest):
    def test_closing_prompt_only_on_windows_without_a_shared_console(self):
        self.copy("rgb.jpg")
        run = self.run_program("rgb.jpg")
        text = run.out.decode()
        if WINE:
            self.assertTrue(text.endswith(RULE + PROMPT))  # and it did not wait for a key
        else:
            self.assertTrue(text.endswith(RULE))
            self.assertNotIn("按任意键退出", text)

    def test_a_dropped_file_is_compressed_at_80_into_compressed(self):
        source = self.copy("rgb.jpg", folder="photos")
        if WINE:
            source = "Z:" + source.replace("/", "\\")
        run = self.run_program(source)
        self.assertEqual(run.code, 0, run.err)
        self.assertIn("输出目录: ./compressed\n质量参数: 80\n", run.report())
        self.assertTrue(os.path.isfile(self.path("compressed", "rgb.jpg")))

    def test_drive_relative_paths_on_windows(self):
        if not WINE:
            self.skipTest("drive letters are Windows' own")
        # Under Wine the test folder is the current folder of drive Z:, so "Z:"
        # alone names it (and is never made) and "Z:out" is a folder in it.
        self.copy("rgb.jpg")
        run = self.run_program("Z:", "-o", "Z:out\\deeper")
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("out", "deeper", "rgb.jpg")))
        run = self.run_program("Z:rgb.jpg", "-o", "Z:")
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("rgb_1.jpg")))

    def test_a_quoted_folder_ending_in_a_backslash_keeps_its_options(self):
        if not WINE:
            self.skipTest("Windows' command line")
        # Windows PowerShell 5.1 passes a tab-completed folder with a blank so; to
        # CommandLineToArgvW the \" is a quote inside one argument.
        self.copy("rgb.jpg", folder="My Photos")
        self.copy("rgba.png", folder="My Photos/deeper")
        run = self.run_command_line('Quillmar.exe "My Photos\\" -o out -r')
        self.assertEqual(run.code, 0, run.err)
        self.assertIn("输入图片: 2 张\n输出目录: out\n", run.report())
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["rgb.jpg", "rgba.png"])
        run = self.run_command_line('Quillmar.exe ".\\My Photos\\rgb.jpg" -o "two words"')
        self.assertEqual(run.code, 0, run.err)
        self.assertTrue(os.path.isfile(self.path("two words", "rgb.jpg")))

    def test_wildcards_in_a_last_name_on_windows(self):
        if not WINE:
            self.skipTest("a Linux shell expands them itself")
        # cmd and PowerShell hand "*.jpg" over as typed; its matches come by name.
        for name in ("rgb.jpg", "gray.jpg", "rgba.png"):
            self.copy(name, folder="in")
        run = self.run_program("in\\*.jpg", "in/r?b?.*", "-o", "out")
        self.assertEqual(run.code, 0, run.err)
        lines = [line for line in run.report().splitlines() if line.startswith("[")]
        self.assertEqual([line.split()[2] for line in lines], ["gray.jpg", "rgb.jpg", "rgba.png"])
        self.assert_error(self.run_program("in\\*.gif", "-o", "none"), "错误: 路径不存在: in\\*.gif\n")
        self.assertFalse(os.path.exists(self.path("none")))

    def test_typed_paths_are_read_as_windows_reads_them(self):
        if not WINE:
            self.skipTest("Win32's own rules")
        self.copy("rgb.jpg", folder="pics")
        z = to_windows(self.path("pics"))
        up = "Z:..\\%s\\pics" % os.path.basename(self.dir)  # drive-relative, then up
        for n, typed in enumerate(["pics.", "pics ", "pics\\rgb.jpg. ", up,
                                   "//?/" + z[:2] + z[2:].replace("\\", "/"), "//./" + z[:2] + "/" + z[3:]]):
            run = self.run_program(typed, "-o", "out%d" % n)
            self.assertEqual(run.code, 0, (typed, run.err))
            self.assertIn("[1/1] 成功  rgb.jpg  ", run.report())
        # Windows refuses a file typed as a folder.
        self.assert_error(self.run_program("pics\\rgb.jpg\\", "-o", "none"),
                          "错误: 路径不存在: pics\\rgb.jpg\\\n")

    def test_output_folders_are_read_as_windows_shell_reads_them(self):
        if not WINE:
            self.skipTest("Win32's own rules")
        self.copy("rgb.jpg")
        for typed in ("out.", "out2 "):
            self.assertEqual(self.run_program("rgb.jpg", "-o", typed).code, 0)
        self.assertEqual(sorted(os.listdir(self.dir)), ["out", "out2", "rgb.jpg"])
        # A device's name is no folder: the NUL device would swallow every output.
        for device in ("nul", "AUX", "out\\con.txt"):
            self.assert_error(self.run_program("rgb.jpg", "-o", device),
                              "错误: 无法创建输出目录: %s\n" % device)
        self.assertEqual(os.listdir(self.path("out")), ["rgb.jpg"])

    def test_windows_never_stops_for_a_system_box(self):
        if not WINE:
            self.skipTest("Windows only")
        # Wine has no "insert a disk" or error-reporting box, and nothing makes the
        # program abort on purpose: what Wine cannot hide is the import table,
        # which names the calls that turn those boxes off.
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if not objdump:
            self.skipTest("x86_64-w64-mingw32-objdump is missing")
        imports = subprocess.run([objdump, "-p", PROGRAM], capture_output=True,
                                 check=True).stdout.split()
        for name in (b"SetErrorMode", b"_set_error_mode"):
            self.assertTrue(name in imports, name)

    def test_each_input_is_opened_exactly_once(self):
        # The system's own trace counts the opens, in a batch on every processor and
        # in a run of one file: the memory budget, the size checks and the decoder
        # all take the one read of the file.
        strace = shutil.which("strace")
        if WINE or not strace:
            self.skipTest("counted with strace on Linux")
        names = ["rgb.jpg", "gray.jpg", "rgba.png", "ga.png"]
        for name in names:
            self.copy(name, folder="in")
        for inputs in (["in"], ["in/rgb.jpg"]):
            trace = self.path("trace-%d.txt" % len(inputs[0]))
            command = [strace, "-f", "-qq", "-e", "trace=openat", "-o", trace, PROGRAM]
            # LeakSanitizer cannot work under ptrace; the other tests keep it on.
            env = dict(os.environ)
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
            done = subprocess.run(command + inputs + ["-o", "out"], cwd=self.dir, env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            if done.returncode != 0 and not os.path.exists(trace):
                self.skipTest("strace cannot trace here: %s" % done.stderr.decode())
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(trace, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
            expected = names if inputs == ["in"] else ["rgb.jpg"]
            for name in expected:
                opens = [line for line in lines if '"in/%s"' % name in line]
                self.assertEqual(len(opens), 1, "\n".join(opens) or name)
            shutil.rmtree(self.path("out"))

    def test_without_arguments_the_help_and_code_2(self):
        if WINE:
            self.skipTest("Quillmar.exe opens its dialog: the dialog tests cover it")
        run = self.run_program()
        self.assertEqual((run.out, run.err, run.code), (HELP, b"", 2))


class PackagedProgram(CliTest):
    """The download: a release build, stripped, must change nothing a user sees."""

    def setUp(self):
        self.assertTrue(PACKAGED, "needs --packaged ZIP")
        super().setUp()

    def test_the_packaged_exe_reports_and_writes_what_this_build_does(self):
        for name in IMAGES:
            self.copy(name, folder="in")
        self.copy("rgb.jpg", "照片.jpg", folder="in/相册")
        self.write("in/broken.png", b"\x89PNG\r\n\x1a\nnot really")
        self.write("in/notes.txt")
        for args in (["-h"], ["in", "missing.jpg"], ["in", "-r", "-q", "60", "-o", "out"],
                     ["in/notes.txt", "in/broken.png", "in/gray.jpg", "-o", "out"]):
            runs = []
            for program in (PROGRAM, PACKAGED):
                shutil.rmtree(self.path("out"), ignore_errors=True)
                run = self.run_program(*args, program=program)
                written = {}
                for folder, _, files in os.walk(self.path("out")):
                    for name in files:
                        with open(os.path.join(folder, name), "rb") as f:
                            written[os.path.relpath(os.path.join(folder, name), self.dir)] = f.read()
                runs.append((run.code, run.out, run.err, written))
            self.assertEqual(runs[1], runs[0], args)
        self.assertEqual(len(runs[0][3]), 1)  # the last batch wrote gray.jpg

    def test_the_packaged_exe_is_small_and_carries_no_debug_information(self):
        self.assertLessEqual(os.path.getsize(PACKAGED), 2 * 1000 * 1000)
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if not objdump:
            self.skipTest("x86_64-w64-mingw32-objdump is missing")
        sections = subprocess.run([objdump, "-h", PACKAGED], capture_output=True,
                                  check=True).stdout.decode()
        self.assertNotIn(".debug_", sections)
        self.assertIn(".gnu_debuglink", sections)  # where a crash report finds its symbols

    def test_the_zip_carries_the_licence_beside_the_notices(self):
        with zipfile.ZipFile(PACKAGED_ZIP) as archive:
            names = archive.namelist()
            folder = os.path.basename(PACKAGED_ZIP)[:-len(".zip")]
            self.assertIn(folder + "/licenses/stb_image.txt", names)
            with open(os.path.join(HERE, os.pardir, "LICENSE"), "rb") as f:
                licence = f.read()
            self.assertEqual(archive.read(folder + "/LICENSE.txt"),
                             licence.replace(b"\n", b"\r\n"))


def take_exe_out_of(zip_path):
    folder = tempfile.mkdtemp(prefix="quillmar-packaged-")
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    with zipfile.ZipFile(zip_path) as archive:
        exe = [name for name in archive.namelist() if name.endswith("/Quillmar.exe")]
        if len(exe) != 1:
            sys.exit("%s holds %d Quillmar.exe" % (zip_path, len(exe)))
        return archive.extract(exe[0], folder)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine", nargs=2, metavar=("RUNNER", "PREFIX"))
    parser.add_argument("--packaged", metavar="ZIP")
    parser.add_argument("--launcher", metavar="EXE")
    options, rest = parser.parse_known_args()
    PROGRAM = os.path.abspath(options.program)
    PACKAGED = take_exe_out_of(options.packaged) if options.packaged else None
    PACKAGED_ZIP = options.packaged
    WINE = [os.path.abspath(options.wine[0]), os.path.abspath(options.wine[1])] if options.wine else None
    LAUNCHER = os.path.abspath(options.launcher) if options.launcher else None
    HELP = HELP_WINDOWS if WINE else HELP_LINUX
    # Without a zip the download's tests have nothing to compare: they run only
    # when named (and fail then), never by default.
    everything_but_the_download = [
        name for name, value in list(globals().items()) if isinstance(value, type)
        and issubclass(value, CliTest) and value not in (CliTest, PackagedProgram)]
    sys.exit(run_cases([sys.argv[0]] + rest,
                       defaultTest=None if PACKAGED else everything_but_the_download))
