"""Folders few players have, on Linux: one the file system cannot sync, files
and folders marked so that nothing may replace them, someone else's file in
a shared folder, a limit on file sizes, and a patch run as root for a
player. Every run must keep what it says of the folder."""
import grp
import os
import pwd
import shutil
import subprocess

from harness import (BACKUP, BANNER, MENU_SCREEN, PAUSE, TARGET, ScratchFolderTest, as_unprivileged_user, main,
                     run, said, shown, strace)

MARKS = {"i": "immutable", "a": "append_only"}


def need_root(test):
    if os.geteuid() != 0:
        test.skipTest("needs root")


class RareFolderTest(ScratchFolderTest):
    def test_a_folder_the_system_cannot_sync_is_patched(self):
        # Some file systems have no sync for a folder (EINVAL): the third and
        # fourth fsync are the folder's, after each rename.
        for when in (3, 4):
            with self.subTest(when=when):
                self.put(TARGET, self.original)
                faulty = strace(f"fsync:error=EINVAL:when={when}")
                self.check_patched(self.judged_run(wrapper=faulty)[0])
                os.remove(self.path(BACKUP))
        # One the player may write in and enter, but not list, cannot be
        # opened to sync it.
        self.put(TARGET, self.original, mode=0o666)
        os.chmod(self.folder, 0o333)
        self.addCleanup(os.chmod, self.folder, 0o700)
        self.check_patched(self.judged_run(user=True)[0])

    def test_marked_files_and_folders_are_refused_before_anything_changes(self):
        need_root(self)
        folder = os.path.realpath(self.folder)
        for mark, name in (("i", TARGET), ("a", TARGET), ("a", BACKUP), ("a", folder),
                           ("i", folder)):
            with self.subTest(mark=mark, name=name):
                self.put(TARGET, self.original)
                self.put(BACKUP, b"earlier backup")
                with self.immutable(self.path(name), mark):
                    self.check_refused("earlier_backup_fixed" if name == BACKUP else
                                       "may_not_replace",
                                       "replace files in" if name == folder else "replace", name,
                                       "marked_" + MARKS[mark], "clear_" + MARKS[mark])

    def test_a_file_mounted_over_the_game_or_its_backup_is_refused(self):
        need_root(self)
        # Renamed over, a mount point fails only at its rename: too late.
        self.put("elsewhere", self.original)
        for name, refusal in ((TARGET, "may_not_replace"), (BACKUP, "earlier_backup_fixed")):
            with self.subTest(mounted_at=name):
                self.put(TARGET, self.original)
                self.put(BACKUP, b"earlier backup")
                if subprocess.run(["mount", "--bind", self.path("elsewhere"), self.path(name)],
                                  stderr=subprocess.DEVNULL).returncode:
                    self.skipTest("bind mounts are not allowed here")
                try:
                    self.check_refused(refusal, "replace", name, "mount_point")
                finally:
                    subprocess.run(["umount", self.path(name)], check=True)

    def test_someone_elses_file_in_a_shared_folder_is_refused(self):
        need_root(self)
        # Like /tmp: anyone may add files, only a file's owner replace them.
        os.chmod(self.folder, 0o1777)
        nobody = pwd.getpwnam("nobody")
        for name, refusal in ((TARGET, "may_not_replace"), (BACKUP, "earlier_backup_fixed")):
            with self.subTest(owned_by_root=name):
                for file, data in {TARGET: self.original, BACKUP: b"earlier backup"}.items():
                    self.put(file, data, mode=0o644)
                    os.chown(self.path(file), 0 if file == name else nobody.pw_uid, -1)
                self.check_refused(refusal, "replace", name, "owner_only", "run_as_owner",
                                   user=True)

    def test_a_game_put_back_then_refused_says_it_was_put_back(self):
        need_root(self)
        # The lone backup goes back as the game; its mark then stops the
        # patch, and the last line tells of the game put back, not of nothing.
        self.put(BACKUP, self.original)
        with self.immutable(self.path(BACKUP)):
            status, out = self.judged_run()
        self.assertEqual(status, 1)
        self.assertIn(shown(said("put_back")), out)
        self.assertEqual(self.contents(), {TARGET: self.original, BACKUP: self.original})

    def test_odd_modes_times_and_unsearchable_paths(self):
        need_root(self)
        # Readable to the player through its group alone, and stamped past
        # 2262, where nanoseconds no longer fit 64 bits: patched all the same.
        os.chmod(self.folder, 0o777)
        self.put(TARGET, self.original, mode=0o040)
        os.chown(self.path(TARGET), 0, grp.getgrnam("nogroup").gr_gid)
        os.chmod(self.path(TARGET), 0o040)
        self.check_patched(self.judged_run(user=True)[0])
        os.remove(self.path(BACKUP))
        self.put(TARGET, self.original)
        os.utime(self.path(TARGET), (10_400_000_000, 10_400_000_000))
        self.check_patched(self.judged_run()[0])
        # A game folder the player may not search, and a path too long for
        # the system, cannot be looked in: neither is called unopenable.
        hidden = os.path.join(self.folder, "private")
        os.mkdir(hidden, 0o700)
        too_long = os.path.join(self.folder, *["a-folder-with-a-long-name"] * 200, TARGET)
        for path, reason in ((os.path.join(hidden, TARGET), "Permission denied"),
                             (too_long, "File name too long")):
            with self.subTest(reason=reason):
                self.assertEqual(run(self.folder, wrapper=as_unprivileged_user(),
                                     command=self.program_anyone_may_run() + [path]),
                                 (1, shown(MENU_SCREEN + BANNER + b"  \n" + said("not_looked_for", target=path) +
                                           said("could_not", action="examine", file=path,
                                                reason=reason) +
                                           said("nothing_changed_anywhere") + PAUSE)))

    def test_a_file_size_limit_fails_the_copy_cleanly(self):
        if shutil.which("prlimit") is None:
            self.skipTest("prlimit is not installed")
        self.put(TARGET, self.original)
        self.put(BACKUP, b"earlier backup")
        status, out = self.judged_run(wrapper=["prlimit", f"--fsize={len(self.original) // 2}"])
        self.assertEqual(status, 1)
        self.assertIn(b": File too large.\n", out)

    def test_root_patching_a_players_file_gives_the_new_files_to_the_player(self):
        need_root(self)
        nobody = pwd.getpwnam("nobody")
        self.put(TARGET, self.original, mode=0o4700)
        os.chown(self.path(TARGET), nobody.pw_uid, nobody.pw_gid)
        os.chmod(self.path(TARGET), 0o4700)  # chown took the set-user-id bit
        self.check_patched(run(self.folder)[0])
        for name in (TARGET, BACKUP):
            info = os.stat(self.path(name))
            self.assertEqual((info.st_uid, info.st_gid, info.st_mode & 0o7777),
                             (nobody.pw_uid, nobody.pw_gid, 0o4700), name)


if __name__ == "__main__":
    main()
