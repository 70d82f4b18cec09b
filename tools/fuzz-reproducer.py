#!/usr/bin/env python3
"""Turns a fuzz input into the image file it stands for, for tests/regression/:
    tools/fuzz-reproducer.py build/fuzz/artifacts/crash-... tests/regression/NAME
Byte 0 picked the name ending and byte 1 the quality (see the harness); the file
keeps the ending the harness gave it."""
import os
import sys

ENDINGS = [".jpg", ".jpeg", ".png", ".JPG", ".JPEG", ".PNG", ".Jpg", ".pNg", ".x.png", ".png.jpg"]

data = open(sys.argv[1], "rb").read()
if len(data) < 2:
    sys.exit("too short to be a fuzz input")
target = sys.argv[2] + ENDINGS[data[0] % len(ENDINGS)]
with open(target, "wb") as out:
    out.write(data[2:])
print(target, "(quality %d)" % (data[1] % 101))
