"""A disk that fills while the launcher unpacks: a small tmpfs holds the
target directory.  The launcher must end with its write-failure (or open
failure) message and exit code 2, and once there is space again, the next
start must leave a complete tree, byte-identical to the input.

Mounting needs root (or the right to mount); without it the test is
skipped with the reason."""
import os
import shutil
import subprocess
import tempfile
import unittest

import robust_support as support

WRITE_FAILURE = "Error, couldn't unpack file to target path."
OPEN_FAILURE = "Error, failed to open '"
MIB = 1 << 20


def mount_tmpfs(path, size):
    # Mode 0755: a tmpfs's own 01777 would show under Wine as Everyone's right
    # to delete what it holds, which the launcher refuses above its target.
    return subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % size, "tmpfs", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def remount(path, size):
    subprocess.run(["mount", "-o", "remount,size=%d" % size, path], check=True)


class DiskFull:
    """The checks, shared by the Linux and the Wine variants.  The tree is
    about 8 MiB; the disk is made smaller than that in two ways."""

    def setUp(self):
        self.mount = os.path.join(self.folder, "disk")
        os.makedirs(self.mount, exist_ok=True)
        result = mount_tmpfs(self.mount, 64 * MIB)
        if result.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % result.stdout.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", self.mount])

    def expect_failure(self, label):
        code, output = self.start()
        self.assertEqual(code, 2, "%s: %s" % (label, output))
        self.assertTrue(WRITE_FAILURE in output or OPEN_FAILURE in output, "%s: %s" % (label, output))
        if WRITE_FAILURE in output:
            # The system's text follows the message, on the same line.
            self.assertRegex(output, r"couldn't unpack file to target path\. \(\[Error -?\d+\] .*\)")

    def expect_complete(self, label):
        code, output = self.start()
        self.assertEqual(code, 0, "%s: %s" % (label, output))
        self.assertIn("intact", output, label)
        support.assert_same_tree(self, self.target, self.expected)

    def test_disk_full_then_grown(self):
        for size in (64 * 1024, 1 * MIB, 3 * MIB, 5 * MIB + 12345, 7 * MIB):
            with self.subTest(size=size):
                shutil.rmtree(self.target, ignore_errors=True)
                remount(self.mount, size)
                self.expect_failure("disk of %d bytes" % size)
                remount(self.mount, 64 * MIB)
                self.expect_complete("after the disk grew from %d bytes" % size)

    def test_disk_full_then_filler_removed(self):
        remount(self.mount, 16 * MIB)
        for free in (2 * MIB, 6 * MIB):
            with self.subTest(free=free):
                shutil.rmtree(self.target, ignore_errors=True)
                filler = os.path.join(self.mount, "filler")
                with open(filler, "wb") as handle:
                    handle.write(bytes(16 * MIB - free))
                self.expect_failure("%d bytes free" % free)
                os.remove(filler)
                self.expect_complete("after the filler went (%d bytes were free)" % free)


class DiskFullLinux(support.LauncherCase, DiskFull, unittest.TestCase):
    folder_prefix = "zovari-robust-full-"
    tree_parent = "disk"

    def start(self):
        result = subprocess.run([self.launcher], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return result.returncode, result.stdout.decode(errors="replace")


class DiskFullWine(support.WineLauncherCase, DiskFull, unittest.TestCase):
    folder_prefix = "zovari-robust-full-wine-"
    tree_parent = "disk"

    def start(self):
        process = self.wine.start(self.launcher, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = process.communicate()[0].decode(errors="replace")
        return process.returncode, output


if __name__ == "__main__":
    unittest.main()
