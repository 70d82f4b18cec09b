#!/usr/bin/env python3
"""Times, image by image and side by side, three ways of re-encoding at quality 80:
the image library alone (stb_floor, the floor), quillmar, and ImageMagick's
convert -quality 80. Reports median CPU time and peak memory per image, and
the ratios ours / floor and ours / ImageMagick.

Then the whole batch, each tool as one process over all the images: the floor
one image after another, quillmar on every processor it may use and on one
(taskset -c 0), ImageMagick's mogrify. Reports median wall and CPU time and
peak memory, and the ratios to the floor.

Then the peers on their own format, one process each over the same images as
the floor and quillmar: libjpeg-turbo (djpeg | cjpeg -quality 80) on the JPEGs
and libvips (vips copy) on the PNGs; and encoding alone: stb_image_write and our
writers on the same decoded pixels (bench/encode_speed.cpp).

Last the JPEG encoders alone on the pixels stb_image decodes from the JPEGs:
stb_image_write, our writer on each of its paths (baseline SSE2, AVX2) and
libjpeg-turbo's cjpeg -quality 80 reading them as PPM/PGM files (one process per
image, its CPU time), each image's fastest of N interleaved rounds, summed.
--encode-only runs only that. Then the JPEG decoders alone: the image library
and our decoder on the same bytes in memory (bench/decode_speed.cpp), and
libjpeg-turbo's djpeg; --decode-only runs only that.

With --camera FOLDER, only camera-like photos (bench/camera-photos.sh makes them
there once): the JPEG work against libjpeg-turbo's TurboJPEG API in one process
(bench/turbo_compare.cpp), against tjbench decoding and encoding alone, and the
whole job a process a photo against djpeg | cjpeg, with peak memory.

With --turbo, the same for FOLDER's JPEGs.

With --png, only the PNG set: the PNGs of Debian's mate-backgrounds,
sway-backgrounds and lomiri-wallpapers (23 pictures, installed when missing),
the whole job a process a picture against the floor and libvips (vips copy, which
writes other bytes: sizes beside times), with peak memory; then decoding alone
in one process against the image library and libpng (bench/png_decode_speed.cpp).
bench/large-png.sh does the same for one 12000x6750 PNG.

Usage: bench/compare.py [--runs N] [--build build/native] [--batch-only | --encode-only | --decode-only | --camera FOLDER | --turbo | --png] [FOLDER]
FOLDER defaults to Debian's mate-backgrounds, the peers come from Debian's
libjpeg-turbo-progs and libvips-tools (each installed when missing).
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

DEFAULT_CORPUS = "/usr/share/backgrounds/mate"


def ensure_corpus(folder):
    if os.path.isdir(folder):
        return
    if folder != DEFAULT_CORPUS:
        sys.exit("no such folder: " + folder)
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    subprocess.run(sudo + ["apt-get", "install", "-y", "mate-backgrounds"], check=True)


PNG_PACKAGES = ("mate-backgrounds", "sway-backgrounds", "lomiri-wallpapers")


def png_set():
    """The PNG set: every PNG picture of the three packages, each file once
    (lomiri's default background is a link to warty-final-ubuntu.png)."""
    if not all(os.path.isdir(d) for d in ("/usr/share/backgrounds/mate",
                                           "/usr/share/backgrounds/sway")) or \
            not os.path.exists("/usr/share/backgrounds/warty-final-ubuntu.png"):
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "install", "-y"] + list(PNG_PACKAGES), check=True)
    found = {}
    for d, _, files in os.walk("/usr/share/backgrounds"):
        for f in files:
            path = os.path.join(d, f)
            if f.lower().endswith(".png"):
                found.setdefault(os.path.realpath(path), path)
    return sorted(found)


