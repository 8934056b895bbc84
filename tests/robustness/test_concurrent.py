"""Two to eight launchers of one build started at once on an empty cache.
Each must either start its child, or end with one of its own messages and
exit code 2; none may die.  A start made afterwards, alone, must find every
file intact: no launcher may leave a corrupt file that counts as cached.

A launcher that must write a file first takes the target directory's lock
and looks at the file again, so no launcher rewrites a file that another
launcher's child is already using: every child finds its files intact."""
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

import robust_support as support

GROUP_SIZES = (2, 3, 4, 5, 6, 8, 8)


class ConcurrentColdStarts:
    """The checks, shared by the Linux and the Wine variants."""

    target_name = None

    def start_group(self, count):
        raise NotImplementedError

    def check_group(self, count):
        shutil.rmtree(os.path.dirname(self.target), ignore_errors=True)
        results = self.start_group(count)
        for index, (code, output) in enumerate(results):
            label = "launcher %d of %d (exit %d): %s" % (index + 1, count, code, output)
            if code == 0:
                self.assertIn("intact", output, label)
            else:
                self.assertEqual(code, 2, label)
                self.assertTrue(support.launcher_message(output), label)
        code, output = self.start_group(1)[0]
        self.assertEqual(code, 0, "the start after the group: %s" % output)
        support.assert_same_tree(self, self.target, self.expected)
        return len(results)

    def test_group_starts_then_a_lone_start(self):
        runs = 0
        for count in GROUP_SIZES:
            with self.subTest(launchers=count):
                runs += self.check_group(count)
        support.record_count("concurrent runs (%s)" % self.target_name, runs)


class ConcurrentColdStartsLinux(support.LauncherCase, ConcurrentColdStarts, unittest.TestCase):
    target_name = "linux"

    folder_prefix = "zovari-robust-group-"
    tree_parent = "cache"

    def start_group(self, count):
        processes = [subprocess.Popen([self.launcher], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                     for _ in range(count)]
        return [(p.wait(), p.communicate()[0].decode(errors="replace")) for p in processes]


class ConcurrentColdStartsWine(support.WineLauncherCase, ConcurrentColdStarts, unittest.TestCase):
    target_name = "wine"

    folder_prefix = "zovari-robust-group-wine-"
    tree_parent = "cache"

    def start_group(self, count):
        processes = [self.wine.start(self.launcher, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                     for _ in range(min(count, 4))]
        return [(p.wait(), p.communicate()[0].decode(errors="replace")) for p in processes]


class FileCutWhileChecked(support.LauncherCase, unittest.TestCase):
    """What two launchers started together can do to each other, made exact:
    a cached file is cut short by another launcher while this one computes
    its checksum.  The launcher must take the file as changed and write it
    again, not die.  strace holds the launcher for a moment right after its
    first access to the file's contents (a map or a read, whichever the
    platform layer makes), while the test truncates the file."""

    folder_prefix = "zovari-robust-cut-"
    file_count = 4

    @classmethod
    def setUpClass(cls):
        cls.strace = shutil.which("strace")
        if not cls.strace:
            raise unittest.SkipTest("strace is not installed")
        super().setUpClass()

    @staticmethod
    def traced_pid(tracer):
        try:
            with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as handle:
                children = handle.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    @staticmethod
    def holds_open(pid, path):
        folder = "/proc/%d/fd" % pid
        try:
            for name in os.listdir(folder):
                if os.readlink(os.path.join(folder, name)) == path:
                    return True
        except OSError:
            pass
        return False

    def test_file_truncated_while_its_checksum_is_computed(self):
        first = subprocess.run([self.launcher], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(first.returncode, 0, first.stdout)
        big = os.path.join(self.target, "data", "big.bin")
        # Only calls on the file itself are traced (-P), so only they wait.
        tracer = subprocess.Popen([self.strace, "-qq", "-o", "/dev/null", "-P", big,
                                   "-e", "trace=mmap,read",
                                   "-e", "inject=mmap,read:delay_exit=2000000:when=1",
                                   self.launcher],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        holding = False
        while tracer.poll() is None and not holding:
            pid = self.traced_pid(tracer)
            holding = pid is not None and self.holds_open(pid, big)
        if holding:
            os.truncate(big, 0)
        output = tracer.communicate()[0].decode(errors="replace")
        self.assertTrue(holding, "the launcher never opened %s" % big)
        self.assertEqual(tracer.returncode, 0, "the launcher ended with %d: %s" % (tracer.returncode, output))
        support.assert_same_tree(self, self.target, self.expected)


if __name__ == "__main__":
    unittest.main()
