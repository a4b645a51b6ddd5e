"""Runs the built program for real, in scratch folders, and says what a
player would see: shared by every test of the built program.

Two kinds of expected text. The screens and lines the design fixes (banner,
menu, status lines, prompts) are written out here, once, and never read
from the program's source: their exact bytes are the check. The program's
own sentences (failures, outcomes, advice) are read from
patcher/messages.hpp, names filled in, as the player gets them."""
import ast
import contextlib
import os
import pty
import re
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import tty
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SEARCH = bytes([0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x14])
REPLACED = bytes([0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x64])
TARGET = "VELORAC.EXE"
BACKUP = "VELORAC.EXE.bku"
EARLIER_BACKUP = b"an earlier backup, from another version of the game"
# The time the tests' files are given: a game file written a moment ago is
# watched until it has been left alone, which would slow every run.
LONG_AGO = 981173106  # 3 February 2001

# The screens, in code page 437.
BANNER = b"".join([
    b'                 .##################################.\t\t      \n',
    b'               .#....................................#.\t\t      \n',
    b'             .#........................................#. \t      \n',
    b'    ooooo   #............................................#   ooooo    \n',
    b'    oooooo##x............................................x##oooooo    \n',
    b'        ##xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx##        \n',
    b'      #xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx#      \n',
    b'      #xxxx\xb3xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\xb3xxxx#      \n',
    b'      ##xxx\xb3xxxxxxxx\xb3xxxxxxxxxxxxxxxxxxxxxxxxxxxx\xb3xxxxxxxx\xb3xxx##      \n',
    b'      ###xx\xc0' + b'\xc4' * 8 + b'\xd9' + b'x' * 28 + b'\xc0' + b'\xc4' * 8 +
    b'\xd9xx###      \n',
    b'      ##########################################################      \n',
    b'      #####|____|###---------------$--------------###|____|#####      \n',
    b'      ################--------| M-VAST9 |-------################      \n',
    b'      X##################--------------------##################X      \n',
    b'      XXXXXXXXXX######################################XXXXXXXXXX      \n',
    b'      XXXXXXXXX                                        XXXXXXXXX      \n',
    b'                                                                      \n',
])
RULE = b'\xc4' * 56
MENU = b"".join([
    b'      \xda' + RULE + b'\xbf\n',
    b'      \xb3   Velomira Rally Circuit Gold Series - Camera Patch    \xb3\n',
    b'      \xb3' + RULE + b'\xb3\n',
    b'      \xb3   Patch by M-VAST9         \xb3  Target: VELORAC.EXE      \xb3\n',
    b'      \xb3' + RULE + b'\xb3\n',
    b'      \xb3   [ c ]  =  call the cops to apply patch!              \xb3\n',
    b'      \xb3   [ q ]  =  quit the program                           \xb3\n',
    b'      \xc0' + RULE + b'\xd9\n',
])
# The menu's last line as a terminal or console shows it: the sign that the
# program waits for a reply.
MENU_BOTTOM = MENU.split(b"\n")[-2].strip().decode("cp437").encode()

# The status lines and prompts.
PAUSE = b"  [i] Press <ENTER> to exit."
NO_TARGET = b'  [i] Umm... Sorry, but file "VELORAC.EXE" doesn\'t exist.\n'
LOOKING = b'  \n  [i] Highway patrol looking for speeding bytes in "VELORAC.EXE"\n'
NOT_FOUND = (b"  [i] Dispatch, the bytes could not be found!\n"
             b"  [i] 10-4. Please restore backup EXE and try again.\n")
FOUND = b"  [i] Highway patrol has found and arrested the bytes!\n"
CLOSING = b"  [i] Press <ENTER> to exit. Drive safely!\n"
INSTALLED = b"  [i] Perpetrating bytes sent to county jail, patch installed!\n" + CLOSING
MENU_SCREEN = BANNER + MENU
PATCH_SCREEN = MENU_SCREEN + BANNER + LOOKING

STRING = r'"(?:[^"\\]|\\.)*"'


def texts(header):
    """(section, name, text) for each constant of patcher/messages.hpp, in order."""
    section = None
    pattern = rf"namespace messages::(\w+) {{|inline constexpr char (\w+)\[\] =((?:\s*{STRING})+);"
    for match in re.finditer(pattern, header):
        if match[1]:
            section = match[1]
        else:
            text = "".join(ast.literal_eval(part) for part in re.findall(STRING, match[3]))
            yield section, match[2], text


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8", newline="") as f:
        return f.read()


