"""Support for the end-to-end tests: building launchers and running them.

Launchers are built by zovari-pack (ZOVARI_E2E_PACK).  What it rightly
refuses (payloads no application gives, a main binary that is no program, a
template it cannot check) is written here, with an independent writer of the
container, and put in place of stand-ins after the tool has linked.

Linux launchers run natively; Windows launchers run under Wine, started
through the tests' own exitcode.exe, which hands them an exact command line
and reports their exit code in all 32 bits.
"""

import json
import os
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import zlib

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
RUN_LIMIT = 120  # seconds; only a hung launcher comes near it


# ---------------------------------------------------------------- payloads

def payload_stream(records):
    """The uncompressed payload stream: (name, bytes) records, then the end record."""
    out = bytearray()
    for name, data in records:
        checksum = zlib.crc32(data) or 1
        out += name.encode("utf-16-le") + b"\0\0"
        out += struct.pack("<QI", len(data), checksum) + data
    return bytes(out + b"\0\0")


def frame_payload(stream):
    """Compresses the stream with the zstd tool into one frame and frames it:
    "QDY", the frame, zero padding to a multiple of 8, the trailer."""
    frame = subprocess.run(["zstd", "-q", "-c", "-3", "--no-check"], input=stream,
                           stdout=subprocess.PIPE, check=True).stdout
    body = b"QDY" + frame
    body += b"\0" * (-len(body) % 8)
    return body + struct.pack("<Q", len(body))


def _wide_text(target, text):
    """text as the launcher keeps a wide string: UTF-16LE on Windows,
    UTF-32LE on Linux, with its terminating NUL."""
    return (text + "\0").encode("utf-16-le" if target == "windows" else "utf-32-le")


def _replace_once(data, old, new, what):
    at = data.find(old)
    if at < 0 or data.find(old, at + 1) >= 0:
        raise AssertionError("the %s is not in the launcher exactly once" % what)
    return data[:at] + new + data[at + len(old):]


def _with_values_checksum(target, data, head):
    """data with the build area at head given the checksum of its values as
    they now stand (image/build_area.h: the CRC-32 of every value but the
    last, each through its end, in eight hex digits), as the tool writes it."""
    width = 2 if target == "windows" else 4
    covered = b""
    for slot in range(9):
        at = head + struct.unpack_from("<Q", data, head + 48 + 8 * slot)[0]
        unit = 2 if slot == 7 else width
        start = at
        while True:
            begin = at
            while data[at:at + unit] != b"\0" * unit:
                at += unit
            at += unit
            if slot != 6 or at - begin == unit:
                break
        covered += data[start:at]
    at = head + struct.unpack_from("<Q", data, head + 48 + 8 * 9)[0]
    digits = _wide_text(target, "%08x" % zlib.crc32(covered))
    return data[:at] + digits + data[at + len(digits):]


