"""Odd and hostile game folders: links planted where the program writes,
targets that are not plain files, files and folders it may not touch, and
what a killed run left behind."""
import fcntl
import os
import pwd
import shutil
import stat
import tempfile
from functools import partial

import harness
from harness import (BACKUP, BANNER, CLOSING, FOUND, INSTALLED, LOOKING, MENU_SCREEN, NO_TARGET,
                     PAUSE, TARGET, ScratchFolderTest, main, patched, point_at_game, run, said,
                     shown, strace)


class PlantedLinkTest(ScratchFolderTest):
    def test_links_at_the_names_it_writes_are_replaced_not_followed(self):
        outside = tempfile.mkdtemp(prefix="camera-patch-outside-")
        self.addCleanup(shutil.rmtree, outside)
        files = {"victim": b"not yours", "real-VELORAC.EXE": self.original}
        for name, data in files.items():
            self.put(os.path.join(outside, name), data)
        os.symlink(os.path.join(outside, "victim"), self.path(BACKUP))
        os.symlink(os.path.join(outside, "real-VELORAC.EXE"), self.path(TARGET))
        self.check_patched(run(self.folder)[0])
        for name in (TARGET, BACKUP):
            self.assertFalse(os.path.islink(self.path(name)))
        self.assertEqual(self.contents(outside), files)

        # A link to nowhere at the backup's name does not make a file appear there.
        os.remove(self.path(BACKUP))
        os.symlink(os.path.join(outside, "nowhere"), self.path(BACKUP))
        self.put(TARGET, self.original)
        self.check_patched(run(self.folder)[0])
        self.assertEqual(self.contents(outside), files)


class FolderStateTest(ScratchFolderTest):
    def test_links_hard_links_and_lone_backups_are_told_apart(self):
        """What stands at the two names decides, for the patch and the undo
        alike: a backup that is the game's own file is never another
        program's work, a link is never replaced without a word, and a
        backup is put back only when it holds an original."""
        original, done = self.original, patched(self.original)
        unmounted = os.path.join(self.folder + "-library", TARGET)
        link_note = said("link_replaced", file=BACKUP) + CLOSING
        patch, undo = ["c"], ["--restore"]
        # How the folder is made, the command, the status, what follows the
        # banner, and what the folder holds after (None: as before).
        rows = [(lambda: (self.put(BACKUP, original), os.link(self.path(BACKUP), self.path(TARGET))),
                 patch, 0, LOOKING + FOUND + INSTALLED, {TARGET: done, BACKUP: original}),
                (lambda: (self.put(BACKUP, original), os.symlink(BACKUP, self.path(TARGET))),
                 patch, 0, LOOKING + FOUND + INSTALLED[:-len(CLOSING)] + link_note,
                 {TARGET: done, BACKUP: original}),
                (lambda: (self.put(BACKUP, original), os.symlink(unmounted, self.path(TARGET))),
                 patch, 1, b"  \n" + said("link_to_nothing", file=unmounted) +
                 said("nothing_changed_anywhere") + PAUSE, None),
                (lambda: self.put(BACKUP, b""), patch, 1, said("no_original_in_backup") +
                 said("nothing_changed_anywhere") + PAUSE, None),
                (lambda: self.put(BACKUP, done), undo, 1, said("restoring") +
                 said("no_original_in_backup") + said("nothing_changed_anywhere") + PAUSE, None),
                (lambda: (self.put(TARGET, done), self.put(BACKUP, done)), undo, 1,
                 said("restoring") + said("no_original_in_backup") + said("keep_other_backup") +
                 PAUSE, None),
                (lambda: (self.put(TARGET, original), self.put(BACKUP, done)), undo, 0,
                 said("restoring") + said("not_patched") + CLOSING, None)]
        for make, command, status, told, after in rows:
            with self.subTest(told=told[-300:], command=command):
                for name in os.listdir(self.folder):
                    os.remove(self.path(name))
                make()
                before = self.contents()
                screen = MENU_SCREEN + BANNER if command == patch else BANNER + b"  \n"
                arguments = command if command == undo else []
                self.assertEqual(run(self.folder, b"c\n\n", command=harness.COMMAND + arguments),
                                 (status, shown(screen + told)))
                self.assertEqual(self.contents(), after or before)


