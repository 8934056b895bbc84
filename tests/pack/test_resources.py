#!/usr/bin/python3
"""The Windows resources that zovari-pack puts into a launcher.

Each test reads a real .exe with pefile, an independent PE reader: the seven
PNG icons, the icon group, the version record and the manifest, field by
field.  The resources come from pack/executables/resources.cpp through a small driver
(tests/pack/resources_driver.cpp, compiled here with the host g++ unless
ZOVARI_RESOURCES_DRIVER names a built one), which writes them into the
Windows runtime image (ZOVARI_WINDOWS_RUNTIME) as zovari-pack does.  When
ZOVARI_PACK names a zovari-pack binary, a launcher that `zovari-pack build
--target windows` produces is checked too.

Run: /usr/bin/python3 tests/pack/test_resources.py [-v]
"""

import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINDOWS_RUNTIME = os.environ.get("ZOVARI_WINDOWS_RUNTIME", "")

ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
VERSION_KEYS = ["CompanyName", "ProductName", "FileDescription", "LegalCopyright",
                "ProductVersion", "FileVersion", "OriginalFilename", "InternalName"]

# Values that exercise the .rc escaping: quotes, a backslash, non-ASCII inside
# and outside the BMP, hex digits right after an escaped character, "??".
VALUES = {
    "product": "Fendix",
    "company": 'Zovari "Test" Co. \\ Ltd',
    "description": "Fendix - tests caf\u00e9beef \u263a\U0001F600d0ne ??= ok",
    "copyright": "\u00a9 2026 Zovari Test Co.",
    "file_version": "0.19.1.0",
    "product_version": "65535.0.7.12",
    "original_filename": "Fendix.exe",
    "internal_name": "Fendix",
}
EXPECTED_STRINGS = {
    "CompanyName": VALUES["company"],
    "ProductName": VALUES["product"],
    "FileDescription": VALUES["description"],
    "LegalCopyright": VALUES["copyright"],
    "ProductVersion": VALUES["product_version"],
    "FileVersion": VALUES["file_version"],
    "OriginalFilename": VALUES["original_filename"],
    "InternalName": VALUES["internal_name"],
}

# --- PNG, read and written here without the code under test ------------------

