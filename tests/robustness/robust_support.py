"""Shared pieces of the fault tests: applications whose main binary checks
its own files, launchers built from them with zovari-pack, runs under Wine,
and the comparison of an unpacked tree with its input.

The build passes its programs through the environment (see CMakeLists.txt):
ZOVARI_PACK, ZOVARI_LINUX_RUNTIME, ZOVARI_WINDOWS_RUNTIME, ZOVARI_CHECK_LINUX, ZOVARI_CHECK_WINDOWS
(may be missing), ZOVARI_WINE."""
import os
import random
import shutil
import subprocess
import tempfile
import unittest
import zlib

LAUNCHER_MESSAGES = (
    "Error, couldn't decode attached data.",
    "Error, couldn't unpack file to target path.",
    "Error, failed to open '",
    "Error, couldn't allocate memory.",
    "Error, couldn't launch child",
)




def environment_path(name, required=True):
    value = os.environ.get(name, "")
    if required and not value:
        raise unittest.SkipTest("%s is not set (run through ctest)" % name)
    return value


class Application:
    """An application folder: the checker as main binary, data files and the
    manifest the checker reads."""

    def __init__(self, root, target, files, seed=1):
        self.root = root
        self.target = target
        self.main = "check.exe" if target == "windows" else "check"
        os.makedirs(root)
        checker = environment_path("ZOVARI_CHECK_WINDOWS" if target == "windows" else "ZOVARI_CHECK_LINUX")
        shutil.copy(checker, os.path.join(root, self.main))
        lines = []
        for relative, data in sorted(files.items()):
            path = os.path.join(root, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as handle:
                handle.write(data)
            lines.append("%08x %d %s\n" % (zlib.crc32(data), len(data), relative))
        with open(os.path.join(root, "manifest.txt"), "w", newline="\n") as handle:
            handle.writelines(lines)

    def expected_tree(self):
        return read_tree(self.root)


def random_bytes(rng, size):
    return rng.getrandbits(8 * size).to_bytes(size, "little") if size else b""


def standard_files(total_mib=20, seed=7):
    """Files of mixed sizes and depths: large incompressible ones, so that
    unpacking takes many pieces, small ones in nested folders, an empty one
    and one of an odd size."""
    rng = random.Random(seed)
    big = total_mib << 20
    files = {
        "data/big.bin": random_bytes(rng, big // 2),
        "data/mid.bin": random_bytes(rng, big // 4 + 1),
        "data/text.txt": (b"the quick brown fox jumps over the lazy dog\n" * (big // 4 // 44)),
        "empty.dat": b"",
        "odd/size/32769.bin": random_bytes(rng, 0x8001),
    }
    for index in range(12):
        files["nest/level%d/deeper/file%02d.txt" % (index % 3, index)] = (b"%d" % index) * (index * 100 + 1)
    return files


def read_tree(root):
    tree = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, "rb") as handle:
                tree[relative] = handle.read()
    return tree


# The name the launcher's lock file once had inside the target directory, as
# a file for Windows (where the lock was kept in it for good) and as a folder
# for Linux (where the lock file stood in its way).  Nothing of the launcher's
# lies among the application's files now, so an application may hold it.
OLD_LOCK_NAME = {"windows": ".zovari-onefile.lock", "linux": ".zovari-onefile.lock/kept.txt"}


def assert_same_tree(case, actual_root, expected):
    actual = read_tree(actual_root)
    case.assertEqual(sorted(actual), sorted(expected), "files in %s" % actual_root)
    for relative, data in expected.items():
        if actual[relative] != data:
            case.fail("%s differs from its input (%d bytes, %d expected)"
                      % (relative, len(actual[relative]), len(data)))


def build_launcher(app, output, template, level=1, options=()):
    pack = environment_path("ZOVARI_PACK")
    command = [pack, "build", "--input", app.root, "--main", app.main, "--output", output,
               "--target", app.target, "--template", template, "--level", str(level),
               "--runtime", environment_path("ZOVARI_%s_RUNTIME" % app.target.upper())] + list(options)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        raise AssertionError("zovari-pack failed: %s" % result.stdout.decode(errors="replace"))
    return output


def record_count(name, count):
    """Adds a count to the file that scripts/robustness.sh sums up."""
    print("%s: %d" % (name, count))
    counts = os.environ.get("ZOVARI_ROBUST_COUNTS")
    if counts:
        with open(counts, "a") as handle:
            handle.write("%s %d\n" % (name, count))


def windows_path(path):
    """A Linux path as a program under Wine names it (Z: is the root)."""
    return "Z:" + path.replace("/", "\\")


def launcher_message(output):
    return any(message in output for message in LAUNCHER_MESSAGES)


class Wine:
    """One throwaway prefix for a test class."""

    def __init__(self):
        self.wine = os.environ.get("ZOVARI_WINE", "/usr/lib/wine/wine64")
        if not os.path.exists(self.wine):
            raise unittest.SkipTest("Wine is not installed at %s" % self.wine)
        self.prefix = tempfile.mkdtemp(prefix="zovari-robust-wine-")
        self.environment = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        # Make the prefix once; later starts are quick.
        subprocess.run([self.wine, "cmd", "/c", "exit"], env=self.environment,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def temp_folder(self):
        """The prefix's temporary folder as Linux sees it ({TEMP})."""
        return os.path.join(self.prefix, "drive_c", "users", os.environ.get("USER", "root"), "Temp")

    def start(self, program, **options):
        return subprocess.Popen([self.wine, program], env=self.environment, **options)

    def close(self):
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=self.environment,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.prefix, ignore_errors=True)


class LauncherCase:
    """A launcher of the standard application for one target, built once for
    a test class: the set-up the fault tests share.  A subclass names the
    prefix of its temporary folder, the folder the tree is unpacked in and
    how many files the application has."""

    platform = "linux"
    folder_prefix = "zovari-robust-"
    tree_parent = "cache"
    file_count = 8
    # More of zovari-pack's options for the launcher.
    build_options = ()

    @classmethod
    def setUpClass(cls):
        windows = cls.platform == "windows"
        if windows:
            checker = os.environ.get("ZOVARI_CHECK_WINDOWS", "")
            if not checker or not os.path.exists(checker):
                raise unittest.SkipTest("the Windows build's checker is missing (%s)" % checker)
            runtime = os.environ.get("ZOVARI_WINDOWS_RUNTIME", "")
            if not os.path.exists(runtime):
                raise unittest.SkipTest("the Windows runtime is missing (%s)" % runtime)
            cls.wine = Wine()
        # Wine shows a folder that others may write to, /tmp with its sticky
        # bit too, as one where Everyone may add and delete entries, which no
        # folder above a target may allow: the Windows runs need a temporary
        # folder with no such folder above it, as scripts/test.sh gives.
        cls.folder = tempfile.mkdtemp(prefix=cls.folder_prefix)
        try:
            files = standard_files(cls.file_count)
            files[OLD_LOCK_NAME[cls.platform]] = b"the application's own\n"
            cls.app = Application(os.path.join(cls.folder, "app"), cls.platform, files)
            cls.target = os.path.join(cls.folder, cls.tree_parent, "tree")
            cls.launcher = build_launcher(
                cls.app, os.path.join(cls.folder, "launcher.exe" if windows else "launcher"),
                windows_path(cls.target) if windows else cls.target, options=cls.build_options)
            cls.expected = cls.app.expected_tree()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)
        if hasattr(cls, "wine"):
            cls.wine.close()


class WineLauncherCase(LauncherCase):
    """The same, for the Windows launcher under Wine."""

    platform = "windows"
