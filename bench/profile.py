#!/usr/bin/python3
"""Where a launcher's time goes: records a warm and a cold start with perf
(cpu-clock samples with call chains, user and kernel) and sorts every sample
into one bucket by what it was doing.

Usage: profile.py LAUNCHER PLACE [--runs N] [--out DIR]
  LAUNCHER  a launcher built by bench.py (template "{TEMP}/app")
  PLACE     a folder on the file system to unpack into (tmpfs or disk)

Buckets, first match wins, walking each call chain from the leaf:
  a system call's kernel time goes to that call (open/stat/close, mmap and
  munmap, write, mkdir, ...); a page fault goes to what touched the page
  (the decode window, a file view, the payload); user time goes to the
  decompressor, crc32, memcpy, or the launcher's own code.
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys

SYSCALLS = [
    (("openat", "open", "newfstatat", "fstat", "statx", "close"), "open / fstat / close"),
    (("mmap", "mmap_pgoff", "munmap", "madvise"), "mmap / madvise / munmap (the decoder's buffers, file views)"),
    (("write", "pwrite64", "writev"), "write"),
    (("read", "pread64"), "read (checksum reads)"),
    (("fadvise64",), "fadvise"),
    (("mkdir", "mkdirat"), "mkdir"),
    (("fchmod",), "fchmod"),
    (("exit_group", "exit"), "process exit (freeing memory)"),
    (("openat2",), "open / fstat / close"),
    (("execve",), "exec (launcher and child)"),
]


# The C library's wrappers, for chains whose kernel entry has no telling name.
LIBC_CALLS = [("libc_write", "write"), ("write", "write"), ("open", "openat"), ("close", "close"),
              ("fstat", "fstat"), ("munmap", "munmap"), ("madvise", "madvise"), ("mmap", "mmap"),
              ("mkdir", "mkdir"), ("fchmod", "fchmod"), ("execve", "execve"),
              ("exit", "exit_group")]


def syscall_bucket(name):
    for names, bucket in SYSCALLS:
        if name in names:
            return bucket
    return "other system calls (%s)" % name


def user_bucket(symbol):
    if re.match(r"(ZSTD|HUF|FSE|BIT|ZSTDv)", symbol):
        return "zstd decompression"
    if symbol.startswith("crc32"):
        return "crc32"
    if "memmove" in symbol or "memcpy" in symbol:
        return "memcpy (window -> copy buffer)"
    if symbol in ("[unknown]", ""):
        return "user, unknown"
    return "launcher code and libc (%s)" % symbol


def classify(frames):
    """frames: (symbol, is_kernel) from the leaf outwards."""
    kernel = frames and frames[0][1]
    if not kernel:
        return user_bucket(frames[0][0] if frames else "")
    names = [symbol for symbol, _ in frames]
    if any(s.startswith("entry_SYSCALL") for s in names):
        for symbol in names:
            match = re.match(r"(?:__x64_sys_|__do_sys_|__se_sys_|ksys_|do_sys_)(\w+?)(?:2)?$",
                             symbol)
            if match:
                return "kernel: " + syscall_bucket(match.group(1))
        for symbol in names:
            for fragment, name in LIBC_CALLS:
                if fragment in symbol:
                    return "kernel: " + syscall_bucket(name)
    if any("page_fault" in s for s in names):
        user = next((s for s, k in frames if not k), "")
        where = user_bucket(user)
        if where == "zstd decompression":
            return "page faults: first touch of the decoder's buffers"
        if where == "crc32":
            return "page faults: file views read by crc32"
        if where.startswith("memcpy"):
            return "page faults: memcpy"
        return "page faults: other (%s)" % user
    return "kernel: other (%s)" % names[0]


def parse(script_text):
    counts = collections.Counter()
    frames = []
    for line in script_text.splitlines() + [""]:
        if not line.strip():
            if frames:
                counts[classify(frames)] += 1
            frames = []
            continue
        if line.startswith((" ", "\t")):
            parts = line.split(None, 2)
            if len(parts) < 2:
                continue
            symbol = parts[1].split("+0x")[0]
            dso = parts[2] if len(parts) > 2 else ""
            frames.append((symbol, "kernel" in dso))
    return counts


def record(launcher, place, state, runs, out):
    data = os.path.join(out, "%s.perf" % state)
    warm = os.path.join(place, "warm")
    os.makedirs(warm, exist_ok=True)
    if state == "warm":
        subprocess.run([launcher], env=dict(os.environ, TMPDIR=warm), check=True)
    counts = collections.Counter()
    for run in range(runs):
        # A cold start gets a folder of its own, the old ones deleted only at
        # the end: ext4 makes new files pay for inodes freed just before.
        folder = os.path.join(place, "cold-%d" % run) if state == "cold" else warm
        os.makedirs(folder, exist_ok=True)
        env = dict(os.environ, TMPDIR=folder)
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "5000", "-g", "-o", data,
                        launcher], env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        script = subprocess.run(["perf", "script", "-i", data, "-F", "ip,sym,dso"],
                                capture_output=True, text=True, check=True).stdout
        counts.update(parse(script))
    return counts


def show(state, counts):
    total = sum(counts.values())
    print("%s start: %d samples at 5 kHz (%.0f ms of CPU per run on average)"
          % (state, total, total / 5 / ARGS.runs))
    for bucket, count in counts.most_common():
        if count * 200 < total:
            continue
        print("  %5.1f%%  %s" % (100.0 * count / total, bucket))
    rest = sum(c for c in counts.values() if c * 200 < total)
    if rest:
        print("  %5.1f%%  (each below 0.5%%)" % (100.0 * rest / total))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("launcher")
    parser.add_argument("place")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default=None)
    ARGS = parser.parse_args()
    out = ARGS.out or os.path.join(os.path.dirname(os.path.abspath(ARGS.launcher)), "profile")
    os.makedirs(out, exist_ok=True)
    if shutil.which("perf") is None:
        sys.exit("profile: perf is missing (apt-get install linux-perf)")
    for state in ("warm", "cold"):
        show(state, record(os.path.abspath(ARGS.launcher), os.path.abspath(ARGS.place), state,
                           ARGS.runs, out))
    shutil.rmtree(ARGS.place, ignore_errors=True)


if __name__ == "__main__":
    main()