class OddTargetTest(ScratchFolderTest):
    def test_a_target_or_lone_backup_that_is_not_a_plain_file_is_refused(self):
        # A pipe or a device would make a reader wait for ever, or never end.
        # The game is put back only from a plain backup, never through a link.
        for kind, make, reason, names in (
                ("folder", os.mkdir, "is_folder", (TARGET, BACKUP)),
                ("/dev/zero", partial(os.symlink, "/dev/zero"), "not_regular", (TARGET, BACKUP)),
                ("/dev/null", partial(os.symlink, "/dev/null"), "not_regular", (TARGET,)),
                ("pipe", os.mkfifo, "not_regular", (TARGET, BACKUP)),
                ("a link to a file", partial(os.symlink, os.path.abspath(__file__)), "not_regular",
                 (BACKUP,))):
            for name in names:
                with self.subTest(kind=kind, name=name):
                    make(self.path(name))
                    self.check_refused("not_searched" if name == TARGET else
                                       "missing_not_put_back", "read", name, reason)
                    (os.rmdir if kind == "folder" else os.remove)(self.path(name))

    def test_names_that_would_drive_the_terminal_are_shown_escaped(self):
        # The folder looked in is printed: a clearing of the screen in its
        # name, a line feed, a byte that is no UTF-8, a C1 control, a mark
        # that reorders text or a line separator must show as text, and
        # other scripts (and the neighbours U+2027, U+202F, U+2065) as they are.
        for name, printable in ((b"clear\x1b[2J\nme\xff", b"clear\\x1B[2J\\x0Ame\\xFF"),
                                (b"csi\xc2\x9b2J", b"csi\\u009B2J"),
                                ("rcs\u202eexe.txt\u202a\u2029".encode(),
                                 b"rcs\\u202Eexe.txt\\u202A\\u2029"),
                                ("\u2066iso\u2069\u2028\u2027\u202f\u2065".encode(),
                                 b"\\u2066iso\\u2069\\u2028" + "\u2027\u202f\u2065".encode()),
                                ("Игры ゲーム".encode(), "Игры ゲーム".encode())):
            with self.subTest(name=name):
                folder = os.path.join(os.path.realpath(self.folder).encode(), name)
                os.mkdir(folder)
                told = shown(b"  \n" + NO_TARGET + said("looked_in", folder="\0") +
                             point_at_game(None) + PAUSE)
                self.assertEqual(run(folder), (0, shown(MENU_SCREEN + BANNER) + told.replace(
                    b"\0", folder[:-len(name)] + printable)))

    def test_a_lock_another_program_holds_is_told_as_such(self):
        # Anyone may lock a folder; only a copy of this program is called one.
        self.put(TARGET, self.original)
        held = os.open(self.folder, os.O_RDONLY)
        self.addCleanup(os.close, held)
        fcntl.flock(held, fcntl.LOCK_EX)
        self.assertEqual(run(self.folder), (1, shown(
            MENU_SCREEN + BANNER + b"  \n" + said("another_program") +
            said("that_program_nothing") + PAUSE)))
        self.assertEqual(self.contents(), {TARGET: self.original})

    def test_leftovers_of_killed_runs_are_cleared_and_nothing_else(self):
        leftovers = [TARGET + ".tmp-0123abcd", BACKUP + ".tmp-89abcdef"]
        others = [TARGET + ".tmp-backup", TARGET + ".tmp-a1b2c3", TARGET + ".tmp-0123ABCD",
                  TARGET + ".tmp-0123abcde", "OTHER.tmp-0123abcd", TARGET + ".bak"]
        for name in leftovers + others:
            self.put(name, b"half a patch")
        # Cleared even when the run then finds nothing to do.
        self.put(BACKUP, self.original)
        self.put(TARGET, patched(self.original))
        self.assertEqual(run(self.folder, b"c\n\n")[0], 1)
        self.assertEqual(sorted(self.contents()), sorted([TARGET, BACKUP] + others))


NOBODY = pwd.getpwnam("nobody").pw_uid


class PermissionTest(ScratchFolderTest):
    def setUp(self):
        super().setUp()
        os.chmod(self.folder, 0o755)

    def test_an_unreadable_target_is_a_failure_with_the_reason(self):
        self.put(TARGET, self.original, mode=0)
        self.check_refused("not_opened", "open", TARGET, "Permission denied", user=True)

    def test_a_read_only_folder_changes_nothing(self):
        # Named in the player's language; "ó" holds the byte that code page
        # 437 draws as a box line, so only the name as it is will match.
        game = os.path.join(self.folder, "Spiele für Velomira ó")
        os.mkdir(game)
        for name, data in {TARGET: self.original, BACKUP: b"earlier"}.items():
            self.put(os.path.join(game, name), data, mode=0o666)
        os.chmod(game, 0o555)
        self.addCleanup(os.chmod, game, 0o755)
        # The advice says what to type: the folder is root's, or the player's
        # own, made read-only. The reason stays the creation's when finding
        # the folder's full name fails after it.
        ours = os.geteuid() != 0
        rows = [(None, (), os.path.realpath(game)), (None, strace(
            "getcwd:error=ENOMEM", options=["-f"]), "."), (NOBODY, (), os.path.realpath(game))]
        for owner, wrapper, named in rows[:2] if ours else rows:
            with self.subTest(folder_named=named, owner=owner):
                if owner is not None:
                    os.chown(game, owner, -1)
                self.check_refused("backup_not_made", "create a file in", named,
                                   "Permission denied", "make_folder_writable" if ours or owner
                                   else "run_with_sudo", folder=game, user=True, wrapper=wrapper)
                self.assertEqual(stat.S_IMODE(os.stat(game).st_mode), 0o555)


if __name__ == "__main__":
    main()