def png_work(build, runs, scratch):
    """The PNG set a process a picture: the floor, quillmar and vips copy, interleaved;
    then the decoders alone in one process."""
    images = png_set()
    tools = [("floor", "floor"), ("ours", "quillmar"), ("vips", "vips copy")]
    print("The PNG set, a process a picture: CPU seconds (median of %d runs), peak memory "
          "(largest run) and output size\n" % runs)
    print("| picture | size | floor s | ours s | ours/floor | vips s | floor MiB | ours MiB | "
          "vips MiB | ours KiB | vips KiB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    total = {tool: 0.0 for tool, _ in tools}
    for image in images:
        samples = {tool: [] for tool, _ in tools}
        for _ in range(runs):
            for tool, _ in tools:  # interleaved, so drift of the machine hits all alike
                samples[tool].append(run_peer(tool, [image], build, scratch))
        cpu = {k: statistics.median(s[0] for s in v) for k, v in samples.items()}
        mem = {k: max(s[1] for s in v) / 1024 for k, v in samples.items()}
        size = {k: v[-1][3] / 1024 for k, v in samples.items()}
        for tool in total:
            total[tool] += cpu[tool]
        width_height = subprocess.run(["identify", "-format", "%wx%h", image], check=True,
                                      capture_output=True, text=True).stdout
        print("| %s | %s | %.3f | %.3f | %.2f | %.3f | %.1f | %.1f | %.1f | %.0f | %.0f |" % (
            os.path.basename(image), width_height, cpu["floor"], cpu["ours"],
            cpu["ours"] / cpu["floor"], cpu["vips"], mem["floor"], mem["ours"], mem["vips"],
            size["ours"], size["vips"]), flush=True)
    print("\nthe whole set: floor %.3f s, quillmar %.3f s (%.2fx), vips copy %.3f s; %d pictures"
          % (total["floor"], total["ours"], total["ours"] / total["floor"], total["vips"],
             len(images)))
    print("\nDecoding alone in one process, CPU seconds, fastest of %d interleaved runs\n" % runs,
          flush=True)
    subprocess.run([os.path.join(build, "png_decode_speed"), str(runs)] + images, check=True)


def ensure_peers():
    missing = [package for tool, package in (("/usr/bin/time", "time"),
                                             ("/usr/bin/cjpeg", "libjpeg-turbo-progs"),
                                             ("/usr/bin/vips", "libvips-tools"),
                                             ("/usr/include/turbojpeg.h", "libturbojpeg0-dev"))
               if not os.path.exists(tool)]
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "install", "-y"] + missing, check=True)


def measure(command):
    """CPU seconds (user + system), peak resident memory (KiB) and wall seconds of
    one run. CPU time is the figure compared: it barely moves when other work
    shares the machine, while wall time does. The peak is GNU time's: a process
    started from here keeps Python's resident size as its high-water mark
    through exec (about 16 MiB), one started by time keeps time's (2 MiB)."""
    start = time.perf_counter()
    with tempfile.NamedTemporaryFile("r") as peak:
        process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + command,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            raise RuntimeError("failed: " + " ".join(command))
        resident = int(peak.read().split()[-1])
    return usage.ru_utime + usage.ru_stime, resident, elapsed


def written_bytes(folder):
    """The bytes a tool wrote: peers that write other bytes than ours are
    compared by size as well as by time."""
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder)
               for f in files)


def run_tool(tool, image, build, scratch):
    out = tempfile.mkdtemp(dir=scratch)
    try:
        if tool == "floor":
            command = [os.path.join(build, "stb_floor"), "80", out, image]
        elif tool == "ours":
            command = [os.path.join(build, "quillmar"), image, "-q", "80", "-o", out]
        else:
            command = ["/usr/bin/convert", image, "-quality", "80",
                       os.path.join(out, os.path.basename(image))]
        return measure(command)
    finally:
        shutil.rmtree(out)


BATCH_TOOLS = [("floor", "floor, one by one"), ("ours", "quillmar"),
               ("ours-1", "quillmar, taskset -c 0"), ("magick", "ImageMagick mogrify")]


def run_batch(tool, images, build, scratch):
    out = tempfile.mkdtemp(dir=scratch)
    try:
        if tool == "floor":
            command = [os.path.join(build, "stb_floor"), "80", out] + images
        elif tool.startswith("ours"):
            command = [os.path.join(build, "quillmar")] + images + ["-q", "80", "-o", out]
            if tool == "ours-1":
                command = ["taskset", "-c", "0"] + command
        else:
            command = ["/usr/bin/mogrify", "-path", out, "-quality", "80"] + images
        return measure(command) + (written_bytes(out),)
    finally:
        shutil.rmtree(out)


def whole_batch(images, build, runs, scratch):
    samples = {tool: [] for tool, _ in BATCH_TOOLS}
    for _ in range(runs):
        for tool, _ in BATCH_TOOLS:  # interleaved, as above
            samples[tool].append(run_batch(tool, images, build, scratch))
    cpu = {k: statistics.median(s[0] for s in v) for k, v in samples.items()}
    mem = {k: max(s[1] for s in v) / 1024 for k, v in samples.items()}
    wall = {k: statistics.median(s[2] for s in v) for k, v in samples.items()}
    size = {k: v[-1][3] / 1024 / 1024 for k, v in samples.items()}
    print("\nWhole batch of %d images in one process: median of %d runs (peak memory: largest run)\n"
          % (len(images), runs))
    print("| tool | wall s | CPU s | peak MiB | output MiB | wall/floor | CPU/floor | mem/floor |")
    print("|---|---|---|---|---|---|---|---|")
    for tool, label in BATCH_TOOLS:
        print("| %s | %.2f | %.2f | %.1f | %.2f | %.3f | %.3f | %.3f |"
              % (label, wall[tool], cpu[tool], mem[tool], size[tool], wall[tool] / wall["floor"],
                 cpu[tool] / cpu["floor"], mem[tool] / mem["floor"]))
    print("\n%d processors usable here" % len(os.sched_getaffinity(0)))


