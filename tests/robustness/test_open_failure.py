"""The open-failure message on Linux names the file's whole path, whatever
bytes the names of its folders hold.  The Linux layer carries bytes that are
not UTF-8 through its wide paths (as U+DC80..U+DCFF), so a profile folder
with such a name is a working target directory; the message for a file that
cannot be opened there must still print the path as it is on disk and end
its line."""
import os
import shutil
import subprocess
import tempfile
import unittest

import robust_support as support



class OpenFailureMessageLinux(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="zovari-robust-open-")
        try:
            cls.app = support.Application(os.path.join(cls.folder, "app"), "linux",
                                          {"data/a.txt": b"abc"})
            cls.launcher = support.build_launcher(cls.app, os.path.join(cls.folder, "launcher"),
                                                  "{HOME}/tree")
        except BaseException:
            shutil.rmtree(cls.folder, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def start_with_home(self, home):
        environment = dict(os.environb)
        environment[b"HOME"] = home
        return subprocess.run([self.launcher], env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)

    def check_message(self, home):
        target = home + b"/tree/data/a.txt"
        os.makedirs(target)  # a folder where the file must go, not empty: the open fails
        with open(target + b"/kept", "wb"):
            pass
        result = self.start_with_home(home)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(result.stderr, b"Error, failed to open '" + target + b"' for writing.\n")

    def test_path_in_utf8(self):
        self.check_message(os.fsencode(self.folder) + b"/home-\xc3\xa9")

    def test_path_with_bytes_that_are_not_utf8(self):
        self.check_message(os.fsencode(self.folder) + b"/home-\xff")


if __name__ == "__main__":
    unittest.main()