class Packer:
    """Builds launchers for one target with zovari-pack."""

    def __init__(self, target, runtime, pack_tool, program, work):
        """program: a program of the target, the main binary of stand-ins."""
        if not pack_tool or not os.path.exists(pack_tool):
            raise RuntimeError("the end-to-end tests need zovari-pack (ZOVARI_E2E_PACK)")
        self.target = target
        self.runtime = runtime
        self.pack_tool = pack_tool
        self.program = program
        self.work = work
        self.count = 0

    def _scratch(self):
        self.count += 1
        path = os.path.join(self.work, "pack-%d" % self.count)
        os.makedirs(path)
        return path

    def _options(self, template, product, version):
        options = ["--target", self.target, "--product", product, "--version", version]
        if self.runtime:
            options += ["--runtime", self.runtime]
        if template is not None:
            options += ["--template", template]
        return options

    def default_template(self):
        sep = "\\" if self.target == "windows" else "/"
        return sep.join(["{CACHE_DIR}", "{PRODUCT}", "{VERSION}"])

    def build(self, files, main, output, template=None, product="ZovariE2E", version="1.0.0",
              by_hand=False, options=()):
        """files: {relative name with "/": bytes or a source path}; main: one of
        the names; options: more of zovari-pack's.  Writes the launcher at output.  by_hand: the payload is
        written here and put in by build_from_payload, for what the tool
        rightly refuses (a main binary that is no program, a relative
        template) but the launcher must still meet."""
        folder = os.path.join(self._scratch(), "app")
        for name, contents in files.items():
            path = os.path.join(folder, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if isinstance(contents, bytes):
                with open(path, "wb") as f:
                    f.write(contents)
            else:
                shutil.copyfile(contents, path)
        os.makedirs(os.path.dirname(output), exist_ok=True)
        if by_hand:
            records = []
            for name in [main] + sorted(n for n in files if n != main):
                with open(os.path.join(folder, *name.split("/")), "rb") as f:
                    records.append((name.replace("/", "\\"), f.read()))
            return self.build_from_payload(frame_payload(payload_stream(records)), output,
                                           template, product, version)
        # A quick compression level: the tests are about the launcher.
        subprocess.run([self.pack_tool, "build", "--input", folder, "--main", main,
                        "--output", output, "--level", "3"]
                       + self._options(template, product, version) + list(options), check=True)
        return output

    def build_from_payload(self, payload, output, template=None, product="ZovariE2E",
                           version="1.0.0"):
        """A launcher around payload bytes made by the test itself, which
        zovari-pack rightly refuses (one without any file, a wrong magic), with
        any template, one the tool refuses too.  zovari-pack links it around
        stand-ins at least as large, whose bytes are then replaced: the
        payload by the test's, at the end of the stand-in's place, the
        template by the wanted one followed by zero bytes up to the
        stand-in's size (the launcher reads neither past its end)."""
        scratch = self._scratch()
        template = template or self.default_template()
        with open(self.program, "rb") as f:
            program = f.read()
        main = "main" + (".exe" if self.target == "windows" else "")
        # Incompressible, so the stand-in is longer than the test's payload.
        stand_in = frame_payload(payload_stream([(main, program),
                                                 ("filler", os.urandom(len(payload) + 64))]))
        stand_in_path = os.path.join(scratch, "stand-in.payload")
        with open(stand_in_path, "wb") as f:
            f.write(stand_in)
        sep = "\\" if self.target == "windows" else "/"
        stand_in_template = "{TEMP}" + sep + "zovari-stand-in-" + "x" * (2 * len(template))
        os.makedirs(os.path.dirname(output), exist_ok=True)
        subprocess.run([self.pack_tool, "launcher", "--payload", stand_in_path, "--output", output]
                       + self._options(stand_in_template, product, version), check=True)
        with open(output, "rb") as f:
            data = f.read()
        # The payload ends the build area, which its head says: the test's
        # takes the stand-in's last bytes, with zeros before it.
        at = data.index(stand_in)
        head = data.rindex(b"ZovariBuildArea\0", 0, at)
        offset, _ = struct.unpack_from("<QQ", data, head + 24)
        shift = len(stand_in) - len(payload)
        data = (data[:head + 24] + struct.pack("<QQ", offset + shift, len(payload)) + data[head + 40:at]
                + payload.rjust(len(stand_in), b"\0") + data[at + len(stand_in):])
        old = _wide_text(self.target, stand_in_template)
        data = _replace_once(data, old, _wide_text(self.target, template).ljust(len(old), b"\0"),
                             "stand-in template")
        data = _with_values_checksum(self.target, data, head)
        with open(output, "wb") as f:
            f.write(data)
        return output


# ---------------------------------------------------------------- running

class Result:
    def __init__(self, exit_code, stdout, stderr, report, report_path):
        self.exit_code = exit_code
        self.stdout = stdout
        self.stderr = stderr
        self.report = report
        self.report_path = report_path
        self.child = None

    def __repr__(self):
        return "exit %r\nstdout %r\nstderr %r" % (self.exit_code, self.stdout, self.stderr)


def clean_environment():
    """The test's environment without any variable of the launcher or the report child."""
    return {k: v for k, v in os.environ.items()
            if not k.startswith("ZOVARI_ONEFILE_") and not k.startswith("ZOVARI_REPORT_CHILD_")
            and k != "ZOVARI_ORIGINAL_ARGV0" and not k.startswith("ZOVARI_E2E_")}


def read_report(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return json.loads(f.read().decode("utf-8", "surrogateescape"))


class Target:
    """What the two targets share: where each run's report child's report goes."""

    def report_path(self):
        self.runs += 1
        return os.path.join(self.work, "report-%d.json" % self.runs)


class LinuxTarget(Target):
    name = "linux"
    suffix = ""
    sep = "/"

    def __init__(self, work, report_child):
        self.work = work
        self.report_child = report_child
        self.runs = 0
        self.temp = os.path.join(work, "tmpdir")
        self.cache = os.path.join(work, "cache")
        os.makedirs(self.temp)
        os.makedirs(self.cache)

    def close(self):
        pass

    def native(self, path):
        return path

    def unix(self, path):
        return path

    def environment(self, report_child=None, extra=None):
        env = clean_environment()
        env["TMPDIR"] = self.temp
        env["XDG_CACHE_HOME"] = self.cache
        env.update(report_child or {})
        env.update(extra or {})
        return env

    def run(self, launcher, args=(), cwd=None, report_child=None, env=None, stdin=b"", argv0=None):
        """Runs the launcher to its end.  report_child: the report child's ZOVARI_REPORT_CHILD_*
        variables (the report path is added); env: more variables."""
        report = self.report_path()
        variables = dict(report_child or {}, ZOVARI_REPORT_CHILD_REPORT=report)
        done = subprocess.run([argv0 or launcher] + list(args), executable=launcher,
                              cwd=cwd or self.work, env=self.environment(variables, env),
                              input=stdin, capture_output=True, timeout=RUN_LIMIT,
                              preexec_fn=_default_console_signals)
        return Result(done.returncode, done.stdout, done.stderr, read_report(report), report)

    def trace_opens(self, launcher):
        """Runs the launcher under strace; the text of every file it opened."""
        log = self.report_path() + ".trace"
        subprocess.run(["strace", "-f", "--seccomp-bpf", "-qq", "-o", log, "-e", "trace=open,openat", launcher],
                       cwd=self.work, env=self.environment(), capture_output=True, timeout=RUN_LIMIT)
        with open(log, errors="replace") as f:
            return f.read()

    def start(self, launcher, report_child, stdin=subprocess.DEVNULL, preexec_fn=None):
        """Starts the launcher without waiting; returns (process, report path)."""
        report = self.report_path()
        variables = dict(report_child, ZOVARI_REPORT_CHILD_REPORT=report)

        def prepare():
            _default_console_signals()
            if preexec_fn is not None:
                preexec_fn()
        process = subprocess.Popen([launcher], cwd=self.work,
                                   env=self.environment(variables), stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=prepare)
        return process, report


def _default_console_signals():
    # A test run started in the background (or by nohup) may have them
    # ignored, which the launcher and its child would then keep.
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM):
        signal.signal(number, signal.SIG_DFL)
    # A launcher that ends by SIGQUIT leaves no core file behind (the hard
    # limit stays, for a test that wants cores written).
    resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))