PEER_TOOLS = {"jpeg": [("floor", "floor, one by one"), ("ours", "quillmar"),
                        ("turbo", "libjpeg-turbo djpeg | cjpeg, one by one")],
              "png": [("floor", "floor, one by one"), ("ours", "quillmar"),
                      ("vips", "libvips vips copy, one by one")]}


def run_peer(tool, images, build, scratch):
    out = tempfile.mkdtemp(dir=scratch)
    try:
        if tool == "turbo":
            loop = 'for f; do djpeg "$f" | cjpeg -quality 80 > "%s/$(basename "$f")" || exit 1; done' % out
            return measure(["sh", "-c", loop, "sh"] + images) + (written_bytes(out),)
        if tool == "vips":
            loop = 'for f; do vips copy "$f" "%s/$(basename "$f")" || exit 1; done' % out
            return measure(["sh", "-c", loop, "sh"] + images) + (written_bytes(out),)
        return run_batch(tool, images, build, scratch)
    finally:
        shutil.rmtree(out)


def peers(images, build, runs, scratch):
    for kind, ends in (("jpeg", (".jpg", ".jpeg")), ("png", (".png",))):
        subset = [i for i in images if i.lower().endswith(ends)]
        samples = {tool: [] for tool, _ in PEER_TOOLS[kind]}
        for _ in range(runs):
            for tool, _ in PEER_TOOLS[kind]:
                samples[tool].append(run_peer(tool, subset, build, scratch))
        cpu = {k: statistics.median(s[0] for s in v) for k, v in samples.items()}
        mem = {k: max(s[1] for s in v) / 1024 for k, v in samples.items()}
        wall = {k: statistics.median(s[2] for s in v) for k, v in samples.items()}
        size = {k: v[-1][3] / 1024 / 1024 for k, v in samples.items()}
        print("\nThe %d %s images, median of %d runs\n" % (len(subset), kind.upper(), runs))
        print("| tool | wall s | CPU s | peak MiB | output MiB | wall/floor | CPU/floor | mem/floor |")
        print("|---|---|---|---|---|---|---|---|")
        for tool, label in PEER_TOOLS[kind]:
            print("| %s | %.2f | %.2f | %.1f | %.2f | %.3f | %.3f | %.3f |"
                  % (label, wall[tool], cpu[tool], mem[tool], size[tool], wall[tool] / wall["floor"],
                     cpu[tool] / cpu["floor"], mem[tool] / mem["floor"]))


def encode_alone(images, build, runs):
    print("\nEncoding alone, CPU seconds, fastest of %d runs\n" % runs, flush=True)
    subprocess.run([os.path.join(build, "encode_speed"), "80", str(runs)] + images, check=True)


def decode_alone(images, build, runs):
    """The JPEGs decoded in memory by the image library and by our decoder, and by
    libjpeg-turbo's djpeg from the file (one process per image, its CPU time)."""
    jpegs = [i for i in images if i.lower().endswith((".jpg", ".jpeg"))]
    print("\nDecoding alone, CPU seconds, fastest of %d runs\n" % runs, flush=True)
    subprocess.run([os.path.join(build, "decode_speed"), str(runs)] + jpegs, check=True)
    djpeg = sum(min(measure(["sh", "-c", 'exec /usr/bin/djpeg "$1" >/dev/null', "sh", image])[0]
                    for _ in range(runs)) for image in jpegs)
    print("libjpeg-turbo djpeg, one process a file: %.3f s" % djpeg)


