#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into a folder, one subfolder
per target: fuzz/make_seeds.py OUTPUT_DIR."""
import os
import struct
import sys
import zlib


def checksum(data):
    value = zlib.crc32(data) & 0xFFFFFFFF
    return 1 if value == 0 else value


def record(name, data, stored=None):
    encoded = name.encode("utf-16-le") + b"\0\0"
    return encoded + struct.pack("<QI", len(data), checksum(data) if stored is None else stored) + data


END = b"\0\0"


def sealed_frame(stream):
    """One zstd frame holding stream in raw blocks, ended by the seal: four
    empty RLE blocks carrying the CRC-32 of the frame's bytes before them."""
    frame = b"\x28\xb5\x2f\xfd\x00\x88"
    for at in range(0, len(stream), 0x20000):
        piece = stream[at:at + 0x20000]
        frame += struct.pack("<I", len(piece) << 3)[:3] + piece
    crc = zlib.crc32(frame) & 0xFFFFFFFF
    for i in range(4):
        frame += bytes([0x02 | (1 if i == 3 else 0), 0, 0, (crc >> (8 * i)) & 0xFF])
    return frame


def payload_seeds():
    """Flags byte (bit 0 clear: a stream the harness compresses; bit 5: a
    second start), parameter byte, then the payload stream."""
    streams = {
        "one-file": record("app", b"#!/bin/sh\nexit 0\n") + END,
        "nested": record("bin\\app", b"\x7fELF" + bytes(60)) + record("lib\\a\\b\\data.txt", b"hello")
        + record("lib\\a\\c", b"") + END,
        "only-end": END,
        "no-end": record("app", b"x" * 10),
        "pieces": record("big", bytes(range(256)) * 128 + b"!") + record("exact", b"q" * 0x8000) + END,
        "window": record("w", b"w" * (0x20000 - 16)) + record("after", b"tail") + END,
        "duplicate": record("a", b"first") + record("a", b"second") + END,
        # Under a folder that the start makes while it holds the lock, where
        # a file is ruled out by the record of names written, not opened: a
        # checksum of 0, which no record stores, ends the start there.
        "in-a-new-folder": record("app", b"m") + record("d\\a", b"first")
        + record("d\\a", b"second", stored=0) + record("d\\b", b"never", stored=0)
        + record("d\\e\\f", b"deep") + END,
        "wrong-checksum": record("a", b"data", stored=0x12345678) + record("b", b"x", stored=0) + END,
        "conflict": record("a", b"file") + record("a\\b", b"under a file") + END,
        "wide-names": record("caf\u00e9\\\u6f22\u5b57\\\U0001F600", b"wide") + END,
        "long-name": record("n" * 1023, b"") + END,
        "too-long-name": record("n" * 1024, b"") + END,
        "behind-end": record("a", b"a") + END + record("ignored", b"never"),
    }
    seeds = {}
    for label, stream in streams.items():
        seeds[label] = bytes([0x00, 0]) + stream
        seeds[label + "-twice"] = bytes([0x20 | 0x02, 0]) + stream
        seeds[label + "-right-checksums"] = bytes([0x40, 0]) + stream
    # Frames as the packing tool seals them (bit 0: taken as they are), whole
    # and with a changed byte, which only the seal can see in a file that a
    # second start reads past.
    sealed = sealed_frame(streams["nested"])
    seeds["sealed"] = bytes([0x01 | 0x20, 0]) + sealed
    seeds["sealed-changed"] = bytes([0x01 | 0x10 | 0x20, 0x31]) + sealed
    seeds["cut-frame"] = bytes([0x08, 0x40]) + streams["pieces"]
    seeds["changed-byte"] = bytes([0x10, 0x21]) + streams["nested"]
    return seeds


def template_seeds():
    """Environment byte, extra byte, two bytes of capacity, then UTF-16LE."""
    texts = ["{CACHE_DIR}\\Fendix\\{VERSION}", "{TEMP}/{PRODUCT}/{PID}", "{HOME}", "abc{TEMP",
             "{A{TEMP}", "{}", "{program_base}.{TIME}.{TIME_US}.{RANDOM}", "{PROGRAM_DIR}//x\\\\y",
             "}{COMPANY}{FILE_VERSION}{PRODUCT_VERSION}", "{FOO}after"]
    seeds = {}
    for index, text in enumerate(texts):
        for capacity in (0x8000, 12, 64):
            seeds["t%d-%d" % (index, capacity)] = (bytes([index * 37 % 256, index * 11 % 256])
                                                   + struct.pack("<H", capacity) + text.encode("utf-16-le"))
    return seeds


def quoting_seeds():
    """Two bytes of capacity, then arguments separated by 0 bytes."""
    arguments = [b"report.txt", b"two words", b"C:\\Temp\\", b"C:\\My Files\\", b'say "hi"', b'a\\"b',
                 b"a\\\\b c", b'"', b"", b"last", b"\r\x0c", b"\\\\\\", b"\t\n\x0b"]
    seeds = {"all": b"\x7f\xff" + b"\0".join(arguments), "small": b"\x00\x20" + b"\0".join(arguments)}
    for index, argument in enumerate(arguments):
        seeds["a%d" % index] = b"\x7f\xff" + argument
    return seeds