def windows_quote(argument):
    """Quotes one argument so that CommandLineToArgvW gives it back (written
    from the splitter's rules, independently of the launcher's code)."""
    if argument and not any(c in argument for c in ' \t\n\v"'):
        return argument
    out = '"'
    backslashes = 0
    for c in argument:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + c
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


class WindowsTarget(Target):
    name = "windows"
    suffix = ".exe"
    sep = "\\"

    def __init__(self, work, report_child, exitcode):
        self.work = work
        self.report_child = report_child
        self.exitcode = exitcode
        self.runs = 0
        self.prefix = tempfile.mkdtemp(prefix="zovari-e2e-wine.")
        # Making the prefix takes a few seconds; once per run.
        subprocess.run([WINE, "wineboot", "-i"], env=self.environment(), cwd=self.work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def close(self):
        # Waits for this prefix's server to go, then removes the prefix.
        try:
            subprocess.run([WINESERVER, "-w"], env=self.environment(), timeout=60)
        finally:
            shutil.rmtree(self.prefix, ignore_errors=True)

    def native(self, path):
        """The name a program under Wine gives the path: C: for what lies in
        the prefix's drive_c, Z: (the Linux root) for the rest."""
        path = os.path.abspath(path)
        drive_c = os.path.join(self.prefix, "drive_c")
        if path == drive_c or path.startswith(drive_c + "/"):
            return "C:" + (path[len(drive_c):] or "/").replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def unix(self, path):
        drive, rest = path[:2].upper(), path[2:].replace("\\", "/")
        if drive == "C:":
            return os.path.join(self.prefix, "drive_c") + rest
        if drive == "Z:":
            return rest
        raise ValueError("no Linux path for %r" % path)

    def environment(self, report_child=None, extra=None):
        env = clean_environment()
        env["WINEPREFIX"] = self.prefix
        env["WINEDEBUG"] = "-all"
        # Wine turns Linux text (arguments, variables) into UTF-16 by the locale.
        env["LC_ALL"] = "C.UTF-8"
        env.update(report_child or {})
        env.update(extra or {})
        return env

    def trace_opens(self, launcher):
        """Runs the launcher under strace from a fresh server, which opens the
        files for it and is traced too; the text of every file opened."""
        log = self.report_path() + ".trace"
        subprocess.run([WINESERVER, "-k"], env=self.environment(), timeout=60)
        subprocess.run(["strace", "-f", "--seccomp-bpf", "-qq", "-o", log, "-e", "trace=open,openat", WINE, launcher],
                       cwd=self.work, env=self.environment(), capture_output=True, timeout=RUN_LIMIT)
        with open(log, errors="replace") as f:
            return f.read()

    def command_line(self, launcher, args):
        return " ".join([windows_quote(self.native(launcher))] + [windows_quote(a) for a in args])

    def run(self, launcher, args=(), cwd=None, report_child=None, env=None, stdin=b"",
            command_line=None, direct=False, event=None, event_after=None, held_write=None):
        """Runs the launcher under Wine to its end, through exitcode.exe with
        the exact command_line (default: the launcher's path and args quoted),
        or started by Wine itself when direct (exit code: low 8 bits only).
        event: a console control code that exitcode.exe sends to the report
        launcher and the report child once the report is written (result.child:
        what became of the child), the launcher's own threads held until its
        handler has run; or, with event_after (a Linux path), to the launcher
        alone once that path exists.  held_write: a Linux path whose first write
        strace holds for 3 s, from a fresh server."""
        report = self.report_path()
        exit_file = report + ".exit"
        variables = dict(report_child or {}, ZOVARI_REPORT_CHILD_REPORT=self.native(report))
        if event is not None:
            variables["ZOVARI_E2E_EVENT"] = str(event)
            if event_after is None:
                variables["ZOVARI_E2E_EVENT_AFTER"] = variables["ZOVARI_E2E_EVENT_CHILD_REPORT"] = self.native(report)
            else:
                variables["ZOVARI_E2E_EVENT_AFTER"] = self.native(event_after)
        if direct:
            command = [WINE, launcher] + list(args)
        else:
            command = [WINE, self.exitcode]
            if command_line is None:
                command_line = self.command_line(launcher, args)
            variables["ZOVARI_E2E_COMMAND_LINE"] = command_line
            variables["ZOVARI_E2E_EXIT_FILE"] = self.native(exit_file)
        if held_write is not None:
            subprocess.run([WINESERVER, "-k"], env=self.environment(), timeout=60)
            command = ["strace", "-f", "-qq", "-o", "/dev/null", "-P", held_write,
                       "-e", "trace=write,pwrite64,writev",
                       "-e", "inject=write,pwrite64,writev:delay_exit=3000000:when=1"] + command
        done = subprocess.run(command, cwd=cwd or self.work,
                              env=self.environment(variables, env), input=stdin,
                              capture_output=True, timeout=RUN_LIMIT)
        exit_code = done.returncode
        if not direct:
            if done.returncode != 0 or not os.path.exists(exit_file):
                raise AssertionError("exitcode.exe failed: %r %r" % (done.returncode, done.stderr))
            with open(exit_file) as f:
                exit_code = int(f.read())
        result = Result(exit_code, done.stdout, done.stderr, read_report(report), report)
        if os.path.exists(exit_file + ".child"):
            with open(exit_file + ".child") as f:
                result.child = f.read().strip()
        return result