MESSAGES = {name: text for _, name, text in texts(read("patcher", "messages.hpp"))}
assert len(MESSAGES) == len(list(texts(read("patcher", "messages.hpp")))), "a name used twice"


def sentence(name, **names):
    """The program's sentence `name`, with the game's names and `names` filled in;
    the undo as advised to a program started from elsewhere, as the tests start it."""
    names = {"target": TARGET, "backup": BACKUP, **names}
    if "{undo}" in MESSAGES[name] and "undo" not in names:
        names["undo"] = undo_advice(None)
    return re.sub(r"\{(\w+)\}", lambda m: names.get(m[1], m[0]), MESSAGES[name])


def said(name, **names):
    """The line the program prints for its sentence `name`, names filled in."""
    return b"  [i] " + sentence(name, **names).encode() + b"\n"


def at_gate(cause, **names):
    """The end of a run refused at the gate: the two fixed lines, the
    program's sentence `cause` that says why, the pause."""
    return NOT_FOUND + said(cause, **names) + PAUSE


def could_not(action, file, reason):
    """The line that names a failing call; `reason` a sentence's name or the system's words.
    `action` is written out: the words that fill it are in no document that would check them."""
    return said("could_not", action=action, file=file, reason=MESSAGES.get(reason, reason))


# Where a refusal comes, when not once the bytes are found: the screen before
# its headline, and what it then says of the folder. Refused as it is
# opened, the target was never looked at, and nothing is said of the folder.
REFUSED_AT = {"not_opened": (PATCH_SCREEN, said("nothing_changed")),
              "not_searched": (PATCH_SCREEN, said("nothing_changed")),
              "missing_not_put_back": (MENU_SCREEN + BANNER, said("no_game_to_put_back"))}


# Set from the command line by configure(): how to start the program, and
# whether it is the Windows build (run under wine), which writes the code
# page 437 bytes as they are, with the CR LF line ends of text mode.
COMMAND = []
WINDOWS = False


def configure(argv):
    """Takes `[--windows] PROGRAM` off the command line; returns the rest."""
    global COMMAND, WINDOWS
    args = argv[1:]
    if args and args[0] == "--windows":
        WINDOWS = True
        args = args[1:]
    program = os.path.abspath(args[0])
    COMMAND = ["wine", program] if WINDOWS else [program]
    return [argv[0]] + args[1:]


def main():
    unittest.main(argv=configure(sys.argv))


def looked_in(folder):
    """The line that names `folder`, in full, as where the program looked."""
    return said("looked_in", folder="Z:" + folder.replace("/", "\\") if WINDOWS else
                os.path.realpath(folder))


def missing(folder):
    """What a run in `folder`, where there is no game, says."""
    return b"  \n" + NO_TARGET + looked_in(folder) + point_at_game(folder) + PAUSE


def typed(word):
    """`word` quoted as the program quotes it for its console's shell."""
    if not re.search(r"[ &()\[\]{}^=;!'+,`~%]|^$" if WINDOWS else r"[^\w@%+=:,./-]|^$", word, re.A):
        return word
    return f'"{word}"' if WINDOWS else "'" + word.replace("'", "'\\''") + "'"


def program_typed(folder, program=None):
    """The program (else the one tested) as advice names it in `folder`:
    by its full path, or as ./name in its own folder."""
    program = os.path.realpath(program or COMMAND[-1])
    if WINDOWS:
        return typed("Z:" + program.replace("/", "\\"))
    here = folder and os.path.dirname(program) == os.path.realpath(folder)
    return "./" + os.path.basename(program) if here else typed(program)


def undo_advice(folder, program=None, game=None):
    """The {undo} of a second run where no undo script is beside the program."""
    return sentence("undo_by_typing", command=" ".join(
        [program_typed(folder, program), "--restore"] + ([typed(game)] if game else [])))


def point_at_game(folder, undoing=False):
    """The line after a game not found in `folder`, the program started as the tests start it."""
    if WINDOWS and not undoing:
        return said("point_by_dragging", file=program_typed(folder).strip('"'))
    return said("point_by_typing", command=program_typed(folder) + " --restore" * undoing)


