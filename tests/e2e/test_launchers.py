#!/usr/bin/env python3
"""End-to-end tests: real launchers around the report child, on Linux natively and
for Windows under Wine.  Run by ctest as `test_launchers.py linux|windows`.

Configuration comes from the environment (ctest sets it):
  ZOVARI_E2E_REPORT_CHILD          the native report_child
  ZOVARI_E2E_WINDOWS_BUILD  the Windows build (tests/e2e/report_child.exe, exitcode.exe)
  ZOVARI_LINUX_RUNTIME, ZOVARI_WINDOWS_RUNTIME  the runtime image of each target
  ZOVARI_E2E_PACK           zovari-pack, when the build has it
"""

import contextlib
import ctypes
import errno
import fcntl
import json
import os
import pwd
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import support  # noqa: E402

PACK = os.environ.get("ZOVARI_E2E_PACK")

# The launcher lies in a folder whose name has a space.
LAUNCHER_FOLDER = "My Tool"
# Text beyond ASCII, one character beyond the 16-bit range among it.
NON_ASCII_FOLDER = "W\u00e9rk \u00fc"
NON_ASCII_ARGUMENT = "na\u00efve\u2603\U0001F600"
# How long the launcher gives a child that a console event reached to end.
CHILD_GRACE_SECONDS = 5
# The exit code that the system's default handling of a console event gives
# under Wine (real Windows: 0xC000013A, STATUS_CONTROL_C_EXIT).
DEFAULT_EVENT_END = 0


