"""The Linux players' download, as they get it: its program needs no shared
library, so it patches a game in a folder that holds nothing else, not even
a C library."""
import os
import subprocess
import sys
import tarfile
import unittest

from harness import (BACKUP, FOUND, INSTALLED, PATCH_SCREEN, TARGET, ScratchFolderTest, patched,
                     run, shown)

TARBALL = ""


class LinuxDownloadTest(ScratchFolderTest):
    def setUp(self):
        super().setUp()
        top = os.path.basename(TARBALL).removesuffix(".tar.gz")
        with tarfile.open(TARBALL) as tar:
            names = ("LICENSE.txt", "README.txt", "camera-patch", "camera-patch.6")
            self.assertEqual(sorted(tar.getnames()), [top] + [f"{top}/{name}" for name in names])
            self.program = tar.extractfile(f"{top}/camera-patch").read()
        self.put("camera-patch", self.program, mode=0o755)

    def test_the_program_asks_for_no_loader_and_no_library(self):
        def readelf(option):
            return subprocess.run(["readelf", "-W", option, self.path("camera-patch")], check=True,
                                  capture_output=True, text=True).stdout
        self.assertNotIn("INTERP", readelf("--program-headers"))
        self.assertNotIn("(NEEDED)", readelf("--dynamic"))

    def test_it_patches_in_a_folder_holding_only_itself_and_the_game(self):
        if os.geteuid() != 0:
            self.skipTest("chroot needs root")
        original = self.original
        self.put(TARGET, original)
        status, out = run(self.folder, command=["chroot", self.folder, "/camera-patch"])
        self.assertEqual((status, out), (0, shown(PATCH_SCREEN + FOUND + INSTALLED)))
        self.assertEqual(self.contents(), {"camera-patch": self.program,
                                           TARGET: patched(original), BACKUP: original})


if __name__ == "__main__":
    TARBALL = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
