#!/usr/bin/env python3
"""Mutation check: plants each fault of tests/mutants.txt, one at a time, in a
scratch clone of the last commit, rebuilds only what the fault touches and runs
only the tests that can see it.  A mutant is caught when one of its tests fails
(or hangs), survived when all pass, "build failed" when it does not compile,
and stale when its text is no longer found in the file.

Run on demand, not by the test command:
    /usr/bin/python3 scripts/mutation.py [--only ID,...] [--target linux|windows]
                                         [--check] [--with-equivalent] [--jobs N]

--check only looks the list up against the working tree (no build).  The
scratch clone (out/mutation/src) and its builds are kept, so that a second run
builds incrementally.  The report goes to standard output and to
out/mutation/report.txt; the exit status is 1 when a mutant survived.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
# Seconds for one test selection; a fault that makes a test hang is caught
# by it.  The unmutated selections take a fraction of this.
TEST_TIME_LIMIT = {"unit": 150, "e2e": 600, "tool": 150, "pack": 600, "resources": 600}

# What each kind of test needs built, per target.
# The packing tool links no launcher code, so it is built once.
BUILD_TARGETS = {
    ("linux", "unit"): [("linux", ["zovari_unit_tests"])],
    ("linux", "e2e"): [("linux", ["zovari_runtime", "zovari_e2e_report_child", "zovari-pack"])],
    ("windows", "unit"): [("windows", ["zovari_unit_tests"])],
    ("windows", "e2e"): [("windows", ["zovari_runtime", "zovari_e2e_report_child", "zovari_e2e_exitcode",
                                      "zovari_e2e_holdfile"]),
                         ("linux", ["zovari-pack"])],
    # The packing tool's rule tables, and its command tests over payloads.
    ("linux", "tool"): [("linux", ["zovari_pack_unit_tests"])],
    # Both runtime images: the command tests write launchers of both targets.
    ("linux", "pack"): [("windows", ["zovari_runtime"]), ("linux", ["zovari-pack", "zovari_runtime"])],
    # The Windows resources' tests (tests/pack/test_resources.py).
    ("linux", "resources"): [("windows", ["zovari_runtime"]),
                             ("linux", ["zovari-pack", "zovari_runtime", "zovari_resources_driver"])],
}
# A fault in the Windows side that the Windows runtime image itself shows
# (what it imports): the same tests, on the mutated Windows image.
BUILD_TARGETS[("windows", "resources")] = BUILD_TARGETS[("linux", "resources")]
# Code that only one target compiles.
TARGET_OF_FILE = {
    "platform/posix/": ["linux"],
    "launcher/entry_posix.cpp": ["linux"],
    "platform/win32/": ["windows"],
    "launcher/entry_win32.cpp": ["windows"],
}
# The packing tool is a host program: only the native build compiles it.
HOST_FOLDERS = ("pack/",)


# ---------------------------------------------------------------- the list

class Mutant:
    def __init__(self, fields, line):
        self.line = line
        self.id = fields.get("id", "line-%d" % line)
        self.path = fields.get("file", "")
        self.after = fields.get("after")
        self.find = fields.get("find")
        self.replace = fields.get("replace", "")
        self.tests = fields.get("tests", "").split()
        self.equivalent = fields.get("equivalent")
        only = fields.get("only")
        self.only_reason = None
        host = self.path.startswith(HOST_FOLDERS)
        compiled_by = [targets for start, targets in TARGET_OF_FILE.items() if self.path.startswith(start)]
        self.targets = list(compiled_by[0] if compiled_by else ["linux"] if host else ["linux", "windows"])
        if only:
            target, _, self.only_reason = only.partition(" -- ")
            self.targets = [target.strip()]
        if not self.path or self.find is None or (not self.tests and not self.equivalent):
            raise SystemExit("mutants list, line %d: a mutant needs file, find and tests" % line)

    def locate(self, text):
        """The offset of the text to replace, or a reason why there is none."""
        start = 0
        if self.after is not None:
            if text.count(self.after) != 1:
                return None, "stale" if self.after not in text else "ambiguous"
            start = text.index(self.after) + len(self.after)
        if self.after is None and text.count(self.find) > 1:
            return None, "ambiguous"
        at = text.find(self.find, start)
        if at < 0:
            return None, "stale"
        return at, None


def read_list(path):
    mutants, fields, first = [], {}, 0
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines + [""], 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if fields:
                mutants.append(Mutant(fields, first))
            fields = {}
            continue
        key, colon, value = line.partition(":")
        if not colon:
            raise SystemExit("mutants list, line %d: expected key: value" % number)
        if not fields:
            first = number
        fields[key.strip()] = value[1:] if value.startswith(" ") else value
    return mutants


# ---------------------------------------------------------------- running

def run(command, cwd, env=None, limit=None):
    """(returncode, output); returncode None when the time limit ran out.  The
    command runs in a process group of its own, which goes whole at the limit:
    a fault that makes a loop endless makes it endless in the test's own
    children too."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            code = process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            code = None
        output.seek(0)
        return code, output.read()