class LauncherTests:
    """The cases every target runs; a subclass makes self.target and self.packer."""

    target = None
    packer = None

    # Where the work folder is made; None: the system's temporary folder.
    work_root = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="zovari-e2e.", dir=cls.work_root)
        try:
            cls.target = cls.make_target(cls.work)
        except BaseException:
            shutil.rmtree(cls.work, ignore_errors=True)
            raise
        cls.packer = support.Packer(cls.target.name, os.environ.get("ZOVARI_%s_RUNTIME" % cls.target.name.upper(), ""), PACK, cls.target.report_child,
                                    os.path.join(cls.work, "packing"))
        cls.launchers = 0

    @classmethod
    def tearDownClass(cls):
        try:
            cls.target.close()
        finally:
            shutil.rmtree(cls.work, ignore_errors=True)

    # ------------------------------------------------------------ helpers

    def template(self, *parts):
        return self.target.sep.join(parts)

    def fresh_name(self):
        type(self).launchers += 1
        return "app%d" % type(self).launchers

    def launcher_path(self, name="run", folder=LAUNCHER_FOLDER):
        return os.path.join(self.work, self.fresh_name(), folder, name + self.target.suffix)

    def report_child_launcher(self, extra_files=None, template=None, product=None, name="run", by_hand=False,
                              options=()):
        """A launcher whose main binary is the report child, unpacking into its own folder
        under {TEMP} unless a template is given."""
        output = self.launcher_path(name)
        folder = self.fresh_name()
        if template is None:
            template = self.template("{TEMP}", "zovari-e2e", folder)
        main = "bin/report_child" + self.target.suffix
        files = {main: self.target.report_child}
        files.update(extra_files or {})
        return self.packer.build(files, main, output, template=template,
                                 product=product or "ZovariE2E" + folder, by_hand=by_hand, options=options)

    def assertLauncherMarkers(self, result, marker):
        self.assertIn((marker + " on stdout").encode(), result.stdout)
        self.assertIn((marker + " on stderr").encode(), result.stderr)

    def assertRanReportChild(self, result, exit_code=0):
        self.assertIsNotNone(result.report, "the report child did not run: %r" % result)
        self.assertEqual(result.exit_code, exit_code, result)

    # ------------------------------------------------------------ cases

    def test_child_gets_the_arguments_directory_and_handles(self):
        """The worked example: a launcher in a folder with a space, started with
        --name, "two words", an empty argument and last, from another folder."""
        launcher = self.report_child_launcher()
        elsewhere = os.path.join(self.work, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        args = ["--name", "two words", "", "last"]
        result = self.target.run(launcher, args, cwd=elsewhere,
                                 report_child={"ZOVARI_REPORT_CHILD_MARKER": "report_child-42",
                                        "ZOVARI_REPORT_CHILD_STDIN": "1"},
                                 stdin=b"through the launcher's stdin\n")
        self.assertRanReportChild(result)
        report = result.report
        full_path = self.target.native(launcher)
        if self.target.name == "windows":
            self.assertEqual(report["command_line"], '"%s" --name "two words"  last' % full_path)
        self.assertEqual(report["argv"], [full_path, "--name", "two words", "last"])
        # The first word as typed: here the full path, without its quotes.
        self.assertEqual(report["environment"]["ZOVARI_ORIGINAL_ARGV0"], full_path)
        self.assertEqual(self.target.unix(report["cwd"]).rstrip("/"), elsewhere)
        self.assertEqual(report["stdin"], "through the launcher's stdin\n")
        self.assertLauncherMarkers(result, "report_child-42")
        # The child is the unpacked main binary, not the launcher.
        self.assertNotEqual(self.target.unix(report["executable"]), launcher)
        self.assertTrue(os.path.isfile(self.target.unix(report["executable"])))

    def test_quoting_round_trips(self):
        args = ["C:\\Temp\\", "C:\\My Files\\", 'say "hi"', 'a\\"b', "a\\\\b c", '"',
                "tab\there", "new\nline", "cr\rff\f", "\\\\", "", "x", ""]
        if self.target.name == "linux":
            args.append("caf\udce9")  # the byte 0xE9 alone, not UTF-8
            # As xargs or find -exec + pass them: only the system's own limit applies.
            args += ["long-%d-" % i + "y" * 1000 for i in range(40)]
        # Fixed arguments go first, quoted by the same rules.
        fixed = ["-x", "two words", 'say "hi"']
        launcher = self.report_child_launcher(options=[o for a in fixed for o in ("--arg", a)])
        result = self.target.run(launcher, args)
        self.assertRanReportChild(result)
        full_path = self.target.native(launcher)
        kept = [a for a in args if a != ""]
        self.assertEqual(result.report["argv"], [full_path] + fixed + kept)
        if self.target.name == "windows":
            expected_tail = ('-x "two words" "say \\"hi\\"" '
                             'C:\\Temp\\ "C:\\My Files\\\\" "say \\"hi\\"" "a\\\\\\"b" '
                             '"a\\\\b c" "\\"" "tab\there" "new\nline" cr\rff\f \\\\  x ')
            self.assertEqual(result.report["command_line"],
                             '"%s" %s' % (full_path, expected_tail))
        # Without arguments, from a path with nothing to quote: just the path.
        plain = os.path.join(self.work, "plain", "run" + self.target.suffix)
        os.makedirs(os.path.dirname(plain))
        shutil.copy2(self.report_child_launcher(), plain)
        result = self.target.run(plain)
        self.assertRanReportChild(result)
        self.assertEqual(result.report["argv"], [self.target.native(plain)])
        if self.target.name == "windows":
            self.assertEqual(result.report["command_line"], self.target.native(plain))

    def test_environment_with_the_default_template(self):
        """The value variables that the launcher's own parent set are gone;
        the others describe this launcher, started under a relative path."""
        product = "ZovariDefault" + self.fresh_name()
        output = self.launcher_path(folder=NON_ASCII_FOLDER)
        main = "report_child" + self.target.suffix
        self.packer.build({main: self.target.report_child}, main, output, template=None,
                          product=product, version="2.5.1",
                          options=["--arg", "{TARGET_DIR}", "--arg", "{Target_Dir}%s{x}" % self.target.sep])
        inherited = {"ZOVARI_ONEFILE_PARENT": "999999", "ZOVARI_ONEFILE_DIRECTORY": "stale",
                     "ZOVARI_ORIGINAL_ARGV0": "stale", "ZOVARI_ONEFILE_START": "123",
                     "ZOVARI_ONEFILE_TIME_US": "000042", "ZOVARI_ONEFILE_RANDOM": "stalestale1"}
        folder = os.path.dirname(output)
        if self.target.name == "windows":
            # Typed without folder or extension; the system finds it in the
            # current directory.
            result = self.target.run(output, cwd=folder, env=inherited,
                                     command_line="run " + NON_ASCII_ARGUMENT)
            typed = "run"
        else:
            typed = os.path.join(NON_ASCII_FOLDER, "run")
            result = self.target.run(output, [NON_ASCII_ARGUMENT], cwd=os.path.dirname(folder),
                                     env=inherited, argv0=typed)
        self.assertRanReportChild(result)
        report = result.report
        environment = report["environment"]
        for name in ("ZOVARI_ONEFILE_START", "ZOVARI_ONEFILE_TIME_US", "ZOVARI_ONEFILE_RANDOM"):
            self.assertIsNone(environment[name], name)
        self.assertEqual(environment["ZOVARI_ONEFILE_PARENT"], str(report["parent_pid"]))
        self.assertNotEqual(environment["ZOVARI_ONEFILE_PARENT"], "999999")
        self.assertEqual(environment["ZOVARI_ONEFILE_DIRECTORY"], self.target.native(folder))
        self.assertEqual(environment["ZOVARI_ORIGINAL_ARGV0"], typed)
        # The default template: the user's cache folder, the product, the
        # version and the payload's digest.
        unpacked = report["executable"][:-len(main) - 1]
        parts = self.target.unix(unpacked).split("/")
        self.assertEqual(parts[-2], product)
        self.assertRegex(parts[-1], r"^2\.5\.1-[0-9a-f]{8}$")
        if self.target.name == "linux":
            self.assertEqual("/".join(parts[:-2]), self.target.cache)
        # Where the files are, for an interpreter's script among them.
        self.assertEqual(environment["ZOVARI_ONEFILE_TARGET_DIR"], unpacked)
        self.assertEqual(report["argv"], [self.target.native(output), unpacked,
                                          unpacked + self.target.sep + "{x}", NON_ASCII_ARGUMENT])

    def test_child_sees_the_values_that_named_its_directory(self):
        template = self.template("{TEMP}", "zt", "{TIME}-{TIME_US}-{RANDOM}")
        # With --quick-start too: a folder of its own leaves no stamp beside it.
        launcher = self.report_child_launcher(template=template, options=("--quick-start", "--clean-cache"))
        stale = {"ZOVARI_ONEFILE_START": "1", "ZOVARI_ONEFILE_TIME_US": "000001",
                 "ZOVARI_ONEFILE_RANDOM": "AAAAAAAAAAA"}
        result = self.target.run(launcher, env=stale, report_child={"ZOVARI_REPORT_CHILD_EXIT": "3"})
        self.assertRanReportChild(result, exit_code=3)
        environment = result.report["environment"]
        start = environment["ZOVARI_ONEFILE_START"]
        microseconds = environment["ZOVARI_ONEFILE_TIME_US"]
        random = environment["ZOVARI_ONEFILE_RANDOM"]
        self.assertRegex(start, r"^1[0-9]{17}$")
        self.assertRegex(microseconds, r"^[0-9]{6}$")
        self.assertRegex(random, r"^[A-Za-z0-9_-]{10}[AEIMQUYcgkosw048]$")
        self.assertNotEqual((start, microseconds, random), tuple(stale.values()))
        parts = self.target.unix(result.report["executable"]).split("/")
        self.assertEqual(parts[-4:-2], ["zt", "%s-%s-%s" % (start, microseconds, random)])
        # No later start finds that folder again: with --clean-cache it went
        # when the child ended, and so did the folder above it, which the
        # start made for it; the folder above that stays.
        self.assertFalse(os.path.exists("/".join(parts[:-3])))
        self.assertTrue(os.path.isdir("/".join(parts[:-4])))

    def test_exit_codes_pass_through(self):
        launcher = self.report_child_launcher()
        for code in self.exit_codes:
            with self.subTest(code=code):
                result = self.target.run(launcher, report_child={"ZOVARI_REPORT_CHILD_EXIT": str(code)})
                self.assertRanReportChild(result, exit_code=code)

    def test_main_binary_that_cannot_start(self):
        output = self.launcher_path()
        notes = b"not a program, just text\n"
        self.packer.build({"notes.txt": notes}, "notes.txt", output,
                          template=self.template("{TEMP}", "zovari-e2e", self.fresh_name()), by_hand=True)
        result = self.target.run(output)
        self.assertEqual(result.exit_code, 2, result)
        self.assertIsNone(result.report)
        message = result.stderr.decode("utf-8", "replace")
        self.assertRegex(message, r"^Error, couldn't launch child \(\[Error [0-9]+\] [^)\r\n]+\)\r?\n$")
        self.assertNotIn("no text for this error", message)

    def unpacked_names(self, root):
        """Every file and folder under root, relative, with "/"."""
        found = set()
        for folder, folders, files in os.walk(root):
            for name in folders + files:
                found.add(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
        return found

    def with_folders(self, names):
        return {"/".join(name.split("/")[:i]) for name in names
                for i in range(1, name.count("/") + 2)}

    def test_cold_start_unpacks_and_warm_start_writes_nothing(self):
        """The folder holds the application's files and nothing else after every
        start, clean or failed, even where one of them bears the name the
        launcher's lock file once had."""
        files = {"data/readme.txt": b"read me\n", "data/deeper/more.bin": bytes(range(256)) * 300,
                 "empty.txt": b"", self.lock_name_file: b"the application's own\n",
                 "noise.bin": random.Random(5).randbytes(100000)}
        launcher = self.report_child_launcher(extra_files=files)
        cold = self.target.run(launcher)
        self.assertRanReportChild(cold)
        main_binary = self.target.unix(cold.report["executable"])
        root = os.path.dirname(os.path.dirname(main_binary))
        unpacked = {name: os.path.join(root, *name.split("/")) for name in files}
        unpacked["bin/report_child" + self.target.suffix] = main_binary
        names = self.with_folders(unpacked)
        self.assertEqual(self.unpacked_names(root), names)
        # Set every file's time far into the past: a file that is written
        # again shows it, however coarse the clock.
        old = 1_000_000_000
        for path in unpacked.values():
            os.utime(path, (old, old))

        warm = self.target.run(launcher)
        self.assertRanReportChild(warm)
        self.assertEqual(self.target.unix(warm.report["executable"]), main_binary)
        # Nothing is written again, the empty file included.
        for name, path in unpacked.items():
            self.assertEqual(os.stat(path).st_mtime, old, name)

        # A warm start while an earlier start's child still runs (it says so,
        # then waits for the end of its input): the running main binary is
        # read, and neither replaced nor written.
        variables = {"ZOVARI_REPORT_CHILD_REPORT": self.target.native(self.target.report_path()),
                     "ZOVARI_REPORT_CHILD_STDIN": "1", "ZOVARI_REPORT_CHILD_MARKER": "running"}
        command = [support.WINE, launcher] if self.target.name == "windows" else [launcher]
        running = subprocess.Popen(command, env=self.target.environment(variables), cwd=self.work,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(_finish, running)
        self.assertEqual(running.stdout.readline(), b"running on stdout\n")
        inode = os.stat(main_binary).st_ino
        beside = self.target.run(launcher)
        running.stdin.close()
        self.assertEqual(running.wait(timeout=support.RUN_LIMIT), 0)
        self.assertRanReportChild(beside)
        self.assertEqual(os.stat(main_binary).st_ino, inode)
        for name, path in unpacked.items():
            self.assertEqual(os.stat(path).st_mtime, old, name)

        # A file spoiled on disk, as a half-written one would be, is written again.
        with open(unpacked["data/readme.txt"], "wb") as f:
            f.write(b"read")
        os.utime(unpacked["data/readme.txt"], (old, old))
        again = self.target.run(launcher)
        self.assertRanReportChild(again)
        with open(unpacked["data/readme.txt"], "rb") as f:
            self.assertEqual(f.read(), b"read me\n")
        for name, path in unpacked.items():
            if name != "data/readme.txt":
                self.assertEqual(os.stat(path).st_mtime, old, name)
        self.assertEqual(self.unpacked_names(root), names)

        # A start that fails half-way: its last name needs a folder where its
        # file before it lies, which the tool never packs.
        with open(self.target.report_child, "rb") as f:
            records = [("bin\\report_child" + self.target.suffix, f.read())]
        records += [(name.replace("/", "\\"), data) for name, data in files.items()]
        records += [("last.bin", b"last"), ("last.bin\\inner", b"never")]
        failed_root = os.path.join(os.path.dirname(root), self.fresh_name())
        failing = self.by_hand(support.frame_payload(support.payload_stream(records)),
                               self.target.native(failed_root))
        failed = self.target.run(failing)
        self.assertEqual(failed.exit_code, 2, failed)
        self.assertIsNone(failed.report)
        self.assertIn(self.lock_name_file, self.unpacked_names(failed_root))
        self.assertLessEqual(self.unpacked_names(failed_root),
                             names | {"last.bin"})

        # Damage that still decodes: the main binary's contents no longer give
        # its checksum.  It is never started, at this start or the next.
        stream = bytearray(support.payload_stream(records[:2]))
        stream[len(records[0][0]) * 2 + 2 + 12 + 100] ^= 0x10
        damaged = self.by_hand(support.frame_payload(bytes(stream)),
                               self.target.native(os.path.join(os.path.dirname(root), self.fresh_name())))
        # Damage in a file that a warm start only reads past (incompressible,
        # so stored as it is in the frame): the frame's seal sees it.
        with open(launcher, "rb") as f:
            whole = bytearray(f.read())
        whole[whole.index(files["noise.bin"][1000:1064])] ^= 0x10
        sealed = os.path.join(os.path.dirname(launcher), "damaged" + self.target.suffix)
        with open(sealed, "wb") as f:
            f.write(whole)
        os.chmod(sealed, 0o755)
        for start, program in (("first", damaged), ("next", damaged), ("warm, sealed", sealed)):
            result = self.target.run(program)
            self.assertEqual((result.exit_code, result.stdout.replace(b"\r\n", b"\n")),
                             (2, b"Error, couldn't decode attached data.\n"), start)
            self.assertIsNone(result.report, start)

    def stamping_run(self, launcher):
        """A start that checks files written a while ago: a start stamps no
        file whose last change lies within the clock's tick of its check,
        and a run right after a write can fall within it."""
        time.sleep(0.1)
        return self.target.run(launcher)

    def test_quick_start(self):
        """--quick-start: a warm start whose stamp matches opens no file of the
        application; every change made through the file system, and every
        doubt about the stamp, leads to a full start that repairs, and a start
        that checked every file without writing one stamps again."""
        files = {"data/readme.txt": b"read me\n", "data/deeper/more.bin": bytes(range(256)) * 300,
                 "top.txt": b"top\n"}
        launcher = self.report_child_launcher(extra_files=files, options=("--quick-start",))
        cold = self.target.run(launcher)
        self.assertRanReportChild(cold)
        main_binary = self.target.unix(cold.report["executable"])
        root = os.path.dirname(os.path.dirname(main_binary))
        unpacked = {name: os.path.join(root, *name.split("/")) for name in files}
        stamp = root + ".zovari-quick-start"
        # A file written within the clock's tick could change again unseen:
        # the start that wrote them stamps nothing, the next one stamps.
        self.assertFalse(os.path.exists(stamp), "a start stamped files it had just written")
        self.assertRanReportChild(self.stamping_run(launcher))
        # The stamp lies beside the folder, which holds the application's files alone.
        self.assertEqual(self.unpacked_names(root), self.with_folders(list(files) + ["bin/report_child" + self.target.suffix]))
        with open(stamp, "rb") as f:
            first = f.read()

        def stamped():
            status = os.stat(stamp)
            return status.st_ino, status.st_mtime_ns

        def rewrite(name, data, keep_time=False):
            path = unpacked[name]
            status = os.stat(path)
            with open(path, "r+b") as f:
                f.write(data)
                f.truncate()
            if keep_time:
                os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))

        before = stamped()
        trace = self.target.trace_opens(launcher)
        for name in files:
            self.assertNotIn(name.split("/")[-1], trace, "a quick start opened " + name)
        self.assertEqual(stamped(), before, "the warm start was not a quick one")

        # A folder renamed and a link to it put in its place: every file is
        # the same inode, untouched, and still the link is a doubt.  (Wine
        # shows a link as the folder it leads to; Windows' junctions, which
        # it cannot make, list as reparse points.)
        # A folder opened to others changes neither its times nor (on
        # Linux) its mode: on Linux a 0770 folder handed from the user's
        # private group to one another account has (nobody's), or given an
        # access list that lets another account write; on Windows one whose
        # access list lets Everyone write (Wine: mode 0777).  Each leads to a
        # full start, which refuses the folder.
        folder = os.path.dirname(unpacked["data/readme.txt"])
        # version 2; the owner, user 65534, the group, the mask: rwx; others: none
        access_list = struct.pack("<I" + "HHI" * 5, 2, 0x01, 7, 0xFFFFFFFF, 0x02, 7, 65534,
                                  0x04, 7, 0xFFFFFFFF, 0x10, 7, 0xFFFFFFFF, 0x20, 0, 0xFFFFFFFF)
        def wine_opened(path):
            # Wine keeps the access list the launcher gave the folder beside
            # it, and makes one from the mode only where there is none.
            if "user.wine.sd" in os.listxattr(path):
                os.removexattr(path, "user.wine.sd")
            os.chmod(path, 0o777)

        openings = ([("group", lambda: os.chown(folder, -1, 65534)),
                     ("access list", lambda: os.setxattr(folder, "system.posix_acl_access", access_list))]
                    if self.target.name == "linux" else [("access list", lambda: wine_opened(folder))])
        for how, opening in openings:
            with self.subTest("a folder opened to others by its " + how):
                if self.target.name == "linux":
                    os.chmod(folder, 0o770)
                self.assertRanReportChild(self.target.run(launcher))
                try:
                    opening()
                except OSError as error:
                    if error.errno != errno.EOPNOTSUPP:
                        raise
                    self.skipTest("no access lists here")
                refused = self.target.run(launcher)
                self.assertEqual(refused.exit_code, 2, refused)
                self.assertIsNone(refused.report)
                self.assertEqual(refused.stderr.replace(b"\r\n", b"\n").decode(),
                                 "Error, unsafe target directory '%s' (others can write to it).\n"
                                 % self.target.native(folder))
                if "system.posix_acl_access" in os.listxattr(folder):
                    os.removexattr(folder, "system.posix_acl_access")
                os.chown(folder, -1, os.getgid())
                os.chmod(folder, 0o700)
                self.assertRanReportChild(self.target.run(launcher))

        if self.target.name == "linux":
            def held(call, paths, during):
                # Runs a full start whose first such call on one of paths is
                # held for a second, and makes the change meanwhile.
                if os.path.exists(stamp):
                    os.remove(stamp)
                log = os.path.join(self.work, self.fresh_name() + ".log")
                with open(log, "w"):
                    pass
                tracer = subprocess.Popen(
                    ["strace", "-f", "-qq", "-o", log] + [a for path in paths for a in ("-P", path)] +
                    ["-e", "trace=" + call, "-e", "inject=%s:delay_exit=1000000:when=1" % call, launcher],
                    cwd=self.work, env=self.target.environment(), stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE)
                while tracer.poll() is None:
                    with open(log) as f:
                        if call + "(" in f.read():
                            break
                    time.sleep(0.01)
                during()
                tracer.communicate(timeout=support.RUN_LIMIT)

            with self.subTest("changed at the same size after its check"):
                # The start's check of top.txt, the last file, is held while
                # data/readme.txt, checked before it, is rewritten: the
                # stamp must not vouch for what the check never saw.
                held("openat", ["top.txt", unpacked["top.txt"]], lambda: rewrite("data/readme.txt", b"READ ME\n"))
                self.assertRanReportChild(self.target.run(launcher))
                with open(unpacked["data/readme.txt"], "rb") as f:
                    self.assertEqual(f.read(), files["data/readme.txt"], "a later start kept the change")
                if not os.path.exists(stamp):
                    self.assertRanReportChild(self.stamping_run(launcher))

            with self.subTest("changed while it is read"):
                # What was read is not what the file holds: the start itself repairs it.
                held("read", [unpacked["data/readme.txt"]], lambda: rewrite("data/readme.txt", b"READ ME\n"))
                with open(unpacked["data/readme.txt"], "rb") as f:
                    self.assertEqual(f.read(), files["data/readme.txt"], "the start kept the change")
                self.assertRanReportChild(self.stamping_run(launcher))

            with self.subTest("a folder replaced by a link to itself"):
                folder = os.path.dirname(unpacked["data/deeper/more.bin"])
                os.rename(folder, folder + ".moved")
                os.symlink(folder + ".moved", folder)
                self.assertIn("more.bin", self.target.trace_opens(launcher), "a quick start")
                # The full start put a real folder in the link's place.
                self.assertFalse(os.path.islink(folder))
                shutil.rmtree(folder + ".moved")

        other_files = dict(files, **{"data/readme.txt": b"READ ME\n"})
        other_launcher = self.report_child_launcher(extra_files=other_files, options=("--quick-start",))
        self.assertRanReportChild(self.target.run(other_launcher))
        other = self.stamping_run(other_launcher)
        self.assertRanReportChild(other)
        other_stamp = os.path.dirname(os.path.dirname(self.target.unix(other.report["executable"])))
        other_stamp += ".zovari-quick-start"

        def replace_with_link(name):
            outside = os.path.join(self.work, self.fresh_name())
            with open(outside, "wb") as f:
                f.write(b"elsewhere\n")
            os.remove(unpacked[name])
            os.symlink(outside, unpacked[name])

        def rename_over(name):
            copy = unpacked[name] + ".copy"
            shutil.copyfile(unpacked[name], copy)
            os.replace(copy, unpacked[name])

        def replace_with_folder(name):
            os.remove(unpacked[name])
            os.makedirs(unpacked[name])

        def folder_replaced_by_link(name):
            # The link leads to a copy whose file differs: a quick start that
            # followed it would start the child beside that file.
            folder = os.path.dirname(unpacked[name])
            copy = os.path.join(self.work, self.fresh_name())
            shutil.copytree(folder, copy)
            with open(os.path.join(copy, os.path.basename(unpacked[name])), "wb") as f:
                f.write(b"READ ME\n")
            os.rename(folder, folder + ".old")
            os.symlink(copy, folder)

        def damage_stamp():
            with open(stamp, "r+b") as f:
                f.seek(20)
                f.write(b"\xff")

        changes = [
            ("content changed at the same size", lambda: rewrite("data/readme.txt", b"READ ME\n")),
            ("changed, its last-write time put back", lambda: rewrite("data/readme.txt", b"reed me\n", True)),
            ("truncated", lambda: rewrite("top.txt", b"")),
            ("deleted", lambda: os.remove(unpacked["data/deeper/more.bin"])),
            ("replaced by a link", lambda: replace_with_link("top.txt")),
            ("renamed over by a copy", lambda: rename_over("top.txt")),
            ("stamp deleted", lambda: os.remove(stamp)),
            ("stamp damaged", damage_stamp),
            ("stamp of another build", lambda: shutil.copyfile(other_stamp, stamp)),
        ] + self.quick_start_changes(stamp) + [
            ("replaced by a folder", lambda: replace_with_folder("top.txt")),
            # Last: the launcher leaves a folder's link in place.
            ("a folder replaced by a link", lambda: folder_replaced_by_link("data/readme.txt")),
        ]
        for what, change in changes:
            with self.subTest(what):
                change()
                before = stamped() if os.path.exists(stamp) else None
                started = self.target.run(launcher)
                if os.path.isdir(unpacked["top.txt"]):
                    # A full start cannot write the file; it must not start the child.
                    self.assertEqual(started.exit_code, 2, started)
                    os.rmdir(unpacked["top.txt"])
                    started = self.target.run(launcher)
                if self.target.name == "windows" and os.path.islink(os.path.dirname(unpacked["data/readme.txt"])):
                    # Wine cannot remove a Unix link, which Windows does with a
                    # junction: the full start stops at the first file below it.
                    self.assertEqual(started.exit_code, 2, started)
                    self.assertIn(b"for writing", started.stderr)
                    continue
                self.assertRanReportChild(started)
                for name, path in unpacked.items():
                    with open(path, "rb") as f:
                        self.assertEqual(f.read(), files[name], name)
                if os.path.islink(os.path.dirname(unpacked["data/readme.txt"])):
                    continue  # the stamp's walk refuses a folder's link: full starts from now on
                if not os.path.exists(stamp) or stamped() == before:
                    # The start repaired a file, or checked one changed just
                    # before: the next start checks every file and stamps.
                    self.assertRanReportChild(self.stamping_run(launcher))
                with open(stamp, "rb") as f:
                    self.assertEqual(f.read()[:16], first[:16])
                self.assertNotEqual(stamped(), before, "no full start stamped again")

    def test_clean_cache_removes_only_other_builds_no_launcher_holds(self):
        """--clean-cache: a start whose program runs removes the folders of the
        product's other builds beside its own, once no launcher runs from
        them; the user's own folder, another product's, a link (even with a
        record of that product beside it) and everything without the option
        stay."""
        base = os.path.join(self.work, self.fresh_name() + "-cache")
        elsewhere = os.path.join(self.work, self.fresh_name() + "-kept")
        os.makedirs(os.path.join(base, "notes"))
        os.makedirs(elsewhere)
        for folder in (os.path.join(base, "notes"), elsewhere):
            with open(os.path.join(folder, "keep.txt"), "w") as f:
                f.write("mine")
        template = self.template(self.target.native(base), "{VERSION}")
        clean = ("--clean-cache",)
        old = self.waiting_launcher(template, "1.0", clean)
        new = self.report_child_launcher(template=template, product="Cleaned", options=clean)
        other = self.report_child_launcher(template=self.template(self.target.native(base), "other-{VERSION}"),
                                           product="Cleaned", options=clean)
        self.assertRanReportChild(self.target.run(other))
        os.symlink(elsewhere, os.path.join(base, "linked"))
        with self.waiting_start(old):
            shutil.copyfile(os.path.join(base, "1.0.zovari-build"), os.path.join(base, "linked.zovari-build"))
            self.assertRanReportChild(self.target.run(new))
            # Its program still runs: kept.
            self.assertIn("1.0", os.listdir(base))
        self.assertRanReportChild(self.target.run(new))
        self.assertEqual(sorted(os.listdir(base)),
                         ["1.0.0", "1.0.0.zovari-build", "linked", "linked.zovari-build", "notes",
                          "other-1.0.0", "other-1.0.0.zovari-build"])
        self.assertEqual(sorted(os.listdir(elsewhere)), ["keep.txt"])
        self.assertEqual(sorted(os.listdir(os.path.join(base, "notes"))), ["keep.txt"])
        # Without the option nothing is recorded or removed.
        plain = os.path.join(self.work, self.fresh_name() + "-cache")
        template = self.template(self.target.native(plain), "{VERSION}")
        with self.waiting_start(self.waiting_launcher(template, "1.0", ())):
            pass
        self.assertRanReportChild(self.target.run(self.report_child_launcher(template=template, product="Cleaned")))
        self.assertEqual(sorted(os.listdir(plain)), ["1.0", "1.0.0"])

    def test_relative_template_is_refused(self):
        """A template that gives a relative path unpacks under the folder the
        launcher is started in (the tool warns of it).  What the tool once
        refused it for, damage, is caught by the build values' checksum: a
        launcher with one letter of a value changed stops before anything
        is made or started, as the refused template once did."""
        launcher = self.report_child_launcher(template=self.template("unpacked", "{PRODUCT}"),
                                              product="Relative")
        current = os.path.join(self.work, self.fresh_name())
        os.makedirs(current)
        result = self.target.run(launcher, cwd=current)
        self.assertRanReportChild(result)
        self.assertEqual(os.listdir(os.path.join(current, "unpacked", "Relative")), ["bin"])
        # "Relative" to "Selative" in the product, as stored: the template
        # still expands, to another folder, but the start stops first.
        with open(launcher, "rb") as f:
            data = bytearray(f.read())
        wide = "utf-16-le" if self.target.name == "windows" else "utf-32-le"
        at = data.index("\0Relative\0".encode(wide), data.rindex(b"ZovariBuildArea\0")) + len("\0".encode(wide))
        data[at] ^= ord("R") ^ ord("S")
        damaged = os.path.join(os.path.dirname(launcher), "damaged" + self.target.suffix)
        with open(damaged, "wb") as f:
            f.write(data)
        os.chmod(damaged, 0o755)
        current = os.path.join(self.work, self.fresh_name())
        os.makedirs(current)
        result = self.target.run(damaged, cwd=current)
        self.assertEqual(result.exit_code, 2, result)
        self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), b"Error, couldn't find attached data header.\n")
        self.assertIsNone(result.report)
        self.assertEqual(os.listdir(current), [])

    def by_hand(self, payload, template):
        output = self.launcher_path()
        self.packer.build_from_payload(payload, output, template=template)
        return output

    def test_payloads_the_launcher_refuses(self):
        """Payloads the packing tool never writes end with a message and exit
        code 2, and leave the target directory uncreated."""
        folder = self.fresh_name()
        template = self.template("{TEMP}", "zovari-e2e", folder)
        empty = support.frame_payload(support.payload_stream([]))
        with open(self.target.report_child, "rb") as f:
            report_child = support.frame_payload(support.payload_stream(
                [("report_child" + self.target.suffix, f.read())]))
        cases = [("no file", empty, b"Error, attached data holds no files.\n"),
                 ("wrong magic", b"QDZ" + report_child[3:], b"Error, couldn't find attached data header.\n")]
        for what, payload, message in cases:
            with self.subTest(what):
                result = self.target.run(self.by_hand(payload, template))
                self.assertEqual(result.exit_code, 2, result)
                self.assertEqual(result.stdout.replace(b"\r\n", b"\n"), message)
                self.assertIsNone(result.report)
        # Where the target directory would be: beside the {TEMP} of a run that works.
        working = self.target.run(self.by_hand(report_child, self.template("{TEMP}", "zovari-e2e", "ok")))
        self.assertRanReportChild(working)
        temp = os.path.dirname(os.path.dirname(self.target.unix(working.report["executable"])))
        self.assertFalse(os.path.exists(os.path.join(temp, folder)))

    def test_template_that_cannot_be_expanded(self):
        template = self.template("{TEMP}", "{NO_SUCH_TOKEN}")
        with open(self.target.report_child, "rb") as f:
            payload = support.frame_payload(support.payload_stream(
                [("report_child" + self.target.suffix, f.read())]))
        result = self.target.run(self.by_hand(payload, template))
        self.assertEqual(result.exit_code, self.abort_exit_code, result)
        self.assertEqual(result.stderr.replace(b"\r\n", b"\n").decode(),
                         "Error, couldn't runtime expand spec '%s'.\n" % template)
        self.assertIsNone(result.report)

    def test_folder_above_that_another_account_owns(self):
        """Every folder above the target must be the user's or the system's
        (on Linux root's): one that another account owns (Wine gives a folder
        of another Unix user an account of its own) is refused before anything
        is made in it, and so is one where others may delete or rename what
        it holds (Wine shows mode 0777 as Everyone's right to do so)."""
        for change, why in ((lambda path: os.chown(path, 65534, 65534), "owned by another user"),
                            (lambda path: os.chmod(path, 0o777), "others can write to it")):
            with self.subTest(why):
                theirs = os.path.join(self.work, self.fresh_name())
                os.makedirs(theirs)
                change(theirs)
                template = self.template(self.target.native(theirs), "app", "{VERSION}")
                result = self.target.run(self.report_child_launcher(template=template))
                self.assertEqual(result.exit_code, 2, result)
                self.assertIsNone(result.report)
                self.assertEqual(result.stderr.replace(b"\r\n", b"\n").decode(),
                                 "Error, unsafe target directory '%s' (%s).\n"
                                 % (self.target.native(theirs), why))
                self.assertEqual(os.listdir(theirs), [])
            with self.subTest("after quick starts, " + why):
                # A stamp vouches for the files, not for the folders above
                # them: a quick start judges the chain as a full one does.
                ours = os.path.join(self.work, self.fresh_name())
                os.makedirs(ours)
                template = self.template(self.target.native(ours), "app", "{VERSION}")
                launcher = self.report_child_launcher(template=template, options=("--quick-start",))
                for run in (self.target.run, self.stamping_run, self.target.run):
                    self.assertRanReportChild(run(launcher))
                change(ours)
                result = self.target.run(launcher)
                self.assertEqual(result.exit_code, 2, result)
                self.assertIsNone(result.report)
                self.assertEqual(result.stderr.replace(b"\r\n", b"\n").decode(),
                                 "Error, unsafe target directory '%s' (%s).\n"
                                 % (self.target.native(ours), why))


