#!/usr/bin/python3
"""The unpacking benchmark: launchers of a large and a small application,
measured side by side with the tools that set their targets.

  warm start  (every file already unpacked) against
              zstd -d of the same frame to /dev/null + crc32 over the same files
  cold start  (empty target folder) against
              tar --zstd -xf of the same files, compressed at the same level
  peak memory (max RSS of the launcher and its child) against
              the frame's window + 16 MiB, and 2 x the payload stream + 16 MiB
  packing     zovari-pack payload against tar -c | zstd -T0 at the same level
              and window, with the sizes of tar.gz (gzip -9) and zip -9

Each round runs every command once, one after the other, so that the machine's
load falls on all of them alike; the table compares medians over the rounds.
The page cache is warm for everything: each command runs once untimed before
the first round, and the files it reads were written or read just before.

scripts/bench.sh builds what this needs and runs it; see --help.
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MIB = 1024 * 1024

MAIN_NAME = "bin/zovari-bench-main"
TEMPLATE = "{TEMP}/app"
WINDOW_BYTES = 1 << 27

WARM_LIMIT = 1.15
COLD_LIMIT = 1.20
QUICK_LIMIT = 1.20  # a quick warm start against the metadata floor


def log(text):
    print(text, file=sys.stderr, flush=True)


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def digest(*parts):
    h = hashlib.sha256()
    for part in parts:
        if isinstance(part, str):
            part = part.encode()
        h.update(part)
        h.update(b"\0")
    return h.hexdigest()


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def up_to_date(key_file, key):
    try:
        with open(key_file) as f:
            return f.read() == key
    except OSError:
        return False


def write_key(key_file, key):
    with open(key_file, "w") as f:
        f.write(key)


# ------------------------------------------------------------------ tools

def build_tools(out, build_dir):
    """The helper programs, compiled when their sources change."""
    tools = {
        "exit_at_once": ["gcc", "-O2", "-static", "-nostdlib"],
        "crc_reference": ["gcc", "-O2", "-Wall"],
        "metadata_floor": ["gcc", "-O2", "-Wall"],
        "measure": ["gcc", "-O2", "-Wall", "-static"],
    }
    for name, compiler in tools.items():
        source = os.path.join(HERE, name + ".c")
        target = os.path.join(out, name)
        key_file = target + ".key"
        key = digest(file_digest(source), " ".join(compiler))
        if os.path.exists(target) and up_to_date(key_file, key):
            continue
        libraries = ["-lz"] if name == "crc_reference" else []
        run(compiler + ["-o", target, source] + libraries)
        write_key(key_file, key)


# ------------------------------------------------------------------ corpora

class Corpus:
    def __init__(self, name, out):
        self.name = name
        self.dir = os.path.join(out, "corpus-" + name)
        self.app = os.path.join(self.dir, "app")
        self.manifest = os.path.join(self.dir, "manifest.tsv")
        self.list = os.path.join(self.dir, "files.txt")
        self.tar = None
        self.candidates = {}
        self.windows_candidates = {}
        self.quick_launcher = self.windows_quick = None

    def build(self, main_program):
        run(["/usr/bin/python3", os.path.join(HERE, "make_corpus.py"), self.name, self.dir,
             main_program], stdout=sys.stderr)
        self.entries = []
        with open(self.manifest) as f:
            for line in f:
                relative, size, _ = line.rstrip("\n").split("\t")
                self.entries.append((relative, int(size)))
        with open(self.list, "w") as f:
            f.write("".join(relative + "\n" for relative, _ in self.entries))
        self.key = file_digest(self.manifest)

    @property
    def file_bytes(self):
        return sum(size for _, size in self.entries)

    @property
    def stream_bytes(self):
        # name units and their terminator, size, checksum, data; the end record
        return sum(2 * (len(r.encode("utf-16-le")) // 2 + 1) + 12 + s
                   for r, s in self.entries) + 2

    @property
    def folders(self):
        result = set()
        for relative, _ in self.entries:
            parts = relative.split("/")[:-1]
            for i in range(1, len(parts) + 1):
                result.add("/".join(parts[:i]))
        return len(result)


# ------------------------------------------------------------------ launchers

def pack_tool(build_dir):
    path = os.path.join(build_dir, "pack", "zovari-pack")
    return path if os.access(path, os.X_OK) else None


def pack_help(tool):
    result = subprocess.run([tool, "build", "--help"], capture_output=True, text=True)
    return result.stdout + result.stderr


def build_launcher_with_pack(tool, corpus, runtime, level, output):
    command = [tool, "build", "--input", corpus.app, "--main", MAIN_NAME, "--output", output,
               "--target", "linux", "--template", TEMPLATE, "--runtime", runtime]
    if "--level" in pack_help(tool):
        command += ["--level", str(level)]
    run(command, stdout=sys.stderr)


def build_candidate(args, corpus, runtime):
    """The same payload in a launcher written from another runtime image (a
    build of a private copy of the launcher's code with a change to
    measure, bench/build_runtime.sh), by the same packing tool."""
    name = candidate_name(runtime)
    output = os.path.join(args.out, "launcher-%s-candidate-%s" % (corpus.name, name))
    image = os.path.join(runtime, "zovari-launcher")
    tool = pack_tool(args.build_dir)
    key = digest(corpus.key, file_digest(image), file_digest(corpus.payload), file_digest(tool))
    if not (os.path.exists(output) and up_to_date(output + ".key", key)):
        log("building %s" % os.path.basename(output))
        run([tool, "launcher", "--payload", corpus.payload, "--output", output, "--target", "linux",
             "--template", TEMPLATE, "--runtime", image], stdout=sys.stderr)
        write_key(output + ".key", key)
    corpus.candidates[name] = output


def candidate_name(runtime):
    return os.path.basename(runtime.rstrip("/"))


def build_launcher(args, corpus, level):
    output = os.path.join(args.out, "launcher-" + corpus.name)
    tool = pack_tool(args.build_dir)
    if tool is None:
        sys.exit("bench: zovari-pack not built in %s" % args.build_dir)
    key = digest(corpus.key, str(level), file_digest(args.runtime), file_digest(tool))
    key_file = output + ".key"
    if not (os.path.exists(output) and up_to_date(key_file, key)):
        log("building %s (level %d)" % (os.path.basename(output), level))
        started = time.time()
        build_launcher_with_pack(tool, corpus, args.runtime, level, output)
        write_key(key_file, key)
        log("  took %.0f s" % (time.time() - started))
    corpus.launcher = output
    corpus.level = level
    corpus.frame, corpus.payload = extract_frame(output, output + ".frame.zst",
                                                 output + ".payload")
    corpus.quick_launcher = build_quick_launcher(tool, corpus.payload, output + "-quick", "linux",
                                                 TEMPLATE, args.runtime)


def build_quick_launcher(tool, payload, output, target, template, runtime):
    """The launcher as built, with --quick-start, from the same payload;
    None for a tool without the option."""
    if "--quick-start" not in pack_help(tool):
        return None
    key = digest(file_digest(payload), file_digest(runtime), file_digest(tool), template)
    if not (os.path.exists(output) and up_to_date(output + ".key", key)):
        log("building %s" % os.path.basename(output))
        run([tool, "launcher", "--payload", payload, "--output", output, "--target", target,
             "--template", template, "--runtime", runtime, "--quick-start"], stdout=sys.stderr)
        write_key(output + ".key", key)
    return output


def frame_length(data, start):
    """Length of the zstd frame at data[start:], from its header and block
    headers (no decoding)."""
    if data[start:start + 4] != b"\x28\xb5\x2f\xfd":
        raise ValueError("no zstd frame")
    descriptor = data[start + 4]
    single_segment = descriptor >> 5 & 1
    size_field = (0, 2, 4, 8)[descriptor >> 6]
    if size_field == 0 and single_segment:
        size_field = 1
    dictionary_field = (0, 1, 2, 4)[descriptor & 3]
    position = start + 5 + (0 if single_segment else 1) + dictionary_field + size_field
    while True:
        header = int.from_bytes(data[position:position + 3], "little")
        position += 3
        last, kind, size = header & 1, header >> 1 & 3, header >> 3
        if kind == 3:
            raise ValueError("reserved block type")
        position += 1 if kind == 1 else size
        if last:
            break
    if descriptor >> 2 & 1:
        position += 4
    return position - start


def extract_frame(launcher, output, payload_output):
    """Writes the frame and the whole payload (magic to trailer) that the
    launcher holds; returns their paths."""
    with open(launcher, "rb") as f:
        data = f.read()
    start = data.find(b"QDY\x28\xb5\x2f\xfd")
    if start < 0 or data.find(b"QDY\x28\xb5\x2f\xfd", start + 1) >= 0:
        sys.exit("bench: cannot find exactly one payload in %s" % launcher)
    n = frame_length(data, start + 3)
    padded = (3 + n + 7) // 8 * 8
    trailer = struct.unpack_from("<Q", data, start + padded)[0]
    if trailer != padded or any(data[start + 3 + n:start + padded]):
        sys.exit("bench: payload in %s has no valid padding and trailer" % launcher)
    frame = data[start + 3:start + 3 + n]
    if frame[4] != 0x00 or frame[5] != 0x88:
        log("warning: frame header %02x %02x, expected 00 88" % (frame[4], frame[5]))
    payload = data[start:start + padded + 8]
    for path, contents in ((output, frame), (payload_output, payload)):
        if not (os.path.exists(path) and file_digest(path) == hashlib.sha256(contents).hexdigest()):
            with open(path, "wb") as f:
                f.write(contents)
    return output, payload_output


def build_tar(args, corpus):
    """The same files in a tar, compressed at the same level and window."""
    output = os.path.join(args.out, "corpus-%s.tar.zst" % corpus.name)
    key = digest(corpus.key, str(args.level), "wlog27")
    if os.path.exists(output) and up_to_date(output + ".key", key):
        corpus.tar = output
        return
    log("building %s" % os.path.basename(output))
    # Members in payload order, so that both unpack the files in the same order.
    tar = subprocess.Popen(["tar", "-C", corpus.app, "--no-recursion", "--format=gnu",
                            "-cf", "-", "-T", corpus.list], stdout=subprocess.PIPE)
    with open(output, "wb") as f:
        run(["zstd", "-q", "-%d" % args.level, "--zstd=wlog=27", "-T2", "-c"],
            stdin=tar.stdout, stdout=f)
    if tar.wait() != 0:
        sys.exit("bench: tar failed")
    write_key(output + ".key", key)
    corpus.tar = output


# ------------------------------------------------------------------ running

class Measure:
    """One command measured over rounds: wall time, CPU time, max RSS."""

    def __init__(self, label, command, env=None, prepare=None):
        self.label = label
        self.command = command
        self.env = env or {}
        self.prepare = prepare
        self.wall = []
        self.cpu = []
        self.rss = []
        self.faults = []

    def once(self, out, record=True):
        if self.prepare:
            self.prepare(self)
        report = os.path.join(out, "measure.txt")
        runner = [os.path.join(out, "measure"), "-o", report]
        for name, value in self.env.items():
            runner += ["-e", "%s=%s" % (name, value)]
        run(runner + ["--"] + self.command)
        with open(report) as f:
            wall_ns, user_us, system_us, rss_kib, code, faults = (int(v) for v in f.read().split())
        if code != 0:
            sys.exit("bench: %s exited with %d: %s" % (self.label, code, " ".join(self.command)))
        if record:
            self.wall.append(wall_ns / 1e9)
            self.cpu.append((user_us + system_us) / 1e6)
            self.rss.append(rss_kib * 1024)
            self.faults.append(faults)

    @property
    def median(self):
        return statistics.median(self.wall)

    @property
    def spread(self):
        """The middle half of the runs around the median, as a fraction."""
        if len(self.wall) < 4:
            return (max(self.wall) - min(self.wall)) / self.median
        q = statistics.quantiles(self.wall, n=4)
        return (q[2] - q[0]) / self.median


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)


def sync_folder(path):
    # Flushes what earlier runs wrote, so that no run pays for another's
    # writeback.  Only that file system.
    subprocess.run(["sync", "-f", path], check=False)


def crc_value(root, corpus, out, listing=None):
    result = subprocess.run([os.path.join(out, "crc_reference"), root, listing or corpus.list],
                            capture_output=True, text=True, check=True)
    return result.stdout.strip()


def measures_for(args, corpus, place, where):
    """The five measurements of one corpus on one file system."""
    base = os.path.join(place, corpus.name)
    warm_tmp = os.path.join(base, "warm")
    quick_tmp = os.path.join(base, "quick")
    for folder in ("warm", "cold", "tar", "quick"):
        os.makedirs(os.path.join(base, folder), exist_ok=True)
    is_disk = where == "disk"

    # Every cold run gets a folder of its own.  On disk the old ones stay
    # until the end: ext4 passes over recently freed inodes when it allocates
    # new ones, which would make each run pay for the deletion before it.
    counter = [0]

    def fresh_folder(kind):
        counter[0] += 1
        folder = os.path.join(base, kind, str(counter[0]))
        if not is_disk:
            for old in os.listdir(os.path.join(base, kind)):
                remove_tree(os.path.join(base, kind, old))
        os.makedirs(folder)
        if is_disk:
            sync_folder(folder)
        return folder

    def prepare_cold(measure):
        measure.env["TMPDIR"] = measure.last = fresh_folder("cold")

    def prepare_tar(measure):
        measure.last = os.path.join(fresh_folder("tar"), "app")
        os.makedirs(measure.last)
        measure.command[-1] = measure.last

    tag = "%s, %s" % (corpus.name, where)
    launcher_warm = Measure("launcher warm, " + tag, [corpus.launcher], env={"TMPDIR": warm_tmp})
    zstd = Measure("zstd -d > /dev/null, " + tag, ["zstd", "-q", "-d", "-c", corpus.frame])
    crc = Measure("crc32 of each file, " + tag,
                  [os.path.join(args.out, "crc_reference"), os.path.join(warm_tmp, "app"),
                   corpus.list])
    launcher_cold = Measure("launcher cold, " + tag, [corpus.launcher], prepare=prepare_cold)
    tar = Measure("tar --zstd -xf, " + tag, ["tar", "--zstd", "-xf", corpus.tar, "-C", ""],
                  prepare=prepare_tar)
    group = {"corpus": corpus, "where": where, "base": base, "candidates": [],
             "launcher_warm": launcher_warm, "zstd": zstd, "crc": crc,
             "launcher_cold": launcher_cold, "tar": tar}
    # The huge application is there for the launcher's memory alone.
    group["order"] = ORDER if corpus.name != "huge" else ("launcher_warm", "launcher_cold")
    if corpus.quick_launcher and corpus.name == "large":
        # The quick launcher's first, untimed, start fills its folder.
        group["quick_warm"] = Measure("launcher quick warm, " + tag, [corpus.quick_launcher],
                                      env={"TMPDIR": quick_tmp})
        app = os.path.join(quick_tmp, "app")
        group["metadata"] = Measure("metadata floor, " + tag,
                                    [os.path.join(args.out, "metadata_floor"), app, corpus.list,
                                     os.path.join(app, MAIN_NAME)])
        # The floor of the same check: each folder on the way looked at too,
        # as the launcher does so as never to go through a link.
        group["metadata_folders"] = Measure("metadata floor with folders, " + tag,
                                            [os.path.join(args.out, "metadata_floor"), "--folders", app,
                                             corpus.list, os.path.join(app, MAIN_NAME)])
        group["order"] += ("quick_warm", "metadata", "metadata_folders")
    for name, launcher in corpus.candidates.items():
        for state in ("warm", "cold"):
            key = "%s_%s" % (name, state)
            if state == "warm":
                group[key] = Measure("%s warm, %s" % (name, tag), [launcher],
                                     env={"TMPDIR": warm_tmp})
            else:
                group[key] = Measure("%s cold, %s" % (name, tag), [launcher],
                                     prepare=prepare_cold)
            group["order"] += (key,)
        group["candidates"].append(name)
    return group


def check_tree(args, group, name):
    """After a launcher's or tar's untimed run: its tree holds the corpus."""
    corpus = group["corpus"]
    measure = group[name]
    if group.get("windows"):
        folder = {"launcher_warm": group["warm_app"]}.get(name, getattr(measure, "last", None))
        if name in ("launcher_warm", "launcher_cold", "write") or name.endswith("_cold"):
            if not hasattr(corpus, "windows_expected"):
                corpus.windows_expected = crc_value(group["app"], corpus, args.out,
                                                    corpus.windows_list)
            got = crc_value(folder, corpus, args.out, corpus.windows_list)
            if got != corpus.windows_expected:
                sys.exit("bench: %s left %s without the corpus (%s, expected %s)"
                         % (measure.label, folder, got, corpus.windows_expected))
        return
    if name == "tar":
        folder = measure.last
    elif name.endswith("_cold"):
        folder = os.path.join(measure.last, "app")
    elif name == "quick_warm":
        folder = os.path.join(group["base"], "quick", "app")
    elif name.endswith("_warm"):
        folder = os.path.join(group["base"], "warm", "app")
    else:
        return
    if not hasattr(corpus, "expected"):
        corpus.expected = crc_value(corpus.app, corpus, args.out)
    got = crc_value(folder, corpus, args.out)
    if got != corpus.expected:
        sys.exit("bench: %s left %s without the corpus (%s, expected %s)"
                 % (measure.label, folder, got, corpus.expected))


ORDER = ("launcher_warm", "zstd", "crc", "launcher_cold", "tar")


def run_rounds(args, groups):
    log("untimed round (fills the page cache and the warm folders)")
    for group in groups:
        # the warm folders are filled by a cold start, then checked
        remove_tree(os.path.join(group["base"], "warm", "app"))
        remove_tree(os.path.join(group["base"], "quick", "app"))
        for name in group["order"]:
            group[name].once(args.out, record=False)
            if name == "quick_warm":
                # The start that filled the folder wrote every file, which
                # it leaves unstamped: the next one checks them and stamps.
                group[name].once(args.out, record=False)
            check_tree(args, group, name)
    for round_number in range(args.rounds):
        started = time.time()
        for group in groups:
            # Each measurement takes each place in the order in turn: the
            # first of a group pays for what the one before left behind (the
            # last group's cold folders are still being freed), which would
            # otherwise fall on the launcher as built every time.
            order = group["order"]
            turn = round_number % len(order)
            for name in order[turn:] + order[:turn]:
                group[name].once(args.out)
        log("round %d/%d: %.1f s" % (round_number + 1, args.rounds, time.time() - started))


# ------------------------------------------------------------------ report

def ms(seconds):
    return "%.1f ms" % (seconds * 1000)


def mib(count):
    return "%.1f MiB" % (count / MIB)


def report(args, corpora, groups):
    rows = []
    results = {"rounds": args.rounds, "level": args.level, "groups": [], "targets": []}

    def row(what, value, reference_text, reference, target, unit, cpu_ratio=None,
            best_ratio=None):
        ratio = value / reference
        verdict = "PASS" if ratio <= target else "FAIL"
        rows.append((what, unit(value), reference_text, unit(reference), "%.3f" % ratio,
                     "<= %.2f" % target, verdict,
                     "%.3f" % best_ratio if best_ratio is not None else "",
                     "%.3f" % cpu_ratio if cpu_ratio is not None else ""))
        results["targets"].append({"what": what, "value": value, "reference": reference,
                                   "reference_text": reference_text, "ratio": ratio,
                                   "target": target, "pass": verdict == "PASS"})

    for group in groups:
        corpus, where = group["corpus"], group["where"]
        if corpus.name != "large" or group.get("windows"):
            continue
        warm, zstd, crc = group["launcher_warm"], group["zstd"], group["crc"]
        cpu = lambda m: statistics.median(m.cpu)
        cold, tar = group["launcher_cold"], group["tar"]
        row("warm start, %s" % where, warm.median,
            "zstd -d %s + crc32 %s" % (ms(zstd.median), ms(crc.median)),
            zstd.median + crc.median, WARM_LIMIT, ms, cpu(warm) / (cpu(zstd) + cpu(crc)),
            min(warm.wall) / (min(zstd.wall) + min(crc.wall)))
        row("cold start, %s" % where, cold.median, "tar --zstd -xf", tar.median, COLD_LIMIT, ms,
            cpu(cold) / cpu(tar), min(cold.wall) / min(tar.wall))
        if "quick_warm" in group:
            quick, floor = group["quick_warm"], group["metadata"]
            row("quick warm start, %s (full: %s)" % (where, ms(warm.median)), quick.median,
                "fstatat each file + start", floor.median, QUICK_LIMIT, ms,
                cpu(quick) / cpu(floor), min(quick.wall) / min(floor.wall))
            folders = group["metadata_folders"]
            row("quick warm start, %s" % where, quick.median,
                "fstatat each file and folder + start", folders.median, QUICK_LIMIT, ms,
                cpu(quick) / cpu(folders), min(quick.wall) / min(folders.wall))

    for corpus in corpora:
        peak = max(max(g[n].rss) for g in groups if g["corpus"] is corpus
                   and not g.get("windows") for n in ("launcher_warm", "launcher_cold"))
        limit = WINDOW_BYTES + 16 * MIB
        if corpus.name != "small":
            row("peak RSS, %s (warm+cold)" % corpus.name, peak, "window 128 MiB + 16 MiB", limit,
                1.0, mib)
        else:
            small_limit = 2 * corpus.stream_bytes + 16 * MIB
            row("peak RSS, small (warm+cold)", peak,
                "2 x stream %s + 16 MiB" % mib(corpus.stream_bytes), min(limit, small_limit),
                1.0, mib)

    for group in groups:
        tag = "%s, %s" % (group["corpus"].name, group["where"])
        for name, state in ((n, s) for n in group["candidates"] for s in ("warm", "cold")):
            base, cand = group["launcher_" + state], group["%s_%s" % (name, state)]
            rows.append(("%s %s, %s" % (name, state, tag), ms(cand.median), "launcher as built",
                         ms(base.median), "%.3f" % (cand.median / base.median),
                         "rss %.2f" % (max(cand.rss) / max(base.rss)), "",
                         "%.3f" % (min(cand.wall) / min(base.wall)),
                         "%.3f" % (statistics.median(cand.cpu) / statistics.median(base.cpu))
                         if statistics.median(base.cpu) > 0 else ""))

    linux_rows = list(rows)
    del rows[:]
    windows_rows(row, rows, groups, corpora)
    lines = ["Linux"] + table(linux_rows)
    if rows:
        lines += ["", "Windows, under Wine (no CPU figures: Wine's are not comparable)"]
        lines += table(rows)
    rows[:0] = linux_rows

    lines.append("(ratio: of the medians of wall time, which the targets and the verdict are "
                 "about; best ratio: of the fastest runs; CPU ratio: of the medians of user + "
                 "system time, less sensitive to other load)")
    detail = ["", "every measurement (median of %d rounds; spread = interquartile range / median;"
              " CPU = user + system, children included):" % args.rounds]
    detail.append("  %-34s %10s %10s %10s %7s %10s %10s %8s" % (
        "", "median", "min", "max", "spread", "CPU", "max RSS", "faults"))
    for group in groups:
        entry = {"corpus": group["corpus"].name, "where": group["where"], "measures": {}}
        for name in group["order"]:
            m = group[name]
            detail.append("  %-34s %10s %10s %10s %6.1f%% %10s %10s %8d" % (
                m.label, ms(m.median), ms(min(m.wall)), ms(max(m.wall)), 100 * m.spread,
                ms(statistics.median(m.cpu)), mib(max(m.rss)), statistics.median(m.faults)))
            entry["measures"][name] = {"label": m.label, "wall": m.wall, "cpu": m.cpu,
                                       "rss": m.rss, "faults": m.faults}
        results["groups"].append(entry)

    detail += windows_profile(groups)
    about = [""]
    for corpus in corpora:
        tar = ", tar.zst %.1f MB" % (os.path.getsize(corpus.tar) / 1e6) if corpus.tar else ""
        about.append("corpus %s: %d files, %d folders, %.1f MB of files, stream %.1f MB, "
                     "frame %.1f MB (level %d)%s" % (
                         corpus.name, len(corpus.entries), corpus.folders,
                         corpus.file_bytes / 1e6, corpus.stream_bytes / 1e6,
                         os.path.getsize(corpus.frame) / 1e6, corpus.level, tar))
    about.append("places: tmpfs %s, disk %s (page cache warm for all; disk runs sync that "
                 "file system before each cold run)" % (args.tmpfs, args.disk))
    about.append("load average at the end: %s" % open("/proc/loadavg").read().strip())

    text = "\n".join(lines + detail + about)
    print(text)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    results["text"] = text
    with open(os.path.join(args.out, "results-%s.json" % stamp), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.out, "results-%s.txt" % stamp), "w") as f:
        f.write(text + "\n")
    return all(t["pass"] for t in results["targets"])


def table(rows):
    widths = [max(len(r[i]) for r in rows + [HEADER]) for i in range(len(HEADER))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(HEADER, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    for r in rows:
        lines.append("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
    return lines


HEADER = ("measurement", "value", "reference", "ref value", "ratio", "target", "result",
          "best ratio", "CPU ratio")


# ------------------------------------------------------------------ Windows

WINE = "/usr/lib/wine/wine64"
MINGW_CC = "x86_64-w64-mingw32-gcc-posix"
WINDOWS_TEMPLATE = "{PROGRAM_DIR}\\app"
PEAK_LIMIT_WINDOWS = 144 * MIB


def windows_available(args):
    return (not args.no_windows and os.access(WINE, os.X_OK) and shutil.which(MINGW_CC)
            and os.path.exists(args.windows_runtime))


def build_windows_tools(out):
    """The Windows programs of the benchmark, and zstd's own program built
    with MinGW from the sources the launcher's zstd comes from."""
    tools = {
        "floor_win32": ["-O2", "-Wall", "-municode", "-static"], "starter_win32":
        ["-O2", "-Wall", "-municode", "-static"],
        "exit_at_once_win32": ["-O2", "-Wall", "-nostdlib", "-e", "start"],
    }
    libraries = {"floor_win32": ["-lz"], "exit_at_once_win32": ["-lkernel32"]}
    for name, flags in tools.items():
        source = os.path.join(HERE, name + ".c")
        target = os.path.join(out, name + ".exe")
        key = digest(file_digest(source), " ".join(flags))
        if not (os.path.exists(target) and up_to_date(target + ".key", key)):
            run([MINGW_CC] + flags + ["-o", target, source] + libraries.get(name, []))
            write_key(target + ".key", key)
    zstd = os.path.join(ROOT, "out", "deps", "zstd")
    target = os.path.join(out, "zstd.exe")
    parts = ("lib/common", "lib/decompress", "lib/compress", "lib/dictBuilder", "programs")
    sources = sorted(os.path.join(zstd, part, name) for part in parts
                     for name in os.listdir(os.path.join(zstd, part)) if name.endswith(".c"))
    key = digest(*[file_digest(s) for s in sources])
    if not (os.path.exists(target) and up_to_date(target + ".key", key)):
        log("building zstd.exe from %s (a minute or two)" % zstd)
        # As the launcher's zstd: no assembly; the benchmark needs none of
        # the program's tracing, dictionary or benchmark commands.
        run([MINGW_CC, "-O2", "-static", "-DZSTD_DISABLE_ASM", "-DZSTD_LEGACY_SUPPORT=0",
             "-DZSTD_NOTRACE", "-DZSTD_NODICT", "-DZSTD_NOBENCH", "-I" + zstd + "/lib",
             "-I" + zstd + "/lib/common", "-o", target] + sources)
        write_key(target + ".key", key)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Wine:
    """One private prefix, made once, and so one wineserver for every
    Windows measurement of the run."""

    def __init__(self, out):
        self.prefix = os.path.join(out, "wine-prefix")
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        log("making a Wine prefix")
        subprocess.run([WINE, "wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.starter = os.path.join(out, "starter_win32.exe")

    def close(self):
        subprocess.run([os.path.join(os.path.dirname(WINE), "wineserver"), "-k"], env=self.env,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(self.prefix, ignore_errors=True)


class WineMeasure(Measure):
    """A Windows command run under Wine through starter_win32, which times it
    from its CreateProcessW to its end.  A launcher's peak working set comes
    from its child, exit_at_once_win32."""

    def __init__(self, wine, label, command, prepare=None, peak_file=None):
        Measure.__init__(self, label, command, prepare=prepare)
        self.wine = wine
        self.peak_file = peak_file

    def once(self, out, record=True):
        if self.prepare:
            self.prepare(self)
        env = self.wine.env
        if self.peak_file:
            env = dict(env, ZOVARI_BENCH_PEAK=wine_path(self.peak_file))
            if os.path.exists(self.peak_file):
                os.unlink(self.peak_file)
        result = subprocess.run([WINE, self.wine.starter] + self.command, env=env,
                                capture_output=True, text=True)
        fields = result.stdout.split()
        if result.returncode != 0 or len(fields) != 2 or fields[1] != "0":
            sys.exit("bench: %s failed: %s %s" % (self.label, " ".join(self.command),
                                                 result.stdout + result.stderr))
        if record:
            self.wall.append(int(fields[0]) / 1e9)
            self.cpu.append(0.0)
            self.faults.append(0)
            peak = 0
            if self.peak_file:
                with open(self.peak_file) as f:
                    peak = int(f.read())
            self.rss.append(peak)


def windows_corpus(args, corpus):
    """The corpus with the Windows main binary: the same files, linked,
    less those whose paths differ only in case from another's, which one
    folder cannot hold on Windows."""
    folder = os.path.join(args.out, "corpus-%s-windows" % corpus.name)
    main = os.path.join(args.out, "exit_at_once_win32.exe")
    corpus.windows_list = folder + ".files.txt"
    key = digest(corpus.key, file_digest(main), "one spelling per path")
    if not (os.path.exists(folder) and up_to_date(folder + ".key", key)):
        shutil.rmtree(folder, ignore_errors=True)
        run(["cp", "-al", corpus.app, folder])
        target = os.path.join(folder, MAIN_NAME)
        os.unlink(target)
        shutil.copyfile(main, target)
        spellings = {}
        for relative, _ in corpus.entries:
            parts = relative.split("/")
            for i in range(1, len(parts) + 1):
                prefix = "/".join(parts[:i])
                spellings.setdefault(prefix.lower(), set()).add(prefix)
        kept = []
        for relative, _ in corpus.entries:
            parts = relative.split("/")
            if any(len(spellings["/".join(parts[:i]).lower()]) > 1
                   for i in range(1, len(parts) + 1)):
                os.unlink(os.path.join(folder, relative))
            else:
                kept.append(relative)
        with open(corpus.windows_list, "w") as f:
            f.write("".join(relative + "\n" for relative in kept))
        write_key(folder + ".key", key)
    return folder


def pack_windows_launcher(args, corpus, level, runtime, output):
    """zovari-pack's Windows launcher of the corpus, written from the runtime
    image; rebuilt only when something it is made of changed."""
    tool = pack_tool(args.build_dir)
    if tool is None:
        sys.exit("bench: the Windows launchers need zovari-pack, not built in %s" % args.build_dir)
    app = windows_corpus(args, corpus)
    key = digest(corpus.key, str(level), file_digest(runtime), file_digest(tool),
                 file_digest(os.path.join(app, MAIN_NAME)), file_digest(corpus.windows_list))
    if not (os.path.exists(output) and up_to_date(output + ".key", key)):
        log("building %s (level %d)" % (os.path.basename(output), level))
        command = [tool, "build", "--input", app, "--main", MAIN_NAME, "--output", output,
                   "--target", "windows", "--template", WINDOWS_TEMPLATE, "--runtime", runtime]
        if "--level" in pack_help(tool):
            command += ["--level", str(level)]
        run(command, stdout=sys.stderr)
        write_key(output + ".key", key)
    return app


def build_windows_candidate(args, corpus, runtime):
    """A candidate runtime folder with a Windows image in windows/
    (bench/build_runtime.sh --windows) gets a Windows launcher of its own,
    written from the very payload of the Windows launcher as built."""
    image = os.path.join(runtime, "windows", "zovari-launcher.exe")
    if not os.path.exists(image):
        return
    name = candidate_name(runtime)
    output = os.path.join(args.out, "launcher-%s-candidate-%s.exe" % (corpus.name, name))
    tool = pack_tool(args.build_dir)
    payload = corpus.windows_launcher + ".payload"
    key = digest(file_digest(image), file_digest(payload), file_digest(tool))
    if not (os.path.exists(output) and up_to_date(output + ".key", key)):
        log("building %s" % os.path.basename(output))
        run([tool, "launcher", "--payload", payload, "--output", output, "--target", "windows",
             "--template", WINDOWS_TEMPLATE, "--runtime", image], stdout=sys.stderr)
        write_key(output + ".key", key)
    corpus.windows_candidates[name] = output


def build_windows_launcher(args, corpus, level):
    output = os.path.join(args.out, "launcher-%s.exe" % corpus.name)
    app = pack_windows_launcher(args, corpus, level, args.windows_runtime, output)
    corpus.windows_app = app
    corpus.windows_launcher = output
    corpus.windows_frame, _ = extract_frame(output, output + ".frame.zst", output + ".payload")
    # The decoded record stream, which the write floor writes out.
    stream = output + ".stream"
    key = file_digest(corpus.windows_frame)
    if not (os.path.exists(stream) and up_to_date(stream + ".key", key)):
        run(["zstd", "-q", "-d", "-f", corpus.windows_frame, "-o", stream])
        write_key(stream + ".key", key)
    corpus.windows_stream = stream
    corpus.windows_quick = build_quick_launcher(pack_tool(args.build_dir), output + ".payload",
                                                output[:-4] + "-quick.exe", "windows",
                                                WINDOWS_TEMPLATE, args.windows_runtime)


def windows_measures(args, wine, corpus, place):
    """The Windows measurements of one corpus in the tmpfs folder.  The
    launchers unpack beside themselves ({PROGRAM_DIR}), so each cold run gets
    a folder of its own with a link to the launcher."""
    base = os.path.join(place, "windows", corpus.name)
    remove_tree(base)
    for folder in ("warm", "cold", "write"):
        os.makedirs(os.path.join(base, folder))
    launcher = os.path.join(base, "launcher.exe")
    shutil.copyfile(corpus.windows_launcher, launcher)
    warm_launcher = os.path.join(base, "warm", "launcher.exe")
    os.link(launcher, warm_launcher)
    warm_app = os.path.join(base, "warm", "app")
    counter = [0]

    def fresh_folder(kind):
        counter[0] += 1
        for old in os.listdir(os.path.join(base, kind)):
            remove_tree(os.path.join(base, kind, old))
        folder = os.path.join(base, kind, str(counter[0]))
        os.makedirs(folder)
        return folder

    def prepare_cold(measure):
        folder = fresh_folder("cold")
        os.link(launcher, os.path.join(folder, "launcher.exe"))
        measure.last = os.path.join(folder, "app")
        measure.command = [wine_path(os.path.join(folder, "launcher.exe"))]

    def prepare_write(measure):
        measure.last = os.path.join(fresh_folder("write"), "app")
        measure.command[-1] = wine_path(measure.last)

    floor = wine_path(os.path.join(args.out, "floor_win32.exe"))
    listing = wine_path(corpus.windows_list)
    peak = os.path.join(base, "peak.txt")
    tag = "%s, Windows" % corpus.name
    group = {"corpus": corpus, "where": "Wine, tmpfs", "base": base, "candidates": [],
             "windows": True, "app": corpus.windows_app, "warm_app": warm_app,
             "launcher_warm": WineMeasure(wine, "launcher.exe warm, " + tag,
                                          [wine_path(warm_launcher)], peak_file=peak),
             "launcher_cold": WineMeasure(wine, "launcher.exe cold, " + tag, [],
                                          prepare=prepare_cold, peak_file=peak),
             "zstd": WineMeasure(wine, "zstd.exe -d -o NUL, " + tag,
                                 [wine_path(os.path.join(args.out, "zstd.exe")), "-q", "-d",
                                  "-o", "NUL", wine_path(corpus.windows_frame)]),
             "read": WineMeasure(wine, "read+crc32 floor, " + tag,
                                 [floor, "read", listing, wine_path(warm_app)]),
             "open": WineMeasure(wine, "open+close floor, " + tag,
                                 [floor, "open", listing, wine_path(warm_app)]),
             "write": WineMeasure(wine, "write floor, " + tag,
                                  [floor, "write", wine_path(corpus.windows_stream), ""],
                                  prepare=prepare_write),
             "absent": WineMeasure(wine, "absent-file floor, " + tag,
                                   [floor, "absent", listing, wine_path(warm_app)]),
             "start": WineMeasure(wine, "process start, " + tag,
                                  [wine_path(os.path.join(args.out, "exit_at_once_win32.exe"))])}
    if corpus.name == "large":
        group["order"] = ("launcher_warm", "zstd", "read", "open", "start", "launcher_cold",
                          "write", "absent")
        if corpus.windows_quick:
            # Beside itself in a folder of its own; its first, untimed,
            # start fills it.
            quick = os.path.join(base, "quick")
            os.makedirs(quick)
            shutil.copyfile(corpus.windows_quick, os.path.join(quick, "launcher.exe"))
            quick_app = os.path.join(quick, "app")
            group["quick_warm"] = WineMeasure(wine, "launcher.exe quick warm, " + tag,
                                              [wine_path(os.path.join(quick, "launcher.exe"))],
                                              peak_file=peak)
            group["list"] = WineMeasure(wine, "list floor, " + tag,
                                        [floor, "list", wine_path(quick_app),
                                         wine_path(os.path.join(quick_app, MAIN_NAME))])
            group["order"] += ("quick_warm", "list")
    else:
        group["order"] = ("launcher_warm", "launcher_cold")  # memory only
    for name, candidate in corpus.windows_candidates.items():
        group.update(windows_candidate_measures(wine, base, name, candidate, tag, fresh_folder))
        group["order"] += (name + "_warm", name + "_cold")
        group["candidates"].append(name)
    return group


def windows_candidate_measures(wine, base, name, launcher, tag, fresh_folder):
    """A candidate's warm start (beside itself, in a folder of its own) and
    cold start (a fresh folder each run, as the launcher's)."""
    warm = os.path.join(base, "warm-" + name)
    os.makedirs(warm)
    shutil.copyfile(launcher, os.path.join(warm, "launcher.exe"))

    def prepare_cold(measure):
        folder = fresh_folder("cold")
        os.link(os.path.join(warm, "launcher.exe"), os.path.join(folder, "launcher.exe"))
        measure.last = os.path.join(folder, "app")
        measure.command = [wine_path(os.path.join(folder, "launcher.exe"))]

    peak = os.path.join(base, "peak.txt")
    return {name + "_warm": WineMeasure(wine, "%s warm, %s" % (name, tag),
                                        [wine_path(os.path.join(warm, "launcher.exe"))],
                                        peak_file=peak),
            name + "_cold": WineMeasure(wine, "%s cold, %s" % (name, tag), [],
                                        prepare=prepare_cold, peak_file=peak)}


def windows_rows(row, rows, groups, corpora):
    """The Windows targets and the profile of a warm start."""
    for group in groups:
        if not group.get("windows") or group["corpus"].name != "large":
            continue
        med = lambda name: group[name].median
        warm, cold, zstd = med("launcher_warm"), med("launcher_cold"), med("zstd")
        best = lambda name: min(group[name].wall)
        row("warm start, Wine tmpfs", warm,
            "zstd.exe -d %s + read floor %s" % (ms(zstd), ms(med("read"))), zstd + med("read"),
            WARM_LIMIT, ms, None,
            best("launcher_warm") / (best("zstd") + best("read")))
        row("cold start, Wine tmpfs", cold,
            "zstd.exe -d %s + write floor %s" % (ms(zstd), ms(med("write"))),
            zstd + med("write"), COLD_LIMIT, ms, None,
            best("launcher_cold") / (best("zstd") + best("write")))
        if "quick_warm" in group:
            row("quick warm start, Wine tmpfs (full: %s)" % ms(warm), med("quick_warm"),
                "FindFirstFileExW each folder + start", med("list"), QUICK_LIMIT, ms, None,
                best("quick_warm") / best("list"))
    for corpus in corpora:
        peaks = [max(g[n].rss) for g in groups if g.get("windows") and g["corpus"] is corpus
                 for n in ("launcher_warm", "launcher_cold")]
        if peaks:
            row("peak working set, %s (Wine)" % corpus.name, max(peaks), "144 MiB",
                PEAK_LIMIT_WINDOWS, 1.0, mib)


def windows_profile(groups):
    """Where a warm start's time goes under Wine, from the floors that
    isolate each part, each run in the same rounds."""
    lines = []
    for group in groups:
        if not group.get("windows") or group["corpus"].name != "large":
            continue
        med = lambda name: group[name].median
        start = med("start")
        parts = [("process start (a program that exits at once)", start),
                 ("decode (zstd.exe -d less a process start)", med("zstd") - start),
                 ("open/size/close of every file (open floor less a process start)",
                  med("open") - start),
                 ("read and crc32 (read floor less open floor)", med("read") - med("open")),
                 ("lock (a warm start takes none: nothing needs writing)", 0.0)]
        # The launcher starts its application, which the floors do not.
        parts.append(("starting the child (one more process start)", start))
        total = sum(value for _, value in parts)
        parts.append(("rest: the launcher's own work beyond the floors",
                      med("launcher_warm") - total))
        cold = [("process start", start),
                ("decode (zstd.exe -d less a process start)", med("zstd") - start),
                ("folders and files written (write floor less a process start)",
                 med("write") - start),
                ("cache test of files not there (absent floor less a process start)",
                 med("absent") - start),
                ("starting the child (one more process start)", start)]
        cold.append(("rest: the launcher's own work beyond the floors",
                     med("launcher_cold") - sum(value for _, value in cold)))
        for state, shares in (("warm", parts), ("cold", cold)):
            total = med("launcher_" + state)
            lines.append("")
            lines.append("%s start under Wine, %s, by part (medians; launcher %s):"
                         % (state, group["corpus"].name, ms(total)))
            for what, value in shares:
                lines.append("  %-66s %10s %6.1f%%" % (what, ms(value), 100 * value / total))
    return lines


# ------------------------------------------------------------------ packing

PACK_TIME_LIMIT = 1.10
PACK_SIZE_LIMIT = 1.00


def pack_measures(args, corpus):
    """Packing the application: zovari-pack payload against tar | zstd -T0 at
    the same level and window (2^27, long-distance matching, as the payload
    is written), each command's output in tmpfs."""
    tool = pack_tool(args.build_dir)
    if tool is None:
        sys.exit("bench: the packing section needs zovari-pack in %s" % args.build_dir)
    place = os.path.join(args.tmpfs, "pack")
    os.makedirs(place, exist_ok=True)
    outputs = {"pack": os.path.join(place, "payload.bin"), "zstd": os.path.join(place, "app.tar.zst")}
    tar = ("tar -C '%s' --format=gnu --sort=name -cf - ." % corpus.app)
    return place, outputs, [
        ("pack", Measure("zovari-pack payload -%d" % args.level,
                         [tool, "payload", "--input", corpus.app, "--main", MAIN_NAME,
                          "--output", outputs["pack"], "--level", str(args.level)])),
        ("zstd", Measure("tar -c | zstd -%d --long=27 -T0" % args.level,
                         ["sh", "-c", "%s | zstd -q -%d --long=27 -T0 -c > '%s'"
                          % (tar, args.level, outputs["zstd"])])),
    ]


def other_formats(args, corpus, place):
    """Sizes of the application packed as other self-unpacking tools pack it."""
    sizes = {}
    targz = os.path.join(place, "app.tar.gz")
    run(["sh", "-c", "tar -C '%s' --format=gnu --sort=name -cf - . | gzip -9 -n > '%s'"
         % (corpus.app, targz)])
    sizes["tar.gz, gzip -9"] = os.path.getsize(targz)
    if shutil.which("zip"):
        archive = os.path.join(place, "app.zip")
        run(["sh", "-c", "cd '%s' && zip -q -9 -r -X '%s' ." % (corpus.app, archive)])
        sizes["zip -9"] = os.path.getsize(archive)
    return sizes


def run_packing(args, corpus):
    """Measures packing round by round, the two commands alternating, and
    prints the section's table; True when both targets are met."""
    place, outputs, measures = pack_measures(args, corpus)
    try:
        for round_number in range(args.pack_rounds):
            order = measures if round_number % 2 == 0 else list(reversed(measures))
            for _, measure in order:
                measure.once(args.out)
            log("packing round %d of %d done" % (round_number + 1, args.pack_rounds))
        sizes = {name: os.path.getsize(path) for name, path in outputs.items()}
        others = other_formats(args, corpus, place)
    finally:
        shutil.rmtree(place, ignore_errors=True)
    pack, zstd = dict(measures)["pack"], dict(measures)["zstd"]
    time_ratio = pack.median / zstd.median
    size_ratio = sizes["pack"] / sizes["zstd"]
    lines = ["Packing the %s application (%s in %d files), level %d, %d round(s), on %d cores"
             % (corpus.name, mib(corpus.file_bytes), len(corpus.entries), args.level,
                args.pack_rounds, os.cpu_count() or 1),
             "  %-34s %10s %10s %10s %12s %12s" % ("", "time", "fastest", "CPU", "peak memory",
                                                      "size"),
             ]
    for name, measure in measures:
        lines.append("  %-34s %9.1fs %9.1fs %9.1fs %8.0f MiB %8.2f MiB"
                     % (measure.label, measure.median, min(measure.wall),
                        statistics.median(measure.cpu), max(measure.rss) / MIB, sizes[name] / MIB))
    for label, size in others.items():
        lines.append("  %-34s %10s %10s %10s %12s %8.2f MiB (%.3f x zstd)"
                     % (label, "", "", "", "", size / MIB, size / sizes["zstd"]))
    time_ok = time_ratio <= PACK_TIME_LIMIT
    size_ok = size_ratio <= PACK_SIZE_LIMIT
    lines.append("  pack time / zstd time  %.3f (target <= %.2f) %s; fastest / fastest %.3f, "
                 "CPU / CPU %.3f"
                 % (time_ratio, PACK_TIME_LIMIT, "ok" if time_ok else "MISSED",
                    min(pack.wall) / min(zstd.wall),
                    statistics.median(pack.cpu) / statistics.median(zstd.cpu)))
    lines.append("  payload size / zstd size  %.4f (target <= %.2f) %s"
                 % (size_ratio, PACK_SIZE_LIMIT, "ok" if size_ok else "MISSED"))
    print("\n".join(lines))
    sys.stdout.flush()
    return time_ok and size_ok


# ------------------------------------------------------------------ main

def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=10, help="timed rounds (default 10)")
    parser.add_argument("--level", type=int, default=19,
                        help="compression level of payload and tar (default 19, the packing "
                             "tool's)")
    parser.add_argument("--out", default=os.path.join(ROOT, "out", "bench"),
                        help="where corpora, launchers and results go")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "out", "bench-linux"),
                        help="the CMake build that holds zovari-pack")
    parser.add_argument("--runtime", default=os.path.join(ROOT, "out", "bench-linux", "runtime", "linux",
                                                          "zovari-launcher"),
                        help="the Linux runtime image launchers are written from")
    parser.add_argument("--windows-runtime", default=os.path.join(ROOT, "out", "bench-windows", "runtime",
                                                                  "windows", "zovari-launcher.exe"),
                        help="the Windows runtime image")
    parser.add_argument("--candidate", metavar="RUNTIME", action="append", default=[],
                        help="also measure launchers written from the runtime image in this "
                             "folder (a changed copy of the code, see bench/build_runtime.sh), "
                             "round by round beside the ones built as usual; may be repeated")
    parser.add_argument("--tmpfs", default="/dev/shm/zovari-bench")
    parser.add_argument("--disk", default=os.path.join(ROOT, "out", "bench", "disk"))
    parser.add_argument("--only", choices=("tmpfs", "disk"), help="run on one place only")
    parser.add_argument("--corpus", choices=("large", "small", "huge"), action="append",
                        help="which corpora (default all three)")
    parser.add_argument("--huge-level", type=int, default=3,
                        help="compression level of the huge application, which is there for "
                             "the memory check only (default 3, quick to build)")
    parser.add_argument("--no-windows", action="store_true",
                        help="leave out the Windows launchers under Wine (measured by default "
                             "when Wine, MinGW and the Windows runtime are there)")
    parser.add_argument("--pack-rounds", type=int, default=1,
                        help="rounds of the packing section (default 1: each takes a minute "
                             "or two at level 19)")
    parser.add_argument("--pack", choices=("yes", "no", "only"), default="yes",
                        help="the packing section: with the rest (default), left out, or alone")
    args = parser.parse_args()
    args.runtime = os.path.abspath(args.runtime)
    args.windows_runtime = os.path.abspath(args.windows_runtime)
    args.out = os.path.abspath(args.out)
    args.candidate = [os.path.abspath(c) for c in args.candidate]
    os.makedirs(args.out, exist_ok=True)

    build_tools(args.out, args.build_dir)
    pack_ok = True
    if args.pack != "no":
        large = Corpus("large", args.out)
        large.build(os.path.join(args.out, "exit_at_once"))
        pack_ok = run_packing(args, large)
        if args.pack == "only":
            return 0 if pack_ok else 1
    corpora = [Corpus(name, args.out) for name in (args.corpus or ["large", "small", "huge"])]
    for corpus in corpora:
        corpus.build(os.path.join(args.out, "exit_at_once"))
        level = args.huge_level if corpus.name == "huge" else args.level
        build_launcher(args, corpus, level)
        for runtime in args.candidate:
            build_candidate(args, corpus, runtime)
        if corpus.name != "huge":
            build_tar(args, corpus)

    windows = windows_available(args)
    if windows:
        build_windows_tools(args.out)
        for corpus in corpora:
            if corpus.name != "small":
                build_windows_launcher(args, corpus, args.huge_level if corpus.name == "huge"
                                       else args.level)
            if corpus.name == "large":
                for runtime in args.candidate:
                    build_windows_candidate(args, corpus, runtime)
    else:
        log("Windows launchers left out: no Wine, MinGW or Windows runtime (or --no-windows)")

    places = [("tmpfs", args.tmpfs), ("disk", args.disk)]
    if args.only:
        places = [p for p in places if p[0] == args.only]
    groups = []
    for corpus in corpora:
        for where, place in places:
            if corpus.name != "large" and where == "disk":
                continue  # the small and huge corpora are there for memory only
            groups.append(measures_for(args, corpus, place, where))
    wine = Wine(args.out) if windows else None
    if wine:
        groups += [windows_measures(args, wine, corpus, args.tmpfs) for corpus in corpora
                   if corpus.name != "small"]
    try:
        run_rounds(args, groups)
    finally:
        if wine:
            wine.close()
    ok = report(args, corpora, groups)
    for _, place in places:
        shutil.rmtree(place, ignore_errors=True)
    return 0 if ok and pack_ok else 1


if __name__ == "__main__":
    sys.exit(main())