class Scratch:
    """The clone, its two builds and a Wine prefix of its own."""

    def __init__(self, base, jobs):
        self.base = base
        self.src = os.path.join(base, "src")
        self.jobs = jobs
        self.prefix = None
        self.built = set()

    def prepare(self, commit):
        if not os.path.isdir(os.path.join(self.src, ".git")):
            os.makedirs(self.base, exist_ok=True)
            subprocess.run(["git", "clone", "-q", "--no-checkout", ROOT, self.src], check=True)
        else:
            subprocess.run(["git", "-C", self.src, "fetch", "-q", ROOT], check=True)
        subprocess.run(["git", "-C", self.src, "checkout", "-q", "--force", "--detach", commit],
                       check=True)

    def build_dir(self, target):
        return os.path.join(self.src, "out", target)

    def configure(self, target):
        if os.path.exists(os.path.join(self.build_dir(target), "CMakeCache.txt")):
            return
        options = ["-DCMAKE_BUILD_TYPE=Release"]
        if target == "windows":
            options += ["-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake",
                        "-DZOVARI_ZSTD_SOURCE=" + os.path.join(ROOT, "out", "deps", "zstd"),
                        "-DZOVARI_LIBDEFLATE_SOURCE=" + os.path.join(ROOT, "out", "deps", "libdeflate"),
                        "-DZOVARI_LUA_SOURCE=" + os.path.join(ROOT, "out", "deps", "lua")]
        else:
            options += ["-DZOVARI_WINDOWS_BUILD_DIR=" + self.build_dir("windows")]
        subprocess.run(["cmake", "-S", ".", "-B", self.build_dir(target)] + options,
                       cwd=self.src, check=True, stdout=subprocess.DEVNULL)

    def build(self, steps):
        """Builds [(target, [build targets])]; (ok, output of the last step)."""
        output = b""
        for target, names in steps:
            self.configure(target)
            code, output = run(["cmake", "--build", self.build_dir(target), "-j%d" % self.jobs,
                                "--target"] + names, self.src)
            if code != 0:
                return False, output
        return True, output

    def wine_prefix(self):
        if self.prefix is None:
            self.prefix = tempfile.mkdtemp(prefix="zovari-mutation-wine.")
            subprocess.run([WINE, "wineboot", "-i"], env=self.wine_environment(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        return self.prefix

    def wine_environment(self):
        env = dict(os.environ, WINEDEBUG="-all")
        if self.prefix:
            env["WINEPREFIX"] = self.prefix
        return env

    def close(self):
        if self.prefix:
            subprocess.run([WINESERVER, "-k"], env=self.wine_environment(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            shutil.rmtree(self.prefix, ignore_errors=True)

    def test_command(self, target, test):
        """The command and environment for one test selection (unit=FILTER or e2e=A,B)."""
        kind, _, selection = test.partition("=")
        if kind == "unit":
            program = os.path.join(self.build_dir(target), "tests", "zovari_unit_tests")
            command = [program] + (["--gtest_filter=" + selection] if selection else [])
            if target == "windows":
                self.wine_prefix()
                return [WINE, program + ".exe"] + command[1:], self.wine_environment()
            return command, None
        if kind == "tool":
            program = os.path.join(self.build_dir("linux"), "tests", "zovari_pack_unit_tests")
            return [program] + (["--gtest_filter=" + selection] if selection else []), None
        if kind in ("pack", "resources"):
            env = dict(os.environ,
                       ZOVARI_PACK=os.path.join(self.build_dir("linux"), "pack", "zovari-pack"),
                       ZOVARI_RESOURCES_DRIVER=os.path.join(self.build_dir("linux"), "tests", "pack",
                                                            "zovari_resources_driver"),
                       ZOVARI_WINDOWS_RUNTIME=os.path.join(self.build_dir("windows"), "runtime", "windows",
                                                           "zovari-launcher.exe"),
                       ZOVARI_BUILD_DIR=self.build_dir("linux"),
                       ZOVARI_WINDOWS_BUILD_DIR=self.build_dir("windows"),
                       ZOVARI_SOURCE=self.src)
            script = "test_resources.py" if kind == "resources" else "test_pack.py"
            if kind == "resources":
                env["ZOVARI_RESOURCES_DRIVER"] = os.path.join(self.build_dir("linux"), "tests", "pack",
                                                              "zovari_resources_driver")
            command = [PYTHON, os.path.join(self.src, "tests", "pack", script)]
            for pattern in filter(None, selection.split(",")):
                command += ["-k", pattern]
            return command, env
        if kind == "e2e":
            env = dict(os.environ,
                       ZOVARI_E2E_REPORT_CHILD=os.path.join(self.build_dir("linux"), "tests", "e2e", "report_child"),
                       ZOVARI_E2E_WINDOWS_BUILD=self.build_dir("windows"),
                       ZOVARI_LINUX_RUNTIME=os.path.join(self.build_dir("linux"), "runtime", "linux",
                                                         "zovari-launcher"),
                       ZOVARI_WINDOWS_RUNTIME=os.path.join(self.build_dir("windows"), "runtime", "windows",
                                                           "zovari-launcher.exe"),
                       ZOVARI_E2E_PACK=os.path.join(self.build_dir("linux"), "pack", "zovari-pack"))
            command = [PYTHON, os.path.join(self.src, "tests", "e2e", "test_launchers.py"), target]
            for pattern in filter(None, selection.split(",")):
                command += ["-k", pattern]
            return command, env
        raise SystemExit("unknown kind of test %r" % test)

    def run_test(self, target, test):
        command, env = self.test_command(target, test)
        code, output = run(command, self.src, env=env,
                           limit=TEST_TIME_LIMIT[test.partition("=")[0]])
        if code is None:
            return "time-out", output
        return ("passed" if code == 0 else "failed"), output


def kinds(mutant):
    return sorted({test.partition("=")[0] for test in mutant.tests})


def judge(scratch, mutant, target, log):
    """caught / survived / build failed, for one target."""
    for kind in kinds(mutant):
        ok, output = scratch.build(BUILD_TARGETS[(target, kind)])
        if not ok:
            log.write(output.decode("utf-8", "replace")[-3000:])
            return "build failed"
    # Unit tests first: they are the cheaper ones.
    for test in sorted(mutant.tests, key=lambda t: not t.startswith("unit")):
        outcome, output = scratch.run_test(target, test)
        if outcome != "passed":
            log.write(output.decode("utf-8", "replace")[-3000:])
            return "caught by %s%s" % (test, " (time-out)" if outcome == "time-out" else "")
    return "survived"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "tests", "mutants.txt"))
    parser.add_argument("--scratch", default=os.path.join(ROOT, "out", "mutation"))
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--target", choices=["linux", "windows"])
    parser.add_argument("--check", action="store_true", help="only look the snippets up")
    parser.add_argument("--with-equivalent", action="store_true",
                        help="run the mutants marked equivalent too")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip running the tests on the unmutated tree first "
                             "(when a run of the same commit just did)")
    options = parser.parse_args()

    mutants = read_list(options.list)
    if options.only:
        wanted = set(options.only.split(","))
        mutants = [m for m in mutants if m.id in wanted]

    if options.check:
        problems = 0
        for mutant in mutants:
            with open(os.path.join(ROOT, mutant.path), encoding="utf-8") as f:
                _, problem = mutant.locate(f.read())
            if problem:
                problems += 1
                print("%-28s %s (%s)" % (mutant.id, problem, mutant.path))
        print("%d mutants, %d not found as written" % (len(mutants), problems))
        return 1 if problems else 0

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], check=True,
                            stdout=subprocess.PIPE).stdout.decode().strip()
    if subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                      stdout=subprocess.PIPE).stdout.strip():
        print("note: uncommitted changes are not part of the run; it uses commit %s" % commit[:12])
    scratch = Scratch(options.scratch, options.jobs)
    scratch.prepare(commit)
    report_path = os.path.join(options.scratch, "report.txt")
    log = open(os.path.join(options.scratch, "log.txt"), "w")
    lines = []
    counts = {}
    id_width = max([len(m.id) for m in mutants] + [1])
    place_width = max([len(m.path) + 6 for m in mutants] + [1])

    def say(text):
        print(text, flush=True)
        lines.append(text)

    try:
        # The unmutated tree must pass every test the list asks for, or a
        # failure would say nothing about a mutant.
        say("mutation check of %s" % commit[:12])
        baseline = {}
        for mutant in mutants:
            if mutant.equivalent and not options.with_equivalent:
                continue
            for target in mutant.targets:
                if options.target and target != options.target:
                    continue
                for test in mutant.tests:
                    baseline.setdefault((target, test), None)
        if options.no_baseline:
            baseline = {}
        for (target, test) in sorted(baseline):
            ok, output = scratch.build(BUILD_TARGETS[(target, test.partition("=")[0])])
            outcome, output = scratch.run_test(target, test) if ok else ("build failed", output)
            if outcome != "passed":
                log.write(output.decode("utf-8", "replace")[-5000:])
                raise SystemExit("the unmutated tree fails %s on %s (%s): see %s"
                                 % (test, target, outcome, log.name))
        if baseline:
            say("unmutated tree: %d test selections pass" % len(baseline))

        for mutant in mutants:
            source = os.path.join(scratch.src, mutant.path)
            subprocess.run(["git", "-C", scratch.src, "checkout", "-q", "--", mutant.path], check=True)
            with open(source, encoding="utf-8") as f:
                text = f.read()
            at, problem = mutant.locate(text)
            # The line the text stands on now, found rather than kept in the list.
            place = mutant.path if problem else "%s:%d" % (mutant.path, text.count("\n", 0, at) + 1)
            label = "%-*s %-*s" % (id_width, mutant.id, place_width, place)
            if problem:
                say("%s %s" % (label, problem))
                counts[problem] = counts.get(problem, 0) + 1
                continue
            if mutant.equivalent and not options.with_equivalent:
                say("%s equivalent: %s" % (label, mutant.equivalent))
                counts["equivalent"] = counts.get("equivalent", 0) + 1
                continue
            with open(source, "w", encoding="utf-8") as f:
                f.write(text[:at] + mutant.replace + text[at + len(mutant.find):])
            results = []
            started = time.monotonic()
            try:
                for target in mutant.targets:
                    if options.target and target != options.target:
                        continue
                    log.write("\n==== %s on %s\n" % (mutant.id, target))
                    result = judge(scratch, mutant, target, log)
                    results.append("%s: %s" % (target, result))
                    key = result.split(" by ")[0]
                    counts[key] = counts.get(key, 0) + 1
            finally:
                subprocess.run(["git", "-C", scratch.src, "checkout", "-q", "--", mutant.path],
                               check=True)
            note = "; ".join(results)
            if mutant.only_reason:
                note += "  (%s only: %s)" % (mutant.targets[0], mutant.only_reason)
            if mutant.equivalent:
                note += "  (marked equivalent: %s)" % mutant.equivalent
            say("%s %s  [%.0f s]" % (label, note, time.monotonic() - started))
        say("totals: " + ", ".join("%s %d" % item for item in sorted(counts.items())))
    finally:
        scratch.close()
        log.close()
        with open(report_path, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 1 if counts.get("survived") else 0


if __name__ == "__main__":
    sys.exit(main())