def encoder_round(images, build, scratch, pnms, path):
    """One round of every JPEG encoder over the images: {encoder: {image: CPU s}}."""
    times = {"stb": {}, path: {}, "cjpeg": {}}
    out = subprocess.run([os.path.join(build, "encode_speed"), "--path", path, "80", "1"] + images,
                         check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        match = re.match(r"(\S+) .* reference +([\d.]+) s +ours +([\d.]+) s", line)
        if match:
            times["stb"][match.group(1)] = float(match.group(2))
            times[path][match.group(1)] = float(match.group(3))
    for image in images:
        name = os.path.basename(image)
        command = ["sh", "-c", 'exec /usr/bin/cjpeg -quality 80 "$1" >/dev/null', "sh", pnms[name]]
        times["cjpeg"][name] = measure(command)[0]
    return times


def encoders_alone(images, build, runs, scratch):
    images = [i for i in images if i.lower().endswith((".jpg", ".jpeg"))]
    folder = tempfile.mkdtemp(dir=scratch)
    subprocess.run([os.path.join(build, "encode_speed"), "--write-pnm", folder] + images, check=True)
    pnms = {f.rsplit(".", 1)[0]: os.path.join(folder, f) for f in os.listdir(folder)}
    best = {}
    for _ in range(runs):
        for path in ("baseline", "avx2"):  # interleaved with cjpeg and with each other
            for encoder, seconds in encoder_round(images, build, scratch, pnms, path).items():
                for name, s in seconds.items():
                    best.setdefault(encoder, {})[name] = min(s, best.get(encoder, {}).get(name, 1e9))
    total = {encoder: sum(seconds.values()) for encoder, seconds in best.items()}
    print("\nJPEG encoders alone on the %d JPEGs' decoded pixels, quality 80: CPU seconds, "
          "each image's fastest of %d rounds, summed\n" % (len(images), runs))
    print("| encoder | CPU s | / cjpeg |")
    print("|---|---|---|")
    for encoder, label in (("stb", "stb_image_write (reference)"), ("baseline", "ours, baseline (SSE2)"),
                           ("avx2", "ours, AVX2"), ("cjpeg", "libjpeg-turbo cjpeg -quality 80, PPM in")):
        print("| %s | %.3f | %.2f |" % (label, total[encoder], total[encoder] / total["cjpeg"]))
    shutil.rmtree(folder)


def tjbench_seconds(arguments):
    """Seconds a frame, from tjbench's frame rate (the first rate it prints)."""
    out = subprocess.run(["tjbench"] + arguments + ["-nowrite", "-benchtime", "2"], check=True,
                         capture_output=True, text=True).stdout
    return 1 / float(re.search(r"Frame rate: +([\d.]+) fps", out).group(1))


def camera(folder, build, runs, scratch):
    """Camera-like photos (bench/camera-photos.sh): against libjpeg-turbo (against_turbo)."""
    subprocess.run([os.path.join(os.path.dirname(__file__), "camera-photos.sh"), folder], check=True,
                   stdout=subprocess.DEVNULL)
    photos = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.startswith("camera-"))
    against_turbo(photos, build, runs, scratch)