class LinuxLaunchers(LauncherTests, unittest.TestCase):
    exit_codes = (0, 3, 200)
    # The name the lock file once had, as a folder: the lock file then stood in its way.
    lock_name_file = ".zovari-onefile.lock/inside.txt"
    abort_exit_code = -signal.SIGABRT

    @classmethod
    def make_target(cls, work):
        report_child = os.environ.get("ZOVARI_E2E_REPORT_CHILD")
        if not report_child or not os.path.exists(report_child):
            raise unittest.SkipTest("no native report child (ZOVARI_E2E_REPORT_CHILD)")
        return support.LinuxTarget(work, report_child)

    def waiting_launcher(self, template, version, options):
        """A launcher of the product "Cleaned" whose program runs until the file
        its first argument names exists."""
        script = b'#!/bin/sh\necho held\nwhile [ ! -e "$1" ]; do sleep 0.02; done\n'
        return self.packer.build({"bin/wait": script}, "bin/wait", self.launcher_path(), template=template,
                                 product="Cleaned", version=version, options=options)

    @contextlib.contextmanager
    def waiting_start(self, launcher):
        """Runs the waiting launcher's program for the time of the block."""
        release = os.path.join(self.work, self.fresh_name() + ".release")
        process = subprocess.Popen([launcher, release], env=self.target.environment(), stdout=subprocess.PIPE)
        try:
            self.assertEqual(process.stdout.readline().strip(), b"held")
            yield
        finally:
            open(release, "w").close()
            process.communicate(timeout=support.RUN_LIMIT)
        self.assertEqual(process.returncode, 0)


    def quick_start_changes(self, stamp):
        """The stamp's owner and mode count, as the folder's do."""
        return [("stamp owned by another user", lambda: os.chown(stamp, 65534, 65534)),
                ("stamp that others can write", lambda: os.chmod(stamp, 0o622))]

    def await_report(self, process, report):
        # The report child writes its report once it runs; then it waits for a signal.
        for _ in range(1200):
            if os.path.exists(report) or process.poll() is not None:
                break
            time.sleep(0.05)
        self.assertTrue(os.path.exists(report), "the report child never ran")

    def started_report_child(self, mode, launcher=None):
        """A launcher whose report child runs and waits for a signal; the report child is
        ended after the test whatever happens to the launcher."""
        process, report = self.target.start(launcher or self.report_child_launcher(),
                                            {"ZOVARI_REPORT_CHILD_SIGNAL": mode})
        self.addCleanup(_finish, process)
        self.await_report(process, report)
        self.addCleanup(_kill_if_alive, support.read_report(report)["pid"])
        return process, report

    def test_quick_start_killed_while_stamping(self):
        """A start killed at any point of writing its stamp: the next start
        is correct and stamps again, and the one after it is quick."""
        launcher = self.report_child_launcher(extra_files={"data.txt": b"data\n"},
                                              options=("--quick-start",))
        cold = self.target.run(launcher)
        self.assertRanReportChild(cold)
        root = os.path.dirname(os.path.dirname(cold.report["executable"]))
        stamp = root + ".zovari-quick-start"
        for call in ("openat", "write", "rename"):
            with self.subTest("killed as " + call + " returns"):
                if os.path.exists(stamp):
                    os.remove(stamp)
                log = os.path.join(self.work, self.fresh_name() + ".log")
                with open(log, "w"):
                    pass
                tracer = subprocess.Popen(
                    ["strace", "-f", "-qq", "-o", log, "-P", stamp + ".new", "-e", "trace=" + call,
                     "-e", "inject=%s:delay_exit=5000000" % call, launcher],
                    cwd=self.work, env=self.target.environment(), stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE)
                self.addCleanup(_finish, tracer)
                while tracer.poll() is None:
                    with open(log) as f:
                        if call + "(" in f.read():
                            break
                    time.sleep(0.01)
                with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as f:
                    os.kill(int(f.read().split()[0]), signal.SIGKILL)
                tracer.communicate(timeout=support.RUN_LIMIT)
                self.assertRanReportChild(self.stamping_run(launcher))
                with open(os.path.join(root, "data.txt"), "rb") as f:
                    self.assertEqual(f.read(), b"data\n")
                stamped = os.stat(stamp).st_ino
                self.assertRanReportChild(self.target.run(launcher))
                self.assertEqual(os.stat(stamp).st_ino, stamped, "the next start was not quick")

    def test_clean_cache_race_with_a_start_of_the_build_it_removes(self):
        """A start of the old build that begins while a new build's launcher has
        taken the old folder's record and is about to set the folder aside
        (its renames in that folder held back by strace) waits for it, and runs from a new,
        whole folder, never from the one being removed."""
        base = os.path.join(self.work, self.fresh_name() + "-cache")
        template = self.template(base, "{VERSION}")
        clean = ("--clean-cache",)
        script = (b'#!/bin/sh\necho held\nwhile [ ! -e "$1" ]; do sleep 0.02; done\n'
                  b'exec cat "$ZOVARI_ONEFILE_TARGET_DIR/data.txt"\n')
        old = self.packer.build({"bin/wait": script, "data.txt": b"whole\n"}, "bin/wait", self.launcher_path(),
                                template=template, product="Cleaned", version="1.0", options=clean)
        release = os.path.join(self.work, self.fresh_name() + ".release")
        open(release, "w").close()
        self.assertEqual(subprocess.run([old, release], capture_output=True).stdout, b"held\nwhole\n")
        os.remove(release)
        new = self.report_child_launcher(template=template, product="Cleaned", options=clean)
        record = os.stat(os.path.join(base, "1.0.zovari-build")).st_ino
        cleaner = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-P", base,
                                    "-e", "trace=renameat2", "-e", "inject=renameat2:delay_enter=1500000", new],
                                   env=self.target.environment({"ZOVARI_REPORT_CHILD_REPORT": self.target.report_path()}),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: cleaner.poll() is None and cleaner.kill())
        for _ in range(1200):
            with open("/proc/locks") as f:
                if any("FLOCK" in line and "WRITE" in line and line.split()[5].split(":")[-1] == str(record)
                       for line in f):
                    break
            time.sleep(0.01)
        else:
            self.fail("the new build's launcher never took the old folder's record")
        starter = subprocess.Popen([old, release], stdout=subprocess.PIPE)
        self.assertEqual(starter.stdout.readline(), b"held\n")
        self.assertEqual(cleaner.wait(timeout=support.RUN_LIMIT), 0)
        open(release, "w").close()
        self.assertEqual(starter.communicate(timeout=support.RUN_LIMIT)[0], b"whole\n")
        self.assertEqual(starter.returncode, 0)
        # Another account's folder, or one beside another account's record,
        # is never set aside, whatever the record says.
        for name, owned in (("theirs", ""), ("theirs-record", ".zovari-build")):
            os.makedirs(os.path.join(base, name, "inside"))
            shutil.copyfile(os.path.join(base, "1.0.zovari-build"), os.path.join(base, name + ".zovari-build"))
            os.chown(os.path.join(base, name + owned), 65534, 65534)
        self.assertRanReportChild(self.target.run(new))
        self.assertEqual(sorted(os.listdir(base)),
                         ["1.0.0", "1.0.0.zovari-build", "theirs", "theirs-record", "theirs-record.zovari-build",
                          "theirs.zovari-build"])
        # A folder of one start that a killed start left goes at the next
        # start of the same build, once no launcher holds it.
        per_start = os.path.join(self.work, self.fresh_name() + "-cache")
        killed = self.packer.build({"bin/main": b'#!/bin/sh\n[ -e "$1" ] || kill -9 $ZOVARI_ONEFILE_PARENT\n'},
                                   "bin/main", self.launcher_path(), template=self.template(per_start, "{PID}"),
                                   product="Cleaned", options=clean)
        self.assertEqual(subprocess.run([killed, release + ".missing"]).returncode, -signal.SIGKILL)
        left = os.listdir(per_start)
        self.assertEqual(len(left), 2, left)
        self.assertEqual(subprocess.run([killed, release]).returncode, 0)
        self.assertFalse(set(left) & set(os.listdir(per_start)), left)

    def test_child_ended_by_a_signal(self):
        """A child that a signal ends ends the launcher by the same signal, as
        its parent would see a direct start end, and the launcher leaves no
        core of its own where cores are written.  Signal 32, which the C
        library keeps for itself, ends it too."""
        launcher = self.report_child_launcher()
        for number in (signal.SIGKILL, signal.SIGSEGV, 32):
            with self.subTest(signal=number):
                process, report = self.target.start(
                    launcher, {"ZOVARI_REPORT_CHILD_RAISE": str(int(number))},
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2))
                self.addCleanup(_finish, process)
                _, status = os.waitpid(process.pid, 0)
                process.returncode = os.waitstatus_to_exitcode(status)
                self.assertIsNotNone(support.read_report(report), "the report child did not run")
                self.assertEqual(process.returncode, -number)
                self.assertFalse(os.WCOREDUMP(status), "the launcher dumped a core")

    def test_interrupt_typed_at_the_terminal(self):
        """Ctrl+C on the launcher's terminal reaches launcher and child alike; the
        child ends by itself, the launcher by the interrupt.  Built with
        --pass-interrupts, the launcher leaves the interrupt to a child that
        handles it and goes on past the grace period, and ends with its exit
        code; a SIGQUIT sent to the launcher alone is passed on to the child,
        while a SIGTERM still ends both."""
        launcher = self.report_child_launcher()
        leader, terminal = os.openpty()
        try:
            process, report = self.target.start(launcher, {"ZOVARI_REPORT_CHILD_SIGNAL": "exit"},
                                                stdin=terminal, preexec_fn=_take_the_terminal)
            os.close(terminal)
            terminal = None
            self.await_report(process, report)
            os.write(leader, b"\x03")
            process.communicate(timeout=support.RUN_LIMIT)
        finally:
            os.close(leader)
            if terminal is not None:
                os.close(terminal)
        self.assertEqual(process.returncode, -signal.SIGINT)
        with open(report + ".signal") as f:
            self.assertEqual(f.read().strip(), str(int(signal.SIGINT)))

        # A child that handles an interrupt or a quit and ends when told to, with 5.
        script = (b'#!/bin/sh\nr=$ZOVARI_REPORT_CHILD_REPORT\n'
                  b'trap \'echo interrupted >> "$r.int"\' INT QUIT\necho $$ > "$r.ready"\n'
                  b'while [ ! -e "$r.go" ]; do sleep 0.05; done\nexit 5\n')
        passing = self.launcher_path()
        self.packer.build({"main": script}, "main", passing, options=("--pass-interrupts",),
                          template=self.template("{TEMP}", "zovari-e2e", self.fresh_name()))
        for how in ("terminal", "launcher alone", "SIGTERM"):
            with self.subTest(how):
                leader, terminal = os.openpty()
                try:
                    process, report = self.target.start(passing, {}, stdin=terminal,
                                                        preexec_fn=_take_the_terminal)
                    self.addCleanup(_finish, process)
                    os.close(terminal)
                    terminal = None
                    for _ in range(1200):
                        if os.path.exists(report + ".ready") or process.poll() is not None:
                            break
                        time.sleep(0.05)
                    with open(report + ".ready") as f:
                        self.addCleanup(_kill_if_alive, int(f.read()))
                    if how == "terminal":
                        os.write(leader, b"\x03")
                    else:
                        process.send_signal(signal.SIGQUIT if how == "launcher alone" else signal.SIGTERM)
                    if how == "SIGTERM":
                        process.wait(timeout=support.RUN_LIMIT)
                        self.assertEqual(process.returncode, -signal.SIGTERM)
                        continue
                    for _ in range(1200):
                        if os.path.exists(report + ".int") or process.poll() is not None:
                            break
                        time.sleep(0.05)
                    # Past the grace period both still run: no deadline.
                    time.sleep(CHILD_GRACE_SECONDS + 1)
                    self.assertIsNone(process.poll(), "the launcher did not wait for its child")
                    open(report + ".go", "w").close()
                    process.wait(timeout=support.RUN_LIMIT)
                finally:
                    os.close(leader)
                    if terminal is not None:
                        os.close(terminal)
                self.assertEqual(process.returncode, 5)
                with open(report + ".int") as f:
                    self.assertEqual(f.read(), "interrupted\n")

    def test_signal_reaches_a_child_that_ends_by_itself(self):
        """Each console signal sent to the launcher alone reaches the child,
        which ends at once; then the launcher ends by that signal."""
        launcher = self.report_child_launcher()
        for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM):
            with self.subTest(signal=number.name):
                process, report = self.started_report_child("exit", launcher)
                process.send_signal(number)
                # Not communicate(): a child that the signal missed keeps the
                # pipes open for a minute.
                process.wait(timeout=support.RUN_LIMIT)
                self.assertEqual(process.returncode, -number)
                self.assertTrue(os.path.exists(report + ".signal"), "the child never got it")
                with open(report + ".signal") as f:
                    self.assertEqual(f.read().strip(), str(int(number)))

    def test_child_that_ignores_the_signal_is_ended(self):
        """When the grace period runs out the launcher ends the child, removes
        the folder the start made for itself, and then ends itself: all within
        the period and a margin for a busy machine."""
        per_start = self.template("{TEMP}", "zovari-e2e", self.fresh_name(), "{RANDOM}")
        process, report = self.started_report_child(
            "ignore", self.report_child_launcher(template=per_start, options=("--clean-cache",)))
        child = support.read_report(report)["pid"]
        unpacked = os.path.dirname(os.path.dirname(support.read_report(report)["executable"]))
        limit = CHILD_GRACE_SECONDS + 3
        deadline = time.monotonic() + limit
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.fail("the launcher outlived the grace period by more than 3 s")
        self.assertEqual(process.returncode, -signal.SIGTERM)
        # The kill may still be on its way when the launcher is gone; only a
        # zombie (or nothing) may be left by the deadline.
        while _alive(child) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(_alive(child), "the child outlived the grace period")
        self.assertFalse(os.path.exists(report + ".signal"))
        self.assertFalse(os.path.exists(unpacked))


    def test_folder_of_each_start_goes_without_following_links(self):
        """What the application leaves in its folder of one start goes with
        it: a link by itself, never what it leads to; a folder of another
        file system mounted there is left whole.  A folder that the start
        found already stays."""
        outside = os.path.join(self.work, self.fresh_name())
        os.makedirs(os.path.join(outside, "folder"))
        with open(os.path.join(outside, "folder", "kept.txt"), "w") as f:
            f.write("kept")
        script = (b'#!/bin/sh\nhere=$ZOVARI_ONEFILE_TARGET_DIR\n'
                  b'ln -s "$1/folder" "$here/data/to-folder"\nln -s "$1/folder/kept.txt" "$here/to-file"\n'
                  b'mkdir -p "$here/made/deeper" && echo x > "$here/made/deeper/x"\n'
                  b'mkdir "$here/mounted" && mount --bind "$1/folder" "$here/mounted"\n'
                  b'echo "$here" > "$1/where"\nexit 4\n')
        name = self.fresh_name()
        launcher = self.launcher_path()
        self.packer.build({"bin/main": script, "data/readme.txt": b"read me\n"}, "bin/main", launcher,
                          template=self.template("{TEMP}", "zovari-e2e", name, "{TIME}{PID}"),
                          options=("--clean-cache",))
        # A mount namespace of its own, so that the mount goes with the test.
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", launcher, outside],
                              env=self.target.environment(), capture_output=True, timeout=support.RUN_LIMIT)
        self.assertEqual(done.returncode, 4, done)
        with open(os.path.join(outside, "where")) as f:
            where = f.read().strip()
        self.assertEqual(os.path.dirname(where), os.path.join(self.target.temp, "zovari-e2e", name))
        # The mount ended with its namespace; the folder it stood on stayed.
        self.assertEqual(self.unpacked_names(where), {"mounted"})
        with open(os.path.join(outside, "folder", "kept.txt")) as f:
            self.assertEqual(f.read(), "kept")
        # In a process id namespace of its own the launcher is process 1, so
        # the folder its {PID} names can be there before it starts.
        found = os.path.join(self.target.temp, "zovari-e2e", self.fresh_name())
        os.makedirs(os.path.join(found, "1"))
        self.packer.build({"bin/main": b"#!/bin/sh\nexit 6\n"}, "bin/main", launcher,
                          template=self.template(found, "{PID}"), options=("--clean-cache",))
        done = subprocess.run(["unshare", "--pid", "--fork", launcher], env=self.target.environment(),
                              capture_output=True, timeout=support.RUN_LIMIT)
        self.assertEqual(done.returncode, 6, done)
        self.assertEqual(self.unpacked_names(found), {"1", "1/bin", "1/bin/main"})
        self._removal_as_a_user_and_after_a_swap(launcher)

    def _removal_as_a_user_and_after_a_swap(self, launcher):
        """As a user (root may search any folder): a folder the child left
        readable but not searchable stays, the rest goes, and the launcher
        ends with the child's exit code; no lock file is left in the runtime
        folder.  The parents a start made go with its folder when they are
        empty.  A child that moved its folder's parent away and put a link
        to another folder in its place has nothing removed there."""
        user = 65534
        shared = tempfile.mkdtemp(prefix="zovari-removal.")
        self.addCleanup(subprocess.run, ["rm", "-rf", shared])
        runtime = os.path.join(shared, "runtime")
        os.makedirs(runtime)
        os.chmod(runtime, 0o700)
        for path in (shared, runtime):
            os.chown(path, user, user)
        os.chmod(shared, 0o755)
        script = (b'#!/bin/sh\nhere=$ZOVARI_ONEFILE_TARGET_DIR\n'
                  b'mkdir "$here/locked" && echo x > "$here/locked/x" && chmod 0600 "$here/locked"\nexit 3\n')
        self.packer.build({"bin/main": script, "data/readme.txt": b"read me\n"}, "bin/main", launcher,
                          template="{TEMP}/made/{RANDOM}/app", options=("--clean-cache",))
        os.chmod(launcher, 0o755)
        env = self.target.environment(extra={"TMPDIR": shared, "HOME": shared, "XDG_RUNTIME_DIR": runtime})
        as_user = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups", launcher]
        done = subprocess.run(as_user, env=env, capture_output=True, timeout=support.RUN_LIMIT,
                              preexec_fn=support._default_console_signals)
        self.assertEqual(done.returncode, 3, done)
        [random] = os.listdir(os.path.join(shared, "made"))
        self.assertEqual(self.unpacked_names(os.path.join(shared, "made", random)),
                         {"app", "app/locked", "app/locked/x"})
        self.assertEqual(os.listdir(runtime), [])
        # Without --clean-cache a start's folder stays: a helper the child
        # left running in the background still finds its files.
        helper = (b'#!/bin/sh\nhere=$ZOVARI_ONEFILE_TARGET_DIR\n'
                  b'(sleep 1; cat "$here/data/readme.txt" > "$1.new" 2>&1; mv "$1.new" "$1") </dev/null >/dev/null 2>&1 &\n'
                  b'exit 0\n')
        self.packer.build({"bin/main": helper, "data/readme.txt": b"read me\n"}, "bin/main", launcher,
                          template="{TEMP}/kept/{RANDOM}/app")
        seen = os.path.join(shared, "seen")
        done = subprocess.run(as_user + [seen], env=env, capture_output=True, timeout=support.RUN_LIMIT)
        self.assertEqual(done.returncode, 0, done)
        while not os.path.exists(seen):
            time.sleep(0.05)
        with open(seen) as f:
            self.assertEqual(f.read(), "read me\n")
        [random] = os.listdir(os.path.join(shared, "kept"))
        self.assertEqual(self.unpacked_names(os.path.join(shared, "kept", random)),
                         {"app", "app/bin", "app/bin/main", "app/data", "app/data/readme.txt"})
        # The same start whose child leaves nothing behind: no folder is left
        # of it, the parents it made included; the folder above them stays.
        self.packer.build({"bin/main": b"#!/bin/sh\nexit 5\n"}, "bin/main", launcher,
                          template="{TEMP}/fresh/{RANDOM}/app", options=("--clean-cache",))
        done = subprocess.run(as_user, env=env, capture_output=True, timeout=support.RUN_LIMIT)
        self.assertEqual(done.returncode, 5, done)
        self.assertFalse(os.path.exists(os.path.join(shared, "fresh")))
        self.assertTrue(os.path.isdir(shared))
        # The child moves {RANDOM} away and puts a link to another folder,
        # which holds an app of its own, in its place.
        other = os.path.join(shared, "other")
        os.makedirs(os.path.join(other, "app"))
        with open(os.path.join(other, "app", "kept.txt"), "w") as f:
            f.write("kept")
        swap = (b'#!/bin/sh\nrandom=$(dirname "$ZOVARI_ONEFILE_TARGET_DIR")\n'
                b'mv "$random" "$random.moved" && ln -s "$1" "$random"\nexit 7\n')
        self.packer.build({"bin/main": swap, "data/readme.txt": b"read me\n"}, "bin/main", launcher,
                          template="{TEMP}/swapped/{RANDOM}/app", options=("--clean-cache",))
        done = subprocess.run(as_user + [other], env=env, capture_output=True, timeout=support.RUN_LIMIT)
        self.assertEqual(done.returncode, 7, done)
        self.assertEqual(self.unpacked_names(other), {"app", "app/kept.txt"})
        [moved] = [n for n in os.listdir(os.path.join(shared, "swapped")) if n.endswith(".moved")]
        # What is left there is the start's record beside its folder, which
        # its removal looks for by a path that now leads through the link.
        self.assertEqual(os.listdir(os.path.join(shared, "swapped", moved)), ["app.zovari-build"])
        # A stop during a removal ends it at its next entry: each removal of a
        # file is held up for 0.1 s, and the launcher ends by the signal long
        # before the 100 files could be gone (in 10 s, within the removal's
        # own bound of 30 s).
        self.packer.build(dict({"bin/main": b"#!/bin/sh\necho $PPID > \"$1\"\nexit 0\n"},
                               **{"filler/%03d" % i: b"x" for i in range(100)}),
                          "bin/main", launcher, template="{TEMP}/stopped/{RANDOM}", options=("--clean-cache",))
        log, launcher_pid = os.path.join(shared, "strace.log"), os.path.join(shared, "launcher.pid")
        process = subprocess.Popen(["strace", "-f", "-qq", "-o", log, "-e", "trace=unlinkat",
                                    "-e", "inject=unlinkat:delay_exit=100000"] + as_user + [launcher_pid],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=support._default_console_signals)
        self.addCleanup(_finish, process)
        while process.poll() is None and not (os.path.exists(log) and "filler" in open(log).read()):
            time.sleep(0.01)
        with open(launcher_pid) as f:
            os.kill(int(f.read()), signal.SIGTERM)
        process.communicate(timeout=support.RUN_LIMIT)
        self.assertEqual(process.returncode, -signal.SIGTERM)
        [random] = os.listdir(os.path.join(shared, "stopped"))
        self.assertTrue(os.listdir(os.path.join(shared, "stopped", random, "filler")))

    def test_started_by_a_parent_that_ignores_child_signals(self):
        """A daemon's ignored SIGCHLD, inherited across exec, must not cost the
        launcher its child's exit code; the child inherits the same disposition,
        and so an ignored hangup (nohup) too."""
        script = (b"#!/usr/bin/python3\nimport os, signal, sys\n"
                  b"ignored = [signal.getsignal(s) == signal.SIG_IGN for s in (signal.SIGCHLD, signal.SIGHUP)]\n"
                  b"open(os.environ['SEEN'], 'w').write(' '.join('ignored' if i else 'default' for i in ignored))\n"
                  b"sys.exit(7)\n")
        launcher = self.launcher_path()
        self.packer.build({"bin/main": script}, "bin/main", launcher,
                          template=self.template("{TEMP}", "zovari-e2e", self.fresh_name()))
        seen = os.path.join(self.work, "sigchld-seen")
        for disposition, expected in ((signal.SIG_IGN, "ignored"), (signal.SIG_DFL, "default")):
            with self.subTest(expected):
                def prepare():
                    support._default_console_signals()
                    signal.signal(signal.SIGCHLD, disposition)
                    signal.signal(signal.SIGHUP, disposition)
                done = subprocess.run([launcher], env=self.target.environment(extra={"SEEN": seen}),
                                      capture_output=True, timeout=support.RUN_LIMIT,
                                      preexec_fn=prepare)
                self.assertEqual(done.returncode, 7, done)
                with open(seen) as f:
                    self.assertEqual(f.read(), expected + " " + expected)

    def test_child_gets_what_a_direct_start_gives(self):
        """Blocked signals, closed standard descriptors and an ignored SIGXFSZ
        reach the child as a direct start passes them on.  What the launcher
        meets itself on the way (a file size limit, no standard descriptors, a
        file cut short) ends it with its message and exit code 2, and its
        lines never land in a file."""
        # Builtins only: a shell that forks may block signals meanwhile.  (The
        # shell takes SIGCHLD for itself: the test above checks that one.)
        script = (b"#!/bin/sh\nopen=\nfor fd in 0 1 2; do\n"
                  b"  if [ -e /proc/$$/fd/$fd ]; then open=\"$open $fd\"; fi\ndone\n"
                  b"while read -r name value; do\n"
                  b"  case $name in SigBlk:|SigIgn:) echo \"$name $value\";; esac\n"
                  b"done < /proc/$$/status > \"$SEEN\"\n"
                  b"echo \"open:$open\" >> \"$SEEN\"\nexit 7\n")
        direct = os.path.join(self.work, "direct-main")
        with open(direct, "wb") as f:
            f.write(script)
        os.chmod(direct, 0o755)
        folder = self.fresh_name()
        target = os.path.join(self.target.temp, "zovari-e2e", folder)
        launcher = self.launcher_path()
        big = os.urandom(200000)
        self.packer.build({"bin/main": script, "big.bin": big}, "bin/main", launcher,
                          template=self.template("{TEMP}", "zovari-e2e", folder))
        seen = os.path.join(self.work, "direct-seen")

        def start(program, setup, capture=True):
            def prepare():
                support._default_console_signals()
                setup()
            return subprocess.run([program], env=self.target.environment(extra={"SEEN": seen}),
                                  stdout=subprocess.PIPE if capture else None,
                                  stderr=subprocess.PIPE if capture else None,
                                  timeout=support.RUN_LIMIT, preexec_fn=prepare)

        def close_standard_descriptors():
            for fd in (0, 1, 2):
                os.close(fd)

        blocked = {signal.SIGUSR1, signal.SIGUSR2, signal.SIGWINCH}
        given = {"nothing": lambda: None,
                 "blocked signals": lambda: signal.pthread_sigmask(signal.SIG_BLOCK, blocked),
                 "closed standard descriptors": close_standard_descriptors,
                 "ignored SIGXFSZ": lambda: signal.signal(signal.SIGXFSZ, signal.SIG_IGN)}
        for what, setup in given.items():
            with self.subTest(what):
                views = []
                for program in (direct, launcher):
                    done = start(program, setup, capture=what != "closed standard descriptors")
                    self.assertEqual(done.returncode, 7, done)
                    with open(seen) as f:
                        views.append(f.read())
                self.assertEqual(views[1], views[0])

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(big) // 2, len(big) // 2))

        def files_holding(folder, text):
            found = []
            for root, _, names in os.walk(folder):
                for name in names:
                    with open(os.path.join(root, name), "rb") as f:
                        if text in f.read():
                            found.append(name)
            return found

        with self.subTest("file size limit"):
            shutil.rmtree(target)
            done = start(launcher, limit_file_size)
            self.assertEqual(done.returncode, 2, done)
            self.assertEqual(done.stderr.decode(), "Error, couldn't unpack file to target path. "
                             "([Error %d] %s)\n" % (errno.EFBIG, os.strerror(errno.EFBIG)))
        with self.subTest("file size limit, no standard descriptors"):
            shutil.rmtree(target)
            done = start(launcher, lambda: (close_standard_descriptors(), limit_file_size()), capture=False)
            self.assertEqual(done.returncode, 2, done)
            self.assertEqual(files_holding(target, b"Error,"), [])
        small = self.launcher_path()
        self.packer.build({"bin/main": script}, "bin/main", small, template=self.template("{TEMP}", "zovari-e2e", folder))
        with open(launcher, "rb") as f:
            whole = f.read()
        with open(small, "rb") as f:
            small_whole = f.read()
        payload = whole.index(b"QDY\x28\xb5\x2f\xfd")
        length, = struct.unpack_from("<Q", whole, whole.rindex(b"ZovariBuildArea\0", 0, payload) + 32)
        # Inside the build area's last page the kernel gives zeros for what the
        # file lacks: the payload's trailer then reads as 0, or as its first
        # bytes, and a small launcher's whole area may lie in that page.
        last_page = (payload + length - 1) // 4096 * 4096
        small_area = small_whole.rindex(b"ZovariBuildArea\0")
        for where, data, end in (("in the payload", whole, payload + len(big) // 2),
                                 ("in its last page", whole, last_page + 1),
                                 ("in its trailer", whole, payload + length - 7),
                                 ("in a small launcher's head", small_whole, small_area + 20)):
            with self.subTest("file cut short " + where):
                cut = os.path.join(self.work, "cut-short")
                with open(cut, "wb") as f:
                    f.write(data[:end])
                os.chmod(cut, 0o755)
                done = start(cut, lambda: None)
                self.assertEqual(done.returncode, 2, done)
                self.assertEqual(done.stdout, b"Error, launcher file is incomplete "
                                 b"(cut short, as by an interrupted download).\n")
        with self.subTest("no /proc, as in a plain chroot"):
            # The launcher's own path then comes from the path it was
            # executed by, made absolute against the current folder; where
            # that cannot be had either (a current folder too deep for
            # getcwd), the start says so before anything is written.
            reporting = self.report_child_launcher()
            report = self.target.report_path()
            without_proc = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                            'umount -l /proc && cd "$1" && exec ./run', "sh"]
            done = subprocess.run(without_proc + [os.path.dirname(reporting)],
                                  env=self.target.environment(extra={"ZOVARI_REPORT_CHILD_REPORT": report}),
                                  capture_output=True, timeout=support.RUN_LIMIT)
            self.assertEqual(done.returncode, 0, done)
            seen = support.read_report(report)
            self.assertEqual(seen["argv"][0], reporting)
            self.assertEqual(seen["environment"]["ZOVARI_ONEFILE_DIRECTORY"], os.path.dirname(reporting))
            deep = os.path.join(self.work, self.fresh_name())
            os.makedirs(deep)
            folder = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
            for _ in range(24):  # 4,800 bytes below it, past PATH_MAX
                os.mkdir("d" * 200, dir_fd=folder)
                inner = os.open("d" * 200, os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
                os.close(folder)
                folder = inner
            with open(reporting, "rb") as f:
                copied = os.open("run", os.O_WRONLY | os.O_CREAT, 0o755, dir_fd=folder)
                os.write(copied, f.read())
                os.close(copied)
            os.close(folder)
            enter = ("import os, sys\nos.chdir(sys.argv[1])\nfor _ in range(24): os.chdir('d' * 200)\n"
                     "os.execv('./run', ['./run'])\n")
            unpacked = seen["environment"]["ZOVARI_ONEFILE_TARGET_DIR"]
            shutil.rmtree(unpacked)
            done = subprocess.run(without_proc[:-2] + ['umount -l /proc && exec /usr/bin/python3 -c "$1" "$2"',
                                                     "sh", enter, deep],
                                  env=self.target.environment(), capture_output=True,
                                  timeout=support.RUN_LIMIT)
            self.assertEqual(done.returncode, 2, done)
            self.assertEqual(done.stdout, b"Error, couldn't find the launcher's own file.\n", done)
            self.assertFalse(os.path.exists(unpacked))

    def test_system_python_with_its_standard_library(self):
        """The system's Python packed as the README shows: the interpreter in
        bin/, a part of its standard library in lib/ as it comes (its .pyc
        files compiled by time, its links to /etc left out), compiled again
        by hash, the libraries of the interpreter and of its extension modules
        with the loader in lib/, the application a module that a small script
        starts through the loader (Python finds its library from its argument
        0).  It runs, and its second start writes nothing."""
        python = "/usr/bin/python3"
        if not os.path.exists(python):
            self.skipTest("no system Python")
        stdlib = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['stdlib'])"],
                                capture_output=True, check=True, text=True).stdout.strip()
        app = os.path.join(self.work, self.fresh_name(), "app")
        lib = os.path.join(app, "lib", os.path.basename(stdlib))
        os.makedirs(os.path.join(app, "bin"))
        shutil.copy2(python, os.path.join(app, "bin", "python3"))
        os.makedirs(lib)
        for name in os.listdir(stdlib):
            if name.endswith(".py") and name != "sitecustomize.py":  # a link to /etc
                shutil.copy2(os.path.join(stdlib, name), lib)
        for package in ("encodings", "collections", "importlib", "json", "re", "xml", "lib-dynload"):
            if os.path.isdir(os.path.join(stdlib, package)):
                shutil.copytree(os.path.join(stdlib, package), os.path.join(lib, package))
        libraries = set()
        for program in [os.path.join(app, "bin", "python3")] + [
                os.path.join(lib, "lib-dynload", name) for name in os.listdir(os.path.join(lib, "lib-dynload"))]:
            for line in subprocess.run(["ldd", program], capture_output=True, text=True).stdout.splitlines():
                words = line.split()
                if len(words) > 2 and words[2].startswith("/"):
                    libraries.add(words[2])
                elif "ld-linux" in line:
                    libraries.add(words[0])
        for library in libraries:
            shutil.copy(library, os.path.join(app, "lib"))
        os.makedirs(os.path.join(lib, "hello_pkg"))
        open(os.path.join(lib, "hello_pkg", "__init__.py"), "w").close()  # empty, as many are
        with open(os.path.join(lib, "hello_app.py"), "w") as f:
            f.write("import json, sys, hello_pkg, xml.parsers.expat\n"
                    "print(json.dumps({'prefix': sys.prefix, 'args': sys.argv[1:]}))\n")
        with open(os.path.join(app, "run"), "w") as f:
            f.write('#!/bin/sh\nhere=$(dirname "$0")\nexec "$here/lib/ld-linux-x86-64.so.2" --library-path "$here/lib" '
                    '"$here/bin/python3" -I -m hello_app "$@"\n')
        os.chmod(os.path.join(app, "run"), 0o755)
        subprocess.run([python, "-m", "compileall", "-q", "-f", "--invalidation-mode", "unchecked-hash", lib],
                       check=True)
        launcher = self.launcher_path("hello")
        target = self.template("{TEMP}", "zovari-e2e", self.fresh_name(), "{VERSION}")
        runtime = ["--runtime", self.packer.runtime] if self.packer.runtime else []
        packed = subprocess.run([PACK, "build", "--input", app, "--main", "run", "--output", launcher,
                                 "--level", "3", "--template", target] + runtime,
                                capture_output=True, text=True, check=True)
        self.assertNotIn("warning", packed.stderr)

        cold = self.target.run(launcher, ["a", "b c"])
        self.assertEqual(cold.exit_code, 0, cold)
        shown = json.loads(cold.stdout)
        self.assertEqual(shown["args"], ["a", "b c"])
        unpacked = shown["prefix"]
        self.assertTrue(unpacked.startswith(self.target.temp), unpacked)
        # Every file there, Python's own new .pyc files among them, keeps its
        # modification time: the sources keep theirs, so Python's files stay
        # current, and the packed .pyc files are checked by hash.
        def times():
            return {os.path.join(root, name): os.lstat(os.path.join(root, name)).st_mtime_ns
                    for root, _, names in os.walk(unpacked) for name in names}
        before = times()
        warm = self.target.run(launcher, ["again"])
        self.assertEqual(warm.exit_code, 0, warm)
        self.assertEqual(json.loads(warm.stdout)["args"], ["again"])
        self.assertEqual(times(), before, "the warm start wrote files")

    def test_interpreters_find_their_script(self):
        """The README's recipe for an interpreter and its script: the
        interpreter with its libraries and the system's loader, started by a
        small script, the script named with {TARGET_DIR}.  Started from another
        folder, Lua, Node and Python (by a script's path and with -m) each find
        their script in the folder unpacked and get the launcher's arguments."""
        stdlib = "/usr/lib/python3.11"
        python_files = {}
        if os.path.isdir(stdlib):
            for name in os.listdir(stdlib):
                if name.endswith(".py"):
                    python_files["lib/python3.11/" + name] = os.path.join(stdlib, name)
            for package in ("encodings", "importlib", "collections", "re"):
                for root, folders, names in os.walk(os.path.join(stdlib, package)):
                    folders[:] = [f for f in folders if f != "__pycache__"]
                    for name in names:
                        path = os.path.join(root, name)
                        python_files["lib/python3.11/" + os.path.relpath(path, stdlib)] = path
        show = b"print('\\t'.join([__file__] + sys.argv[1:]))\n"
        table = [
            ("lua", "/usr/bin/lua5.4", {"app.lua": b"print(arg[0], ...)\n"}, ["{TARGET_DIR}/app.lua"], "app.lua"),
            ("node", "/usr/bin/node",
             {"main.js": b"console.log([__filename, ...process.argv.slice(2)].join('\\t'))\n"},
             ["{TARGET_DIR}/main.js"], "main.js"),
            ("python3", "/usr/bin/python3.11", dict(python_files, **{"hello.py": b"import sys\n" + show}),
             ["-I", "{TARGET_DIR}/hello.py"], "hello.py"),
            ("python3", "/usr/bin/python3.11",
             dict(python_files, **{"lib/python3.11/hello.py": b"import sys\n" + show}),
             ["-I", "-m", "hello"], "lib/python3.11/hello.py"),
        ]
        elsewhere = os.path.join(self.work, "elsewhere")
        os.makedirs(elsewhere, exist_ok=True)
        for name, interpreter, files, fixed, script in table:
            with self.subTest(" ".join([name] + fixed)):
                if not os.path.exists(interpreter):
                    self.skipTest("no %s (scripts/setup.sh installs it)" % interpreter)
                files = dict(files, **{"bin/" + name: interpreter, "run": (
                    b'#!/bin/sh\nhere=$(dirname "$0")\nexec "$here/lib/ld-linux-x86-64.so.2" '
                    b'--library-path "$here/lib" "$here/bin/%s" "$@"\n' % name.encode())})
                libraries = subprocess.run(["ldd", interpreter], capture_output=True, text=True,
                                           check=True).stdout
                for line in libraries.splitlines():
                    words = line.split()
                    path = words[2] if "=>" in words and len(words) > 2 else words[0]
                    if path.startswith("/"):
                        files["lib/" + os.path.basename(path)] = os.path.realpath(path)
                launcher = self.launcher_path(name)
                self.packer.build(files, "run", launcher, product=name, template=None,
                                  options=[o for a in fixed for o in ("--arg", a)])
                result = self.target.run(launcher, ["a", "b c"], cwd=elsewhere)
                self.assertEqual(result.exit_code, 0, result)
                shown = result.stdout.decode().rstrip("\n").split("\t")
                self.assertEqual(shown[1:], ["a", "b c"])
                self.assertTrue(shown[0].startswith(self.target.cache + "/" + name + "/1.0.0-"), shown[0])
                self.assertTrue(shown[0].endswith("/" + script), shown[0])
                self.assertTrue(os.path.isfile(shown[0]))

    def test_shared_folder_that_others_control(self):
        """A user (uid 65534) whose template points into a shared folder: what
        another user (uid 65533) made there is refused, and planted links are
        replaced, never written through."""
        user, other = 65534, 65533
        shared = tempfile.mkdtemp(prefix="zovari-shared.")
        self.addCleanup(shutil.rmtree, shared, ignore_errors=True)
        os.chmod(shared, 0o1777)  # as /tmp is
        launcher = os.path.join(shared, "run")
        self.packer.build({"bin/report_child": self.target.report_child, "data.txt": b"payload data\n"},
                          "bin/report_child", launcher, template="{TEMP}/app")
        os.chmod(launcher, 0o755)

        def folder(path, owner, mode):
            os.makedirs(path)
            os.chown(path, owner, owner)
            os.chmod(path, mode)
            return path

        def start_as_user(temp, uid=user, gid=user, umask=0o022, traced=(), meanwhile=None,
                          program=launcher, home=True, privileges=()):
            """Starts the launcher (or program) as uid, under strace's options traced
            if any, with setpriv's options privileges; meanwhile(process) runs while
            it does.  Without home, HOME and XDG_CACHE_HOME are unset."""
            report = os.path.join(shared, "report-%d.json" % len(os.listdir(shared)))
            env = self.target.environment(extra={"TMPDIR": temp, "HOME": shared,
                                                 "ZOVARI_REPORT_CHILD_REPORT": report})
            if not home:
                del env["HOME"], env["XDG_CACHE_HOME"]

            def prepare():
                support._default_console_signals()
                os.umask(umask)
            command = (["strace", "-f", "-qq"] + list(traced) if traced else []) + [
                "setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups"] + list(privileges) + [program]
            process = subprocess.Popen(command, cwd=shared, env=env, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, preexec_fn=prepare)
            try:
                if meanwhile:
                    meanwhile(process)
                stdout, stderr = process.communicate(timeout=support.RUN_LIMIT)
            finally:
                _finish(process)
            done = subprocess.CompletedProcess(command, process.returncode, stdout, stderr)
            return done, support.read_report(report)

        def await_in_log(process, log, text):
            """Waits until strace's log shows text: strace writes a delayed
            call's line before it holds the launcher there."""
            while process.poll() is None:
                with open(log) as f:
                    if text in f.read():
                        return
                time.sleep(0.01)

        # A start in the shared folder itself makes the target directory the
        # user's alone, and every folder it makes too.
        done, report = start_as_user(shared)
        self.assertEqual(done.returncode, 0, done)
        self.assertIsNotNone(report)
        for made in ("app", "app/bin"):
            status = os.stat(os.path.join(shared, made))
            self.assertEqual((status.st_uid, status.st_mode & 0o777), (user, 0o700), made)
        unpacked = os.path.join(shared, "app")

        def assert_refused(done, report, culprit, why):
            self.assertEqual(done.returncode, 2, done)
            self.assertIsNone(report, "the main binary ran")
            self.assertEqual(done.stderr.decode(), "Error, unsafe target directory '%s' (%s).\n" % (culprit, why))

        with self.subTest("another user's target directory, planted with the very files"):
            planted = folder(os.path.join(shared, "planted"), 0, 0o1777)
            theirs = os.path.join(planted, "app")
            shutil.copytree(unpacked, theirs)
            for root, folders, files in os.walk(theirs):
                for name in folders + files:
                    os.chown(os.path.join(root, name), other, other)
            os.chown(theirs, other, other)
            os.chmod(theirs, 0o777)
            done, report = start_as_user(planted)
            assert_refused(done, report, theirs, "owned by another user")

        with self.subTest("a folder above that others can write, without the sticky bit"):
            open_folder = folder(os.path.join(shared, "open"), 0, 0o777)
            done, report = start_as_user(open_folder)
            assert_refused(done, report, open_folder, "others can write to it")
            self.assertEqual(os.listdir(open_folder), [])

        with self.subTest("the user's own target directory that others may add to, sticky as /tmp"):
            holder = folder(os.path.join(shared, "holder"), 0, 0o755)
            sticky = folder(os.path.join(holder, "app"), user, 0o1777)
            done, report = start_as_user(holder)
            assert_refused(done, report, sticky, "others can write to it")
            self.assertEqual(os.listdir(sticky), [])

        with self.subTest("a link on the way that another user owns"):
            mine = folder(os.path.join(shared, "mine"), user, 0o700)
            via = os.path.join(shared, "via")
            os.symlink(mine, via)
            os.lchown(via, other, other)
            done, report = start_as_user(via)
            assert_refused(done, report, via, "owned by another user")
            self.assertEqual(os.listdir(mine), [])

        # Where a link leads is judged as the kernel follows it: an absolute
        # target from the root, and the folder that ".." leaves like any other
        # (its owner could swap it for a link while the launcher starts).
        bobs = folder(os.path.join(shared, "bobs"), other, 0o755)
        own = folder(os.path.join(shared, "own"), user, 0o700)
        for row, (link, culprit) in enumerate((
                (bobs, bobs),
                (os.path.join(bobs, "..", "own-real"), bobs),
                (os.path.join("own", "..", "own-real"), None))):
            with self.subTest("a link to " + link):
                real = folder(os.path.join(shared, "own-real", str(row)), user, 0o700)
                via = os.path.join(shared, "via-%d" % row)
                os.symlink(os.path.join(link, str(row)), via)
                done, report = start_as_user(via)
                if culprit:
                    assert_refused(done, report, culprit, "owned by another user")
                else:
                    self.assertEqual(done.returncode, 0, done)
                    self.assertIsNotNone(report)
                self.assertEqual(os.listdir(real), [] if culprit else ["app"])
                self.assertEqual(os.listdir(own), [])

        with self.subTest("root's cache, made by root's own start, serves everyone; "
                          "a folder the user may not enter is named as such"):
            made = folder(os.path.join(shared, "made-by-root"), 0, 0o755)
            done, report = start_as_user(made, uid=0, gid=0, umask=0o077)
            self.assertEqual(done.returncode, 0, done)
            for name, mode in (("app", 0o755), ("app/bin", 0o755), ("app/bin/report_child", 0o755),
                               ("app/data.txt", 0o644)):
                status = os.stat(os.path.join(made, name))
                self.assertEqual((status.st_uid, status.st_mode & 0o777), (0, mode), name)
            done, report = start_as_user(made)
            self.assertEqual(done.returncode, 0, done)
            self.assertIsNotNone(report)
            # As an earlier launcher left root's folders: for root alone.
            for closed in ("app/bin", "app"):
                os.chmod(os.path.join(made, closed), 0o700)
                done, report = start_as_user(made)
                self.assertEqual(done.returncode, 2, done)
                self.assertIsNone(report)
                self.assertEqual(done.stderr.decode(), "Error, couldn't enter folder '%s' "
                                 "(permission denied).\n" % os.path.join(made, closed))
            os.chmod(made, 0o700)
            done, report = start_as_user(made)
            self.assertEqual(done.stderr.decode(), "Error, couldn't enter folder '%s' "
                             "(permission denied).\n" % made)

        with self.subTest("root's cache that nobody else can write"):
            rooted = folder(os.path.join(shared, "rooted"), 0, 0o755)
            shutil.copytree(unpacked, os.path.join(rooted, "app"))
            for root, _, _ in os.walk(rooted):
                os.chmod(root, 0o755)
            done, report = start_as_user(rooted)
            self.assertEqual(done.returncode, 0, done)
            self.assertIsNotNone(report)
            os.chmod(os.path.join(rooted, "app"), 0o775)
            done, report = start_as_user(rooted)
            assert_refused(done, report, os.path.join(rooted, "app"), "others can write to it")

        with self.subTest("links planted in the user's own target directory"):
            victim = os.path.join(shared, "victim.txt")
            with open(victim, "wb") as f:
                f.write(b"the user's own file\n")
            os.chown(victim, user, user)
            for name in ("data.txt", "bin/report_child"):
                os.remove(os.path.join(unpacked, name))
                os.symlink(victim, os.path.join(unpacked, name))
            done, report = start_as_user(shared)
            self.assertEqual(done.returncode, 0, done)
            self.assertIsNotNone(report)
            with open(victim, "rb") as f:
                self.assertEqual(f.read(), b"the user's own file\n")
            for name in ("data.txt", "bin/report_child"):
                self.assertFalse(os.path.islink(os.path.join(unpacked, name)), name)
            with open(os.path.join(unpacked, "data.txt"), "rb") as f:
                self.assertEqual(f.read(), b"payload data\n")

        with self.subTest("a link to a folder and a hard link to another user's file in the "
                          "user's own target directory"):
            # The very files, so that every checksum would match: the folder
            # of the user's elsewhere, the data file the other user's.
            elsewhere = folder(os.path.join(shared, "elsewhere"), user, 0o700)
            shutil.copy2(os.path.join(unpacked, "bin", "report_child"), elsewhere)
            os.chown(os.path.join(elsewhere, "report_child"), user, user)
            shutil.rmtree(os.path.join(unpacked, "bin"))
            os.symlink(elsewhere, os.path.join(unpacked, "bin"))
            theirs = os.path.join(shared, "theirs.txt")
            shutil.copy2(os.path.join(unpacked, "data.txt"), theirs)
            os.chown(theirs, other, other)
            os.remove(os.path.join(unpacked, "data.txt"))
            os.link(theirs, os.path.join(unpacked, "data.txt"))
            done, report = start_as_user(shared)
            self.assertEqual(done.returncode, 0, done)
            self.assertEqual(report["executable"], os.path.join(unpacked, "bin", "report_child"))
            self.assertFalse(os.path.islink(os.path.join(unpacked, "bin")))
            self.assertEqual(os.stat(os.path.join(report["executable"])).st_uid, user)
            self.assertEqual(os.listdir(elsewhere), ["report_child"])
            status = os.stat(os.path.join(unpacked, "data.txt"))
            self.assertEqual((status.st_uid, status.st_nlink), (user, 1))
            self.assertEqual(os.stat(theirs).st_uid, other)

        with self.subTest("the application swaps the main binary's folder for a link "
                          "while the launcher unpacks"):
            bin_folder = os.path.join(unpacked, "bin")
            log = os.path.join(shared, "swap.log")

            def swap_when_checked(process):
                # The main binary has been checked through its folder.
                await_in_log(process, log, '"report_child"')
                os.rename(bin_folder, bin_folder + ".old")
                os.symlink(elsewhere, bin_folder)
                os.lchown(bin_folder, user, user)
            with open(log, "w"):
                pass
            done, report = start_as_user(
                shared, traced=["-o", log, "-P", bin_folder, "-e", "trace=openat",
                                "-e", "inject=openat:delay_exit=1000000"],
                meanwhile=swap_when_checked)
            self.assertIsNone(report, "the main binary ran through the link")
            self.assertNotEqual(done.returncode, 0, done)
            self.assertFalse(os.path.islink(bin_folder))

        with self.subTest("another user renames a folder with the very files into place "
                          "right after the launcher looked"):
            race = folder(os.path.join(shared, "race"), 0, 0o1777)
            prepared, target = os.path.join(race, "prepared"), os.path.join(race, "app")
            shutil.copytree(unpacked, prepared)
            for root, folders, files in os.walk(prepared):
                for name in folders + files:
                    os.chown(os.path.join(root, name), other, other)
                os.chmod(root, 0o755)  # readable, so that every checksum matches
            os.chown(prepared, other, other)
            log = os.path.join(shared, "race.log")

            def rename_when_looked(process):
                # The look found nothing, and the launcher waits.
                await_in_log(process, log, "ENOENT")
                subprocess.run(["setpriv", "--reuid=%d" % other, "--regid=%d" % other,
                                "--clear-groups", "mv", "-T", prepared, target], check=True)
            with open(log, "w"):
                pass
            done, report = start_as_user(
                race, traced=["-o", log, "-P", target, "-e", "trace=newfstatat",
                              "-e", "inject=newfstatat:delay_exit=2000000"],
                meanwhile=rename_when_looked)
            self.assertEqual(done.returncode, 2, done)
            self.assertIsNone(report, "the main binary ran out of the other user's folder")
            self.assertEqual(done.stderr.decode(), "Error, unsafe target directory '%s' "
                             "(owned by another user).\n" % target)

        with self.subTest("a private group under umask 002 is the user's own; "
                          "a group that someone else is in is not"):
            account = "zovari%d" % os.getpid()
            member = "zovarm%d" % os.getpid()
            for name in (account, member):
                subprocess.run(["useradd", "--user-group", "--no-create-home", "--shell",
                                "/usr/sbin/nologin", name], check=True)
                self.addCleanup(subprocess.run, ["userdel", name], stderr=subprocess.DEVNULL)
            self.addCleanup(subprocess.run, ["groupdel", account], stderr=subprocess.DEVNULL)
            entry = pwd.getpwnam(account)
            home = os.path.join(shared, "home")
            cache = os.path.join(home, ".cache")
            for path in (home, cache):
                os.makedirs(path)
                os.chown(path, entry.pw_uid, entry.pw_gid)
                os.chmod(path, 0o775)
            as_account = dict(uid=entry.pw_uid, gid=entry.pw_gid, umask=0o002)
            # Debian 12's own sources for groups, which add no member where no
            # systemd-userdb record names the group; and a group of 7,000
            # members, whose line the C library reads whole.
            crowd = "zovbig%d" % os.getpid()
            crowd_line = "%s:x:%d:%s" % (crowd, 4000 + os.getpid() % 50000,
                                         ",".join("member%05d" % i for i in range(7000)))
            self.assertGreater(len(crowd_line), 64 * 1024)
            for sources in ("files systemd", "compat [NOTFOUND=return] mymachines systemd  # a comment: ldap"):
                with _account_line("/etc/nsswitch.conf", "group:", "group:          " + sources), \
                        _account_line("/etc/group", crowd + ":", crowd_line):
                    done, report = start_as_user(cache, **as_account)
                self.assertEqual(done.returncode, 0, done)
                self.assertIsNotNone(report)
            # The target itself group-writable too: the warm start takes it.
            os.chmod(os.path.join(cache, "app"), 0o775)
            done, report = start_as_user(cache, **as_account)
            self.assertEqual(done.returncode, 0, done)
            self.assertIsNotNone(report)
            # Entries that the C library reads as giving the group to another
            # account (a blank or a sign before the id), a member or an
            # administrator that only /etc/gshadow names, seen where it can be
            # read, a second name, and a group password that lets anyone in.
            # Each stands in the account files for one start.
            with open("/etc/passwd") as f:
                fields = next(line for line in f.read().splitlines() if line.startswith(member + ":")).split(":")
            gid = entry.pw_gid
            added = "linuxtrust%d" % os.getpid()
            reading_gshadow = ["--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search"]
            password = "$6$zovari$" + "x" * 86  # whoever knows it may take the group
            for lines, privileges in (
                    ([("/etc/passwd", member, ":".join(fields[:3] + [" %d" % gid] + fields[4:]))], ()),
                    ([("/etc/passwd", member, ":".join(fields[:3] + ["+%d" % gid] + fields[4:]))], ()),
                    ([("/etc/group", added, "%s:x: %d:%s" % (added, gid, member))], ()),
                    ([("/etc/gshadow", account, "%s:!::%s" % (account, member))], reading_gshadow),
                    ([("/etc/gshadow", account, "%s:!:%s:" % (account, member))], reading_gshadow),
                    ([("/etc/group", added, "%s:x:%d:" % (added, gid)),
                      ("/etc/gshadow", added, "%s:!::%s" % (added, member))], reading_gshadow),
                    ([("/etc/group", account, "%s:%s:%d:" % (account, password, gid))], ()),
                    ([("/etc/gshadow", account, "%s:%s::" % (account, password))], reading_gshadow),
                    # Another source of groups, and a line of the group's own
                    # whose other member comes after its first 64 KiB.
                    ([("/etc/nsswitch.conf", "group", "group:          files systemd sss")], ()),
                    ([("/etc/nsswitch.conf", "initgroups", "initgroups:     files ldap")], ()),
                    ([("/etc/group", account, "%s:x:%d:%s" % (account, gid, ",".join([account] * 8000 + [member])))],
                     ()),
                    # A systemd-userdb drop-in that gives the group to another
                    # account (`id` shows it), or holds a record of the group.
                    ([("/run/userdb/%s:%s.membership" % (member, account), None, "{}")], ()),
                    ([("/run/userdb/%s.group" % account, None, "{}")], ()),
                    ([("/usr/lib/userdb/%d.group" % gid, None, "{}")], ()),
                    # A service of systemd's that keeps accounts of its own
                    # (the launcher looks only at its name).
                    ([("/run/systemd/userdb/io.systemd.Home", None, "")], ())):
                with contextlib.ExitStack() as edits:
                    for path, name, line in lines:
                        if name is None:
                            edits.enter_context(_dropin(path, line))
                            if path.endswith(".membership"):
                                self.assertIn("(%s)" % account, subprocess.run(
                                    ["id", member], capture_output=True, text=True).stdout)
                        else:
                            edits.enter_context(_account_line(path, name + ":", line))
                    done, report = start_as_user(cache, privileges=privileges, **as_account)
                assert_refused(done, report, home, "others can write to it")
            subprocess.run(["usermod", "--append", "--groups", account, member], check=True)
            done, report = start_as_user(cache, **as_account)
            self.assertEqual(done.returncode, 2, done)
            self.assertIsNone(report)
            self.assertEqual(done.stderr.decode(), "Error, unsafe target directory '%s' "
                             "(others can write to it).\n" % home)

        with self.subTest("no HOME and no account entry: only a template that names the home needs one"):
            # A container's arbitrary uid, which the account files know nothing of.
            stranger = 54321
            with open("/etc/passwd") as f:
                self.assertNotIn(":%d:" % stranger, f.read())
            temp = folder(os.path.join(shared, "stranger-temp"), 0, 0o1777)
            log = os.path.join(shared, "opened.log")
            done, report = start_as_user(temp, uid=stranger, gid=stranger, home=False,
                                         traced=["-o", log, "-e", "trace=openat,execve"])
            self.assertEqual(done.returncode, 0, done)
            self.assertIsNotNone(report)
            # A template without the home looks for none, even on a cold start.
            with open(log) as f:
                opened = f.read().split('execve("%s"' % launcher, 1)[1]
            self.assertNotIn("/etc/passwd", opened)
            self.assertNotIn("nsswitch.conf", opened)
            for template in ("{HOME}/app", "{CACHE_DIR}/app"):
                homebound = os.path.join(shared, "run-" + template[1:5].lower())
                self.packer.build({"bin/report_child": self.target.report_child}, "bin/report_child",
                                  homebound, template=template)
                os.chmod(homebound, 0o755)
                done, report = start_as_user(temp, uid=stranger, gid=stranger, home=False, program=homebound,
                                             traced=["-o", log, "-e", "trace=openat,execve"])
                self.assertEqual(done.returncode, -signal.SIGABRT, done)
                self.assertEqual(done.stderr.decode(), "Error, couldn't runtime expand spec '%s'.\n" % template)
                # The launcher reads the account file itself: no lookup module is loaded.
                with open(log) as f:
                    opened = f.read().split('execve("%s"' % homebound, 1)[1]
                self.assertIn("/etc/passwd", opened)
                self.assertNotIn("nsswitch.conf", opened)