def shown(text):
    """The bytes the program writes to a pipe for `text`, given in code page 437."""
    if WINDOWS:
        return text.replace(b"\n", b"\r\n")
    return b"".join(bytes([b]).decode("cp437").encode() if b in BOX_DRAWING else bytes([b])
                    for b in text)


BOX_DRAWING = (0xB3, 0xBF, 0xC0, 0xC4, 0xD9, 0xDA)


def environment(**changes):
    """The tests' environment with `changes`; a name changed to None is left out."""
    env = {**os.environ, "WINEDEBUG": "-all", **changes}
    return {name: value for name, value in env.items() if value is not None}


def run(folder, reply=b"c\n\n", wrapper=(), timeout=120, command=None, **env_changes):
    """Runs the program (or `command`) in `folder` with `reply` as its whole
    standard input. Returns (exit status, standard output)."""
    if wrapper:
        # LeakSanitizer cannot work under a tracer, and says so by failing.
        env_changes.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    done = subprocess.run(list(wrapper) + (command or COMMAND), cwd=folder, input=reply,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=environment(**env_changes), timeout=timeout)
    return done.returncode, done.stdout


def strace(*injections, log="/dev/null", options=()):
    """A wrapper that makes each system call of `injections` ("fsync:error=EIO:when=3")
    fail, or signal, as it says."""
    return ["strace", "-qq", "-o", log, *options,
            *(part for injection in injections for part in ("-e", "inject=" + injection))]


def as_unprivileged_user():
    """A wrapper that runs the program as nobody, for whom permissions hold."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        raise unittest.SkipTest("setpriv is needed to drop root's privileges")
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def image(lead=4000, tail=3000):
    """An executable-like image holding the search bytes exactly once."""
    filler = bytes((i * 7 + 3) % 251 for i in range(lead + tail)).replace(b"\x89", b"\x90")
    return filler[:lead] + SEARCH + filler[lead:]


def patched(original):
    return original.replace(SEARCH, REPLACED)


# Where the search bytes stand in a large target.
LARGE_AT = image().index(SEARCH)


def large_target(path, size):
    """A target of `size` bytes, long enough to take a while to copy: the
    image, then a hole, which costs no disk to make."""
    with open(path, "wb") as f:
        f.write(image())
        f.truncate(size)
    os.utime(path, (LONG_AGO, LONG_AGO))


def large_target_holds(path, size, expected):
    """True when the large file at `path` is whole, with `expected` where the search bytes stood."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size != size or f.read(LARGE_AT) != image()[:LARGE_AT]:
            return False
        head = expected + image()[LARGE_AT + len(expected):]
        return f.read(len(head)) == head and all(
            chunk.count(0) == len(chunk) for chunk in iter(lambda: f.read(1 << 24), b""))


def wait_for_temporary_file(folder, timeout=60, meanwhile=lambda: time.sleep(0.001),
                            screen=lambda: b"", name=".tmp-"):
    """Waits until a run's temporary file (one whose name holds `name`)
    appears in `folder`: the patch is writing."""
    deadline = time.monotonic() + timeout
    while not any(name in entry for entry in os.listdir(folder)):
        if time.monotonic() > deadline:
            raise AssertionError(f"no temporary file appeared; screen: {screen()[-400:]!r}")
        meanwhile()


class Session:
    """One run of the program on its own terminal."""

    def __init__(self, folder, command=None, raw=False, **env_changes):
        command = command or COMMAND
        env = environment(**env_changes)
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


