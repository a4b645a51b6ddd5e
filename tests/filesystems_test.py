"""The patch on the file systems players keep the game on, mounted for real
from images: NTFS, exFAT and FAT through FUSE, as a Linux player reaches a
drive shared with Windows (owned by the player through uid=/gid=), and XFS
and Btrfs natively. The program runs as an ordinary user on each. Needs
root, loop devices and the file systems' tools; what cannot be mounted here
is skipped, visibly."""
import contextlib
import os
import pwd
import shutil
import subprocess
import tempfile

from harness import BACKUP, TARGET, ScratchFolderTest, main

NOBODY = pwd.getpwnam("nobody")
OWNED_BY_NOBODY = f"uid={NOBODY.pw_uid},gid={NOBODY.pw_gid}"

# name: (how to make it, image size in MiB, how to mount it). In the mount
# command, {image}, {device} and {folder} are filled in.
FILE_SYSTEMS = {
    "ntfs": (["mkfs.ntfs", "-F", "-Q", "-q"], 64,
             ["ntfs-3g", "-o", OWNED_BY_NOBODY, "{device}", "{folder}"]),
    "exfat": (["mkfs.exfat"], 64,
              ["mount.exfat-fuse", "-o", OWNED_BY_NOBODY, "{device}", "{folder}"]),
    "fat": (["mkfs.fat"], 64,
            ["fusefat", "-o", "rw+,allow_other," + OWNED_BY_NOBODY, "{image}", "{folder}"]),
    "xfs": (["mkfs.xfs", "-q"], 320, ["mount", "{device}", "{folder}"]),
    "btrfs": (["mkfs.btrfs", "-q"], 128, ["mount", "{device}", "{folder}"]),
}
# Even seconds: FAT keeps times to two seconds.
OLD_TIME = 1_000_000_000


def quietly(command):
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=120)


class FileSystemTest(ScratchFolderTest):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("mounting file systems needs root")
        if shutil.which("losetup") is None:
            self.skipTest("losetup is needed")

    def mount(self, name):
        """Makes and mounts the file system; returns the folder or skips."""
        make, size, mount = FILE_SYSTEMS[name]
        for tool in (make[0], mount[0]):
            if shutil.which(tool) is None:
                self.skipTest(f"{tool} is not installed")
        place = tempfile.mkdtemp(prefix=f"camera-patch-{name}-")
        self.addCleanup(shutil.rmtree, place, ignore_errors=True)
        picture = os.path.join(place, "image")
        folder = os.path.join(place, "mounted")
        os.mkdir(folder)
        with open(picture, "wb") as f:
            f.truncate(size << 20)
        done = quietly(make + [picture])
        if done.returncode != 0:
            self.skipTest(f"{make[0]} failed: {done.stderr.decode().strip()}")
        attached = subprocess.run(["losetup", "-f", "--show", picture], capture_output=True,
                                  text=True)
        if attached.returncode != 0:
            self.skipTest(f"no loop device: {attached.stderr.strip()}")
        device = attached.stdout.strip()
        self.addCleanup(quietly, ["losetup", "-d", device])
        filled = [part.format(image=picture, device=device, folder=folder) for part in mount]
        done = quietly(filled)
        if done.returncode != 0:
            self.skipTest(f"{name} cannot be mounted here: {done.stderr.decode().strip()}")
        # Cleanups run last first: unmounted before the loop device goes.
        self.addCleanup(quietly, ["umount", folder])
        game = os.path.join(folder, "Velomira")
        os.mkdir(game)
        # The FUSE mounts give every file to nobody already.
        with contextlib.suppress(OSError):
            os.chown(game, NOBODY.pw_uid, NOBODY.pw_gid)
        return game

    def test_a_patch_on_each_file_system(self):
        for name in FILE_SYSTEMS:
            with self.subTest(file_system=name):
                game = self.mount(name)
                target = os.path.join(game, TARGET)
                self.put(target, self.original)
                # Leftovers of killed runs, to be cleared: one given the game's
                # name in other case made its own, which is the game's where
                # the file system ignores case, and another game's elsewhere.
                other_case = os.path.join(game, TARGET.lower() + ".tmp-0badc0de")
                for leftover in (target + ".tmp-a1b2c3d4", other_case):
                    self.put(leftover, self.original[:100])
                os.utime(target, (OLD_TIME, OLD_TIME))
                kept = os.stat(target).st_mtime_ns
                status, out = self.run_as_user(game)
                self.assertEqual(status, 0, out[-300:])
                self.assertEqual(os.path.exists(other_case), name not in ("fat", "exfat"))
                if os.path.exists(other_case):
                    os.remove(other_case)
                self.check_patched(folder=game)
                self.assertEqual(os.stat(os.path.join(game, BACKUP)).st_mtime_ns, kept)


if __name__ == "__main__":
    main()
