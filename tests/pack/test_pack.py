#!/usr/bin/python3
"""Tests of zovari-pack: payloads against an independent reading of the
container format and the zstd command-line tool, the refusals,
list/extract/verify, reproducible launchers of both targets, and launchers
built from a payload that this test writes itself.

Environment: ZOVARI_PACK (the zovari-pack binary, required; it uses its own
runtime images), ZOVARI_WINDOWS_RUNTIME (the Windows runtime image it uses),
WINEPREFIX (optional; a throwaway prefix otherwise).

Run: /usr/bin/python3 tests/pack/test_pack.py [-v]
"""

import json
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
PACK = os.environ.get("ZOVARI_PACK", "")
WINDOWS_RUNTIME = os.environ.get("ZOVARI_WINDOWS_RUNTIME", "")
BUILD_DIR = os.environ.get("ZOVARI_BUILD_DIR", "")
WINDOWS_BUILD_DIR = os.environ.get("ZOVARI_WINDOWS_BUILD_DIR", "")
WINDOWS_TOOL = os.path.join(WINDOWS_BUILD_DIR, "zovari-pack-windows", "zovari-pack.exe")
INTERRUPT_DRIVER = os.path.join(WINDOWS_BUILD_DIR, "tests", "pack", "zovari_pack_interrupt_driver.exe")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MINGW_CC = "x86_64-w64-mingw32-gcc-posix"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"

TMP = None


# --- An independent reading and writing of the format -------------------------

def checksum(data):
    crc = zlib.crc32(data) & 0xFFFFFFFF
    return crc or 1


def units(name):
    """The UTF-16 code units of a name, the order the tool sorts by."""
    raw = name.encode("utf-16-le")
    return struct.unpack("<%dH" % (len(raw) // 2), raw)


def payload_stream(records):
    """records: [(name with "\\", bytes)] in order."""
    out = bytearray()
    for name, data in records:
        out += name.encode("utf-16-le") + b"\0\0"
        out += struct.pack("<QI", len(data), checksum(data))
        out += data
    return bytes(out + b"\0\0")


def expected_records(folder, main):
    """The records the tool must write for a folder: main first, the rest by
    UTF-16 units."""
    files = {}
    for root, dirs, names in os.walk(folder):
        for n in names:
            path = os.path.join(root, n)
            rel = os.path.relpath(path, folder)
            files[rel.replace("/", "\\")] = read(path)
    main = main.replace("/", "\\")
    rest = sorted((n for n in files if n != main), key=units)
    return [(main, files[main])] + [(n, files[n]) for n in rest]


def frame_blocks_end(frame):
    """The length of the zstd frame at the start of frame, by walking its block
    headers (RFC 8878)."""
    assert frame[:4] == ZSTD_MAGIC
    fhd = frame[4]
    single = (fhd >> 5) & 1
    fcs = {0: 1 if single else 0, 1: 2, 2: 4, 3: 8}[fhd >> 6]
    pos = 5 + (0 if single else 1) + [0, 1, 2, 4][fhd & 3] + fcs
    while True:
        header = frame[pos] | frame[pos + 1] << 8 | frame[pos + 2] << 16
        last, kind, size = header & 1, (header >> 1) & 3, header >> 3
        pos += 3 + (1 if kind == 1 else size)
        if last:
            break
    if (fhd >> 2) & 1:
        pos += 4
    return pos


def split_container(payload):
    """(frame, padding, trailer value) of a payload, checking the layout."""
    assert payload[:3] == b"QDY", payload[:3]
    n = frame_blocks_end(payload[3:])
    frame = payload[3:3 + n]
    p = (8 - (3 + n) % 8) % 8
    padding = payload[3 + n:3 + n + p]
    trailer, = struct.unpack("<Q", payload[3 + n + p:3 + n + p + 8])
    return frame, padding, trailer, 3 + n + p + 8


def write_payload(records, level=3):
    """A payload written without zovari-pack: Python and the zstd CLI."""
    stream = payload_stream(records)
    frame = subprocess.run(["zstd", "-q", "-c", "-%d" % level, "--no-check"], input=stream,
                           stdout=subprocess.PIPE, check=True).stdout
    body = b"QDY" + frame
    body += b"\0" * ((8 - len(body) % 8) % 8)
    return body + struct.pack("<Q", len(body))


# --- Helpers ------------------------------------------------------------------------

def read(path):
    with open(path, "rb") as f:
        return f.read()


def flip_payload_byte(launcher, damaged):
    """A copy of launcher at damaged with one byte inside its payload flipped."""
    data = bytearray(read(launcher))
    data[data.find(b"QDY" + ZSTD_MAGIC) + 40] ^= 0x10
    with open(damaged, "wb") as f:
        f.write(data)
    return damaged


def value_positions(data, area, width):
    """The file positions of a launcher's build values (current layout), as
    their checksum covers them: each from its offset through its end."""
    positions = set()
    for slot in range(10):
        at = area + struct.unpack_from("<Q", data, area + 48 + 8 * slot)[0]
        unit = 2 if slot == 7 else width
        while True:
            start = at
            while data[at:at + unit] != b"\0" * unit:
                at += unit
            at += unit
            positions.update(range(start, at))
            if slot != 6 or at - start == unit:
                break
    return positions


def earlier_layout(data, count):
    """A Linux launcher of the current layout rewritten into the build area of
    an earlier one (image/build_area.h): 7 values, 8 with the quick-start
    list before the fixed arguments, 9 with the options after it; no
    checksum, the list in wide characters.  The payload stays in place."""
    area = data.rindex(b"ZovariBuildArea\0")
    payload_offset = struct.unpack_from("<Q", data, area + 24)[0]

    def value(slot, unit, many=False):
        at = area + struct.unpack_from("<Q", data, area + 48 + 8 * slot)[0]
        start = at
        while True:
            begin = at
            while data[at:at + unit] != b"\0" * unit:
                at += unit
            at += unit
            if not many or at - begin == unit:
                return data[start:at]

    values = [value(slot, 4) for slot in range(6)]
    arguments = value(6, 4, many=True)
    quick = value(7, 2)
    wide_quick = b"".join(quick[i:i + 2] + b"\0\0" for i in range(0, len(quick), 2))
    order = {7: values + [arguments], 8: values + [wide_quick, arguments],
             9: values + [wide_quick, value(8, 4), arguments]}[count]
    body = b""
    offsets = []
    head_size = 48 + 8 * count
    for text in order:
        body += b"\0" * ((4 - (head_size + len(body)) % 4) % 4)
        offsets.append(head_size + len(body))
        body += text
    assert head_size + len(body) <= payload_offset
    head = bytearray(data[area:area + 48])
    struct.pack_into("<Q", head, 40, count)
    head += b"".join(struct.pack("<Q", offset) for offset in offsets)
    area_bytes = bytes(head) + body
    area_bytes += b"\0" * (payload_offset - len(area_bytes))
    return data[:area] + area_bytes + data[area + payload_offset:]


def pack(*args, check=True, env=None):
    result = subprocess.run([PACK] + [str(a) for a in args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    if check and result.returncode != 0:
        raise AssertionError("zovari-pack %s failed: %s" % (" ".join(map(str, args)),
                                                              result.stderr.decode()))
    return result


def listing(path):
    """The file lines of `list`, without its heading."""
    lines = pack("list", path).stdout.decode().splitlines()
    return [line for line in lines if not line.startswith("#")]


def pe_head(subsystem, machine=0x8664, characteristics=0x0022, magic=0x20B):
    """The first bytes of a PE program of that subsystem (2 GUI, 3 console): all the tool
    reads.  By default an x86-64 executable image (PE32+), no DLL."""
    head = bytearray(0x40 + 4 + 20 + 240)
    head[0:2], head[0x40:0x44] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", head, 0x3C, 0x40)
    struct.pack_into("<HHIIIHH", head, 0x44, machine, 0, 0, 0, 0, 240, characteristics)
    struct.pack_into("<H", head, 0x40 + 24, magic)
    struct.pack_into("<H", head, 0x40 + 24 + 68, subsystem)
    return bytes(head)


def make_tree(folder, files):
    """files: {relative name with "/": bytes}."""
    for name, data in files.items():
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return folder


def read_tree(folder):
    out = {}
    for root, dirs, names in os.walk(folder):
        for n in names:
            path = os.path.join(root, n)
            out[os.path.relpath(path, folder).replace(os.sep, "/")] = read(path)
    return out


def sample_files():
    rng = random.Random(7)
    return {
        "app.bin": b"\x7fELF pretend program" * 50,
        "data/readme.txt": b"hello\n",
        "data/empty": b"",
        "data/nested/deeper/values.csv": b"".join(b"%d,%d\n" % (i, i * i) for i in range(3000)),
        "data/caf\u00e9 \u263a/\U0001F600.txt": b"unicode names\n",
        "Zeta.txt": b"upper case sorts before lower case\n",
        "zero-crc": b"\x9d\x0a\xd9\x6d",  # its CRC-32 is 0: stored as 1
        "random.bin": bytes(rng.getrandbits(8) for _ in range(70000)),
    }


class Base(unittest.TestCase):
    def scratch(self):
        path = tempfile.mkdtemp(dir=TMP)
        return path

    def assert_refused(self, args, output, fragment=None):
        before = set(os.listdir(os.path.dirname(output))) if os.path.isdir(os.path.dirname(output)) else set()
        result = pack(*args, check=False)
        err = result.stderr.decode("utf-8", "replace")
        self.assertNotEqual(result.returncode, 0, "accepted: %s" % (args,))
        self.assertEqual(len(err.splitlines()), 1, "not one line: %r" % err)
        self.assertTrue(err.startswith("zovari-pack"), err)
        if fragment:
            self.assertIn(fragment, err)
        self.assertFalse(os.path.exists(output), "output left behind")
        if before or os.path.isdir(os.path.dirname(output)):
            after = set(os.listdir(os.path.dirname(output)))
            self.assertEqual(after, before, "files left beside the output")
        return err


# --- Payloads -----------------------------------------------------------------------

class PayloadFormat(Base):
    def pack_folder(self, files, main, level=3):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), files)
        out = os.path.join(work, "payload.bin")
        pack("payload", "--input", folder, "--main", main, "--output", out, "--level", level)
        return folder, read(out)

    def check_against_zstd_cli(self, folder, main, payload):
        self.assertEqual(payload[3:7], ZSTD_MAGIC)
        self.assertEqual(payload[7:9], b"\x00\x88", "frame header descriptor and window")
        frame, padding, trailer, length = split_container(payload)
        decoded = subprocess.run(["zstd", "-q", "-d", "-c"], input=frame, stdout=subprocess.PIPE,
                                 check=True).stdout
        self.assertEqual(decoded, payload_stream(expected_records(folder, main)))
        # The whole file after the magic decodes too, up to the padding.
        self.assertEqual(length, len(payload))

    def test_tiny_payload_decodes_with_zstd(self):
        for level in (1, 19):
            folder, payload = self.pack_folder({"main": b""}, "main", level=level)
            self.check_against_zstd_cli(folder, "main", payload)

    def test_payload_decodes_with_zstd(self):
        files = sample_files()
        folder, payload = self.pack_folder(files, "app.bin")
        self.check_against_zstd_cli(folder, "app.bin", payload)

    def test_large_payload_keeps_the_header(self):
        rng = random.Random(3)
        big = bytes(rng.getrandbits(8) for _ in range(1 << 20)) * 6 + b"x" * (3 << 20)
        folder, payload = self.pack_folder({"bin/main.exe": b"MZ", "big.dat": big}, "bin/main.exe", 1)
        self.check_against_zstd_cli(folder, "bin/main.exe", payload)

    def test_main_first_and_sorted_by_utf16_units(self):
        files = {"m/run": b"x", "b": b"1", "B": b"2", "a\u00e9": b"3", "\U0001F600": b"4",
                 "\uff5e": b"5", "a/b": b"6", "a-b": b"7"}
        folder, payload = self.pack_folder(files, "m/run")
        names = [line.split(" ", 2)[2] for line in listing(os.path.join(os.path.dirname(folder), "payload.bin"))]
        self.assertEqual(names[0], "m\\run")
        self.assertEqual(names[1:], sorted(names[1:], key=units))
        # U+1F600 (surrogates D83D...) sorts before U+FF5E in UTF-16 units.
        self.assertLess(names.index("\U0001F600"), names.index("\uff5e"))

    def test_container_layout(self):
        folder, payload = self.pack_folder(sample_files(), "app.bin")
        frame, padding, trailer, length = split_container(payload)
        self.assertEqual(len(payload) % 8, 0)
        self.assertEqual(padding, b"\0" * len(padding))
        self.assertLess(len(padding), 8)
        self.assertEqual(trailer, 3 + len(frame) + len(padding))
        self.assertEqual(trailer, len(payload) - 8)

    def test_same_folder_same_bytes(self):
        files = sample_files()
        work = self.scratch()
        first = make_tree(os.path.join(work, "one"), files)
        second = make_tree(os.path.join(work, "elsewhere", "two"), files)
        outs = []
        for i, folder in enumerate([first, first, second]):
            out = os.path.join(work, "p%d.bin" % i)
            pack("payload", "--input", folder, "--main", "app.bin", "--output", out, "--level", 19)
            outs.append(read(out))
        self.assertEqual(outs[0], outs[1])
        self.assertEqual(outs[0], outs[2])
        # The same bytes for any number of compression threads, on an input
        # of several of zstd's jobs, so that two workers really share it.
        rng = random.Random(5)
        words = [bytes(rng.getrandbits(8) for _ in range(rng.randrange(3, 12))) for _ in range(4000)]
        files["large.dat"] = b" ".join(rng.choice(words) for _ in range(900000))
        make_tree(first, {"large.dat": files["large.dat"]})
        by_jobs = []
        for jobs in (1, 2, 3):
            out = os.path.join(work, "jobs%d.bin" % jobs)
            pack("payload", "--input", first, "--main", "app.bin", "--output", out, "--level", 3,
                 "--jobs", jobs)
            by_jobs.append(read(out))
        self.assertGreater(len(files["large.dat"]), 6 << 20)
        self.assertEqual(by_jobs[0], by_jobs[1])
        self.assertEqual(by_jobs[0], by_jobs[2])
        self.assertEqual(by_jobs[0][7:9], b"\x00\x88", "frame header descriptor and window")

    def test_checksums_never_zero(self):
        self.assertEqual(zlib.crc32(b"\x9d\x0a\xd9\x6d"), 0)
        folder, payload = self.pack_folder({"main": b"", "other": b"abc", "zero": b"\x9d\x0a\xd9\x6d"},
                                           "main")
        lines = listing(os.path.join(os.path.dirname(folder), "payload.bin"))
        self.assertEqual(lines, ["0 00000001 main", "3 %08x other" % zlib.crc32(b"abc"),
                                 "4 00000001 zero"])

    def test_links_to_files_are_followed(self):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"main": b"m", "real.txt": b"real"})
        os.symlink("real.txt", os.path.join(folder, "link.txt"))
        out = os.path.join(work, "p.bin")
        pack("payload", "--input", folder, "--main", "main", "--output", out, "--level", 1)
        lines = listing(out)
        self.assertIn("4 %08x link.txt" % checksum(b"real"), lines)
        self.assertIn("4 %08x real.txt" % checksum(b"real"), lines)


