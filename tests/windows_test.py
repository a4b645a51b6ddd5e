"""The Windows build under wine: the program in a console of its own, in the
player's script; targets and folders that Windows would not let us replace;
what the backup keeps; and a Ctrl-C in the middle of a patch."""
import os
import subprocess
import sys
import termios
import time

import harness
from harness import (BACKUP, FOUND, LONG_AGO, MENU_BOTTOM, MENU_SCREEN, PATCH_SCREEN, PAUSE, REPLACED,
                     SEARCH, TARGET, ScratchFolderTest, Session, main, patched, run, said, shown)

# What wine's console puts on the Linux terminal behind it: UTF-8 (as
# MENU_BOTTOM), and ANSI colours for the console's.
LIGHT_RED = b"\x1b[91m"

# What the program's own interruption status, STATUS_CONTROL_C_EXIT, comes
# to as the status of the wine process.
INTERRUPTED = 0xC000013A & 0xFF


class WineConsole(Session):
    """The program in a Windows console: run from a cmd prompt that sets the
    console's code page first, or, without one, started by wine itself, which
    leaves the terminal as it finds it: that one is made raw from the start,
    as wine's console expects (CR is the Enter key)."""

    def __init__(self, folder, code_page=None, **env_changes):
        program = "Z:" + harness.COMMAND[-1].replace("/", "\\")
        command = ["wine", "cmd", "/c", f"chcp {code_page} >nul & {program}"]
        if code_page is None:
            command = harness.COMMAND
        super().__init__(folder, command, raw=code_page is None, **env_changes)

    def type(self, keys, timeout=30):
        # The console takes the terminal raw once the program first asks for
        # keys. Keys typed before are cooked by the terminal, which turns Enter
        # into a line feed that the console reads as Ctrl+J: the program would
        # wait for its line's end for ever.
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.master)[3] & termios.ICANON:
            if time.monotonic() > deadline:
                raise AssertionError(f"the console never read keys; screen: {self.screen[-400:]!r}")
            self.read_some(0.05)
        super().type(keys)

    def is_waiting(self):
        """True when the program has printed nothing more for a while. The
        console may still end the line it drew, or show its cursor: that is
        the console's own drawing, not the program's."""
        before = len(self.screen)
        while self.read_some(0.3):
            pass
        drawn = self.screen[before:]
        for code in (b"\x1b[?25h", b"\x1b[?25l", b"\r", b"\n"):
            drawn = drawn.replace(code, b"")
        return drawn == b""

    def interrupt(self):
        """Ctrl-C as a terminal sends it; wine turns the SIGINT into the
        console's Ctrl-C event."""
        attributes = termios.tcgetattr(self.master)
        attributes[3] |= termios.ISIG
        termios.tcsetattr(self.master, termios.TCSANOW, attributes)
        self.type(b"\x03")


def console_at_menu(folder, code_page=None, **env_changes):
    """The program in a wine console, once its menu is on the screen. Now and
    then, with other wine programs starting beside it, wine's cmd cannot start
    the program at all ("Application could not be started ... ShellExecuteEx
    failed: Internal error"): that is wine's launcher, not the program, and the
    program is started once more."""
    for attempt in (1, 2):
        session = WineConsole(folder, code_page, **env_changes)
        try:
            # Where the processor is emulated, cmd and the console take a while.
            session.read_until(MENU_BOTTOM, timeout=90)
            return session
        except AssertionError:
            if attempt == 2 or b"could not be started" not in session.screen:
                raise
            print(f"wine's cmd could not start the program: {session.screen[-200:]!r}",
                  file=sys.stderr)
            session.finish()


class ConsoleTest(ScratchFolderTest):
    def test_colours_and_box_drawing_whatever_the_console_code_page(self):
        for code_page in (437, 850, 1252, 65001):
            with self.subTest(code_page=code_page):
                session = console_at_menu(self.folder, code_page)
                screen = session.screen
                self.assertIn(LIGHT_RED, screen[:screen.index(b".####")])
                self.assertTrue(session.is_waiting())

                session.type(b"q\r")
                self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 0)


def has_locale(name):
    listed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout
    return name.lower().replace("utf-8", "utf8") in listed.lower().split()


class ConsoleTextTest(ScratchFolderTest):
    def test_the_systems_reason_in_the_players_script(self):
        if not has_locale("ru_RU.UTF-8"):
            self.skipTest("no ru_RU.UTF-8 locale: wine would print question marks itself")
        self.put(TARGET, self.original)
        refused = "\": Доступ запрещён."
        # A folder that refuses new files.
        with self.immutable(self.folder):
            session = console_at_menu(self.folder, 65001, LANG="ru_RU.UTF-8")
            session.type(b"c\r")
            session.read_until(PAUSE, timeout=30)
            session.type(b"\r")
            session.finish()
            screen = session.screen.replace(b"\x1b[?25h\x1b[?25l", b"")
            # The folder's name is long, and the console wraps the line.
            self.assertTrue(refused.encode() in screen.replace(b"\r\r\n", b""), screen[-400:])

            # Redirected, the text stays code page 437, and letters it lacks are
            # marked as missing.
            status, out = run(self.folder, b"c\n\n", LANG="ru_RU.UTF-8")
            self.assertEqual(status, 1)
            self.assertIn(refused.encode("cp437", "replace"), out)


