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


def inquiry(vendor, product, revision, date, peripheral=5):
    """96 bytes of INQUIRY data: texts blank-padded at 8, 16, 32 and 37."""
    data = bytearray(b" " * 96)
    data[0:8] = bytes([peripheral, 0x80, 0x02, 0x02, 91, 0, 0, 0])

    def put(at, width, text):
        raw = text if isinstance(text, bytes) else text.encode("latin-1")
        data[at:at + width] = raw[:width].ljust(width, b" ")

    put(8, 8, vendor)
    put(16, 16, product)
    put(32, 5, revision)
    put(37, 10, date)
    return bytes(data)


def vendor_identity(hardware, signature, normal):
    data = bytearray(48)
    data[16:24] = hardware.ljust(8, b" ")[:8]
    data[24:32] = signature.ljust(8, b" ")[:8]
    data[32:40] = normal.ljust(8, b" ")[:8]
    return bytes(data)


def write(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# Byte 0 of the revision target: model (bits 0-2: 0x4004, 0x1003, 0x1004,
# 0x1005, 7, 0x1041, 0x4001, 0), After (0x08), kernel and normal (0x10),
# kernel seen before (0x20), vendor identity present (0x40).
def revision_seeds(_tool, folder):
    general = vendor_identity(b"SAT 0001", b"GENERAL ", b"GENERAL ")
    halv = vendor_identity(b"SAT 0730", b"HALV    ", b"HALV    ")
    seeds = {
        "seed-bd-long-date": (0x40, inquiry("QUORVEN", "BD-RW   MHT-860", "1.05", "2009/01/20"), general),
        "seed-bd-after": (0x48, inquiry("QUORVEN", "BD-RW   MHT-860", "1.10", "2009/02/18"), general),
        "seed-dvd-short-date": (0x42, inquiry("QUORVEN", "DVD-RW  KWX-730", "1.30", "09/03/10"), general),
        "seed-dvd-after": (0x4A, inquiry("QUORVEN", "DVD-RW  KWX-730", "1.40", "09/06/01"), general),
        "seed-dvd-utility-too-old": (0x42, inquiry("QUORVEN", "DVD-RW  KWX-730", "4.21", "09/03/10"), halv),
        "seed-dvd-kernel-too-old": (0x41, inquiry("QUORVEN", "DVD-RW  KWX-720", "1.28", "08/01/01"), general),
        "seed-dvd-kernel": (0x41, inquiry("QUORVEN", "DVD-RW  KWX-720", "0000", "08/10/01"), general),
        "seed-wendrix": (0x40, inquiry("Wendrix", "DVD-RW  WX-12", "2.01", "Feb182009"), general),
        "seed-wendrix-bad-month": (0x40, inquiry("Wendrix", "DVD-RW  WX-12", "2.01", "Xyz182009"), general),
        "seed-g6-patch": (0x44, inquiry("QUORVEN", "DVD-ROM RQV-590", "1.06", "2001/05/10"), general),
        "seed-escape-sequences": (0x40, inquiry("QUORVEN", b"\x1b[2J\x1b[H\x07OWNED", b"1\x1b[0", b"\r\n\x08\x08/01/20"), general),
        "seed-zero-bytes": (0x40, inquiry(b"QUO\0VEN", b"BD-RW\0\0", b"\0.05", b"2009/\0/20"), general),
    }
    for name, (choice, data, identity) in seeds.items():
        write(folder, name, bytes([choice]) + data + identity)


# Byte 0 of the vendor identity target: release table (bits 0-1: built-in,
# DVD 0x1004, 0x1100, two entries), update all drives (0x04), the drive
# answers buffer 0xF1 (0x08), the image carries the drive's texts (0x10), the
# drive runs a newer firmware (0x20).
def vendor_identity_seeds(_tool, folder):
    bd = inquiry("QUORVEN", "BD-RW   MHT-860", "1.05", "2009/01/20")
    dvd = inquiry("QUORVEN", "DVD-RW  KWX-730", "1.30", "09/03/10")
    seeds = {
        "seed-release-drive": (0x18, bd, vendor_identity(b"SAT 0001", b"GENERAL ", b"GENERAL ")),
        "seed-kernel-only": (0x18, bd, vendor_identity(b"SAT 0001", b"GENERAL ", b"        ")),
        "seed-scsi-class": (0x18, bd, vendor_identity(b"SCSI0001", b"GENERAL ", b"GENERAL ")),
        "seed-latest": (0x3C, bd, vendor_identity(b"SAT 0001", b"GENERAL ", b"GENERAL ")),
        "seed-other-image": (0x08, bd, vendor_identity(b"SAT 0002", b"GENERAL ", b"GENERAL ")),
        "seed-dvd-halv": (0x1B, dvd, vendor_identity(b"SAT 0740", b"HALV    ", b"HALV    ")),
        "seed-dvd-unknown-oem": (0x19, dvd, vendor_identity(b"SAT 0730", b"NOBODY  ", b"GENERAL ")),
        "seed-no-vendor-identity": (0x02, dvd, vendor_identity(b"", b"", b"")),
        "seed-control-bytes": (0x18, bd, vendor_identity(b"\x1b[2J\x07\x08\r", b"GEN\x1bRAL", b"\x1b]0;x\x07")),
    }
    for name, (choice, data, identity) in seeds.items():
        write(folder, name, bytes([choice]) + data + identity)


def scenario_seeds(_tool, folder):
    # Every example scenario, and a few small ones.
    examples = os.path.join(ROOT, "scenarios")
    for name in sorted(os.listdir(examples)):
        if name.endswith(".json"):
            with open(os.path.join(examples, name), "rb") as f:
                write(folder, "seed-" + name, f.read())
    small = {
        "seed-empty-object.json": b"{}",
        "seed-not-json": b"{\"drives\": [",
        "seed-escape-identity.json": (
            b'{"drives": [{"letter": "E", "preset": "release", "identity": '
            b'{"revision": "1\\u001b[0", "date": "\\u001b[2J\\u0007\\b/20"},'
            b' "vendorIdentity": {"hardwareRevision": "SAT 0001", "signature": "GENERAL ",'
            b' "normalModelName": "GENERAL "}, "family": {"kind": "bd"}}],'
            b' "files": {"S1005001.110": {"image": {}}}}'),
        "seed-faults.json": (
            b'{"drives": [{"letter": "E", "preset": "release", "family": {"kind": "bd"},'
            b' "faults": {"seed": 7, "rules": [{"opcode": "0x3B", "mode": 7, "probability": 0.1,'
            b' "action": "lie-zero"}, {"nth": 90, "action": "disappear"}]}}],'
            b' "files": {"S1005001.110": {"image": {}}}}'),
        "seed-too-large.json": b'{"files": {"A": {"image": {"size": "0xFFFFFFFF"}}}}',
    }
    for name, data in small.items():
        write(folder, name, data)


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        ROOT, "build", "debug", "tools", "oddfw-mkimage")
    for target, make in (("load_image", image_seeds), ("hex_loader", hex_seeds),
                         ("revision", revision_seeds), ("vendor_identity", vendor_identity_seeds),
                         ("scenario", scenario_seeds)):
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if name.startswith("seed-"):
                os.remove(os.path.join(folder, name))
        make(tool, folder)
        open(os.path.join(folder, "seed-empty"), "wb").close()


if __name__ == "__main__":
    main()