class Refusals(Base):
    def setUp(self):
        self.work = self.scratch()
        self.out = os.path.join(self.work, "out", "payload.bin")
        os.makedirs(os.path.dirname(self.out))

    def refuse(self, folder, main, fragment=None):
        return self.assert_refused(["payload", "--input", folder, "--main", main,
                                    "--output", self.out, "--level", 1], self.out, fragment)

    def test_missing_folder(self):
        self.refuse(os.path.join(self.work, "nope"), "main", "not found")

    def test_main_not_in_folder(self):
        folder = make_tree(os.path.join(self.work, "app"), {"a.txt": b"x"})
        self.refuse(folder, "main", "main binary")
        self.refuse(folder, "../app/a.txt", "main binary")
        self.refuse(folder, "/bin/sh", "main binary")

    def test_main_in_another_case_only_for_a_windows_program(self):
        folder = make_tree(os.path.join(self.work, "app"), {"lua.exe": pe_head(3), "run": b"#!/bin/sh\n"})
        pack("payload", "--input", folder, "--main", "LUA.EXE", "--output", self.out, "--level", 1)
        self.assertEqual(listing(self.out)[0].split(" ", 2)[2], "lua.exe")
        os.remove(self.out)
        self.refuse(folder, "RUN", "main binary not found")

    def test_main_not_a_regular_file(self):
        folder = make_tree(os.path.join(self.work, "app"), {"sub/a.txt": b"x"})
        self.refuse(folder, "sub", "main binary")

    def test_empty_folder(self):
        folder = os.path.join(self.work, "app", "nested")
        os.makedirs(folder)
        self.refuse(os.path.dirname(folder), "main", "no files")

    def test_name_too_long(self):
        parts = ["d%03d" % i + "x" * 200 for i in range(5)]  # 5 * 204 + 5 units > 1023
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m", "/".join(parts) + "/f": b"x"})
        self.refuse(folder, "main", "1023")

    def test_name_of_exactly_1023_units_is_accepted(self):
        parts = ["d" * 200] * 5                       # 5 * 200 + 4 separators = 1004
        name = "/".join(parts) + "/" + "f" * 18      # + 1 + 18 = 1023
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m", name: b"x"})
        pack("payload", "--input", folder, "--main", "main", "--output", self.out, "--level", 1)
        self.assertTrue(os.path.exists(self.out))

    def test_name_not_utf8(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m"})
        with open(os.path.join(folder.encode(), b"bad\xff.txt"), "wb") as f:
            f.write(b"x")
        self.refuse(folder, "main", "UTF-8")

    def test_name_with_backslash(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m", "a\\b": b"x"})
        self.refuse(folder, "main", "\\")

    def test_dangling_link_and_link_to_folder_unless_excluded(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m", "sub/x": b"x"})
        os.symlink("missing", os.path.join(folder, "sub", "gone"))
        os.symlink("missing", os.path.join(folder, "away"))
        # All of them in one run, by their paths in the folder.
        self.refuse(folder, "main", '2 dangling symbolic links in "%s": "away", "sub/gone"' % folder)
        os.remove(os.path.join(folder, "sub", "gone"))
        os.remove(os.path.join(folder, "away"))
        os.symlink("sub", os.path.join(folder, "again"))
        self.refuse(folder, "main", "folder")
        # Excluded means not looked at, by its name or by its folder's path.
        os.symlink("missing", os.path.join(folder, "sub", "gone"))
        pack("payload", "--input", folder, "--main", "main", "--output", self.out, "--level", 1,
             "--exclude", "again", "--exclude", "sub/gone")
        self.assertEqual([line.split(" ", 2)[2] for line in listing(self.out)], ["main", "sub\\x"])

    def test_exclude_by_name_and_by_path(self):
        files = {"main": b"m", "lib/py/email/a.py": b"1", "lib/py/email/mime/b.py": b"2",
                 "lib/py/emailer.py": b"3", "x/__pycache__/c.pyc": b"4", "docs/a.md": b"5",
                 "docs/keep.txt": b"6"}
        folder = make_tree(os.path.join(self.work, "app"), files)
        result = pack("payload", "--input", folder, "--main", "main", "--output", self.out, "--level", 1,
                      "--exclude", "lib/py/email", "--exclude", "__pycache__/", "--exclude", "./docs/*.md",
                      "--exclude", "nothing-here", "--exclude", "lib/none")
        names = [line.split(" ", 2)[2] for line in listing(self.out)]
        self.assertEqual(names, ["main", "docs\\keep.txt", "lib\\py\\emailer.py"])
        # Each pattern that left nothing out gets one warning line.
        self.assertEqual(result.stderr.decode().splitlines(),
                         ['zovari-pack: warning: --exclude "nothing-here" matches nothing',
                          'zovari-pack: warning: --exclude "lib/none" matches nothing'])
        other = self.out + ".2"
        self.assert_refused(["payload", "--input", folder, "--main", "lib/py/email/a.py", "--output", other,
                             "--exclude", "lib/py/email"], other, "leaves out the main binary")
        # A name that is not UTF-8 can be left out, by a pattern that is not UTF-8
        # either or by "?" and "*"; kept, it is refused by its path.
        with open(os.path.join(folder.encode(), b"docs", b"caf\xe9.log"), "wb") as f:
            f.write(b"7")
        for pattern in [b"caf\xe9.log", b"caf?.log", b"*.log"]:
            with self.subTest(pattern=pattern):
                pack("payload", "--input", folder, "--main", "main", "--output", self.out, "--level", 1,
                     "--exclude", pattern.decode("utf-8", "surrogateescape"), "--exclude", "*.md")
                names = [line.split(" ", 2)[2] for line in listing(self.out)]
                self.assertEqual(names, ["main", "docs\\keep.txt", "lib\\py\\email\\a.py",
                                         "lib\\py\\email\\mime\\b.py", "lib\\py\\emailer.py",
                                         "x\\__pycache__\\c.pyc"])
        self.assert_refused(["payload", "--input", folder, "--main", "main", "--output", other, "--exclude", "*.md"],
                            other, 'not valid UTF-8: "caf\\xE9.log"')

    def test_timestamp_pyc_files_get_one_warning(self):
        magic = b"\xa7\x0d\x0d\x0a"  # Python 3.11; then the flags word
        files = {"main": b"m", "a.py": b"", "__pycache__/a.cpython-311.pyc": magic + bytes(12),
                 "b.py": b"", "__pycache__/b.cpython-311.opt-1.pyc": magic + bytes(12),
                 "c.py": b"", "__pycache__/c.cpython-311.pyc": magic + b"\1\0\0\0" + bytes(8),
                 "lonely/__pycache__/d.cpython-311.pyc": magic + bytes(12)}
        folder = make_tree(os.path.join(self.work, "app"), files)
        result = pack("payload", "--input", folder, "--main", "main", "--output", self.out, "--level", 1)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("warning: 2 .pyc files are checked against their sources' modification times", lines[0])
        self.assertIn("--exclude __pycache__", lines[0])
        self.assertIn("compileall -f --invalidation-mode unchecked-hash", lines[0])

    def test_unreadable_file(self):
        # Reading /proc/self/mem at offset 0 fails, even as root.
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m"})
        os.symlink("/proc/self/mem", os.path.join(folder, "mem"))
        self.refuse(folder, "main", "cannot read")

    def test_file_that_changes_between_reads(self):
        # Every read of this file gives a new random UUID of the same length.
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m"})
        os.symlink("/proc/sys/kernel/random/uuid", os.path.join(folder, "uuid"))
        self.refuse(folder, "main", "changed while packing")

    def test_bad_options(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m"})
        self.assert_refused(["payload", "--input", folder, "--main", "main", "--output", self.out,
                             "--level", "99"], self.out, "--level")
        self.assert_refused(["payload", "--input", folder, "--main", "main", "--output", self.out,
                             "--bogus", "1"], self.out, "--bogus")
        self.assert_refused(["payload", "--input", folder, "--output", self.out], self.out, "--main")
        self.assert_refused(["nonsense"], self.out, "nonsense")

    def test_existing_output_is_kept_on_failure(self):
        with open(self.out, "wb") as f:
            f.write(b"before")
        result = pack("payload", "--input", os.path.join(self.work, "nope"), "--main", "m",
                      "--output", self.out, check=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(read(self.out), b"before")
        self.assertEqual(os.listdir(os.path.dirname(self.out)), ["payload.bin"])
        # An output that is no regular file is not replaced by one: a named pipe, and
        # a device (a null device of its own, made where root may make one).
        folder = make_tree(os.path.join(self.work, "special-app"), {"m": b"m"})
        specials = [("a named pipe", lambda path: os.mkfifo(path))]
        if os.geteuid() == 0:
            specials.append(("a device", lambda path: os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))))
        for what, make in specials:
            with self.subTest(what):
                special = os.path.join(self.work, "special", "output")
                os.makedirs(os.path.dirname(special), exist_ok=True)
                make(special)
                before = os.lstat(special)
                result = pack("payload", "--input", folder, "--main", "m", "--output", special, check=False)
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("which is %s, not a regular file" % what, result.stderr.decode())
                after = os.lstat(special)
                self.assertEqual((after.st_ino, after.st_mode), (before.st_ino, before.st_mode))
                self.assertEqual(os.listdir(os.path.dirname(special)), ["output"])
                os.unlink(special)

    @unittest.skipUnless(shutil.which("strace"), "no strace")
    def test_interrupt_while_the_output_is_renamed_lets_the_build_finish(self):
        # strace holds the rename of the launcher into place; an interrupt then
        # must not end the tool with the new launcher in place: it finishes and
        # says so, and leaves nothing behind.
        folder = make_tree(os.path.join(self.work, "app"), {"run": LINUX_MAIN})
        out = os.path.join(self.work, "out", "launcher")
        with open(out, "wb") as f:
            f.write(b"old")
        temporary = os.path.join(self.work, "tmp")
        os.makedirs(temporary)
        # The second rename: the payload's into the work folder comes first.
        tracer = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename",
                                   "-e", "inject=rename:delay_exit=1500000:when=2", PACK, "build", "--input", folder,
                                   "--main", "run", "--output", out, "--level", "1"],
                                  env=dict(os.environ, TMPDIR=temporary), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        while read(out) == b"old" and tracer.poll() is None:
            pass
        with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as f:
            os.kill(int(f.read().split()[0]), signal.SIGINT)
        _, err = tracer.communicate(timeout=60)
        self.assertEqual(tracer.returncode, 0, err)
        self.assertIn('"%s": 1 file' % out, err.decode())
        self.assertEqual((os.listdir(os.path.dirname(out)), os.listdir(temporary)), (["launcher"], []))
        self.assertEqual(listing(out)[0].split(" ", 2)[2], "run")

    def test_unknown_template_token(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"m"})
        launcher = os.path.join(self.work, "out", "launcher")
        for template in ["{CACHE_DIR}/{PRODUKT}", "{TEMP}/{VERSION"]:
            self.assert_refused(["build", "--target", "linux", "--input", folder, "--main", "main",
                                 "--output", launcher, "--template", template],
                                launcher, "template")

    def test_bad_version_for_windows(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main.exe": b"m"})
        launcher = os.path.join(self.work, "out", "launcher.exe")
        self.assert_refused(["build", "--input", folder, "--main", "main.exe", "--output", launcher,
                             "--version", "x1"], launcher, "--version")
        # Values that would break the path the launcher unpacks into.
        linux = os.path.join(self.work, "out", "launcher")
        for target, option, value, out in [("windows", "--product", "Foo: Deluxe", launcher),
                                           ("linux", "--version", "2.0/..", linux),
                                           ("linux", "--version", "..", linux),
                                           ("windows", "--product", "nul", launcher)]:
            self.assert_refused(["build", "--target", target, "--input", folder, "--main", "main.exe",
                                 "--output", out, option, value], out, option
                                if value != "nul" else "device")
        self.assert_refused(["build", "--target", "linux", "--input", folder, "--main", "main.exe",
                             "--output", linux, "--template", "/tmp/" + "x" * 4100],
                            linux, "path buffer")

    def test_templates_must_be_absolute_paths_of_the_target(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main": b"#!/bin/sh\n"})
        linux = os.path.join(self.work, "out", "launcher")
        # A relative template is allowed, with a warning that the folder
        # follows the current one; verify reads it as the launcher does.
        relative = os.path.join(self.work, "out", "relative")
        for template in ("rel/{PRODUCT}", "{COMPANY}/x"):
            result = pack("build", "--input", folder, "--main", "main", "--output", relative, "--company", "C",
                          "--template", template, "--level", 1)
            self.assertIn("gives a relative path: each start unpacks under the folder it is started in",
                          result.stderr.decode())
            pack("verify", relative)
        for template, fragment in [("{CACHE_DIR}\\x", "no separator on Linux")]:
            with self.subTest(template=template):
                self.assert_refused(["build", "--input", folder, "--main", "main", "--output", linux,
                                     "--company", "C", "--template", template],
                                    linux, fragment)
        # Every token that gives an absolute path may start it.
        for template in ["{PROGRAM_BASE}.cache", "{PROGRAM}.d"]:
            pack("build", "--input", folder, "--main", "main", "--output", linux, "--template", template,
                 "--level", 1)
        result = pack("build", "--input", folder, "--main", "main", "--output", linux, "--template", "",
                      check=False)
        self.assertEqual(result.returncode, 2)

    def test_names_that_differ_only_in_case_are_refused_for_windows(self):
        folder = make_tree(os.path.join(self.work, "app"), {"main.exe": pe_head(3), "README.txt": b"a",
                                                             "docs/\u00c9t\u00e9.txt": b"b", "readme.txt": b"c"})
        launcher = os.path.join(self.work, "out", "launcher.exe")
        self.assert_refused(["build", "--input", folder, "--main", "main.exe", "--output", launcher], launcher, "differ only in case")
        os.remove(os.path.join(folder, "readme.txt"))
        make_tree(folder, {"DOCS/\u00e9t\u00e9.txt": b"d"})
        self.assert_refused(["build", "--input", folder, "--main", "main.exe", "--output", launcher], launcher, "differ only in case")

    def test_names_are_judged_as_a_set(self):
        """A name twice (list would mark the first as the main binary, the launcher
        start the second), a name that is a file and a folder, and for Windows the
        same without regard to case: refused by launcher, verify and extract."""
        main = ("main.exe", pe_head(3))
        rows = [("twice", [main, ("data.txt", b"a"), ("data.txt", b"b")], True),
                ("the main binary twice", [main, ("main.exe", b"other")], True),
                ("a file and a folder", [main, ("a", b"file"), ("a\\b", b"below")], True),
                ("a folder and a file", [main, ("a\\b\\c", b"below"), ("a\\b", b"file")], True),
                ("the main binary twice in case", [main, ("data.txt", b"a"), ("MAIN.exe", b"b")], False),
                ("a file and a folder in case", [main, ("Lib", b"file"), ("lib\\x.dll", b"below")], False)]
        for what, records, everywhere in rows:
            with self.subTest(what):
                payload = os.path.join(self.work, "set.bin")
                with open(payload, "wb") as f:
                    f.write(write_payload(records))
                result = pack("verify", payload, check=False)
                self.assertEqual(result.returncode, 1 if everywhere else 0, result)
                if everywhere:
                    self.assertIn("the payload holds", result.stderr.decode())
                    extracted = os.path.join(self.work, "out", "extracted")
                    self.assert_refused(["extract", payload, extracted], extracted, "the payload holds")
                for target in ("linux", "windows") if everywhere else ("windows",):
                    launcher = os.path.join(self.work, "out", "launcher")
                    self.assert_refused(["launcher", "--target", target, "--payload", payload,
                                         "--output", launcher], launcher, "the payload holds")
        if not os.path.exists(WINDOWS_RUNTIME):
            return
        # verify takes a Windows launcher's names by the Windows rules: one whose names
        # differ only in case, one of them the main binary, made here by putting such a
        # payload in place of one of the same length (incompressible data: both frames
        # store it as it is).
        data = pe_head(3) + os.urandom(4096)
        clean, colliding = (write_payload([main[:1] + (data,), ("data.txt", b"a"), (last, b"b")])
                            for last in ("MAIN.ex_", "MAIN.exe"))
        self.assertEqual(len(clean), len(colliding))
        payload = os.path.join(self.work, "clean.bin")
        with open(payload, "wb") as f:
            f.write(clean)
        launcher = os.path.join(self.work, "out", "clean.exe")
        pack("launcher", "--target", "windows", "--payload", payload, "--output", launcher)
        image = read(launcher)
        at = image.index(clean)
        with open(launcher, "wb") as f:
            f.write(image[:at] + colliding + image[at + len(clean):])
        result = pack("verify", launcher, check=False)
        self.assertEqual(result.returncode, 1, result)
        self.assertIn("differ only in case", result.stderr.decode())

    def test_launcher_refuses_bad_payloads(self):
        good = write_payload([("main", b"m")])
        launcher = os.path.join(self.work, "out", "launcher")
        cases = {
            "magic": b"QDX" + good[3:],
            "length": good + b"\0\0\0\0",
            "trailer": good[:-8] + struct.pack("<Q", len(good)),
            "padding": good[:-9] + b"\1" + good[-8:] if good[-9] == 0 else None,
        }
        for what, data in cases.items():
            if data is None:
                continue
            path = os.path.join(self.work, what + ".bin")
            with open(path, "wb") as f:
                f.write(data)
            self.assert_refused(["launcher", "--target", "linux", "--payload", path,
                                 "--output", launcher], launcher)

    def test_hostile_names_are_refused_everywhere(self):
        def payload(name, main="main"):
            path = os.path.join(self.work, "hostile.bin")
            with open(path, "wb") as f:
                f.write(write_payload([(main, b"m"), (name, b"evil")]))
            return path

        launcher = os.path.join(self.work, "out", "launcher")
        escapes = ["..\\..\\escaped.txt", "a/../../../escaped2.txt", "/etc/x", "C:\\x", "a//b", "n" * 1023]
        for name in escapes:
            with self.subTest(name=name):
                path = payload(name)
                self.assert_refused(["launcher", "--target", "linux", "--payload", path,
                                     "--output", launcher], launcher, "name")
                self.assertEqual(pack("verify", path, check=False).returncode, 1)
                out = os.path.join(self.work, "x")
                self.assertEqual(pack("extract", path, out, check=False).returncode, 1)
                self.assertFalse(os.path.exists(os.path.join(self.work, "escaped2.txt")))
        # Names that Windows cannot store, or reads as something else.
        windows = ["data\\CON.txt", "lpt3", "com\u00b9.log", "ab:stream", "dots.", "space \\x",
                   "what?", "a|b", "tab\tname", "d/e"]
        launcher = os.path.join(self.work, "out", "launcher.exe")
        for name in windows:
            with self.subTest(name=name):
                self.assert_refused(["launcher", "--target", "windows", "--payload",
                                     payload(name, "main.exe"), "--output", launcher], launcher, "Windows")
        folder = make_tree(os.path.join(self.work, "app"), {"main.exe": b"m", "lib/aux.dll": b"x"})
        self.assert_refused(["build", "--input", folder, "--main", "main.exe", "--output", launcher], launcher, "device")


# --- list, extract, verify -------------------------------------------------------

class Inspection(Base):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(dir=TMP)
        cls.files = sample_files()
        cls.folder = make_tree(os.path.join(cls.work, "app"), cls.files)
        cls.payload = os.path.join(cls.work, "payload.bin")
        pack("payload", "--input", cls.folder, "--main", "app.bin", "--output", cls.payload,
             "--level", 3)

    def expected_listing(self):
        return ["%d %08x %s" % (len(data), checksum(data), name)
                for name, data in expected_records(self.folder, "app.bin")]

    def test_list(self):
        self.assertEqual(listing(self.payload),
                         self.expected_listing())
        # Control and invisible characters in names cannot break lines, drive
        # the terminal or make two names look alike; the heading names the
        # main binary, so that a file called "x (main)" is just that.
        path = os.path.join(self.scratch(), "controls.bin")
        with open(path, "wb") as f:
            f.write(write_payload([("main", b"m"), ("a\x1b[2Jb\nc\u202e", b""),
                                   ("x (main)", b""), ("zero\u200bwidth\ufeff", b"")]))
        self.assertEqual(pack("list", path).stdout.decode().splitlines(),
                         ["# payload file", "# main: main", "1 %08x main" % checksum(b"m"),
                          "0 00000001 a\\x1B[2Jb\\x0Ac\\u202E", "0 00000001 x (main)",
                          "0 00000001 zero\\u200Bwidth\\uFEFF"])
        # --json: the same, for scripts, with every name whole.
        listed = json.loads(pack("list", "--json", path).stdout.decode())
        self.assertEqual(listed, {"kind": "payload", "main": "main", "files": [
            {"name": "main", "size": 1, "checksum": "%08x" % checksum(b"m")},
            {"name": "a\x1b[2Jb\nc\u202e", "size": 0, "checksum": "00000001"},
            {"name": "x (main)", "size": 0, "checksum": "00000001"},
            {"name": "zero\u200bwidth\ufeff", "size": 0, "checksum": "00000001"}]})

    def test_extract(self):
        out = os.path.join(self.scratch(), "x")
        pack("extract", self.payload, out)
        self.assertEqual(read_tree(out), self.files)
        # A file already in its place is kept: extract replaces nothing.
        name = sorted(self.files)[-1]
        with open(os.path.join(out, name), "wb") as f:
            f.write(b"mine")
        os.remove(os.path.join(out, sorted(self.files)[0]))
        result = pack("extract", self.payload, out, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("a file is already in its place", result.stderr.decode())
        self.assertEqual(read(os.path.join(out, name)), b"mine")
        # The main binary and what starts like a program can be run, as the launcher leaves them.
        path = os.path.join(self.scratch(), "modes.bin")
        with open(path, "wb") as f:
            f.write(write_payload([("main", b"m"), ("run.sh", b"#!/bin/sh\n"), ("lib.dll", b"MZ"),
                                   ("tool", b"\x7fELF"), ("notes", b"#x"), ("data", b"")]))
        out = os.path.join(self.scratch(), "x")
        pack("extract", path, out)
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual({name: os.stat(os.path.join(out, name)).st_mode & 0o777
                          for name in ["main", "run.sh", "lib.dll", "tool", "notes", "data"]},
                         {"main": 0o777 & ~umask, "run.sh": 0o777 & ~umask, "lib.dll": 0o777 & ~umask,
                          "tool": 0o777 & ~umask, "notes": 0o666 & ~umask, "data": 0o666 & ~umask})
        # A link already in the folder, at any depth, is never written through.
        victim = make_tree(os.path.join(self.scratch(), "victim"), {"readme.txt": b"mine",
                                                                    "values.csv": b"mine"})
        for link, target in [("data", victim), ("data/nested/deeper", victim),
                             ("data/readme.txt", os.path.join(victim, "readme.txt"))]:
            with self.subTest(link=link):
                out = os.path.join(self.scratch(), "x")
                os.makedirs(os.path.dirname(os.path.join(out, link)), exist_ok=True)
                os.symlink(target, os.path.join(out, link))
                result = pack("extract", self.payload, out, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn("symbolic link", result.stderr.decode())
                self.assertEqual(read_tree(victim), {"readme.txt": b"mine", "values.csv": b"mine"})

    def test_verify(self):
        result = pack("verify", self.payload)
        self.assertIn("seal intact", result.stdout.decode())
        # A payload without files is no application.
        path = os.path.join(self.scratch(), "empty.bin")
        with open(path, "wb") as f:
            f.write(write_payload([]))
        result = pack("verify", path, check=False)
        self.assertEqual((result.returncode, result.stderr.decode().count("\n")), (1, 1))
        self.assertIn("holds no files", result.stderr.decode())

    def test_verify_accepts_another_writers_payload(self):
        path = os.path.join(self.scratch(), "foreign.bin")
        with open(path, "wb") as f:
            f.write(write_payload(expected_records(self.folder, "app.bin")))
        pack("verify", path)
        self.assertEqual(listing(path), self.expected_listing())

    def test_verify_catches_every_flipped_byte(self):
        small = make_tree(os.path.join(self.scratch(), "small"),
                          {"main.exe": b"MZ" * 40, "data/a.txt": b"alpha\n", "data/b.txt": b"beta " * 30})
        work = os.path.dirname(small)
        path = os.path.join(work, "small.bin")
        pack("payload", "--input", small, "--main", "main.exe", "--output", path, "--level", 19)
        original = read(path)
        damaged = os.path.join(work, "damaged.bin")
        missed = []
        for position in range(len(original)):
            for mask in (0x01, 0x80, 0xFF):
                data = bytearray(original)
                data[position] ^= mask
                with open(damaged, "wb") as f:
                    f.write(data)
                result = pack("verify", damaged, check=False)
                if result.returncode != 1 or len(result.stderr.decode().splitlines()) != 1:
                    missed.append((position, mask, result.returncode))
        self.assertEqual(missed, [])

    def test_verify_catches_flips_in_a_large_frame(self):
        path = self.payload
        original = read(path)
        damaged = os.path.join(self.scratch(), "damaged.bin")
        rng = random.Random(11)
        missed = []
        for position in rng.sample(range(len(original)), 150):
            data = bytearray(original)
            data[position] ^= 1 << rng.randrange(8)
            with open(damaged, "wb") as f:
                f.write(data)
            if pack("verify", damaged, check=False).returncode != 1:
                missed.append(position)
        self.assertEqual(missed, [])

    def test_verify_catches_data_behind_the_end_record(self):
        stream = payload_stream([("main", b"m")]) + b"extra"
        frame = subprocess.run(["zstd", "-q", "-c", "--no-check"], input=stream,
                               stdout=subprocess.PIPE, check=True).stdout
        body = b"QDY" + frame
        body += b"\0" * ((8 - len(body) % 8) % 8)
        path = os.path.join(self.scratch(), "behind.bin")
        with open(path, "wb") as f:
            f.write(body + struct.pack("<Q", len(body)))
        result = pack("verify", path, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("end record", result.stderr.decode())

    def test_extract_refuses_unsafe_names(self):
        for name in ["\\abs", "C:\\x", "a\\..\\..\\x", "..", "a\\.\\b", "a\\\\b", "a/../../x"]:
            path = os.path.join(self.scratch(), "evil.bin")
            with open(path, "wb") as f:
                f.write(write_payload([("main", b"m"), (name, b"evil")]))
            out = os.path.join(os.path.dirname(path), "x")
            result = pack("extract", path, out, check=False)
            self.assertNotEqual(result.returncode, 0, name)
            self.assertIn("refusing", result.stderr.decode())
            self.assertEqual(len(result.stderr.decode().splitlines()), 1)
            self.assertFalse(os.path.exists(os.path.join(TMP, "x")))
            if "/" not in name:
                # verify names the broken rule of the format as well.
                result = pack("verify", path, check=False)
                self.assertEqual(result.returncode, 1, name)
                self.assertIn("forbids", result.stderr.decode())


# --- Launchers ----------------------------------------------------------------------

def windows_ready():
    return (os.path.exists(WINE) and shutil.which(MINGW_CC) is not None and
            os.path.exists(WINDOWS_RUNTIME))


WINDOWS_MAIN = r"""
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char** argv) {
  FILE* f = fopen(argc > 1 ? argv[1] : "missing", "rb");
  char text[64] = {0};
  if (f) { fread(text, 1, sizeof text - 1, f); fclose(f); }
  printf("main says: %s|%s\n", text, getenv("ZOVARI_ONEFILE_PARENT") ? "parent set" : "no parent");
  return 42;
}
"""

LINUX_MAIN = b"""#!/bin/sh
printf 'main says: %s|%s\\n' "$(cat "$1")" "${ZOVARI_ONEFILE_PARENT:+parent set}"
exit 42
"""


class Launchers(Base):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(dir=TMP)
        cls.wineprefix = None

    @classmethod
    def tearDownClass(cls):
        if cls.wineprefix:
            subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=cls.wineprefix),
                           stderr=subprocess.DEVNULL)
            shutil.rmtree(cls.wineprefix, ignore_errors=True)

    def windows_main(self):
        path = os.path.join(self.work, "main.exe")
        if not os.path.exists(path):
            source = os.path.join(self.work, "main.c")
            with open(source, "w") as f:
                f.write(WINDOWS_MAIN)
            subprocess.run([MINGW_CC, "-static", "-O1", source, "-o", path], check=True)
        return read(path)

    def wine_environment(self):
        env = dict(os.environ, WINEDEBUG="-all")
        if "WINEPREFIX" not in os.environ:
            if Launchers.wineprefix is None:
                Launchers.wineprefix = tempfile.mkdtemp(prefix="zovari-pack-wine.")
            env["WINEPREFIX"] = Launchers.wineprefix
        return env

    def build_twice(self, target, main_name, main_data):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {main_name: main_data, "data/x.txt": b"x" * 1000,
                                                        "data/y/z.txt": b"z"})
        outputs = []
        for i in range(2):
            out = os.path.join(work, "out%d" % i, "launcher" + (".exe" if target == "windows" else ""))
            os.makedirs(os.path.dirname(out))
            pack("build", "--target", target, "--input", folder, "--main", main_name, "--output", out,
                 "--product", "Repro", "--version", "1.2.3", "--company", "Zovari",
                 "--description", "reproducibility", "--level", 3)
            outputs.append(read(out))
        return outputs

    def test_linux_builds_are_identical(self):
        first, second = self.build_twice("linux", "main", LINUX_MAIN)
        self.assertEqual(first, second)

    @unittest.skipUnless(windows_ready(), "no MinGW, Wine or Windows runtime")
    def test_windows_builds_are_identical(self):
        first, second = self.build_twice("windows", "main.exe", self.windows_main())
        self.assertEqual(first, second)
        self.assertEqual(first[:2], b"MZ")

    def foreign_launcher(self, target, main_name, main_data, template):
        work = self.scratch()
        records = [(main_name, main_data), ("data\\message.txt", b"from an independent writer"),
                   ("data\\empty", b"")]
        payload = os.path.join(work, "payload.bin")
        with open(payload, "wb") as f:
            f.write(write_payload(records))
        launcher = os.path.join(work, "launcher" + (".exe" if target == "windows" else ""))
        pack("launcher", "--target", target, "--payload", payload, "--output", launcher,
             "--template", template, "--product", "Foreign")
        # The launcher holds exactly that payload.
        self.assertEqual(listing(launcher), ["%d %08x %s" % (len(d), checksum(d), n.replace("\\", "/")
                                                                  if target == "linux" else n)
                                             for n, d in records])
        return work, launcher, records

    def check_unpacked(self, folder, records):
        for name, data in records:
            with open(os.path.join(folder, *name.split("\\")), "rb") as f:
                self.assertEqual(f.read(), data, name)

    def test_linux_launcher_from_a_foreign_payload(self):
        work, launcher, records = self.foreign_launcher("linux", "main", LINUX_MAIN,
                                                        "{PROGRAM_DIR}/unpacked/{PRODUCT}")
        for attempt in range(2):  # cold, then warm
            result = subprocess.run([launcher, "data/message.txt"], cwd=os.path.join(work, "unpacked", "Foreign")
                                    if attempt else work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if attempt == 0:
                # The first run's current directory does not hold the file yet.
                self.assertEqual(result.returncode, 42, result.stderr)
                continue
            self.assertEqual(result.returncode, 42, result.stderr)
            self.assertEqual(result.stdout, b"main says: from an independent writer|parent set\n")
        self.check_unpacked(os.path.join(work, "unpacked", "Foreign"), records)

    @unittest.skipUnless(windows_ready(), "no MinGW, Wine or Windows runtime")
    def test_windows_launcher_from_a_foreign_payload(self):
        work, launcher, records = self.foreign_launcher("windows", "main.exe", self.windows_main(),
                                                        "{PROGRAM_DIR}\\unpacked\\{PRODUCT}")
        target = os.path.join(work, "unpacked", "Foreign")
        result = subprocess.run([WINE, launcher, "Z:" + target.replace("/", "\\") + "\\data\\message.txt"],
                                cwd=work, env=self.wine_environment(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(result.returncode, 42, result.stderr)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"),
                         b"main says: from an independent writer|parent set\n")
        self.check_unpacked(target, records)

    def test_list_and_verify_a_linux_launcher(self):
        work = self.scratch()
        files = sample_files()
        files["app.bin"] = LINUX_MAIN
        folder = make_tree(os.path.join(work, "app"), files)
        launcher = os.path.join(work, "launcher")
        # Short flags combine: -qv is quiet (no summary) and verbose (each file).
        result = pack("build", "--target", "linux", "--input", folder, "--main", "app.bin", "--output", launcher,
                      "--level", 3, "--arg", "-m", "--arg", "{TARGET_DIR}/two words", "-qv",
                      "--pass-interrupts", "--clean-cache")
        self.assertEqual(len(result.stderr.decode().splitlines()), len(files))
        self.assertIn(" data/readme.txt\n", result.stderr.decode())  # as the launcher unpacks it
        self.assertEqual(listing(launcher), ["%d %08x %s" % (len(d), checksum(d), n.replace("\\", "/"))
                                   for n, d in expected_records(folder, "app.bin")])
        heading = [line for line in pack("list", launcher).stdout.decode().splitlines() if line.startswith("#")]
        self.assertEqual(heading[1], "# build area: the current layout, of 10 values (checksummed)")
        # {TARGET_DIR} is filled in at each start: the launcher keeps it as written.
        self.assertEqual(heading[5:], ["# clean cache: on", "# pass interrupts: on", "# argument: -m",
                                       "# argument: {TARGET_DIR}/two words", "# main: app.bin"])
        listed = json.loads(pack("list", "--json", launcher).stdout.decode())
        self.assertEqual((listed["target"], listed["arguments"], listed["main"], len(listed["files"]),
                          listed["clean_cache"], listed["pass_interrupts"], listed["quick_start"]),
                         ("linux", ["-m", "{TARGET_DIR}/two words"], "app.bin", len(files), True, True, False))
        # The child gets no empty argument, so none can be fixed; one file is one file.
        self.assert_refused(["build", "--input", folder, "--main", "app.bin", "--output", launcher + "2",
                             "--arg", ""], launcher + "2", "--arg")
        single = make_tree(os.path.join(work, "single"), {"app": LINUX_MAIN})
        result = pack("build", "--input", single, "--main", "app", "--output", launcher + "1", "--level", 1)
        self.assertIn(": 1 file, ", result.stderr.decode())
        pack("verify", launcher)
        pack("extract", launcher, os.path.join(work, "x"))
        self.assertEqual(read_tree(os.path.join(work, "x")), files)
        # A damaged byte inside the launcher's payload is caught.
        damaged = flip_payload_byte(launcher, os.path.join(work, "damaged"))
        self.assertEqual(pack("verify", damaged, check=False).returncode, 1)
        # A damaged byte in the build area's head or anywhere in its values
        # (a letter of the template after its first token, of the product, of
        # an argument): verify refuses what the launcher refuses, the launcher
        # never crashes, and a changed value never starts: the values'
        # checksum catches what the head's checks cannot.
        data = read(launcher)
        area = data.rindex(b"ZovariBuildArea\0")
        values_end = area + struct.unpack_from("<Q", data, area + 24)[0]
        template = data.index("{".encode("utf-32-le"), area)
        environment = dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "cache"))
        os.chmod(damaged, 0o755)
        disagree, started = [], []
        values = value_positions(data, area, 4)
        for position in list(range(area, area + 128)) + list(range(template, values_end, 3)):
            for mask in ((0x01, 0x80) if position < area + 128 else (0x01,)):
                changed = bytearray(data)
                changed[position] ^= mask
                with open(damaged, "wb") as f:
                    f.write(changed)
                cache = os.path.join(work, "cache-%d-%d" % (position, mask))
                ran = subprocess.run([damaged], env=dict(environment, XDG_CACHE_HOME=cache),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                refused = ran.stdout == b"Error, couldn't find attached data header.\n"
                if ran.returncode not in (2, 42) or refused != (pack("verify", damaged, check=False).returncode == 1):
                    disagree.append((position - area, mask, ran.returncode))
                if position in values and (not refused or os.path.exists(cache)):
                    started.append(position - area)
        self.assertEqual(disagree, [])
        self.assertEqual(started, [])
        self.assert_cut_short(launcher)

    def assert_cut_short(self, launcher):
        """Cut anywhere, as by an interrupted download, the launcher is said to be cut short."""
        whole = read(launcher)
        cut = launcher + ".part"
        # Inside the first header, the optional header or the program
        # headers, the section table, the data.
        for length in (len(whole) - 1, len(whole) // 2, 0x180, 0x90, 100, 30):
            with self.subTest(length=length), open(cut, "wb") as f:
                f.write(whole[:length])
            for command in ("verify", "list"):
                result = pack(command, cut, check=False)
                self.assertEqual(result.returncode, 1, result)
                self.assertIn("error: the file is cut short: it holds %d bytes" % length, result.stderr.decode())

    def test_launchers_of_earlier_layouts(self):
        """list, verify and extract read a launcher of every earlier layout of
        the build area and say which it is: the first (seven values), written
        by the tool of an earlier commit (data/make_seven_values.sh), which
        still runs with its own runtime, and the eight and nine of later
        ones, rewritten here from today's."""
        import lzma
        work = self.scratch()
        seven = os.path.join(work, "seven")
        with open(seven, "wb") as f:
            f.write(lzma.decompress(read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                                                      "seven-values-linux.xz"))))
        os.chmod(seven, 0o755)
        folder = make_tree(os.path.join(work, "app"), {"main": LINUX_MAIN, "data/message.txt": b"eight or nine"})
        today = os.path.join(work, "today")
        pack("build", "--input", folder, "--main", "main", "--output", today, "--level", 1,
             "--product", "Layouts", "--version", "1.0", "--arg", "an argument", "--clean-cache")
        launchers = {7: seven}
        for count in (8, 9):
            launchers[count] = os.path.join(work, "layout%d" % count)
            with open(launchers[count], "wb") as f:
                f.write(earlier_layout(read(today), count))
        launchers[10] = today
        names = {7: "the first layout, of 7 values", 8: "an earlier layout, of 8 values",
                 9: "an earlier layout, of 9 values", 10: "the current layout, of 10 values"}
        for count, launcher in launchers.items():
            with self.subTest(layout=count):
                heading = pack("list", launcher).stdout.decode().splitlines()
                self.assertTrue(heading[1].startswith("# build area: " + names[count]), heading)
                self.assertIn("# argument: " + ("first argument" if count == 7 else "an argument"), heading)
                self.assertEqual("# clean cache: on" in heading, count >= 9)
                # Built without --quick-start: no layout's list may read as one.
                self.assertNotIn("# quick start: on", heading)
                listed = json.loads(pack("list", "--json", launcher).stdout.decode())
                self.assertEqual(listed["build_area"]["values"], count)
                self.assertIn(names[count], pack("verify", launcher).stdout.decode())
                out = os.path.join(work, "x%d" % count)
                result = pack("extract", launcher, out)
                # Said of an earlier layout only: extract of today's launcher stays quiet.
                said = result.stderr.decode()
                self.assertEqual((len(said.splitlines()), names[count] in said), (0, False) if count == 10 else (1, True))
                self.assertIn(b"eight or nine" if count > 7 else b"from the first layout",
                              read_tree(out)["data/message.txt" if count > 7 else "docs/a.txt"])
        self.assertEqual(json.loads(pack("list", "--json", seven).stdout.decode())["arguments"],
                         ["first argument", "docs/a.txt"])
        ran = subprocess.run([seven, "x"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(os.environ, TMPDIR=work))
        self.assertEqual((ran.returncode, ran.stdout),
                         (0, b"seven values: first argument docs/a.txt x\nfrom the first layout\n"), ran)

    def test_verify_sees_damage_the_checksum_cannot(self):
        """verify recomputes the quick-start list from the payload: a size
        digit changed, with the values' checksum made to match, would turn
        quick starts off for good."""
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"main": LINUX_MAIN, "data/a.txt": b"a" * 300})
        launcher = os.path.join(work, "launcher")
        pack("build", "--input", folder, "--main", "main", "--output", launcher, "--level", 1, "--quick-start")
        data = bytearray(read(launcher))
        area = data.rindex(b"ZovariBuildArea\0")
        # The list holds "12c a data\\a.txt" for data/a.txt (300 bytes): one more.
        at = data.index("12c a data".encode("utf-16-le"), area)
        data[at + 4] = ord("d")
        checksum_at = area + struct.unpack_from("<Q", data, area + 48 + 8 * 9)[0]
        positions = sorted(p for p in value_positions(data, area, 4) if p < checksum_at)
        crc = zlib.crc32(bytes(data[p] for p in positions))
        data[checksum_at:checksum_at + 32] = ("%08x" % crc).encode("utf-32-le")
        damaged = os.path.join(work, "damaged")
        with open(damaged, "wb") as f:
            f.write(data)
        result = pack("verify", damaged, check=False)
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (1, "zovari-pack verify: error: the quick-start list is damaged: it does not match the "
                             "payload's files\n"))
        self.assertIn(b"quick start: on", pack("list", damaged).stdout)

    def test_list_writes_nothing_for_what_verify_refuses(self):
        work = self.scratch()
        cases = [("..", [("main", b"m"), ("..", b"x")]), ("absolute", [("main", b"m"), ("\\abs", b"x")]),
                 ("twice", [("main", b"m"), ("a", b"1"), ("a", b"2")])]
        for what, records in cases:
            with self.subTest(what):
                path = os.path.join(work, what + ".bin")
                with open(path, "wb") as f:
                    f.write(write_payload(records))
                for command in (["list"], ["list", "--json"]):
                    result = pack(*(command + [path]), check=False)
                    self.assertEqual((result.returncode, result.stdout), (1, b""), result)
                    self.assertEqual(len(result.stderr.decode().splitlines()), 1)
        # A damaged payload in a launcher: no heading, no earlier records.
        folder = make_tree(os.path.join(work, "app"), {"main": LINUX_MAIN, "b.txt": b"b" * 5000})
        launcher = os.path.join(work, "launcher")
        # All 100 fixed arguments are listed, as the launcher passes them all.
        arguments = ["argument %d" % i for i in range(100)]
        pack("build", "--input", folder, "--main", "main", "--output", launcher, "--level", 1,
             *[word for argument in arguments for word in ("--arg", argument)])
        self.assertEqual([line[len("# argument: "):] for line in pack("list", launcher).stdout.decode().splitlines()
                          if line.startswith("# argument: ")], arguments)
        self.assertEqual(json.loads(pack("list", "--json", launcher).stdout.decode())["arguments"], arguments)
        damaged = flip_payload_byte(launcher, os.path.join(work, "damaged"))
        result = pack("list", damaged, check=False)
        self.assertEqual((result.returncode, result.stdout), (1, b""))

    @unittest.skipUnless(windows_ready(), "no MinGW, Wine or Windows runtime")
    def test_subsystem_and_target_follow_the_main_binary(self):
        import pefile
        work = self.scratch()
        console = make_tree(os.path.join(work, "console"), {"tool.exe": self.windows_main(),
                                                            "data/message.txt": b"through cmd"})
        gui = make_tree(os.path.join(work, "gui"), {"app.exe": pe_head(2)})
        # 64-bit Windows runs a 32-bit x86 program too.
        gui32 = make_tree(os.path.join(work, "gui32"), {"app.exe": pe_head(2, machine=0x14C, magic=0x10B)})
        cases = [(console, "tool.exe", [], 3), (gui, "app.exe", [], 2), (gui32, "app.exe", ["--console"], 3),
                 (console, "tool.exe", ["--windowed"], 2)]
        for i, (folder, main, options, subsystem) in enumerate(cases):
            with self.subTest(main=main, options=options):
                launcher = os.path.join(work, "launcher%d.exe" % i)
                pack("build", "--input", folder, "--main", main, "--output", launcher, "--level", 1,
                     *options)
                self.assertEqual(pefile.PE(launcher, fast_load=True).OPTIONAL_HEADER.Subsystem, subsystem)
                heading = pack("list", launcher).stdout.decode().splitlines()
                self.assertIn("console subsystem" if subsystem == 3 else "GUI subsystem", heading[0])
        # A Windows launcher's own values, read back from behind its payload.
        self.assertEqual(heading[2:4], ["# template: {CACHE_DIR}\\{PRODUCT}\\{VERSION}", "# product: tool"])
        self.assertRegex(heading[4], r"^# version: 0\.0\.0-[0-9a-f]{8}$")
        # cmd waits for a console launcher and takes its exit code and output.
        result = subprocess.run([WINE, "cmd", "/c", "launcher0.exe", "data\\message.txt"], cwd=work,
                                env=self.wine_environment(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(result.returncode, 42, result.stderr)
        self.assertIn(b"main says: ", result.stdout)
        # A main binary of the other system, or none at all, is refused.
        linux = make_tree(os.path.join(work, "linux"), {"tool": b"\x7fELF" + b"\0" * 60, "run.bat": b"@echo"})
        out = os.path.join(work, "refused.exe")
        self.assert_refused(["build", "--target", "windows", "--input", linux, "--main", "tool",
                             "--output", out], out, "Linux program")
        self.assert_refused(["build", "--input", linux, "--main", "run.bat", "--output", out], out, "neither")
        self.assert_refused(["build", "--target", "linux", "--input", gui, "--main", "app.exe",
                             "--output", out], out, "Windows program")

    @unittest.skipUnless(windows_ready() and os.path.exists(INTERRUPT_DRIVER), "no Wine or interrupt driver")
    def test_windows_interrupt_removes_what_the_tool_holds_open(self):
        # No test can send a console event to a program under Wine: the driver
        # runs the tool's handler itself, while it writes a temporary output
        # and a file in its work folder (stop), once the output is in place
        # (finish), and while it is stuck elsewhere (stuck).
        work = self.scratch()
        env = self.wine_environment()
        for mode, code, kept in (("stop", 0xC000013A & 0xFF, b"old"), ("finish", 0, b"new"),
                                 ("stuck", 0xC000013A & 0xFF, b"old")):
            with self.subTest(mode):
                out = os.path.join(work, "out")
                with open(out, "wb") as f:
                    f.write(b"old")
                result = subprocess.run([WINE, INTERRUPT_DRIVER, mode, "Z:" + out.replace("/", "\\")], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
                self.assertEqual(result.returncode, code, result.stderr)
                folder = result.stdout.decode().splitlines()[0]
                self.assertTrue(folder.startswith("C:\\"), folder)
                self.assertEqual((read(out), os.listdir(work)), (kept, ["out"]))
                self.assertFalse(os.path.exists(os.path.join(env["WINEPREFIX"], "drive_c",
                                                              *folder[3:].split("\\"))), folder)

    def test_main_binary_must_be_a_program_of_the_target(self):
        """What a launcher could never start is refused before any launcher is written: for
        Windows an x86-64 image that is no DLL, of the console or GUI subsystem; for
        Linux an x86-64 ELF executable, position-independent ones included, or a script."""
        work = self.scratch()
        source = os.path.join(work, "m.c")
        with open(source, "w") as f:
            f.write("int main(void) { return 3; }\n")

        def compiled(name, *options):
            path = os.path.join(work, name)
            subprocess.run(["gcc", *options, source, "-o", path], check=True)
            return read(path)

        shared_library = compiled("m.so", "-shared", "-fPIC")
        refused = [("a DLL", pe_head(3, characteristics=0x2022), "a DLL"),
                   ("an ARM64 image", pe_head(3, machine=0xAA64), "ARM64"),
                   ("an x86-64 image with a 32-bit header", pe_head(3, magic=0x10B), "not PE32+"),
                   ("an EFI application", pe_head(10), "subsystem 10 (EFI)"),
                   ("no executable image", pe_head(2, characteristics=0x0020), "not an executable image"),
                   ("an ELF header alone", b"\x7fELF", "cut short"),
                   ("a 32-bit ELF file", b"\x7fELF\x01\x01\x01" + bytes(57), "32-bit"),
                   ("an object file", compiled("m.o", "-c"), "object file"),
                   ("a shared library", shared_library, "shared library")]
        for what, data, fragment in refused:
            with self.subTest(what):
                folder = make_tree(os.path.join(work, what), {"main": data})
                out = os.path.join(work, "refused")
                self.assert_refused(["build", "--input", folder, "--main", "main", "--output", out],
                                    out, fragment)
        # From a payload too, where the library's dynamic section comes through the stream.
        payload = os.path.join(work, "library.bin")
        with open(payload, "wb") as f:
            f.write(write_payload([("main", shared_library)]))
        out = os.path.join(work, "refused")
        self.assert_refused(["launcher", "--payload", payload, "--output", out], out, "shared library")
        # Position-independent programs start, a static one too: its PIE flag lies
        # far behind the first 64 KiB, which build reads with a seek and launcher
        # from the stream.
        for name, options, command in (("pie", ["-pie"], "launcher"), ("static-pie", ["-static-pie"], "launcher"),
                                       ("static-pie", ["-static-pie"], "build")):
            with self.subTest(name=name, command=command):
                program = compiled(name, *options)
                launcher = os.path.join(work, name + "-" + command)
                if command == "build":
                    folder = make_tree(os.path.join(work, name + "-app"), {"main": program})
                    given = ["--input", folder, "--main", "main", "--level", 1]
                else:
                    given = ["--payload", os.path.join(work, name + ".bin")]
                    with open(given[1], "wb") as f:
                        f.write(write_payload([("main", program)]))
                pack(command, *given, "--output", launcher, "--template", "{PROGRAM_DIR}/" + name + "-unpacked")
                self.assertEqual(subprocess.run([launcher]).returncode, 3)

    def test_linux_launcher_is_static_and_outputs_stay_out_of_the_input(self):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"run": LINUX_MAIN, "data.txt": b"d"})
        launcher = os.path.join(folder, "launcher")
        for attempt in range(2):  # the second build finds the first launcher in the folder
            pack("build", "--input", folder, "--main", "run", "--output", launcher, "--level", 1)
        self.assertEqual([line.split(" ", 2)[2] for line in listing(launcher)], ["run", "data.txt"])
        # An earlier build under another name is no part of the application,
        # wherever it lies in the folder; a runtime image (no payload) is.
        os.makedirs(os.path.join(folder, "dist"))
        shutil.copy(launcher, os.path.join(folder, "dist", "old"))
        shutil.copy(os.path.join(BUILD_DIR, "runtime", "linux", "zovari-launcher"), folder)
        result = pack("build", "--input", folder, "--main", "run", "--output", launcher, "--level", 1)
        self.assertIn('zovari-pack: warning: left out "dist/old": it is a launcher made by zovari-pack',
                      result.stderr.decode())
        self.assertEqual([line.split(" ", 2)[2] for line in listing(launcher)],
                         ["run", "data.txt", "zovari-launcher"])
        # No loader and no shared libraries: it starts whatever C library the system has.
        headers = subprocess.run(["readelf", "-lW", launcher], stdout=subprocess.PIPE, check=True).stdout
        self.assertNotIn(b"INTERP", headers)
        dynamic = subprocess.run(["readelf", "-dW", launcher], stdout=subprocess.PIPE, check=True).stdout
        self.assertNotIn(b"NEEDED", dynamic)
        # An output that is the main binary is refused, and the main binary kept; so is
        # one that is another input file, by its name, a link or a hard link.
        os.symlink(os.path.join(folder, "data.txt"), os.path.join(work, "link"))
        os.link(os.path.join(folder, "data.txt"), os.path.join(work, "hard"))
        for output in ("run", "data.txt", os.path.join(work, "link"), os.path.join(work, "hard")):
            with self.subTest(output=output):
                result = pack("build", "--input", folder, "--main", "run", "--output",
                              os.path.join(folder, output), check=False)
                self.assertEqual(result.returncode, 2)
                self.assertEqual((read(os.path.join(folder, "run")), read(os.path.join(folder, "data.txt"))),
                                 (LINUX_MAIN, b"d"))

    def test_default_version_follows_the_contents(self):
        work = self.scratch()
        folders = []
        for text in (b"one", b"two"):
            folders.append(make_tree(os.path.join(work, text.decode()), {"app": LINUX_MAIN, "x": text}))
        shown = []
        # Tokens are names in any case, in the summary as in the launcher.
        for folder, path_template in zip(folders, ("/cache/{PRODUCT}/{VERSION}", "/cache/{product}/{Version}")):
            result = pack("build", "--input", folder, "--main", "app", "--output", folder + ".run",
                          "--level", 1, "--template", path_template)
            shown.append(re.search(r"cache folder (\S+)", result.stderr.decode()).group(1))
            self.assertNotIn("--clean-cache", result.stderr.decode())
        # {CACHE_DIR} by the launcher's rule: {HOME} and "/.cache", one separator between.
        environment = {k: v for k, v in os.environ.items() if k != "XDG_CACHE_HOME"}
        environment["HOME"] = "/home/u//"
        result = pack("build", "--input", folders[0], "--main", "app", "--output", folders[0] + ".home",
                      "--level", 1, "--template", "{CACHE_DIR}/{PRODUCT}", env=environment)
        self.assertIn("cache folder /home/u/.cache/app ", result.stderr.decode())
        # Two apps both called "app" never share a cache folder.
        self.assertRegex(shown[0], r"^/cache/app/0\.0\.0-[0-9a-f]{8}$")
        self.assertRegex(shown[1], r"^/cache/app/0\.0\.0-[0-9a-f]{8}$")
        self.assertNotEqual(shown[0], shown[1])
        # list reads the launcher's own values back.
        heading = pack("list", folders[0] + ".run").stdout.decode().splitlines()[:5]
        del heading[1]  # the build area's layout
        self.assertEqual(heading, ["# linux launcher", "# template: /cache/{PRODUCT}/{VERSION}",
                                   "# product: app", "# version: " + shown[0].split("/")[-1]])
        # With one --version and the default template, two products of one
        # name still get a folder each, and an unchanged build keeps its own:
        # the folder's name carries the contents' digest, which list shows.
        by_version = []
        for folder in folders + folders[:1]:
            result = pack("build", "--input", folder, "--main", "app", "--output", folder + ".v",
                          "--level", 1, "--version", "1.0.0")
            self.assertNotIn("warning", result.stderr.decode())
            self.assertIn("the old ones stay unless built with --clean-cache", result.stderr.decode())
            by_version.append(re.search(r"cache folder (\S+)", result.stderr.decode()).group(1))
        result = pack("build", "--input", folders[0], "--main", "app", "--output", folders[0] + ".c",
                      "--level", 1, "--clean-cache")
        self.assertIn("--clean-cache removes the other builds' once no launcher runs from them", result.stderr.decode())
        self.assertRegex(by_version[0], r"/app/1\.0\.0-[0-9a-f]{8}$")
        self.assertNotEqual(by_version[0], by_version[1])
        self.assertEqual(by_version[0], by_version[2])
        heading = pack("list", folders[0] + ".v").stdout.decode().splitlines()[2:5]
        self.assertEqual(heading, ["# template: {CACHE_DIR}/{PRODUCT}/{VERSION}-" + by_version[0][-8:],
                                   "# product: app", "# version: 1.0.0"])
        # A template of the user's own stays as written; one without a version
        # or a value of each start is warned of, as every build would share it.
        for path_template, warned in (("/cache/{PRODUCT}", True), ("/cache/{Product_Version}", False),
                                      ("/cache/x{pid}", False), ("/cache/{RANDOM}", False)):
            result = pack("build", "--input", folders[0], "--main", "app", "--output", folders[0] + ".t",
                          "--level", 1, "--version", "1.0.0", "--template", path_template)
            self.assertEqual("zovari-pack: warning: the path template" in result.stderr.decode(), warned,
                             path_template)
            self.assertEqual(pack("list", folders[0] + ".t").stdout.decode().splitlines()[2],
                             "# template: " + path_template)

    def run_windows(self, launcher, *args, cwd=None):
        return subprocess.run([WINE, launcher] + list(args), cwd=cwd or os.path.dirname(launcher),
                              env=self.wine_environment(), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300)

    def check_installed_tool(self, tool, work):
        """The tool at tool, away from the build tree, finds its runtimes
        beside itself and packs the sample application for both targets."""
        prefix = os.path.dirname(os.path.dirname(os.path.realpath(tool)))
        version = subprocess.run([tool, "--version"], stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertRegex(version.splitlines()[0], r"^zovari-pack \d+\.\d+\.\d+$")
        for target, image in (("linux", "zovari-launcher"), ("windows", "zovari-launcher.exe")):
            self.assertIn("%s runtime: %s/lib/zovari-onefile/runtime/%s/%s\n" % (target, prefix, target, image),
                          version)
        samples = {"linux": (os.path.join(BUILD_DIR, "sample", "app"), "zovari-sample", "{PROGRAM_DIR}/u"),
                   "windows": (os.path.join(WINDOWS_BUILD_DIR, "sample", "app"), "zovari-sample.exe",
                               "{PROGRAM_DIR}\\u")}
        for target, (app, main, template) in samples.items():
            launcher = os.path.join(work, "sample-" + main)
            result = subprocess.run([tool, "build", "--target", target, "--input", app, "--main", main,
                                     "--output", launcher, "--template", template, "--level", "3"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(result.returncode, 0, result.stderr)
            run = (self.run_windows(launcher, "one") if target == "windows" else
                   subprocess.run([launcher, "one"], stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn(b"started with 1 argument(s): [one]", run.stdout)
            self.assertIn(b"Hello from a packed application.", run.stdout)

    @unittest.skipUnless(BUILD_DIR and windows_ready() and os.path.exists(WINDOWS_TOOL),
                         "no build folder, MinGW, Wine or Windows build of zovari-pack")
    def test_windows_tool_packs_for_both_targets(self):
        # The Windows build of the tool, under Wine, with the runtime images
        # beside it: the same bytes as this tool's launchers, which run.
        work = self.scratch()
        version = subprocess.run([WINE, WINDOWS_TOOL, "--version"], env=self.wine_environment(),
                                 stdout=subprocess.PIPE, check=True).stdout.decode()
        self.assertIn("windows runtime: Z:" + os.path.dirname(WINDOWS_TOOL).replace("/", "\\")
                      + "\\runtime\\windows\\zovari-launcher.exe", version)
        samples = {"linux": (os.path.join(BUILD_DIR, "sample", "app"), "zovari-sample", "{PROGRAM_DIR}/u"),
                   "windows": (os.path.join(WINDOWS_BUILD_DIR, "sample", "app"), "zovari-sample.exe",
                               "{PROGRAM_DIR}\\u")}
        for target, (app, main, template) in samples.items():
            launchers = [os.path.join(work, name + "-" + main) for name in ("wine", "native")]
            options = ["build", "--input", app, "--main", main, "--template", template, "--level", "3"]
            made = subprocess.run([WINE, WINDOWS_TOOL] + options + ["--output", launchers[0]],
                                  env=self.wine_environment(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(made.returncode, 0, made.stderr)
            # The same runtime images: the Windows tool's copies may be older.
            runtime = os.path.join(os.path.dirname(WINDOWS_TOOL), "runtime", target,
                                   "zovari-launcher" + (".exe" if target == "windows" else ""))
            pack(*options, "--output", launchers[1], "--runtime", runtime)
            self.assertEqual(read(launchers[0]), read(launchers[1]), target)
            os.chmod(launchers[0], 0o755)  # Windows has no modes to give it
            run = (self.run_windows(launchers[0], "one") if target == "windows" else
                   subprocess.run([launchers[0], "one"], stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn(b"Hello from a packed application.", run.stdout)
        # Errors name the path as the user gave it, in one line.
        missing = subprocess.run([WINE, WINDOWS_TOOL, "build", "--input", "C:\\no such", "--main", "a.exe",
                                  "--output", "o.exe"], env=self.wine_environment(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        self.assertEqual((missing.returncode, missing.stderr.decode().replace("\r\n", "\n")),
                         (1, 'zovari-pack build: error: input folder not found: "C:\\no such"\n'))
        # extract on Windows takes every name by Windows' rules, whatever the payload
        # was made for, before anything is written; a name part that holds a drive
        # stays a part (it never takes the folder's place), and nothing is replaced.
        drive_c = os.path.join(self.wine_environment()["WINEPREFIX"], "drive_c")
        extracted = os.path.join(work, "extracted")
        rows = [(["x\\C:users\\Public\\evil3.txt"], 'holds \":\"'), (["x\\C:evil3.txt"], 'holds \":\"'),
                (["a\\nul.txt"], "device name"), (["x.", "x"], '"x." and "x", which Windows takes for one file'),
                (["Abc", "abc"], '"Abc" and "abc", which differ only in case'),
                (["\u00ff", "\u0178"], "differ only in case"), (["\uff41", "\uff21"], "differ only in case")]
        for names, fragment in rows:
            with self.subTest(names=names):
                path = os.path.join(work, "hostile.bin")
                with open(path, "wb") as f:
                    f.write(write_payload([("main", b"m")] + [(name, b"evil") for name in names]))
                result = subprocess.run([WINE, WINDOWS_TOOL, "extract", path, extracted], env=self.wine_environment(),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                err = result.stderr.decode("utf-8", "replace")
                self.assertEqual((result.returncode, len(err.splitlines())), (1, 1), err)
                self.assertIn(fragment, err)
                self.assertFalse(os.path.exists(extracted))
                self.assertFalse(os.path.exists(os.path.join(drive_c, "evil3.txt")))
                self.assertFalse(os.path.exists(os.path.join(drive_c, "users", "Public", "evil3.txt")))
        path = os.path.join(work, "good.bin")
        with open(path, "wb") as f:
            f.write(write_payload([("main", b"m"), ("d\\f.txt", b"new")]))
        make_tree(extracted, {"d/f.txt": b"mine"})
        result = subprocess.run([WINE, WINDOWS_TOOL, "extract", path, extracted], env=self.wine_environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("already in its place", result.stderr.decode())
        self.assertEqual(read_tree(extracted), {"main": b"m", "d/f.txt": b"mine"})

    @unittest.skipUnless(BUILD_DIR and windows_ready() and shutil.which("dpkg-deb"),
                         "no build folder, MinGW, Wine, Windows runtime or dpkg-deb")
    def test_installed_and_packaged_tool_packs_for_both_targets(self):
        work = self.scratch()
        # The README's install commands configure the tools and the runtime images
        # and no test (the test command builds those).
        with open(os.path.join(REPO, "README.md"), encoding="utf-8") as f:
            install = f.read().split("## Install", 1)[1].split("\n## ", 1)[0]
        configures = [line.split(" && ")[0] for line in install.splitlines() if line.startswith("cmake -S")]
        self.assertEqual(len(configures), 2, install)
        tool_folder = os.path.join(work, "tool")
        for line in configures:
            line = line.replace("$PWD/out/tool", tool_folder).replace("out/tool", tool_folder)
            subprocess.run(line, shell=True, cwd=REPO, check=True, stdout=subprocess.DEVNULL)
        for target in ("windows", "linux"):
            targets = subprocess.run(["cmake", "--build", os.path.join(tool_folder, target), "--target", "help"],
                                     stdout=subprocess.PIPE, check=True).stdout.decode()
            self.assertIn("... zovari-pack\n", targets)
            self.assertIn("... zovari_runtime\n", targets)
            self.assertNotRegex(targets, "(?i)test", target)
        shutil.rmtree(tool_folder)
        # cmake --install into a prefix, then the whole prefix moved.
        prefix = os.path.join(work, "prefix")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        moved = os.path.join(work, "moved", "elsewhere")
        os.makedirs(os.path.dirname(moved))
        os.rename(prefix, moved)
        os.makedirs(os.path.join(work, "a"))
        self.check_installed_tool(os.path.join(moved, "bin", "zovari-pack"), os.path.join(work, "a"))
        # The Debian package, as the README builds it, unpacked into a folder.
        made = subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                               "-B", os.path.join(work, "deb")], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        self.assertEqual(made.returncode, 0, made.stdout.decode())
        debs = [n for n in os.listdir(os.path.join(work, "deb")) if n.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        deb = os.path.join(work, "deb", debs[0])
        info = subprocess.run(["dpkg-deb", "--info", deb], stdout=subprocess.PIPE, check=True).stdout.decode()
        depends = [l for l in info.splitlines() if l.strip().startswith("Depends:")]
        self.assertEqual(len(depends), 1, info)
        # Only what the tool loads: no compiler, binutils or development files.
        depended = sorted(re.sub(r" \(.*\)", "", p.strip()) for p in depends[0].split(":", 1)[1].split(","))
        self.assertEqual([p for p in depended if p not in ("libc6", "libgcc-s1", "libstdc++6")], ["libzstd1"])
        suggests = [l for l in info.splitlines() if l.strip().startswith("Suggests:")]
        self.assertEqual(suggests, [" Suggests: osslsigncode, wine"])
        # What Debian's tools expect of a package: its terms, a manual page, a
        # changelog; lintian, where it is installed, finds nothing more to say.
        contents = subprocess.run(["dpkg-deb", "-c", deb], stdout=subprocess.PIPE, check=True).stdout.decode()
        for path in ("doc/zovari-pack/copyright", "doc/zovari-pack/changelog.gz", "man/man1/zovari-pack.1.gz"):
            self.assertIn(" ./usr/share/" + path + "\n", contents)
        if shutil.which("lintian"):
            linted = subprocess.run(["lintian", "--fail-on", "error,warning", deb], stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            self.assertEqual(linted.returncode, 0, linted.stdout.decode())
        subprocess.run(["dpkg-deb", "-x", deb, os.path.join(work, "root")], check=True)
        os.makedirs(os.path.join(work, "b"))
        self.check_installed_tool(os.path.join(work, "root", "usr", "bin", "zovari-pack"),
                                  os.path.join(work, "b"))
        # A packager builds the tool and its runtime images without the tests.
        for option in ("-DZOVARI_TESTS=OFF", "-DBUILD_TESTING=OFF"):
            build = os.path.join(work, "no-tests" + option[1:3])
            subprocess.run(["cmake", "-S", REPO, "-B", build, option,
                            "-DZOVARI_WINDOWS_BUILD_DIR=" + WINDOWS_BUILD_DIR], check=True, stdout=subprocess.DEVNULL)
            targets = subprocess.run(["cmake", "--build", build, "--target", "help"], stdout=subprocess.PIPE,
                                     check=True).stdout.decode().split()
            self.assertIn("zovari-pack", targets)
            self.assertIn("zovari_runtime", targets)
            self.assertEqual([t for t in targets if "test" in t or t.startswith("zovari_resources")], [])

    @unittest.skipUnless(windows_ready() and shutil.which("osslsigncode") and shutil.which("openssl"),
                         "no MinGW, Wine, Windows runtime, osslsigncode or openssl")
    def test_signed_windows_launcher(self):
        work = self.scratch()
        files = {"main.exe": self.windows_main(), "data/message.txt": b"signed and sealed"}
        folder = make_tree(os.path.join(work, "app"), files)
        launcher = os.path.join(work, "launcher.exe")
        pack("build", "--input", folder, "--main", "main.exe", "--output", launcher, "--level", 3,
             "--template", "{PROGRAM_DIR}\\unpacked")
        self.assertIn(", not signed", pack("verify", launcher).stdout.decode())
        # The PE checksum the tool writes covers what the payload's checks
        # cannot: the headers (the Machine field, which Wine would refuse to
        # start) and the resources.
        import pefile
        image = pefile.PE(launcher, fast_load=True)
        rsrc = next(section for section in image.sections if section.Name.rstrip(b"\0") == b".rsrc")
        for what, position in (("Machine", image.FILE_HEADER.get_file_offset()),
                               ("resources", rsrc.PointerToRawData + rsrc.SizeOfRawData // 2)):
            with self.subTest(what):
                data = bytearray(read(launcher))
                data[position] ^= 0x04
                damaged = os.path.join(work, "damaged.exe")
                with open(damaged, "wb") as f:
                    f.write(data)
                result = pack("verify", damaged, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn("the PE checksum does not match", result.stderr.decode())
        image.close()
        # An argument longer than 16,384 characters, which the README allows
        # up to 20,478 and the launcher passes, is read back whole.
        long_argument = os.path.join(work, "long.exe")
        pack("build", "--input", folder, "--main", "main.exe", "--output", long_argument, "--level", 1,
             "--arg", "a" * 16385)
        pack("verify", long_argument)
        self.assertEqual(json.loads(pack("list", "--json", long_argument).stdout.decode())["arguments"],
                         ["a" * 16385])
        # A throwaway certificate, and the signing command of the README.
        key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=Zovari test signer"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        signed = os.path.join(work, "signed", "launcher.exe")
        os.makedirs(os.path.dirname(signed))
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                        "-n", "Signed test", "-in", launcher, "-out", signed],
                       check=True, stdout=subprocess.DEVNULL)

        def ossl_verify(path):
            return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT).returncode

        self.assertEqual(ossl_verify(signed), 0)
        # It runs as before: arguments, exit code, files.
        target = os.path.join(work, "signed", "unpacked")
        result = self.run_windows(signed, "Z:" + target.replace("/", "\\") + "\\data\\message.txt")
        self.assertEqual(result.returncode, 42, result.stderr)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), b"main says: signed and sealed|parent set\n")
        self.check_unpacked(target, [(n.replace("/", "\\"), d) for n, d in files.items()])
        # The tool still reads it, and says it is signed.
        self.assertEqual(pack("list", signed).stdout, pack("list", launcher).stdout)
        verified = pack("verify", signed).stdout.decode()
        self.assertRegex(verified, r"^ok: windows launcher, .*, 2 files, .*, signed \(certificate table of \d+ bytes at offset \d+\)\n$")
        # One byte of the payload flipped: both checks fail.
        damaged = flip_payload_byte(signed, os.path.join(work, "damaged.exe"))
        self.assertNotEqual(ossl_verify(damaged), 0)
        self.assertEqual(pack("verify", damaged, check=False).returncode, 1)
        self.assert_cut_short(signed)

    def test_missing_runtime_is_one_line(self):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"main": LINUX_MAIN})
        out = os.path.join(work, "out", "launcher")
        os.makedirs(os.path.dirname(out))
        self.assert_refused(["build", "--target", "linux", "--input", folder, "--main", "main",
                             "--output", out, "--runtime", os.path.join(work, "none")], out, "runtime")
        # An image of the other target, a file that is no runtime image, one with
        # bytes behind its end (which every launcher would carry).
        padded = os.path.join(work, "padded")
        linux_runtime = os.path.join(BUILD_DIR, "runtime", "linux", "zovari-launcher")
        if BUILD_DIR:
            with open(padded, "wb") as f:
                f.write(read(linux_runtime) + b"junk")
        # A finished launcher is no runtime image: its area would be carried along.
        finished = os.path.join(work, "finished")
        pack("build", "--input", folder, "--main", "main", "--output", finished, "--level", 1)
        for runtime, problem in ((WINDOWS_RUNTIME, "is not an ELF image"), (PACK, "no section .zovpay"),
                                 (finished, "is a finished launcher"),
                                 (padded if BUILD_DIR else "", "4 bytes follow the end of the image")):
            if runtime and os.path.exists(runtime):
                self.assert_refused(["build", "--target", "linux", "--input", folder, "--main", "main",
                                     "--output", out, "--runtime", runtime], out, problem)

    def test_problems_are_found_before_anything_is_compressed(self):
        # strace tells whether the application's data was ever opened.
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"main": LINUX_MAIN, "main.exe": pe_head(2),
                                                       "data.bin": b"d" * 100000})
        bad_icon = make_tree(work, {"bad.png": b"\x89PNG\r\n\x1a\n cut short"})
        make_tree(work, {"file": b"a file where a folder belongs"})
        out = os.path.join(work, "out", "launcher")
        cases = [(["--main", "main", "--runtime", os.path.join(work, "none")], out, "runtime"),
                 (["--main", "main.exe", "--icon", os.path.join(work, "bad.png")], out, "not a readable PNG"),
                 (["--main", "main"], os.path.join(work, "file", "launcher"), "cannot create the folder")]
        for options, output, fragment in cases:
            with self.subTest(fragment=fragment):
                trace = os.path.join(work, "trace.log")
                args = ["build", "--input", folder, "--output", output] + options
                result = subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=open,openat",
                                         "-P", os.path.join(folder, "data.bin"), PACK] + args,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(fragment, result.stderr.decode())
                self.assertEqual(read(trace), b"", "the data was read before the refusal")
                self.assertFalse(os.path.exists(output))

    def test_packing_runs_no_other_program(self):
        # No compiler, linker, resource compiler or binutils: the PATH holds
        # nothing at all while both targets' launchers are written, and they run.
        work = self.scratch()
        empty = os.path.join(work, "empty")
        os.makedirs(empty)
        os.makedirs(os.path.join(work, "out"))
        targets = [("linux", "main", LINUX_MAIN)]
        if windows_ready():
            targets.append(("windows", "main.exe", self.windows_main()))
        for target, main, data in targets:
            folder = make_tree(os.path.join(work, target), {main: data, "data/message.txt": b"no tools"})
            separator = "\\" if target == "windows" else "/"
            out = os.path.join(work, "out", "launcher-" + main)
            payload = os.path.join(work, target + ".payload")
            for command in (["build", "--input", folder, "--main", main, "--output", out],
                            ["payload", "--input", folder, "--main", main, "--output", payload],
                            ["launcher", "--payload", payload, "--output", out + "2"]):
                result = subprocess.run([PACK] + command + ["--level", "3"] * (command[0] != "launcher")
                                        + ["--template", "{PROGRAM_DIR}%su" % separator] * (command[0] != "payload"),
                                        env=dict(os.environ, PATH=empty), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(read(out), read(out + "2"))
            if target == "linux":
                result = subprocess.run([out, os.path.join(work, "out", "u", "data", "message.txt")],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            else:
                target_folder = os.path.join(work, "out", "u")
                result = self.run_windows(out, "Z:" + target_folder.replace("/", "\\") + "\\data\\message.txt")
            self.assertEqual(result.returncode, 42, result.stderr)
            self.assertIn(b"main says: no tools|parent set", result.stdout)


class Help(Base):
    def test_help_for_every_command(self):
        for command in ["payload", "build", "launcher", "list", "extract", "verify"]:
            result = pack(command, "--help")
            self.assertIn("usage: zovari-pack " + command, result.stdout.decode())

    def test_command_line_conventions(self):
        work = self.scratch()
        folder = make_tree(os.path.join(work, "app"), {"main": b"m", "-odd": b"o"})
        self.assertEqual(pack("list", "--bogus", check=False).returncode, 2)
        self.assertEqual(pack("build", "--input", folder, check=False).returncode, 2)
        # "--" ends the options: a file may be called "-odd".
        payload = os.path.join(work, "-odd.bin")
        pack("payload", "--input", folder, "--main", "main", "--output", payload, "--level", 1)
        self.assertEqual(listing(os.path.join(work, "-odd.bin"))[0].split(" ", 2)[2], "main")
        result = subprocess.run([PACK, "list", "--", "-odd.bin"], cwd=work, stdout=subprocess.PIPE)
        self.assertEqual(result.returncode, 0)
        # Output that cannot be written is a failure.
        with open("/dev/full", "w") as full:
            result = subprocess.run([PACK, "list", payload], stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        # An output's missing folders are made.
        pack("payload", "--input", folder, "--main", "main", "--output",
             os.path.join(work, "dist", "new", "p.zst"), "--level", 1)
        self.assertEqual(len(listing(os.path.join(work, "dist", "new", "p.zst"))), 2)
        # Errors name the user's own path, never a temporary one.
        result = pack("payload", "--input", folder, "--main", "main", "--output",
                      os.path.join(work, "-odd.bin", "p.zst"), check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn('-odd.bin": Not a directory', result.stderr.decode())
        self.assertNotIn(".tmp", result.stderr.decode())
        # --exclude leaves files out; a damaged payload makes list fail.
        pack("payload", "--input", folder, "--main", "main", "--output", payload, "--exclude", "-*")
        self.assertEqual(len(listing(payload)), 1)
        data = bytearray(read(payload))
        data[-20] ^= 0x40
        with open(payload, "wb") as f:
            f.write(data)
        self.assertEqual(pack("list", payload, check=False).returncode, 1)


def main():
    global TMP
    if not PACK or not os.path.exists(PACK):
        print("ZOVARI_PACK must name the zovari-pack binary", file=sys.stderr)
        return 2
    TMP = tempfile.mkdtemp(prefix="zovari-pack-test.")
    try:
        program = unittest.main(exit=False)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        shutil.rmtree(TMP, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