def png_encode(width, height, pixels):
    """An 8-bit RGBA PNG of pixels, a list of rows of (r, g, b, a)."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    raw = b"".join(b"\0" + bytes(c for p in row for c in p) for row in pixels)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def png_decode(data):
    """Checks an 8-bit RGBA, non-interlaced PNG and returns (width, height, rows of bytes)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "no PNG signature"
    pos, chunks = 8, []
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 4:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert zlib.crc32(body) == crc, "bad CRC in %r" % kind
        chunks.append((kind, body[4:]))
        pos += 12 + length
    assert chunks[0][0] == b"IHDR" and chunks[-1][0] == b"IEND"
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert (depth, colour, compression, filtering, interlace) == (8, 6, 0, 0, 0), \
        "not 8-bit RGBA: depth %d colour type %d interlace %d" % (depth, colour, interlace)
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    stride = width * 4
    assert len(raw) == height * (stride + 1)
    rows, previous = [], bytes(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b = previous[x]
            c = previous[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            else:
                assert kind == 0, "unknown PNG filter %d" % kind
        rows.append(bytes(line))
        previous = rows[-1]
    return width, height, rows


def pixel(rows, x, y):
    return tuple(rows[y][x * 4:x * 4 + 4])


# --- Building .exe files ---------------------------------------------------------

class Build:
    """The driver, made once for the run."""
    tmp = None
    driver = None


def setUpModule():
    if not os.path.exists(WINDOWS_RUNTIME):
        raise unittest.SkipTest("ZOVARI_WINDOWS_RUNTIME does not name the Windows runtime image")
    Build.tmp = tempfile.mkdtemp(prefix="zovari-resources-")
    Build.driver = os.environ.get("ZOVARI_RESOURCES_DRIVER")
    if not Build.driver:
        Build.driver = os.path.join(Build.tmp, "resources_driver")
        run(["g++", "-std=c++17", "-O1", "-Wall", "-Wextra", "-I", REPO,
             "-DZOVARI_DEFAULT_ICON_PNG=\"%s\"" % os.path.join(REPO, "image", "icon.png"),
             os.path.join(HERE, "resources_driver.cpp")]
            + [os.path.join(REPO, "pack", name + ".cpp")
               for name in ("resources", "icon", "launcher_image", "text", "temporary_output", "cleanup_posix", "system_posix")]
            + ["-o", Build.driver])


def tearDownModule():
    if Build.tmp:
        shutil.rmtree(Build.tmp, ignore_errors=True)


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (command[0], result.returncode,
                             result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")))
    return result


def driver_command(exe, icon, values):
    return [Build.driver, WINDOWS_RUNTIME, exe, icon, values["product"], values["company"],
            values["description"], values["copyright"], values["file_version"], values["product_version"],
            values["original_filename"], values["internal_name"]]


def build_exe(name, icon="", values=VALUES):
    """Runs the driver: the runtime image with these resources; returns the .exe path."""
    exe = os.path.join(Build.tmp, name + ".exe")
    result = run(driver_command(exe, icon, values))
    assert result.stdout.decode().strip() == exe
    return exe


def resources(exe):
    """{type id: {name id: {language id: data bytes}}} as pefile reads them."""
    pe = pefile.PE(exe)
    table = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                table.setdefault(kind.id, {}).setdefault(name.id, {})[language.id] = data
    return pe, table


def pe_program_head():
    """Not a program, but its header says an x86-64 GUI one (PE32+, no DLL),
    which is all the tool reads."""
    head = bytearray(0x40 + 4 + 20 + 240)
    head[0:2], head[0x40:0x44] = b"MZ", b"PE\0\0"
    struct.pack_into("<I", head, 0x3C, 0x40)
    struct.pack_into("<HHIIIHH", head, 0x44, 0x8664, 0, 0, 0, 0, 240, 0x0022)
    struct.pack_into("<H", head, 0x40 + 24, 0x20B)
    struct.pack_into("<H", head, 0x40 + 24 + 68, 2)
    return bytes(head)


def pattern_png():
    """48x48: the left half opaque red, the right half transparent."""
    rows = [[(255, 0, 0, 255)] * 24 + [(0, 0, 255, 0)] * 24 for _ in range(48)]
    return png_encode(48, 48, rows)


# --- The checks, shared by the driver's .exe and zovari-pack's launcher ------------

class ResourceChecks:
    """Field-by-field checks of one .exe; subclasses set exe, table and pe."""

    def test_only_these_resources_all_language_neutral(self):
        shape = {kind: {name: sorted(langs) for name, langs in names.items()}
                 for kind, names in self.table.items()}
        self.assertEqual(shape, {
            RT_ICON: {i: [0] for i in range(1, 8)},
            RT_GROUP_ICON: {1: [0]},
            RT_VERSION: {1: [0]},
            RT_MANIFEST: {1: [0]},
        })

    def icons(self):
        return [self.table[RT_ICON][i][0] for i in range(1, 8)]

    def test_icons_are_rgba_pngs_of_the_seven_sizes_in_order(self):
        for size, data in zip(ICON_SIZES, self.icons()):
            with self.subTest(size=size):
                width, height, rows = png_decode(data)
                self.assertEqual((width, height), (size, size))

    def test_icon_group_lists_the_seven_icons(self):
        group = self.table[RT_GROUP_ICON][1][0]
        self.assertEqual(len(group), 6 + 7 * 14)
        self.assertEqual(struct.unpack("<HHH", group[:6]), (0, 1, 7))
        for index, (size, data) in enumerate(zip(ICON_SIZES, self.icons())):
            with self.subTest(size=size):
                entry = struct.unpack("<BBBBHHIH", group[6 + 14 * index:20 + 14 * index])
                side = 0 if size == 256 else size
                self.assertEqual(entry, (side, side, 0, 0, 0, 32, len(data), index + 1))

    def test_wrestool_rebuilds_the_icon_file_from_the_group(self):
        # icoutils' wrestool, a second reader, joins the group and its images into an .ico.
        if shutil.which("wrestool") is None:
            self.skipTest("wrestool (icoutils) is not installed")
        ico = run(["wrestool", "-x", "--type=14", "--name=1", self.exe]).stdout
        self.assertEqual(struct.unpack("<HHH", ico[:6]), (0, 1, 7))
        for index, (size, data) in enumerate(zip(ICON_SIZES, self.icons())):
            with self.subTest(size=size):
                entry = struct.unpack("<BBBBHHII", ico[6 + 16 * index:22 + 16 * index])
                side = 0 if size == 256 else size
                self.assertEqual(entry[:7], (side, side, 0, 0, 0, 32, len(data)))
                self.assertEqual(ico[entry[7]:entry[7] + len(data)], data)

    def version_entries(self):
        tables = [fi for fi in self.pe.FileInfo[0] if fi.Key == b"StringFileInfo"]
        self.assertEqual(len(tables), 1)
        self.assertEqual([st.LangID for st in tables[0].StringTable], [b"000004b0"])
        return tables[0].StringTable[0].entries

    def test_version_fixed_part(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        file_version = [int(n) for n in self.expected["FileVersion"].split(".")]
        product_version = [int(n) for n in self.expected["ProductVersion"].split(".")]
        self.assertEqual(fixed.Signature, 0xFEEF04BD)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                         (file_version[0] << 16 | file_version[1], file_version[2] << 16 | file_version[3]))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (product_version[0] << 16 | product_version[1],
                          product_version[2] << 16 | product_version[3]))
        self.assertEqual(fixed.FileFlagsMask, 0x3F)
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileOS, 0x4)
        self.assertEqual(fixed.FileType, 0x1)
        self.assertEqual(fixed.FileSubtype, 0)
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))

    def test_version_strings_in_order(self):
        entries = self.version_entries()
        self.assertEqual([key.decode() for key in entries], VERSION_KEYS)
        raw = self.table[RT_VERSION][1][0]
        for key in VERSION_KEYS:
            with self.subTest(key=key):
                value = self.expected[key]
                if all(ord(c) < 0x10000 for c in value):  # pefile mangles surrogate pairs
                    self.assertEqual(entries[key.encode()].decode("utf-8"), value)
                # The exact UTF-16 text, NUL-terminated, right after its key.
                needle = (key.encode("utf-16-le") + b"\0\0")
                at = raw.find(needle)
                self.assertGreater(at, 0)
                start = at + len(needle)
                start += (4 - start % 4) % 4  # the value is 32-bit aligned in the record
                encoded = value.encode("utf-16-le") + b"\0\0"
                self.assertEqual(raw[start:start + len(encoded)], encoded)

    def test_version_translation(self):
        var = [fi for fi in self.pe.FileInfo[0] if fi.Key == b"VarFileInfo"]
        self.assertEqual(len(var), 1)
        self.assertEqual([v.entry for v in var[0].Var], [{b"Translation": "0x0000 0x04b0"}])
        raw = self.table[RT_VERSION][1][0]
        needle = "Translation".encode("utf-16-le") + b"\0\0"
        start = raw.find(needle) + len(needle)
        start += (4 - start % 4) % 4
        self.assertEqual(struct.unpack("<HH", raw[start:start + 4]), (0x0000, 0x04B0))

    def test_manifest(self):
        data = self.table[RT_MANIFEST][1][0]
        text = data.decode("utf-8")
        self.assertNotIn("\n", text.rstrip("\n"))
        self.assertNotIn("\r", text)
        self.assertFalse(text.startswith("<?xml"), "the manifest has an XML declaration")
        self.assertFalse(text.startswith("\ufeff"), "the manifest has a byte order mark")
        v1 = "{urn:schemas-microsoft-com:asm.v1}"
        v3 = "{urn:schemas-microsoft-com:asm.v3}"
        compat = "{urn:schemas-microsoft-com:compatibility.v1}"
        settings = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
        root = ET.fromstring(text)
        self.assertEqual(root.tag, v1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")
        self.assertEqual([child.tag for child in root], [
            v1 + "assemblyIdentity", compat + "compatibility", v3 + "application",
            v1 + "dependency", v3 + "trustInfo"])
        self.assertEqual(root[0].attrib, {"type": "win32", "name": "Mini", "version": "1.0.0.0"})

        applications = root[1].findall(compat + "application")
        self.assertEqual(len(applications), 1)
        self.assertEqual([(os_.tag, os_.attrib) for os_ in applications[0]], [
            (compat + "supportedOS", {"Id": "{e2011457-1546-43c5-a5fe-008deee3d3f0}"}),  # Vista
            (compat + "supportedOS", {"Id": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"}),  # 7
            (compat + "supportedOS", {"Id": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"}),  # 8
            (compat + "supportedOS", {"Id": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}),  # 8.1
            (compat + "supportedOS", {"Id": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}),  # 10
        ])
        # Named as supported, Vista must be able to load the launcher: it
        # imports nothing that came with Windows 7, the per-thread error
        # mode among them, which the launcher looks up at run time.
        imported = {entry.name.decode() for library in self.pe.DIRECTORY_ENTRY_IMPORT
                    for entry in library.imports if entry.name}
        self.assertEqual(imported & {"SetThreadErrorMode", "GetThreadErrorMode"}, set())

        window_settings = list(root[2])
        self.assertEqual([e.tag for e in window_settings], [v3 + "windowsSettings"])
        long_path = list(window_settings[0])
        self.assertEqual([e.tag for e in long_path], [settings + "longPathAware"])
        self.assertEqual(long_path[0].text.strip(), "true")

        dependent = list(root[3])
        self.assertEqual([e.tag for e in dependent], [v1 + "dependentAssembly"])
        identity = list(dependent[0])
        self.assertEqual([e.tag for e in identity], [v1 + "assemblyIdentity"])
        self.assertEqual(identity[0].attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})

        level = root[4].findall("%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel" % (v3, v3, v3))
        self.assertEqual([e.attrib for e in level], [{"level": "asInvoker", "uiAccess": "false"}])
        self.assertEqual(len(list(root[4].iter())), 4)  # trustInfo, security, privileges, level


class DriverResources(ResourceChecks, unittest.TestCase):
    """The resources that pack/executables/resources.cpp writes, with a pattern icon."""

    @classmethod
    def setUpClass(cls):
        cls.icon = os.path.join(Build.tmp, "pattern.png")
        with open(cls.icon, "wb") as f:
            f.write(pattern_png())
        cls.exe = build_exe("driver", cls.icon)
        cls.pe, cls.table = resources(cls.exe)
        cls.expected = EXPECTED_STRINGS

    def test_icons_are_resampled_from_the_source(self):
        for size, data in zip(ICON_SIZES, self.icons()):
            with self.subTest(size=size):
                _, _, rows = png_decode(data)
                self.assertEqual(pixel(rows, size // 5, size // 2), (255, 0, 0, 255))
                self.assertEqual(pixel(rows, size - 1 - size // 5, size // 2)[3], 0)

    def test_same_inputs_give_the_same_bytes(self):
        again = build_exe("again with space \u00e9", self.icon)
        with open(again, "rb") as a, open(self.exe, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_headers_agree_with_the_sections(self):
        # What a loader and a signing tool check: the checksum, the image's
        # size, the resource directory, the build area page-aligned in the file.
        # The checksum over the file as it is (pefile's own rewrites the version
        # record's non-BMP text first): 16-bit words, carries folded, plus the length.
        with open(self.exe, "rb") as f:
            data = bytearray(f.read())
        field = self.pe.OPTIONAL_HEADER.get_file_offset() + 64
        data[field:field + 4] = bytes(4)
        total = sum(struct.unpack("<%dH" % (len(data) // 2), data[:len(data) // 2 * 2])) + (data[-1] if len(data) % 2 else 0)
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        self.assertEqual(self.pe.OPTIONAL_HEADER.CheckSum, total + len(data))
        last = self.pe.sections[-1]
        self.assertEqual(last.Name.rstrip(b"\0"), b".rsrc")
        alignment = self.pe.OPTIONAL_HEADER.SectionAlignment
        self.assertEqual(self.pe.OPTIONAL_HEADER.SizeOfImage,
                         (last.VirtualAddress + last.Misc_VirtualSize + alignment - 1) // alignment * alignment)
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
        self.assertEqual((directory.VirtualAddress, directory.Size), (last.VirtualAddress, last.Misc_VirtualSize))
        (area,) = [section for section in self.pe.sections if section.Name.rstrip(b"\0") == b".zovpay"]
        self.assertEqual(area.PointerToRawData % 4096, 0)
        self.assertEqual(self.pe.OPTIONAL_HEADER.SizeOfInitializedData,
                         sum(section.SizeOfRawData for section in self.pe.sections
                             if section.Characteristics & 0x40))
        self.assertEqual(self.pe.get_warnings(), [])


class DefaultIcon(unittest.TestCase):
    """No icon given: the project's own image/icon.png."""

    def test_default_icon_is_build_icon_png(self):
        _, table = resources(build_exe("default"))
        with open(os.path.join(REPO, "image", "icon.png"), "rb") as f:
            source = png_decode(f.read())
        self.assertEqual(source[:2], (256, 256))
        self.assertEqual(png_decode(table[RT_ICON][7][0]), source)  # same pixels at 256
        for index, size in enumerate(ICON_SIZES, 1):
            self.assertEqual(png_decode(table[RT_ICON][index][0])[:2], (size, size))

    def test_build_icon_png_is_what_its_script_draws(self):
        out = os.path.join(Build.tmp, "drawn.png")
        run([sys.executable, os.path.join(REPO, "image", "make_icon.py"), out])
        with open(out, "rb") as a, open(os.path.join(REPO, "image", "icon.png"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "image/icon.png is stale: run image/make_icon.py")


class IconInputs(unittest.TestCase):

    def test_non_square_icon_is_centred_on_a_transparent_square(self):
        rows = [[(0, 200, 0, 255)] * 120 for _ in range(60)]
        icon = os.path.join(Build.tmp, "wide.png")
        with open(icon, "wb") as f:
            f.write(png_encode(120, 60, rows))
        _, table = resources(build_exe("wide", icon))
        for index, size in enumerate(ICON_SIZES, 1):
            with self.subTest(size=size):
                width, height, image = png_decode(table[RT_ICON][index][0])
                self.assertEqual((width, height), (size, size))
                self.assertEqual(pixel(image, size // 2, size // 2), (0, 200, 0, 255))
                self.assertEqual(pixel(image, size // 2, 0)[3], 0)
                self.assertEqual(pixel(image, size // 2, size - 1)[3], 0)

    def test_bad_icon_gives_one_clear_line(self):
        good = pattern_png()
        corrupt = bytearray(good)
        corrupt[45:60] = b"\xff" * 15  # inside IDAT's compressed data
        huge = png_encode(1, 1, [[(0, 0, 0, 0)]])
        huge = huge[:16] + struct.pack(">II", 9000, 9000) + huge[24:]
        wide = png_encode(5000, 2, [[(9, 9, 9, 255)] * 5000] * 2)
        # A deflate block of the reserved type 3, which the decoder refuses without a reason.
        reserved = good[:33] + b"\0\0\0\4IDAT\x78\x01\x07\0" + struct.pack(">I", zlib.crc32(b"IDAT\x78\x01\x07\0")) + good[-12:]
        cases = {
            "reserved-block.png": (reserved, "is not a readable PNG image"),
            "text.png": (b"this is not an image\n", "is neither a PNG image nor an .ico file"),
            "empty.png": (b"", "is neither a PNG image nor an .ico file"),
            "photo.jpg": (b"\xff\xd8\xff\xe0\0\x10JFIF\0" + bytes(64), "is neither a PNG image nor an .ico file"),
            "truncated.png": (good[:40], "is not a readable PNG image"),
            "corrupt.png": (bytes(corrupt), "is not a readable PNG image"),
            "huge.png": (huge, "9000x9000 pixels"),
            "wide.png": (wide, "at most 4096"),
            "padded.png": (good + bytes(17 << 20), "larger than 16 MiB"),
            "missing.png": (None, "cannot read the icon"),
        }
        for name, (contents, message) in cases.items():
            with self.subTest(icon=name):
                icon = os.path.join(Build.tmp, "bad-" + name)
                if contents is not None:
                    with open(icon, "wb") as f:
                        f.write(contents)
                self.assert_refused(icon, VALUES, [message, icon])
        self.assert_refused(Build.tmp, VALUES, ["cannot read the icon", Build.tmp])  # a directory

    def assert_refused(self, icon, values, fragments):
        exe = os.path.join(Build.tmp, "refused.exe")
        result = subprocess.run(driver_command(exe, icon, values), capture_output=True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, b"")
        lines = result.stderr.decode(errors="replace").splitlines()
        self.assertEqual(len(lines), 1, lines)
        for fragment in fragments:
            self.assertIn(fragment, lines[0])
        self.assertFalse(os.path.exists(exe), "written despite the error")

    def test_bad_versions_give_one_clear_line(self):
        versions = ["0.19.1", "0.19.1.0.0", "1.2.3.65536", "a.b.c.d", "1..2.3", "", "1.2.3.-4",
                    " 1.2.3.4", "1.2\n3.4", "1.2.3.4\u00e9"]
        for version in versions:
            for key, field in (("FileVersion", "file_version"), ("ProductVersion", "product_version")):
                with self.subTest(version=version, field=field):
                    values = dict(VALUES, **{field: version})
                    self.assert_refused("", values, [key, "four numbers"])

    def test_text_that_is_not_utf8_gives_one_clear_line(self):
        values = dict(VALUES, company=b"Acme \xff Ltd")
        command = [os.fsencode(a) if isinstance(a, str) else a for a in driver_command(
            os.path.join(Build.tmp, "refused.exe"), "", values)]
        result = subprocess.run(command, capture_output=True)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines(), ["error: the version value CompanyName is not valid UTF-8"])


class PackedLauncher(ResourceChecks, unittest.TestCase):
    """A launcher that `zovari-pack build --target windows` produces."""

    @classmethod
    def setUpClass(cls):
        pack = os.environ.get("ZOVARI_PACK")
        if not pack:
            print("\nPackedLauncher skipped: ZOVARI_PACK is not set (the zovari-pack to test)", file=sys.stderr)
            raise unittest.SkipTest("ZOVARI_PACK is not set: no zovari-pack to produce a launcher")
        app = os.path.join(Build.tmp, "app")
        os.makedirs(os.path.join(app, "bin"), exist_ok=True)
        with open(os.path.join(app, "bin", "Fendix.exe"), "wb") as f:
            f.write(pe_program_head())
        with open(os.path.join(app, "readme.txt"), "w") as f:
            f.write("hello\n")
        cls.icon = os.path.join(Build.tmp, "launcher-icon.png")
        with open(cls.icon, "wb") as f:
            f.write(pattern_png())
        cls.exe = os.path.join(Build.tmp, "Fendix-launcher.exe")
        cls.pack_command = [
            pack, "build", "--target", "windows", "--input", app, "--main", "bin/Fendix.exe",
            "--product", "Fendix", "--version", "0.19.1", "--company", VALUES["company"],
            "--description", "tests caf\u00e9 \u263a", "--copyright", VALUES["copyright"], "--level", "3"]
        run(cls.pack_command + ["--icon", cls.icon, "--output", cls.exe])
        cls.pe, cls.table = resources(cls.exe)
        cls.expected = {
            "CompanyName": VALUES["company"],
            "ProductName": "Fendix",
            # The product, a spaced hyphen and the description.
            "FileDescription": "Fendix - tests caf\u00e9 \u263a",
            "LegalCopyright": VALUES["copyright"],
            "ProductVersion": "0.19.1.0",
            "FileVersion": "0.19.1.0",
            "OriginalFilename": "Fendix.exe",
            "InternalName": "Fendix",
        }

    def test_icons_are_resampled_from_the_given_icon(self):
        for size, data in zip(ICON_SIZES, self.icons()):
            with self.subTest(size=size):
                _, _, rows = png_decode(data)
                self.assertEqual(pixel(rows, size // 5, size // 2), (255, 0, 0, 255))

    def assert_pattern_icons(self, exe):
        pe, table = resources(exe)
        for size, name in zip(ICON_SIZES, sorted(table[RT_ICON])):
            _, _, rows = png_decode(table[RT_ICON][name][0])
            self.assertEqual((pixel(rows, size // 5, size // 2), pixel(rows, size - 1 - size // 5, size // 2)[3]),
                             ((255, 0, 0, 255), 0))
        return pe

    def test_free_text_version_and_an_ico_icon(self):
        # The .ico holds the same image as a bitmap of each depth icotool
        # writes as the format has it (palettes of 2, 16 and 256 colours among
        # them), beside a smaller image: the launcher's icons are made from
        # the larger one.
        small = os.path.join(Build.tmp, "small.png")
        with open(small, "wb") as f:
            f.write(png_encode(16, 16, [[(0, 0, 255, 255)] * 16] * 16))
        command = [c if c != "0.19.1" else "1.2.3-beta" for c in self.pack_command]
        for depth in ("32", "24", "8", "4", "1"):
            with self.subTest(depth=depth):
                ico = os.path.join(Build.tmp, "pattern-%s.ico" % depth)
                subprocess.run(["icotool", "-c", "-b", depth, "-o", ico, small, self.icon], check=True)
                exe = os.path.join(Build.tmp, "Fendix-beta.exe")
                run(command + ["--icon", ico, "--output", exe])
                pe = self.assert_pattern_icons(exe)
        strings = [fi for fi in pe.FileInfo[0] if fi.Key == b"StringFileInfo"][0].StringTable[0].entries
        self.assertEqual(strings[b"ProductVersion"], b"1.2.3-beta")
        self.assertEqual(strings[b"FileVersion"], b"1.2.3.0")
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (1 << 16 | 2, 3 << 16))

    def test_uac_admin_asks_for_elevation_in_gui_and_console_launchers(self):
        # Without --description, FileDescription is the product alone.
        command = [c for i, c in enumerate(self.pack_command)
                   if "--description" not in self.pack_command[max(i - 1, 0):i + 1]]
        for subsystem, options in ((2, []), (3, ["--console"])):
            with self.subTest(subsystem=subsystem):
                exe = os.path.join(Build.tmp, "Fendix-admin.exe")
                run(command + ["--uac-admin", "--output", exe] + options)
                pe, table = resources(exe)
                self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, subsystem)
                level = ET.fromstring(table[RT_MANIFEST][1][0].decode()).findall(
                    ".//{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
                self.assertEqual([e.attrib for e in level], [{"level": "requireAdministrator", "uiAccess": "false"}])
                strings = [fi for fi in pe.FileInfo[0] if fi.Key == b"StringFileInfo"][0].StringTable[0].entries
                self.assertEqual(strings[b"FileDescription"], b"Fendix")
                listed = run([os.environ["ZOVARI_PACK"], "list", exe]).stdout.decode().splitlines()
                self.assertIn("# execution level: requireAdministrator", listed)
        listed = run([os.environ["ZOVARI_PACK"], "list", "--json", self.exe]).stdout.decode()
        self.assertIn('"execution_level": "asInvoker"', listed)

    def test_bad_icon_gives_one_clear_line_and_no_launcher(self):
        icon = os.path.join(Build.tmp, "not-a-png.png")
        with open(icon, "wb") as f:
            f.write(b"GIF89a and more")
        exe = os.path.join(Build.tmp, "never.exe")
        result = subprocess.run(self.pack_command + ["--icon", icon, "--output", exe], capture_output=True)
        self.assertNotEqual(result.returncode, 0)
        lines = result.stderr.decode(errors="replace").splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn('the icon "%s" is neither a PNG image nor an .ico file' % icon, lines[0])
        self.assertFalse(os.path.exists(exe))

    def test_icons_of_many_entries_cost_what_their_bytes_do(self):
        # 65535 entries naming one large image: an .ico, and a program's icon
        # group.  Each entry must cost a look at a header, not a copy of the
        # image (a 14 MiB copy per entry runs for minutes; a group laid out
        # as one .ico asked for 64 GiB).
        def padded(size):
            png = pattern_png()
            body = b"prVt" + bytes(size)
            chunk = struct.pack(">I", size) + body + struct.pack(">I", zlib.crc32(body))
            return png[:-12] + chunk + png[-12:]

        count = 65535
        image = padded(14 << 20)
        ico = os.path.join(Build.tmp, "many.ico")
        with open(ico, "wb") as f:
            f.write(struct.pack("<HHH", 0, 1, count) + struct.pack("<BBBBHHII", 48, 48, 0, 0, 1, 32, len(image),
                                                                    6 + 16 * count) * count + image)
        # A GUI program whose resources hold the group and one 1 MiB image.
        image = padded(1 << 20)
        group = struct.pack("<HHH", 0, 1, count) + struct.pack("<BBBBHHIH", 48, 48, 0, 0, 1, 32, len(image), 1) * count
        directory = lambda entries: struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(entries)) + b"".join(
            struct.pack("<II", key, value) for key, value in entries)
        # Types 3 and 14, an id each, a language each, their data entries, the data.
        tables = (directory([(3, 0x80000000 | 32), (14, 0x80000000 | 56)]) + directory([(1, 0x80000000 | 80)])
                  + directory([(1, 0x80000000 | 104)]) + directory([(0, 128)]) + directory([(0, 144)]))
        data_at = 160
        tables += struct.pack("<IIII", 0x1000 + data_at + len(group), len(image), 0, 0)
        tables += struct.pack("<IIII", 0x1000 + data_at, len(group), 0, 0)
        section = tables + group + image
        program = bytearray(pe_program_head())
        struct.pack_into("<H", program, 0x46, 1)                     # one section
        struct.pack_into("<I", program, 0x58 + 108, 16)              # data directories
        struct.pack_into("<II", program, 0x58 + 112 + 16, 0x1000, len(section))
        program += struct.pack("<8sIIIIIIHHI", b".rsrc", len(section), 0x1000, len(section), 0x200, 0, 0, 0, 0,
                               0x40000040)
        program += bytes(0x200 - len(program)) + section
        app = os.path.join(Build.tmp, "app-many")
        os.makedirs(app, exist_ok=True)
        with open(os.path.join(app, "Fendix.exe"), "wb") as f:
            f.write(program)
        command = list(self.pack_command)
        command[command.index("--input") + 1], command[command.index("--main") + 1] = app, "Fendix.exe"

        def limited():
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
            resource.setrlimit(resource.RLIMIT_CPU, (20, 20))

        for what, options in (("an .ico", ["--icon", ico]), ("the program's own", [])):
            with self.subTest(what):
                exe = os.path.join(Build.tmp, "Fendix-many.exe")
                result = subprocess.run(command + options + ["--jobs", "1", "--output", exe], capture_output=True,
                                        preexec_fn=limited)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_pattern_icons(exe)

    def test_without_an_icon_the_launcher_has_the_main_binarys_or_the_projects_icon(self):
        exe = os.path.join(Build.tmp, "Fendix-default-icon.exe")
        run(self.pack_command + ["--output", exe])
        _, table = resources(exe)
        with open(os.path.join(REPO, "image", "icon.png"), "rb") as f:
            self.assertEqual(png_decode(table[RT_ICON][7][0]), png_decode(f.read()))
        # A main binary with an icon of its own (a launcher made with the
        # pattern) lends it to the launcher.
        app = os.path.join(Build.tmp, "app-with-icon")
        os.makedirs(app, exist_ok=True)
        shutil.copy(self.exe, os.path.join(app, "Fendix.exe"))
        exe = os.path.join(Build.tmp, "Fendix-own-icon.exe")
        command = list(self.pack_command)
        command[command.index("--input") + 1], command[command.index("--main") + 1] = app, "Fendix.exe"
        run(command + ["--output", exe])
        self.assert_pattern_icons(exe)
        # A program that windres built, as every MinGW project builds its
        # icon: its resources carry a language (1033), not the neutral one.
        if shutil.which("x86_64-w64-mingw32-windres") is None:
            self.skipTest("no MinGW windres")
        ico, rc, source = (os.path.join(app, name) for name in ("pattern.ico", "app.rc", "app.c"))
        run(["icotool", "-c", "-o", ico, self.icon])
        with open(rc, "w") as f:
            f.write('1 ICON "pattern.ico"\n')
        with open(source, "w") as f:
            f.write("int main(void) { return 0; }\n")
        run(["x86_64-w64-mingw32-windres", rc, "-O", "coff", "-o", rc + ".o"], cwd=app)
        run(["x86_64-w64-mingw32-gcc", "-O1", source, rc + ".o", "-o", os.path.join(app, "Fendix.exe")])
        self.assertEqual(sorted(resources(os.path.join(app, "Fendix.exe"))[1][RT_GROUP_ICON][1]), [1033])
        run(command + ["--output", exe])
        self.assert_pattern_icons(exe)


if __name__ == "__main__":
    unittest.main()