class UnreplaceableTargetTest(ScratchFolderTest):
    def test_a_read_only_target_or_backup_is_refused_before_anything_changes(self):
        for name, refusal in ((TARGET, "may_not_replace"), (BACKUP, "earlier_backup_fixed")):
            with self.subTest(read_only=name):
                self.put(TARGET, self.original)
                self.put(BACKUP, b"earlier backup")
                os.chmod(self.path(name), 0o444)
                self.check_refused(refusal, "replace", name, "marked_read_only", "untick_read_only")
                os.chmod(self.path(name), 0o644)
        # A folder in the backup's place is told as one, not as a matter of rights.
        os.remove(self.path(BACKUP))
        os.mkdir(self.path(BACKUP))
        self.check_refused("earlier_backup_fixed", "replace", BACKUP, "is_folder")

    def test_a_folder_that_refuses_new_files_gets_the_administrators_advice(self):
        # Wine refuses what Linux refuses.
        self.put(TARGET, self.original)
        with self.immutable(self.folder):
            status, out = run(self.folder, b"c\n\n")
        self.assertEqual(status, 1)
        self.assertIn(shown(said("run_as_administrator") + said("nothing_changed")), out)
        self.assertEqual(self.contents(), {TARGET: self.original})

    def test_a_running_game_keeps_its_file_and_the_backup_unchanged(self):
        # The stand-in game is the program itself, with its own copy of the
        # search bytes changed and one occurrence after its end, where the
        # loader does not look; it waits at its menu while we patch.
        with open(harness.COMMAND[-1], "rb") as f:
            game = f.read().replace(SEARCH, REPLACED) + SEARCH
        self.put(TARGET, game)
        self.put(BACKUP, b"earlier backup")
        running = subprocess.Popen(["wine", self.path(TARGET)], cwd=self.folder,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, env=harness.environment())
        try:
            menu = shown(MENU_SCREEN)
            self.assertEqual(running.stdout.read(len(menu)), menu)
            status, out = run(self.folder, b"c\n\n")
        finally:
            running.communicate(b"q\n", timeout=60)
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith(shown(PATCH_SCREEN + FOUND + said("locked"))), out[-400:])
        self.assertTrue(out.endswith(shown(said("nothing_changed") + PAUSE)), out[-400:])
        self.assertEqual(self.contents(), {TARGET: game, BACKUP: b"earlier backup"})

        # Once the game is closed, the same file patches.
        self.check_patched(run(self.folder)[0], game)


def attrib(folder, *arguments):
    """Wine's attrib in `folder`: for a name alone, the letters it shows (A, H, R, S)."""
    listed = subprocess.run(["wine", "cmd", "/c", "attrib", *arguments], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=harness.environment(), check=True).stdout
    return set(listed.split(b"Z:")[0].decode().split())


class WhatTheBackupKeepsTest(ScratchFolderTest):
    def test_the_backup_keeps_the_times_and_the_hidden_attribute_and_leftovers_go(self):
        self.put(TARGET, self.original)
        # What killed runs left goes, in any letter case, as Windows names
        # files; names that only look alike stay.
        leftovers = [TARGET + ".tmp-0123abcd", BACKUP + ".tmp-89abcdef",
                     TARGET.lower() + ".tmp-0badc0de", BACKUP.upper() + ".tmp-0BADC0DE"]
        keepers = {TARGET + ".tmp-0123abcd9": b"k", TARGET + ".tmp-ключ": b"k"}
        for name in leftovers + list(keepers):
            self.put(name, b"k")
        attrib(self.folder, "+h", TARGET)
        self.assertEqual(run(self.folder, b"c\n\n")[0], 0)
        self.assertEqual(self.contents(),
                         {TARGET: patched(self.original), BACKUP: self.original, **keepers})
        # The harness gives its files a time long ago, which the backup keeps.
        self.assertEqual(os.stat(self.path(BACKUP)).st_mtime, LONG_AGO)
        self.assertIn("H", attrib(self.folder, BACKUP))


class InterruptionTest(ScratchFolderTest):
    def test_ctrl_c_during_the_patch_leaves_no_temporary_files(self):
        # Caught in the copies, the folder is as before; in the renames, the
        # patch is finished.
        _, status = self.interrupt_patch(lambda: console_at_menu(self.folder),
                                         WineConsole.interrupt, 200 << 20, may_finish=True)
        self.assertEqual(status, INTERRUPTED)


if __name__ == "__main__":
    main()