class ScratchFolderTest(unittest.TestCase):
    original = image()
    maxDiff = 2000  # room for a refusal's lines, side by side

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="camera-patch-test-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def put(self, name, data, mode=None):
        """Writes `name`, in the scratch folder unless it is a full path, as
        a file written long ago."""
        with open(self.path(name), "wb") as out:
            out.write(data)
        os.utime(self.path(name), (LONG_AGO, LONG_AGO))
        if mode is not None:
            os.chmod(self.path(name), mode)

    def contents(self, folder=None):
        """Every file in the scratch folder, or in `folder`, by name. What is
        no plain file (a folder, a device, a pipe, a link to nowhere), which
        a read would fail on or wait on for ever, is told by its kind."""
        folder = folder or self.folder
        found = {}
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                link = os.readlink(path) if os.path.islink(path) else ""
                found[name] = f"<{stat.filemode(os.lstat(path).st_mode)} {link}>".encode()
                continue
            with open(path, "rb") as f:
                found[name] = f.read()
        return found

    def check_patched(self, status=0, original=None, folder=None):
        """A complete patch: status 0, the target patched and its exact backup beside it."""
        original = self.original if original is None else original
        self.assertEqual(status, 0)
        self.assertTrue(self.contents(folder) == {TARGET: patched(original), BACKUP: original},
                        "not patched, with the backup beside it")

    def judged_run(self, folder=None, user=False, wrapper=()):
        """Runs a patch in the scratch folder, or `folder`, as nobody with
        `user`; returns the status and output, once the run is judged by its
        own words (tests/promise.py)."""
        from promise import broken_promises  # which judges by this module's texts
        folder = folder or self.folder
        before = self.contents(folder)
        status, out = self.run_as_user(folder, wrapper) if user else run(folder, wrapper=wrapper)
        after = self.contents(folder)
        self.assertEqual(broken_promises(before, after, status, out), [], out[-500:])
        return status, out

    def check_refused(self, headline, action, file, reason, advice=None, folder=None, user=False,
                      wrapper=()):
        """A judged patch (above), refused before anything changed: status 1;
        after the screen, the headline, the failing call, any advice, that no
        file was changed, the pause; every file as it was."""
        before = self.contents(folder)
        status, out = self.judged_run(folder, user, wrapper)
        self.assertEqual(status, 1, out[-500:])
        screen, outcome = REFUSED_AT.get(headline, (PATCH_SCREEN + FOUND, said("nothing_changed")))
        # The file's name goes out as it is: only the program's own words are code page 437.
        told = shown(said(headline) + could_not(action, "\0", reason) +
                     (said(advice, file="\0", folder="\0") if advice else b"") + outcome + PAUSE)
        told = told.replace(b"\0", file.encode())
        # As text, so that a failure shows the lines that differ.
        self.assertEqual(*(text.decode(errors="surrogateescape")
                           for text in (out[len(shown(screen)):], told)))
        self.assertTrue(out.startswith(shown(screen)), "not the screen before the refusal")
        self.assertEqual(self.contents(folder), before)

    @contextlib.contextmanager
    def immutable(self, path, mark="i"):
        """`path` marked immutable, which refuses even root, or with "a"
        append-only, while the block runs; the test is skipped, visibly, where
        the mark is refused."""
        if shutil.which("chattr") is None or subprocess.run(
                ["chattr", "+" + mark, path], stderr=subprocess.DEVNULL).returncode:
            self.skipTest(f"chattr +{mark} is not allowed here")
        try:
            yield
        finally:
            subprocess.run(["chattr", "-" + mark, path], check=True)

    def interrupt_patch(self, at_menu, interrupt, size, may_finish=False):
        """Patches a target of `size` bytes in the session `at_menu()` starts,
        long enough to take a while, and calls `interrupt(session)` once its
        temporary file is there. Nothing temporary is left: the folder is as
        it was, or, `may_finish` (caught in the renames), fully patched and
        said so. Returns the session, ended, and its exit status."""
        large_target(self.path(TARGET), size)
        session = at_menu()
        session.type(b"c\r")
        # Where the processor is emulated, the search alone takes a while.
        wait_for_temporary_file(self.folder, 90, lambda: session.read_some(0.002),
                                lambda: session.screen)
        interrupt(session)
        status = os.waitstatus_to_exitcode(session.finish())
        left = sorted(os.listdir(self.folder))
        self.assertIn(left, ([TARGET], [TARGET, BACKUP]) if may_finish else ([TARGET],))
        if BACKUP in left:
            self.assertTrue(large_target_holds(self.path(TARGET), size, REPLACED))
            self.assertTrue(large_target_holds(self.path(BACKUP), size, SEARCH))
            self.assertIn(b"patch installed!", session.screen)
        else:
            self.assertTrue(large_target_holds(self.path(TARGET), size, SEARCH))
        return session, status

    def program_anyone_may_run(self):
        """A copy of the program that nobody may run, wherever the build is."""
        place = tempfile.mkdtemp(prefix="camera-patch-program-")
        self.addCleanup(shutil.rmtree, place)
        os.chmod(place, 0o755)
        return [shutil.copy(COMMAND[0], place)]

    def run_as_user(self, folder=None, wrapper=()):
        """A patch run as nobody (when the tests run as root), in `folder`."""
        return run(folder or self.folder, wrapper=[*wrapper, *as_unprivileged_user()],
                   command=self.program_anyone_may_run())
