"""The program in a real pseudo-terminal, as a player on Linux sees it: the
screen cleared, the colours set and given back, prompts on screen while the
program waits."""
import os
import signal

import harness
from harness import MENU_BOTTOM, PAUSE, SEARCH, TARGET, ScratchFolderTest, Session, main

SET_COLOUR = b"\x1b[91;40m"
RESET = b"\x1b[0m"
CLEAR = b"\x1b[2J\x1b[H"


def at_menu(folder, term="xterm", no_color=None):
    """The program on a terminal of the kind `term`, once its menu is on the screen."""
    session = Session(folder, TERM=term, NO_COLOR=no_color)
    session.read_until(MENU_BOTTOM)
    return session


class TerminalTest(ScratchFolderTest):
    def test_colours_are_set_cleared_and_given_back(self):
        session = at_menu(self.folder)
        self.assertTrue(session.screen.startswith(SET_COLOUR + CLEAR), session.screen[:40])
        self.assertTrue(session.is_waiting())

        session.type(b"c\r")
        screen = session.read_until(PAUSE)
        self.assertTrue(session.is_waiting())
        # The second screen starts on a cleared terminal.
        self.assertEqual(screen.count(CLEAR), 2)
        self.assertGreater(screen.rindex(CLEAR), screen.index(MENU_BOTTOM))

        session.type(b"\r")
        self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 0)
        self.assertTrue(session.screen.endswith(RESET), session.screen[-40:])

    def test_colours_are_given_back_on_failure_and_on_interrupt(self):
        self.put(TARGET, self.original + SEARCH)
        session = at_menu(self.folder, "xterm-256color")
        session.type(b"c\r")
        session.read_until(PAUSE)
        session.type(b"\r")
        self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 1)
        self.assertTrue(session.screen.endswith(RESET))

        session = at_menu(self.folder)
        session.type(b"\x03")
        self.assertEqual(os.waitstatus_to_exitcode(session.finish()), -signal.SIGINT)
        self.assertIn(RESET, session.screen[session.screen.index(MENU_BOTTOM):])

    def test_an_interrupted_patch_leaves_the_folder_as_it_was(self):
        for sent in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sent.name):
                # Large enough that the copies are still being written when the
                # signal comes: stopped there, nothing was changed.
                interrupt = ((lambda session: session.type(b"\x03")) if sent == signal.SIGINT else
                             (lambda session: os.kill(session.pid, sent)))
                session, status = self.interrupt_patch(lambda: at_menu(self.folder), interrupt,
                                                       128 << 20)
                self.assertEqual(status, -sent)
                self.assertTrue(session.screen.endswith(RESET), session.screen[-80:])

    def test_help_and_version_leave_the_terminal_alone(self):
        for argument in ("--help", "--version"):
            session = Session(self.folder, harness.COMMAND + [argument], TERM="xterm", NO_COLOR=None)
            self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 0)
            self.assertTrue(session.screen.startswith(b"Usage:" if argument == "--help" else
                                                      b"camera-patch "), session.screen)
            self.assertNotIn(b"\x1b", session.screen)

    def test_no_colour_and_dumb_terminals(self):
        session = at_menu(self.folder, no_color="1")
        self.assertTrue(session.screen.startswith(CLEAR))
        session.type(b"q\r")
        session.finish()
        self.assertNotIn(b"\x1b[9", session.screen)
        self.assertNotIn(RESET, session.screen)

        session = at_menu(self.folder, "dumb")
        session.type(b"q\r")
        session.finish()
        self.assertNotIn(b"\x1b", session.screen)


if __name__ == "__main__":
    main()
