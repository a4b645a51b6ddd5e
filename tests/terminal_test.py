"""The program in a real pseudo-terminal, as a player on Linux sees it: the
screen cleared, the colours set and given back, prompts on screen while the
program waits."""
import os
import pty
import select
import signal
import time
import tty

import harness
from harness import (MENU_BOTTOM, PAUSE, SEARCH, TARGET, ScratchFolderTest, image,
                     large_target, large_target_holds, main, wait_for_temporary_file)

SET_COLOUR = b"\x1b[91;40m"
RESET = b"\x1b[0m"
CLEAR = b"\x1b[2J\x1b[H"


class Session:
    """One run of the program on its own terminal."""

    def __init__(self, folder, command=None, raw=False, **env_changes):
        command = command or harness.COMMAND
        env = harness.environment(**env_changes)
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            try:
                if raw:  # as wine's console expects: CR is the Enter key
                    tty.setraw(0)
                os.chdir(folder)
                os.execvpe(command[0], command, env)
            except OSError as error:  # shown on the screen the test reports
                os.write(2, f"{command[0]}: {error}\n".encode())
            finally:
                # A child that cannot start must not go on to run the tests a second time.
                os._exit(127)
        self.screen = b""

    def read_until(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        while text not in self.screen:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self.read_some(remaining):
                raise AssertionError(f"never saw {text!r}; screen: {self.screen[-400:]!r}")
        return self.screen

    def read_some(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:  # the program has gone and the terminal with it
            return False
        self.screen += data
        return bool(data)

    def is_waiting(self):
        """True when the program has printed nothing more for a while."""
        before = len(self.screen)
        self.read_some(0.3)
        return len(self.screen) == before

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self, timeout=60):
        """Waits for the program to end, reading its screen meanwhile, and only
        then closes the terminal: closed earlier, it hangs up on a program still
        on its way out, which under wine takes a while. The end of the output
        is no sign of the end: a program may let go of its terminal before it
        ends, and wine's console and server may hold it open after."""
        deadline = time.monotonic() + timeout
        ended = os.pidfd_open(self.pid)
        watched = [self.master, ended]
        try:
            while True:
                remaining = deadline - time.monotonic()
                ready, _, _ = select.select(watched, [], [], max(remaining, 0))
                if ended in ready:
                    break
                if not ready:
                    os.kill(self.pid, signal.SIGKILL)
                    os.waitpid(self.pid, 0)
                    os.close(self.master)
                    raise AssertionError(f"never ended; screen: {self.screen[-400:]!r}")
                if not self.read_some(0):  # no one has the terminal open now
                    watched.remove(self.master)
        finally:
            os.close(ended)
        _, status = os.waitpid(self.pid, 0)
        while self.read_some(0):
            pass
        os.close(self.master)
        return status


class TerminalTest(ScratchFolderTest):
    def test_colours_are_set_cleared_and_given_back(self):
        session = Session(self.folder, TERM="xterm", NO_COLOR=None)
        screen = session.read_until(MENU_BOTTOM)
        self.assertTrue(screen.startswith(SET_COLOUR + CLEAR), screen[:40])
        self.assertTrue(session.is_waiting())

        session.type(b"c\r")
        screen = session.read_until(PAUSE)
        self.assertTrue(session.is_waiting())
        # The second screen starts on a cleared terminal.
        self.assertEqual(screen.count(CLEAR), 2)
        self.assertGreater(screen.rindex(CLEAR), screen.index(MENU_BOTTOM))

        session.type(b"\r")
        status = session.finish()
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertTrue(session.screen.endswith(RESET), session.screen[-40:])

    def test_colours_are_given_back_on_failure_and_on_interrupt(self):
        self.put(TARGET, image() + SEARCH)
        session = Session(self.folder, TERM="xterm-256color", NO_COLOR=None)
        session.read_until(MENU_BOTTOM)
        session.type(b"c\r")
        session.read_until(PAUSE)
        session.type(b"\r")
        self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 1)
        self.assertTrue(session.screen.endswith(RESET))

        session = Session(self.folder, TERM="xterm", NO_COLOR=None)
        session.read_until(MENU_BOTTOM)
        session.type(b"\x03")
        status = session.finish()
        self.assertEqual(os.waitstatus_to_exitcode(status), -signal.SIGINT)
        self.assertIn(RESET, session.screen[session.screen.index(MENU_BOTTOM):])

    def test_an_interrupted_patch_leaves_the_folder_as_it_was(self):
        # Large enough that the copies are still being written when the signal comes.
        size = 128 << 20
        large_target(self.path(TARGET), size)
        for sent in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sent.name):
                session = Session(self.folder, TERM="xterm", NO_COLOR=None)
                session.read_until(MENU_BOTTOM)
                session.type(b"c\r")
                wait_for_temporary_file(self.folder, 30)
                if sent == signal.SIGINT:
                    session.type(b"\x03")
                else:
                    os.kill(session.pid, sent)
                status = session.finish()
                self.assertEqual(os.waitstatus_to_exitcode(status), -sent)
                self.assertTrue(session.screen.endswith(RESET), session.screen[-80:])
                # Stopped in the middle of the copy, so nothing was changed.
                self.assertEqual(os.listdir(self.folder), [TARGET])
                self.assertTrue(large_target_holds(self.path(TARGET), size, SEARCH))

    def test_help_and_version_leave_the_terminal_alone(self):
        for argument in ("--help", "--version"):
            session = Session(self.folder, harness.COMMAND + [argument], TERM="xterm", NO_COLOR=None)
            self.assertEqual(os.waitstatus_to_exitcode(session.finish()), 0)
            self.assertTrue(session.screen.startswith(b"Usage:" if argument == "--help" else
                                                      b"camera-patch "), session.screen)
            self.assertNotIn(b"\x1b", session.screen)

    def test_no_colour_and_dumb_terminals(self):
        session = Session(self.folder, TERM="xterm", NO_COLOR="1")
        screen = session.read_until(MENU_BOTTOM)
        self.assertTrue(screen.startswith(CLEAR))
        session.type(b"q\r")
        session.finish()
        self.assertNotIn(b"\x1b[9", session.screen)
        self.assertNotIn(RESET, session.screen)

        session = Session(self.folder, TERM="dumb")
        session.read_until(MENU_BOTTOM)
        session.type(b"q\r")
        session.finish()
        self.assertNotIn(b"\x1b", session.screen)


if __name__ == "__main__":
    main()
