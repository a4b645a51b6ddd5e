"""The Windows build under wine: the program in a console of its own, and a
target that Windows would not let us replace."""
import os
import subprocess
import termios
import time

import harness
from harness import (BACKUP, BANNER, FOUND, LOOKING, MENU, PAUSE, REPLACED, SEARCH, TARGET,
                     ScratchFolderTest, main, patched, run, shown)
from terminal_test import Session

PATCH_SCREEN = BANNER + MENU + BANNER + LOOKING + FOUND
LOCKED = b'  [i] Dispatch, "VELORAC.EXE" is locked and cannot be patched.\n'
READ_ONLY = b'  [i] Could not replace "VELORAC.EXE": it is marked read-only.\n'
NOTHING_CHANGED = b'  [i] No file was changed; "VELORAC.EXE" is as it was.\n'

# What wine's console puts on the Linux terminal behind it: UTF-8, and ANSI
# colours for the console's.
MENU_BOTTOM = ("\u2514" + "\u2500" * 56 + "\u2518").encode()
LIGHT_RED = b"\x1b[91m"


class WineConsole(Session):
    """The program in a Windows console, run from a cmd prompt that sets the
    console's code page first."""

    def __init__(self, folder, code_page):
        program = "Z:" + harness.COMMAND[-1].replace("/", "\\")
        super().__init__(folder, ["wine", "cmd", "/c", f"chcp {code_page} >nul & {program}"])

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


class ConsoleTest(ScratchFolderTest):
    def test_colours_and_box_drawing_whatever_the_console_code_page(self):
        for code_page in (437, 850, 1252, 65001):
            with self.subTest(code_page=code_page):
                session = WineConsole(self.folder, code_page)
                screen = session.read_until(MENU_BOTTOM, timeout=30)
                self.assertIn(LIGHT_RED, screen[:screen.index(b".####")])
                self.assertTrue(session.is_waiting())

                session.type(b"q\r")
                self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 0)


class UnreplaceableTargetTest(ScratchFolderTest):
    def test_a_read_only_target_is_refused_before_anything_changes(self):
        original = harness.image()
        self.put(TARGET, original, mode=0o444)
        self.put(BACKUP, b"earlier backup")
        status, out = run(self.folder, b"c\n\n")
        self.assertEqual(status, 1)
        self.assertEqual(out, shown(PATCH_SCREEN + LOCKED + READ_ONLY + NOTHING_CHANGED + PAUSE))
        self.assertEqual(self.contents(), {TARGET: original, BACKUP: b"earlier backup"})

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
            menu = shown(BANNER + MENU)
            self.assertEqual(running.stdout.read(len(menu)), menu)
            status, out = run(self.folder, b"c\n\n")
        finally:
            running.communicate(b"q\n", timeout=60)
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith(shown(PATCH_SCREEN + LOCKED)), out[-400:])
        self.assertTrue(out.endswith(shown(NOTHING_CHANGED + PAUSE)), out[-400:])
        self.assertEqual(self.contents(), {TARGET: game, BACKUP: b"earlier backup"})

        # Once the game is closed, the same file patches.
        self.assertEqual(run(self.folder, b"c\n\n")[0], 0)
        self.assertEqual(self.contents(), {TARGET: patched(game), BACKUP: game})


if __name__ == "__main__":
    main()