def build_area(width, template, arguments=("-m", "two words"), payload_size=40, count=10, quick="", options=""):
    """A build area as the packing tool writes it: the head, the values on
    4-byte boundaries (the quick-start list in 16-bit units), the values'
    CRC-32 last, the payload on a 16-byte one, ending with its trailer.  An
    earlier layout (count 7, 8 or 9) as earlier tools wrote it: the list in
    wide characters before the fixed arguments, no checksum."""
    encoding = "utf-32-le" if width == 4 else "utf-16-le"
    head_size = 48 + 8 * count
    texts = [(template + "\0").encode(encoding)] + [(text + "\0").encode(encoding) for text in
                                                     ["Company", "Fendix", "0.19.1", "0.19.1", "0.19.1"]]
    fixed = b"".join((argument + "\0").encode(encoding) for argument in arguments) + "\0".encode(encoding)
    wide_quick = (quick + "\0").encode(encoding)
    if count == 10:
        texts += [fixed, (quick + "\0").encode("utf-16-le"), (options + "\0").encode(encoding)]
    else:
        texts += {7: [], 8: [wide_quick], 9: [wide_quick, (options + "\0").encode(encoding)]}[count] + [fixed]
    body = bytearray(head_size)
    offsets = []
    for text in texts:
        body += b"\0" * (-len(body) % 4)
        offsets.append(len(body))
        body += text
    if count == 10:
        body += b"\0" * (-len(body) % 4)
        offsets.append(len(body))
        body += ("%08x\0" % zlib.crc32(b"".join(texts))).encode(encoding)
    body += b"\0" * (-len(body) % 16)
    payload = b"QDY" + bytes(range(1, payload_size - 3 - 8 + 1))
    payload += struct.pack("<Q", len(payload))
    body[0:head_size] = (b"ZovariBuildArea\0" + struct.pack("<QQQQ", len(body) + len(payload), len(body),
                                                             len(payload), count)
                         + struct.pack("<%dQ" % count, *offsets))
    return bytes(body + payload)


def area_seeds():
    """Width byte (bit 0: 4-byte characters; bit 1: earlier layouts pass, as
    the tool reads them), then the area."""
    seeds = {}
    for width, flag, template in ((4, 1, "{CACHE_DIR}/Fendix/{VERSION}"), (2, 0, "{CACHE_DIR}\\Fendix\\{VERSION}"),
                                  (2, 0, "C:\\Apps\\{PRODUCT}"), (4, 1, "/opt/{PRODUCT}")):
        area = build_area(width, template, quick="0123456789abcdef 2a 3 a\\b", options="clean-cache")
        label = "w%d-%s" % (width, "token" if template[0] == "{" else "literal")
        seeds[label] = bytes([flag]) + area
        # Damage: a head field, the template's first unit, a value's last, the trailer cut.
        for name, position in (("size", 16), ("payload", 24), ("length", 32), ("count", 40),
                               ("value", 48), ("arguments", 96), ("checksum", 120), ("template", 128),
                               ("product", 128 + 20 * width)):
            changed = bytearray(area)
            changed[position] ^= 0x01
            seeds[label + "-" + name] = bytes([flag]) + bytes(changed)
        seeds[label + "-cut"] = bytes([flag]) + area[:-5] + bytes(5)
        for count in (7, 8, 9):
            seeds["%s-layout%d" % (label, count)] = bytes([flag | 2]) + build_area(width, template, count=count,
                                                                                 quick="0123456789abcdef ")
    # The runtime image's own: the head alone, every value the payload length's zeros.
    seeds["unfilled"] = b"\1" + b"ZovariBuildArea\0" + struct.pack("<QQQQ", 128, 128, 0, 10) + struct.pack("<10Q", *[32] * 10)
    return seeds


def names_seeds():
    """Root byte, then UTF-16LE names separated by the unit 0; a name that
    starts with U+FFFF is a glob pattern and the next one its text."""
    def names(root, *items):
        return bytes([root]) + b"\0\0".join(item.encode("utf-16-le", "surrogatepass") for item in items)
    return {
        "drive-in-a-part": names(0, "main.exe", "x\\C:users\\Public\\evil3.txt", "x\\C:evil.txt"),
        "folding": names(1, "Abc", "abc", "x.", "x", "\u00ff", "\u0178", "\uff41", "\uff21", "\u01c5\\a", "\u01c6\\a"),
        "devices-and-dots": names(2, "a\\nul.txt", "com\u00b9", "a \\b", "a\\..\\..\\b", "lib\\a.dll", "lib"),
        "kept-apart": names(3, "\u00b5", "\u039c", "\u0131", "I", "\u017f", "s", "\u00df", "\u1e9e"),
        "globs": names(0, "\uffff*a*a*a*a*b", "a" * 200, "\uffff*.log", "caf\udce9.log", "\uffff[a-c]?\\*", "b!*"),
    }


def main():
    output = sys.argv[1]
    for target, seeds in (("payload", payload_seeds()), ("template", template_seeds()),
                          ("quoting", quoting_seeds()), ("area", area_seeds()), ("names", names_seeds())):
        folder = os.path.join(output, target)
        os.makedirs(folder, exist_ok=True)
        for label, data in seeds.items():
            with open(os.path.join(folder, label), "wb") as handle:
                handle.write(data)


if __name__ == "__main__":
    main()
