#!/usr/bin/env python3
"""Writes the generated seed inputs of the fuzz targets into fuzz/corpus/.

Images come from oddfw-mkimage, kept small (a header and a little payload);
HEX texts from oddfw-mkimage's HEX writer or written here record by record.
Files named seed-* are rewritten by this script; regression inputs (inputs
that once found a fault) are named regress-* and are kept as they are.

usage: fuzz/make_seeds.py [path/to/oddfw-mkimage]   (default: the debug build's)
"""

import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def mkimage(tool, out, *options):
    subprocess.run([tool, *options, out], check=True, stdout=subprocess.DEVNULL)


def record(kind, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF)


def image_seeds(tool, folder):
    small = ["--size", "0x200"]
    seeds = {
        "seed-normal.bin": small,
        "seed-kernel.bin": small + ["--part", "K", "--kernel-revision", "0001"],
        "seed-wendrix.bin": small + ["--vendor", "Wendrix ", "--date", "Feb18 2009"],
        "seed-wendrix-unknown-month.bin": small + ["--vendor", "Wendrix ", "--date", "Xyz18 2009"],
        "seed-too-old.bin": small + ["--date", "09/02/17"],
        "seed-not-general.bin": small + ["--signature", "SPECIAL "],
        "seed-revision-0.99.bin": small + ["--revision", "0.99 "],
        "seed-header-only.bin": ["--size", "0x160"],
        "seed-no-whole-header.bin": ["--size", "0x15f"],
        "seed-blank-date.bin": small + ["--date", " 9/ 2/18"],
    }
    for name, options in seeds.items():
        mkimage(tool, os.path.join(folder, name), *options)


def hex_seeds(tool, folder):
    end = ":00000001FF"
    crlf = "\r\n"
    texts = {
        "seed-example.hex": crlf.join([":0400100012345678D8", end, ""]),
        "seed-segment.hex": crlf.join([":020000021000EC", record(0, 0x0020, [0x5A]), end, ""]),
        "seed-patch-window.hex": "\n".join(
            [record(2, 0, [0x20, 0x00]), record(0, 0x0000, list(range(16))),
             record(0, 0x0FF0, [0xEE] * 16), record(0, 0x1000, [0x11]), end, ""]),
        "seed-no-end-record.hex": "\n".join([record(0, 0x0100, [1, 2, 3, 4]), ""]),
        "seed-no-start-character.hex": crlf.join([record(0, 0, [1]), " " + end, ""]),
        "seed-bad-checksum.hex": crlf.join([":0400100012345678D9", end, ""]),
        "seed-other-types.hex": crlf.join(
            [record(4, 0, [0x00, 0x01]), record(3, 0, [0, 0, 0, 0]), record(5, 0, [0, 0, 0, 0]),
             record(0, 0x10, [0xAB]), end, ""]),
        "seed-long-line.hex": record(0, 0, [0x42] * 255) + ("0" * 600) + crlf + end + crlf,
        "seed-lone-cr.hex": record(0, 0, [7]) + "\r" + end + "\r\n",
        "seed-lowercase.hex": crlf.join([":0400100012345678d8", end, ""]),
    }
    for name, text in texts.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(text.encode("ascii"))
    # And what the image generator's HEX writer makes of a small image.
    with tempfile.TemporaryDirectory() as tmp:
        binary = os.path.join(tmp, "image.bin")
        mkimage(tool, binary, "--no-header", "--size", "0x60", "--seed", "7")
        mkimage(tool, os.path.join(folder, "seed-writer-16.hex"), "--hex-from", binary)
        mkimage(tool, os.path.join(folder, "seed-writer-32-lf.hex"), "--hex-from", binary,
                "--hex-width", "32", "--lf")


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        ROOT, "build", "debug", "tools", "oddfw-mkimage")
    for target, make in (("load_image", image_seeds), ("hex_loader", hex_seeds)):
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if name.startswith("seed-"):
                os.remove(os.path.join(folder, name))
        make(tool, folder)
        open(os.path.join(folder, "seed-empty"), "wb").close()


if __name__ == "__main__":
    main()