class WindowsLaunchers(LauncherTests, unittest.TestCase):
    exit_codes = (0, 3, 0xC0000005, 0x80000003)
    # The name the lock file once had, as a file: the lock was kept in it for good.
    lock_name_file = ".zovari-onefile.lock"
    abort_exit_code = 3  # abort() in a windowless program, without a dialog
    # Wine shows a folder that others may write to, /tmp with its sticky bit
    # too, as one where Everyone may add and delete entries, which no folder
    # above a target may allow: the work folder must lie where no such folder
    # is above it, as the temporary folder that scripts/test.sh gives does.
    work_root = None

    @classmethod
    def make_target(cls, work):
        build = os.environ.get("ZOVARI_E2E_WINDOWS_BUILD", "")
        report_child = os.path.join(build, "tests", "e2e", "report_child.exe")
        exitcode = os.path.join(build, "tests", "e2e", "exitcode.exe")
        if not (os.path.exists(report_child) and os.path.exists(exitcode)):
            raise unittest.SkipTest("no Windows build with the report child in %r" % build)
        if not os.path.exists(support.WINE):
            raise unittest.SkipTest("no Wine at " + support.WINE)
        return support.WindowsTarget(work, report_child, exitcode)

    def waiting_launcher(self, template, version, options):
        """A launcher of the product "Cleaned" whose program holds the file its
        first argument names for as many milliseconds as its second says."""
        holdfile = os.path.join(os.path.dirname(self.target.exitcode), "holdfile.exe")
        return self.packer.build({"bin/holdfile.exe": holdfile}, "bin/holdfile.exe", self.launcher_path(),
                                 template=template, product="Cleaned", version=version, options=options)

    @contextlib.contextmanager
    def waiting_start(self, launcher):
        """Runs the waiting launcher's program for the time of the block (at
        most 8 seconds, twice what it takes)."""
        held = os.path.join(self.work, self.fresh_name() + ".held")
        open(held, "w").close()
        process = subprocess.Popen([support.WINE, launcher, self.target.native(held), "8000"],
                                   env=self.target.environment(), stdout=subprocess.PIPE)
        try:
            self.assertEqual(process.stdout.readline().strip(), b"held")
            yield
        finally:
            process.communicate(timeout=support.RUN_LIMIT)
        self.assertEqual(process.returncode, 0)


    def quick_start_changes(self, stamp):
        # Wine runs every account as one Unix user, with no owners to change.
        return []

    def test_started_by_wine_itself(self):
        """Started from Linux directly: the streams are Linux's pipes, and the
        low 8 bits of the exit code reach Linux."""
        launcher = self.report_child_launcher()
        result = self.target.run(launcher, ["one", "two words"], direct=True,
                                 report_child={"ZOVARI_REPORT_CHILD_EXIT": "0x80000103",
                                        "ZOVARI_REPORT_CHILD_MARKER": "direct-7"})
        self.assertRanReportChild(result, exit_code=3)
        self.assertEqual(result.report["argv"][1:], ["one", "two words"])
        self.assertLauncherMarkers(result, "direct-7")

    def test_console_events(self):
        """Console events, sent as the console sends them (to the child and the
        launcher): interrupt, break, close, logoff and shutdown give the child
        up to 5 s to end by itself, then terminate it with 0, and the launcher
        ends by the system's default handling, not with the child's code;
        codes 3, 4 and above 6 go on to it at once, the child left running.
        Built with --pass-interrupts, an interrupt or a break is the child's,
        and the launcher ends with its exit code; a close still ends both."""
        plain = self.report_child_launcher()
        passing = self.report_child_launcher(options=("--pass-interrupts",))
        rows = (  # launcher, event, the child's handling, launcher's exit code, the child's end
            (plain, 0, "exit", DEFAULT_EVENT_END, "7"),
            (plain, 1, "ignore", DEFAULT_EVENT_END, "0"),
            (plain, 2, "ignore", DEFAULT_EVENT_END, "0"),
            (plain, 3, "ignore", DEFAULT_EVENT_END, "running"),
            (plain, 4, "ignore", DEFAULT_EVENT_END, "running"),
            (plain, 5, "exit", DEFAULT_EVENT_END, "7"),
            (plain, 6, "ignore", DEFAULT_EVENT_END, "0"),
            (plain, 7, "ignore", DEFAULT_EVENT_END, "running"),
            (passing, 0, "exit", 7, "7"),
            (passing, 1, "exit", 7, "7"),
            (passing, 2, "ignore", DEFAULT_EVENT_END, "0"),
        )
        for launcher, event, handling, exit_code, child in rows:
            with self.subTest(passing=launcher == passing, event=event, child=handling):
                result = self.target.run(launcher, event=event, report_child={
                    "ZOVARI_REPORT_CHILD_SIGNAL": handling, "ZOVARI_REPORT_CHILD_EXIT": "7"})
                self.assertIsNotNone(result.report, result)
                self.assertEqual((result.exit_code, result.child), (exit_code, child), result)
                self.assertFalse(os.path.exists(result.report_path + ".end"))

    def test_console_event_while_unpacking(self):
        """An event that comes while a file is being written ends the
        launcher, --pass-interrupts or not: no child is started, and the next
        start writes the file again, whole."""
        big = random.Random(5).randbytes(8 << 20)
        files = {"data/big.bin": big, "data/last.txt": b"last\n"}
        for options, event in (((), 2), (("--pass-interrupts",), 0)):
            with self.subTest(options=options, event=event):
                target = os.path.join(self.work, self.fresh_name())
                launcher = self.report_child_launcher(files, options=options,
                                                      template=self.target.native(target))
                # Its first write held, the file is being written when the event comes.
                held = os.path.join(target, "data", "big.bin")
                result = self.target.run(launcher, event=event, event_after=held, held_write=held)
                self.assertIsNone(result.report, "a child was started")
                self.assertEqual(result.exit_code, DEFAULT_EVENT_END, result)
                self.assertFalse(os.path.exists(os.path.join(target, "data", "last.txt")))
                self.assertRanReportChild(self.target.run(launcher))
                with open(os.path.join(target, "data", "big.bin"), "rb") as f:
                    self.assertTrue(f.read() == big, "the file was not written again")

    def test_interpreter_finds_its_script(self):
        """The README's recipe for an interpreter on Windows: lua.exe the main
        binary with its DLL beside it, the script named with {TARGET_DIR}.
        Started from another folder, it finds its script in the folder
        unpacked, the one the launcher also names in the environment, and gets
        the launcher's arguments."""
        build = os.path.dirname(self.target.exitcode)
        files = {name: os.path.join(build, name) for name in ("lua.exe", "lua54.dll")}
        if not all(os.path.exists(path) for path in files.values()):
            self.skipTest("no lua.exe and lua54.dll in %s" % build)
        files["app.lua"] = b"print(os.getenv('ZOVARI_ONEFILE_TARGET_DIR'), arg[0], ...)\n"
        launcher = self.launcher_path("Tool")
        self.packer.build(files, "lua.exe", launcher, product="Tool",
                          options=("--arg", "{TARGET_DIR}\\app.lua"))
        elsewhere = os.path.join(self.work, self.fresh_name())
        os.makedirs(elsewhere)
        result = self.target.run(launcher, ["a", "b c"], cwd=elsewhere)
        self.assertEqual(result.exit_code, 0, result)
        target, script, *args = result.stdout.decode().rstrip("\r\n").split("\t")
        self.assertEqual(args, ["a", "b c"])
        self.assertRegex(target, r"\\Tool\\1\.0\.0-[^\\]+$")
        self.assertEqual(script, target + "\\app.lua")
        self.assertTrue(os.path.isfile(self.target.unix(script)), script)


    def test_file_held_open_by_another_process(self):
        """A file that another process holds without sharing, as a scanner does
        right after a write: the launcher waits for it and writes it once it is
        let go; held past the launcher's patience, it gives the usual message."""
        launcher = self.report_child_launcher({"data/held.txt": b"cached"})
        first = self.target.run(launcher)
        self.assertRanReportChild(first)
        target = first.report["executable"].rsplit("\\", 2)[0]
        held = target + "\\data\\held.txt"
        holdfile = os.path.join(os.path.dirname(self.target.exitcode), "holdfile.exe")
        for milliseconds, exit_code in ((1000, 0), (8000, 2)):
            with self.subTest(held_for=milliseconds):
                holder = subprocess.Popen([support.WINE, holdfile, held, str(milliseconds)],
                                          env=self.target.environment(), cwd=self.work,
                                          stdout=subprocess.PIPE)
                try:
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                    result = self.target.run(launcher)
                finally:
                    holder.communicate(timeout=support.RUN_LIMIT)
                self.assertEqual(result.exit_code, exit_code, result)
                if exit_code == 0:
                    self.assertRanReportChild(result)
                else:
                    self.assertEqual(result.stderr.replace(b"\r\n", b"\n").decode(),
                                     "Error, failed to open '%s' for writing.\n" % held)
                    self.assertIsNone(result.report)

    def test_folder_of_each_start_leaves_a_file_still_held(self):
        """A start removes its own folder when the child ends, but a file
        that another process still holds without sharing stays, with the
        folders that hold it; the exit code is the child's all the same."""
        parent = os.path.join(self.work, self.fresh_name())
        launcher = self.report_child_launcher({"data/held.txt": b"held", "data/other.txt": b"other"},
                                              template=self.template(self.target.native(parent), "{PID}"),
                                              options=("--clean-cache",))
        # The report child waits for the end of its input, meanwhile the file is taken.
        variables = {"ZOVARI_REPORT_CHILD_REPORT": self.target.native(self.target.report_path()),
                     "ZOVARI_REPORT_CHILD_STDIN": "1", "ZOVARI_REPORT_CHILD_EXIT": "5"}
        process = subprocess.Popen([support.WINE, launcher], env=self.target.environment(variables),
                                   cwd=self.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(_finish, process)
        held = None
        for _ in range(1200):
            # The start's folder, beside its record (--clean-cache).
            found = [os.path.join(parent, n, "data", "held.txt") for n in os.listdir(parent)
                     if not n.endswith(".zovari-build")] if os.path.isdir(parent) else []
            if found and os.path.exists(found[0]) or process.poll() is not None:
                held = found[0] if found else None
                break
            time.sleep(0.05)
        self.assertIsNotNone(held, "the launcher never unpacked")
        holdfile = os.path.join(os.path.dirname(self.target.exitcode), "holdfile.exe")
        holder = subprocess.Popen([support.WINE, holdfile, self.target.native(held), "5000"],
                                  env=self.target.environment(), cwd=self.work, stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            process.stdin.close()
            self.assertEqual(process.wait(timeout=support.RUN_LIMIT), 5)
            self.assertEqual(self.unpacked_names(os.path.dirname(os.path.dirname(held))),
                             {"data", "data/held.txt"})
        finally:
            holder.communicate(timeout=support.RUN_LIMIT)
        self._removal_leaves_unix_links(launcher, parent)

    def _removal_leaves_unix_links(self, launcher, parent):
        """Wine opens a Unix link as what it leads to: the removal leaves a
        link to a file, a link to a folder and a link put in the place of the
        start's folder, and removes nothing they lead to."""
        outside = os.path.join(self.work, self.fresh_name())
        os.makedirs(os.path.join(outside, "folder", "data"))
        for name in ("kept.txt", "folder/kept.txt", "folder/data/held.txt"):
            with open(os.path.join(outside, name), "w") as f:
                f.write("kept")

        def start_and(change):
            before = set(os.listdir(parent))
            variables = {"ZOVARI_REPORT_CHILD_REPORT": self.target.native(self.target.report_path()),
                         "ZOVARI_REPORT_CHILD_STDIN": "1", "ZOVARI_REPORT_CHILD_EXIT": "5"}
            process = subprocess.Popen([support.WINE, launcher], env=self.target.environment(variables),
                                       cwd=self.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            self.addCleanup(_finish, process)
            # A bound, so that a child never seen fails the case, not the run.
            deadline = time.monotonic() + support.RUN_LIMIT
            while process.poll() is None and time.monotonic() < deadline:
                # The start's folder (its record beside it is no folder).
                made = {n for n in set(os.listdir(parent)) - before if not n.endswith(".zovari-build")}
                # The child runs: a process has mapped its program.
                if made and _running_from(os.path.join(parent, *made)):
                    break
                time.sleep(0.05)
            self.assertIsNone(process.poll(), "the launcher ended before its child was seen")
            self.assertLess(time.monotonic(), deadline, "the child was never seen running")
            [made] = made
            change(os.path.join(parent, made))
            process.stdin.close()
            self.assertEqual(process.wait(timeout=support.RUN_LIMIT), 5)
            return os.path.join(parent, made)

        def plant(folder):
            os.symlink(os.path.join(outside, "kept.txt"), os.path.join(folder, "to-file"))
            os.symlink(os.path.join(outside, "folder"), os.path.join(folder, "data", "to-folder"))
        folder = start_and(plant)
        self.assertEqual(self.unpacked_names(folder), {"data", "data/to-folder", "to-file"})

        def swap(folder):
            os.rename(folder, folder + ".moved")
            os.symlink(os.path.join(outside, "folder"), folder)
        folder = start_and(swap)
        self.assertEqual(self.unpacked_names(outside),
                         {"kept.txt", "folder", "folder/kept.txt", "folder/data", "folder/data/held.txt"})
        self.assertTrue(os.path.islink(folder))

    def test_links_and_other_accounts_files_inside_the_target(self):
        """A folder link (Wine shows a Unix one by its path, and cannot remove
        it) is neither checked nor written through: the start fails on its
        first file; another account's file (Wine gives another Unix user's an
        owner of its own) with another name is replaced, not started."""
        launcher = self.report_child_launcher({"data/readme.txt": b"read me\n",
                                               "all.txt": b"open to all\n"})
        cold = self.target.run(launcher)
        self.assertRanReportChild(cold)
        main_binary = self.target.unix(cold.report["executable"])
        root = os.path.dirname(os.path.dirname(main_binary))
        elsewhere = os.path.join(self.work, self.fresh_name())
        shutil.move(os.path.join(root, "data"), elsewhere)
        os.symlink(elsewhere, os.path.join(root, "data"))
        theirs = os.path.join(self.work, self.fresh_name())
        os.rename(main_binary, theirs)
        os.chown(theirs, 65534, 65534)
        os.link(theirs, main_binary)
        # Wine gives a file that everyone may write an access list that says
        # so: it is replaced, right contents and all, by one that nobody else
        # may write.
        open_to_all = os.path.join(root, "all.txt")
        with open(open_to_all, "wb") as f:
            f.write(b"open to all\n")
        os.chmod(open_to_all, 0o666)
        result = self.target.run(launcher)
        self.assertEqual(result.exit_code, 2, result)
        self.assertIsNone(result.report)
        self.assertEqual(result.stderr.replace(b"\r\n", b"\n").decode(),
                         "Error, failed to open '%s\\data\\readme.txt' for writing.\n"
                         % cold.report["executable"].rsplit("\\", 2)[0])
        self.assertEqual(os.listdir(elsewhere), ["readme.txt"])
        status = os.stat(main_binary)
        self.assertEqual((status.st_uid, status.st_nlink), (0, 1))
        self.assertEqual(os.stat(theirs).st_uid, 65534)
        self.assertEqual(os.stat(open_to_all).st_mode & 0o022, 0)

    def test_launcher_in_the_root_of_a_drive(self):
        """Its directory is the drive alone, with no backslash."""
        launcher = self.report_child_launcher()
        root_copy = self.target.unix("C:\\zovari-e2e-run.exe")
        shutil.copy2(launcher, root_copy)
        try:
            result = self.target.run(root_copy, command_line="C:\\zovari-e2e-run.exe x")
        finally:
            os.remove(root_copy)
        self.assertRanReportChild(result)
        self.assertEqual(result.report["environment"]["ZOVARI_ONEFILE_DIRECTORY"], "C:")
        self.assertEqual(result.report["argv"], ["C:\\zovari-e2e-run.exe", "x"])


_C_LIBRARY = ctypes.CDLL(None, use_errno=True)


@contextlib.contextmanager
def _dropin(path, text):
    """A file at path (a systemd-userdb drop-in) holds text meanwhile; the
    folder goes with it where it made one."""
    folder = os.path.dirname(path)
    made = not os.path.exists(folder)
    os.makedirs(folder, exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    try:
        yield
    finally:
        os.remove(path)
        if made:
            os.rmdir(folder)


def _rewrite_account_file(path, change):
    """Writes change(lines) over an account file, in one rename, under the lock
    that the system's account tools take (lckpwdf), so that no other test's
    useradd or userdel meanwhile is lost."""
    if _C_LIBRARY.lckpwdf() != 0:
        raise OSError(ctypes.get_errno(), "cannot lock the account files")
    try:
        with open(path) as f:
            lines = f.read().splitlines(True)
        status = os.stat(path)
        temporary = path + ".zovari-e2e"
        with open(temporary, "w") as f:
            f.write("".join(change(lines)))
        os.chown(temporary, status.st_uid, status.st_gid)
        os.chmod(temporary, status.st_mode & 0o7777)
        os.rename(temporary, path)
    finally:
        _C_LIBRARY.ulckpwdf()


@contextlib.contextmanager
def _account_line(path, prefix, line):
    """The line of an account file that begins with prefix (or a new one, where
    there is none) reads line meanwhile, and is put back after."""
    kept = []

    def put(lines):
        found = [i for i, old in enumerate(lines) if old.startswith(prefix)][:1]
        kept.append(lines[found[0]] if found else None)
        return lines[:found[0]] + [line + "\n"] + lines[found[0] + 1:] if found else lines + [line + "\n"]

    def back(lines):
        return [old if old != line + "\n" else kept[0] for old in lines if old != line + "\n" or kept[0]]
    _rewrite_account_file(path, put)
    try:
        yield
    finally:
        _rewrite_account_file(path, back)


def _take_the_terminal():
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def _running_from(folder):
    """Whether a process has a file of folder mapped (a program it runs)."""
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/maps" % pid, "rb") as f:
                if (" " + folder + "/").encode() in f.read():
                    return True
        except OSError:
            pass
    return False


def _finish(process):
    if process.poll() is None:
        process.kill()
    process.wait()
    process.stdout.close()
    process.stderr.close()


def _kill_if_alive(pid):
    if _alive(pid):
        os.kill(pid, signal.SIGKILL)


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state not in ("Z", "X")


TARGETS = {"linux": "LinuxLaunchers", "windows": "WindowsLaunchers"}

if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] in TARGETS:
        chosen = TARGETS[sys.argv.pop(1)]
        unittest.main(defaultTest=chosen)
    else:
        unittest.main()
