"""Runs the built program for real, in scratch folders, and says what a
player would see: shared by the end-to-end, terminal and failure tests."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from screens import BANNER, MENU

SEARCH = bytes([0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x14])
REPLACED = bytes([0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x64])
TARGET = "VELORAC.EXE"
BACKUP = "VELORAC.EXE.bku"

PAUSE = b"  [i] Press <ENTER> to exit."
LOOKING = b'  \n  [i] Highway patrol looking for speeding bytes in "VELORAC.EXE"\n'
NOT_FOUND = (b"  [i] Dispatch, the bytes could not be found!\n"
             b"  [i] 10-4. Please restore backup EXE and try again.\n" + PAUSE)
FOUND = b"  [i] Highway patrol has found and arrested the bytes!\n"
INSTALLED = (b"  [i] Perpetrating bytes sent to county jail, patch installed!\n"
             b"  [i] Press <ENTER> to exit. Drive safely!\n")

BOX_DRAWING = {0xB3: "\u2502", 0xBF: "\u2510", 0xC0: "\u2514",
               0xC4: "\u2500", 0xD9: "\u2518", 0xDA: "\u250C"}

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


def missing(folder):
    """What a run in `folder`, where there is no game, says: the folder in full."""
    full = "Z:" + folder.replace("/", "\\") if WINDOWS else os.path.realpath(folder)
    return (b'  \n  [i] Umm... Sorry, but file "VELORAC.EXE" doesn\'t exist.\n'
            b'  [i] Highway patrol looked for it in "' + full.encode() + b'".\n' + PAUSE)


def shown(text):
    """The bytes the program writes to a pipe for `text`, given in code page 437."""
    if WINDOWS:
        return text.replace(b"\n", b"\r\n")
    return b"".join(BOX_DRAWING[b].encode() if b in BOX_DRAWING else bytes([b])
                    for b in text)


def environment(**changes):
    env = dict(os.environ)
    env.update({"WINEDEBUG": "-all"})
    for name, value in changes.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    return env


def run(folder, reply, wrapper=(), timeout=120, command=None, **env_changes):
    """Runs the program (or `command`) in `folder` with `reply` as its whole
    standard input. Returns (exit status, standard output)."""
    if wrapper:
        # LeakSanitizer cannot work under a tracer, and says so by failing.
        env_changes.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    done = subprocess.run(list(wrapper) + (command or COMMAND), cwd=folder, input=reply,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=environment(**env_changes), timeout=timeout)
    return done.returncode, done.stdout


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


class ScratchFolderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="camera-patch-test-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def put(self, name, data, mode=None):
        with open(self.path(name), "wb") as out:
            out.write(data)
        if mode is not None:
            os.chmod(self.path(name), mode)

    def program_anyone_may_run(self):
        """A copy of the program that nobody may run, wherever the build is."""
        place = tempfile.mkdtemp(prefix="camera-patch-program-")
        self.addCleanup(shutil.rmtree, place)
        os.chmod(place, 0o755)
        return [shutil.copy(COMMAND[0], place)]

    def contents(self):
        """Every file left in the folder, by name."""
        found = {}
        for name in os.listdir(self.folder):
            with open(self.path(name), "rb") as f:
                found[name] = f.read()
        return found
