#!/usr/bin/python3
"""Builds the benchmark's applications from files already on the machine.

  large  about 100 MB in a few thousand files: three large binaries, a tier
         of medium files (Windows DLLs of the Wine package, Python modules,
         translations) and many small ones (headers, documentation), kept
         in their nested folders.
  small  about 3 MB in about a hundred files, for the small-payload memory
         check.
  huge   the large one and one more binary of about 110 MB, a payload stream
         well beyond the frame's 128 MiB window, for the memory check.

The selection is deterministic: large binaries come from a fixed list, the
other files from fixed roots, ordered by a seeded hash of their path and taken
while they fit the tier's byte budget.  Each file is decided by its own hash,
so a package installed later changes the selection only where its files land.
The roots belong to packages that scripts/setup.sh installs.

Every application gets as its first file (the main binary) a tiny static
program that exits 0 at once, so that a launcher run measures unpacking.

Usage: make_corpus.py large|small|huge OUTDIR MAIN_PROGRAM
Writes OUTDIR/app (the folder to pack) and OUTDIR/manifest.tsv (relative
path, size, source).  When the manifest is unchanged and the folder complete,
nothing is copied again, so that what is built from it stays valid.
"""
import hashlib
import os
import shutil
import stat
import sys

MAIN_NAME = "bin/zovari-bench-main"

# The large binaries: (source, place in the application).  Each is a file of a
# package that the setup script installs; the first one found of each group
# is taken.
LARGE_BINARIES = [
    (["/usr/lib/x86_64-linux-gnu/libclang-14.so.14.0.6",
      "/usr/lib/x86_64-linux-gnu/libclang-14.so.1"], "lib/libclang.so"),
    (["/usr/bin/cmake"], "bin/cmake"),
    (["/usr/lib/x86_64-linux-gnu/libasan.so.8.0.0",
      "/usr/lib/x86_64-linux-gnu/libasan.so.8"], "lib/libasan.so"),
]

# What the huge application adds to the large one.
HUGE_BINARIES = [
    (["/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1",
      "/usr/lib/llvm-14/lib/libLLVM-14.so.1"], "lib/libLLVM.so"),
]

# Tiers of selected files: roots, size range of a file, byte budget.  A root
# is (source folder, folder in the application).
MEDIUM_ROOTS = [
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "lib/windows"),
    ("/usr/lib/python3.11", "lib/python"),
    ("/usr/share/locale", "share/locale"),
]
SMALL_ROOTS = [
    ("/usr/include", "include"),
    ("/usr/share/mingw-w64/include", "include/windows"),
    ("/usr/share/doc", "share/doc"),
    ("/usr/lib/python3.11", "lib/python"),
    ("/usr/share/locale", "share/locale"),
]

PROFILES = {
    # name: list of (roots, smallest, largest, budget, seed)
    "large": [
        (MEDIUM_ROOTS, 64 * 1024, 2 * 1024 * 1024, 16_000_000, "medium-1"),
        (SMALL_ROOTS, 1, 64 * 1024 - 1, 36_000_000, "small-1"),
    ],
    "huge": [
        (MEDIUM_ROOTS, 64 * 1024, 2 * 1024 * 1024, 16_000_000, "medium-1"),
        (SMALL_ROOTS, 1, 64 * 1024 - 1, 36_000_000, "small-1"),
    ],
    "small": [
        (MEDIUM_ROOTS, 64 * 1024, 1024 * 1024, 1_500_000, "medium-2"),
        (SMALL_ROOTS, 1, 64 * 1024 - 1, 1_500_000, "small-2"),
    ],
}


def regular_files(root):
    """Yields (path, size) of every regular file below root, links not followed."""
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            try:
                info = os.lstat(path)
            except OSError:
                continue
            if stat.S_ISREG(info.st_mode) and os.access(path, os.R_OK):
                yield path, info.st_size


def usable_name(relative):
    # The payload spells names in UTF-16 with "\" as separator: keep to plain
    # names that need neither escaping nor care.
    return "\\" not in relative and relative.isascii() and len(relative) < 900


def select_tier(roots, smallest, largest, budget, seed, taken):
    candidates = []
    for source_root, target_root in roots:
        if not os.path.isdir(source_root):
            continue
        for path, size in regular_files(source_root):
            if size < smallest or size > largest:
                continue
            relative = target_root + "/" + os.path.relpath(path, source_root)
            if not usable_name(relative) or relative in taken:
                continue
            key = hashlib.sha256((seed + "\0" + relative).encode()).hexdigest()
            candidates.append((key, relative, path, size))
    candidates.sort()
    chosen = []
    left = budget
    for _, relative, path, size in candidates:
        if left <= 0:
            break
        if size > left or relative in taken:
            continue
        taken.add(relative)
        chosen.append((relative, size, path))
        left -= size
    return chosen


def select(profile, main_program):
    entries = [(MAIN_NAME, os.path.getsize(main_program), main_program)]
    taken = {MAIN_NAME}
    binaries = {"large": LARGE_BINARIES, "huge": LARGE_BINARIES + HUGE_BINARIES}
    if profile in binaries:
        for sources, relative in binaries[profile]:
            found = [s for s in sources if os.path.isfile(s)]
            if not found:
                sys.exit("make_corpus: none of %s exists (run scripts/setup.sh)" % sources)
            entries.append((relative, os.path.getsize(found[0]), found[0]))
            taken.add(relative)
    for tier in PROFILES[profile]:
        entries.extend(select_tier(*tier, taken))
    return entries


def manifest_text(entries):
    return "".join("%s\t%d\t%s\n" % entry for entry in entries)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in PROFILES:
        sys.exit(__doc__)
    profile, outdir, main_program = sys.argv[1:]
    entries = select(profile, main_program)
    text = manifest_text(entries)
    manifest = os.path.join(outdir, "manifest.tsv")
    app = os.path.join(outdir, "app")
    complete = os.path.join(outdir, ".complete")
    if os.path.exists(complete) and os.path.exists(manifest):
        with open(manifest) as f:
            if f.read() == text:
                print("corpus %s: unchanged (%d files)" % (profile, len(entries)))
                return
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(app)
    for relative, _, source in entries:
        target = os.path.join(app, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        if relative == MAIN_NAME:
            os.chmod(target, 0o755)
    with open(manifest, "w") as f:
        f.write(text)
    open(complete, "w").close()
    total = sum(size for _, size, _ in entries)
    folders = {os.path.dirname(r) for r, _, _ in entries}
    print("corpus %s: %d files, %d bytes, %d folders" % (profile, len(entries), total, len(folders)))


if __name__ == "__main__":
    main()