def against_turbo(photos, build, runs, scratch):
    """Our JPEG work against libjpeg-turbo's in one process (bench/turbo_compare.cpp),
    against tjbench decoding and encoding alone, and the whole job a process a photo
    against djpeg | cjpeg, with its peak memory."""
    print("\nIn one process: CPU seconds, fastest of %d interleaved runs "
          "(ours / TurboJPEG)\n" % runs, flush=True)
    subprocess.run([os.path.join(build, "turbo_compare"), str(runs)] + photos, check=True)
    pnm = tempfile.mkdtemp(dir=scratch)
    subprocess.run([os.path.join(build, "encode_speed"), "--write-pnm", pnm] + photos, check=True)
    print("\ntjbench, seconds a frame (wall): decoding to RGB; compressing the same pixels at "
          "quality 80, 4:2:0 and 95, 4:4:4\n")
    print("| photo | decode s | encode q80 s | encode q95 s |")
    print("|---|---|---|---|")
    for photo in photos:
        name = os.path.basename(photo)
        ppm = os.path.join(pnm, name + ".ppm")
        print("| %s | %.4f | %.4f | %.4f |" % (
            name, tjbench_seconds([photo, "-rgb"]),
            tjbench_seconds([ppm, "80", "-rgb", "-subsamp", "420", "-componly"]),
            tjbench_seconds([ppm, "95", "-rgb", "-subsamp", "444", "-componly"])), flush=True)
    shutil.rmtree(pnm)
    print("\nThe whole job, a process a photo: CPU seconds (median of %d) and peak memory\n" % runs)
    print("| photo | quillmar s | djpeg \\| cjpeg s | ours / theirs | quillmar MiB | djpeg \\| cjpeg MiB |")
    print("|---|---|---|---|---|---|")
    for photo in photos:
        samples = {"ours": [], "turbo": []}
        for _ in range(runs):
            for tool in samples:
                samples[tool].append(run_peer(tool, [photo], build, scratch))
        cpu = {k: statistics.median(s[0] for s in v) for k, v in samples.items()}
        mem = {k: max(s[1] for s in v) / 1024 for k, v in samples.items()}
        print("| %s | %.3f | %.3f | %.2f | %.1f | %.1f |" % (
            os.path.basename(photo), cpu["ours"], cpu["turbo"], cpu["ours"] / cpu["turbo"],
            mem["ours"], mem["turbo"]), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--batch-only", action="store_true",
                        help="all but the table image by image: the whole batch, the peers on "
                             "their own format, the encoders and the decoders alone")
    parser.add_argument("--encode-only", action="store_true", help="only the JPEG encoders alone")
    parser.add_argument("--decode-only", action="store_true", help="only the JPEG decoders alone")
    parser.add_argument("--camera", metavar="FOLDER",
                        help="only the camera-like photos, made in FOLDER once")
    parser.add_argument("--turbo", action="store_true",
                        help="only FOLDER's JPEGs against libjpeg-turbo, as --camera does")
    parser.add_argument("--png", action="store_true", help="only the PNG set (23 pictures)")
    parser.add_argument("folder", nargs="?", default=DEFAULT_CORPUS)
    args = parser.parse_args()
    if args.camera:
        ensure_peers()
        scratch = tempfile.mkdtemp(prefix="quillmar-bench-")
        camera(args.camera, args.build, args.runs, scratch)
        shutil.rmtree(scratch)
        return
    if args.png:
        ensure_peers()
        scratch = tempfile.mkdtemp(prefix="quillmar-bench-")
        png_work(args.build, args.runs, scratch)
        shutil.rmtree(scratch)
        return
    ensure_corpus(args.folder)
    ensure_peers()
    images = sorted(os.path.join(d, f) for d, _, files in os.walk(args.folder) for f in files
                    if f.lower().endswith((".jpg", ".jpeg", ".png")))
    if args.turbo:
        scratch = tempfile.mkdtemp(prefix="quillmar-bench-")
        against_turbo([i for i in images if i.lower().endswith((".jpg", ".jpeg"))], args.build,
                      args.runs, scratch)
        shutil.rmtree(scratch)
        return
    tools = ["floor", "ours", "magick"]
    scratch = tempfile.mkdtemp(prefix="quillmar-bench-")
    if args.encode_only:
        encoders_alone(images, args.build, args.runs, scratch)
        shutil.rmtree(scratch)
        return
    if args.decode_only:
        decode_alone(images, args.build, args.runs)
        shutil.rmtree(scratch)
        return
    if args.batch_only:
        whole_batch(images, args.build, args.runs, scratch)
        peers(images, args.build, args.runs, scratch)
        encode_alone(images, args.build, args.runs)
        encoders_alone(images, args.build, args.runs, scratch)
        decode_alone(images, args.build, args.runs)
        shutil.rmtree(scratch)
        return
    rows = []
    print("CPU seconds (median of %d runs) and peak resident memory (largest run)\n" % args.runs)
    print("| image | floor s | ours s | ImageMagick s | ours/floor | ours/IM | floor MiB | ours MiB | ours/floor mem |")
    print("|---|---|---|---|---|---|---|---|---|")
    for image in images:
        samples = {t: [] for t in tools}
        for _ in range(args.runs):
            for tool in tools:  # interleaved, so drift of the machine hits all alike
                samples[tool].append(run_tool(tool, image, args.build, scratch))
        t = {k: statistics.median(s[0] for s in v) for k, v in samples.items()}
        m = {k: max(s[1] for s in v) / 1024 for k, v in samples.items()}
        row = (os.path.basename(image), t["floor"], t["ours"], t["magick"],
               t["ours"] / t["floor"], t["ours"] / t["magick"], m["floor"], m["ours"],
               m["ours"] / m["floor"])
        rows.append(row)
        print("| %s | %.3f | %.3f | %.3f | %.3f | %.3f | %.1f | %.1f | %.3f |" % row, flush=True)
    col = lambda i: [r[i] for r in rows]
    print()
    print("median ours/floor CPU time %.3f (max %.3f); median ours/ImageMagick %.3f; "
          "median ours/floor memory %.3f (max %.3f); %d images, %d runs each"
          % (statistics.median(col(4)), max(col(4)), statistics.median(col(5)),
             statistics.median(col(8)), max(col(8)), len(rows), args.runs))
    whole_batch(images, args.build, args.runs, scratch)
    peers(images, args.build, args.runs, scratch)
    encode_alone(images, args.build, args.runs)
    encoders_alone(images, args.build, args.runs, scratch)
    decode_alone(images, args.build, args.runs)
    shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
