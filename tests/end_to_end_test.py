"""The built program, run end to end in scratch folders with piped input:
exact output, exit status and the files left behind."""
import os
import re
import shutil
import stat
import subprocess

from harness import (BACKUP, BANNER, CLOSING, EARLIER_BACKUP, FOUND, INSTALLED, LOOKING, MENU,
                     MENU_SCREEN, PATCH_SCREEN, PAUSE, SEARCH, REPLACED, TARGET,
                     ROOT, ScratchFolderTest, at_gate, large_target, large_target_holds, looked_in, main,
                     missing, patched, point_at_game, read, run, said, sentence, shown, undo_advice,
                     wait_for_temporary_file)
import harness

VERSION = re.search(r"project\(camera-patch VERSION ([0-9.]+)", read("CMakeLists.txt"))[1]


class MenuTest(ScratchFolderTest):
    def test_quit_and_every_other_reply_leave_without_touching_anything(self):
        self.put(TARGET, self.original)
        replies = [b"q\n", b"q\r\n", b"Q\n", b"C\n", b" c\n", b"c \n", b"cq\n", b"\n", b"",
                   b"c", b"x" * 40 + b"\n", b"cccccccccc\n", b"\x00c\n", b"\xff\xfe\n"]
        for reply in replies:
            with self.subTest(reply=reply):
                self.assertEqual(run(self.folder, reply), (0, shown(MENU_SCREEN)))
                self.assertEqual(self.contents(), {TARGET: self.original})

    def test_a_long_line_is_cut_and_its_rest_answers_nothing(self):
        # "c\n" after nine characters is the rest of the same line, not a reply.
        self.put(TARGET, self.original)
        self.assertEqual(run(self.folder, b"123456789c\n"), (0, shown(MENU_SCREEN)))
        self.assertEqual(sorted(self.contents()), [TARGET])


    def test_help_and_version_answer_alone_and_other_arguments_get_the_menu(self):
        self.put(TARGET, self.original)
        usage = b"Usage: camera-patch [GAME]\n"
        answers = {"--help": usage, "-h": usage, "--version": f"camera-patch {VERSION}\n".encode()}
        others = ["--HELP", "-help", "--version=1", "VELORAC.EXE", "-h -h"]
        if harness.WINDOWS:
            answers["/?"] = usage
        for argument, answer in answers.items():
            with self.subTest(argument):
                # A "c" waiting on standard input must not be read as a reply.
                status, out = run(self.folder, b"c\n\n", command=harness.COMMAND + [argument])
                self.assertEqual(status, 0)
                self.assertTrue(out.startswith(shown(answer)), out)
                self.assertNotIn(shown(MENU[:80]), out)
                self.assertEqual(self.contents(), {TARGET: self.original})
        for argument in others:
            with self.subTest(argument):
                self.assertEqual(run(self.folder, b"q\n", command=harness.COMMAND + [argument]),
                                 (0, shown(MENU_SCREEN)))


class StandardInputTest(ScratchFolderTest):
    def run_fed_by(self, feeder=None, close=False):
        """Runs the program with standard input closed, or fed by an endless command."""
        source = subprocess.Popen(feeder, stdout=subprocess.PIPE) if feeder else None
        done = subprocess.run(harness.COMMAND, cwd=self.folder, stdout=subprocess.PIPE,
                              stdin=source.stdout if source else None,
                              preexec_fn=(lambda: os.close(0)) if close else None,
                              env=harness.environment(), timeout=120)
        if source:
            source.stdout.close()
            source.kill()
            source.wait()
        return done.returncode, done.stdout

    def test_closed_binary_and_endless_input(self):
        self.put(TARGET, self.original)
        for name, status, out in [
            ("closed", *self.run_fed_by(close=True)),
            ("endless zero bytes", *self.run_fed_by(["cat", "/dev/zero"])),
            ("endless other replies", *self.run_fed_by(["yes", "quit"])),
        ]:
            with self.subTest(name):
                self.assertEqual((status, out), (0, shown(MENU_SCREEN)))
                self.assertEqual(self.contents(), {TARGET: self.original})

        # Endless "c" answers the menu, then the closing prompt.
        status, out = self.run_fed_by(["yes", "c"])
        self.assertEqual(out, shown(PATCH_SCREEN + FOUND + INSTALLED))
        self.check_patched(status)
        # ... and the pause after the gate refuses the patched file.
        self.assertEqual(self.run_fed_by(["yes", "c"]),
                         (1, shown(PATCH_SCREEN + at_gate("patched_already"))))


class PatchTest(ScratchFolderTest):
    def test_missing_target(self):
        self.assertEqual(run(self.folder), (0, shown(MENU_SCREEN + BANNER + missing(self.folder))))
        self.assertEqual(self.contents(), {})

        # Only a backup, as a run ended half way leaves it: the game is put
        # back from it, by the names it goes by, and then patched.
        backup = BACKUP if harness.WINDOWS else "velorac.exe.BKU"
        game = backup[:-len(".bku")]
        self.put(backup, self.original)
        status, out = run(self.folder)
        self.assertEqual(status, 0)
        self.assertIn(shown(said("missing_put_back", target=game, backup=backup)), out)
        self.assertEqual(self.contents(), {game: patched(self.original), backup: self.original})

    def test_success_patches_one_byte_and_keeps_an_exact_backup(self):
        self.put(TARGET, self.original, mode=0o640)
        status, out = run(self.folder, b"c\r\n\n")
        self.assertEqual(out, shown(PATCH_SCREEN + FOUND + INSTALLED))
        self.check_patched(status)
        differing = [i for i, (a, b) in enumerate(zip(self.original, self.contents()[TARGET]))
                     if a != b]
        self.assertEqual(differing, [self.original.index(SEARCH) + 5])
        if not harness.WINDOWS:
            self.assertEqual(stat.S_IMODE(os.stat(self.path(TARGET)).st_mode), 0o640)

    def test_input_ending_at_the_closing_prompt_still_patches(self):
        self.put(TARGET, self.original)
        status, out = run(self.folder, b"c\n")
        self.assertEqual(out, shown(PATCH_SCREEN + FOUND + INSTALLED))
        self.check_patched(status)

    def test_an_earlier_backup_is_replaced_by_the_current_target(self):
        self.put(TARGET, self.original)
        self.put(BACKUP, b"an older backup")
        self.check_patched(run(self.folder)[0])

    def test_the_gate_refuses_anything_but_exactly_one_occurrence(self):
        once = self.original
        # Each with the line that says why; one counting pass tells them apart.
        cases = {"already patched": (patched(once), "patched_already"),
                 "twice": (once + SEARCH, "found_many"),
                 "twice, the second after a partial match": (once + SEARCH[:3] + SEARCH,
                                                              "found_many"),
                 "patched twice": (patched(once) + REPLACED, "other_version"),
                 "empty": (b"", "other_version")}
        for name, (data, cause) in cases.items():
            with self.subTest(name):
                self.put(TARGET, data)
                self.put(BACKUP, b"earlier backup")
                self.assertEqual(run(self.folder),
                                 (1, shown(PATCH_SCREEN + at_gate(cause, number="2"))))
                self.assertEqual(self.contents(), {TARGET: data, BACKUP: b"earlier backup"})

    def test_an_occurrence_right_after_a_partial_match_is_found(self):
        original = b"\x00" * 100 + SEARCH[:1] + SEARCH + b"\x00" * 100
        self.put(TARGET, original)
        self.assertEqual(run(self.folder)[0], 0)
        self.assertEqual(self.contents()[TARGET], original.replace(SEARCH, REPLACED))

    def test_a_second_run_stops_at_the_gate_and_its_advice_undoes_the_patch_as_typed(self):
        # The program beside the game, as players put it; in its own folder, given the game.
        for home, start, given in (("game", "game", None), ("my tools", "start", "the game")):
            with self.subTest(given=given):
                home, start = self.path(home), self.path(start)
                folder = self.path(given or home)
                game = lambda: {name: self.contents(folder)[name] for name in (TARGET, BACKUP)}
                for made in (home, start, folder):
                    os.makedirs(made, exist_ok=True)
                self.put(os.path.join(folder, TARGET), self.original)
                program = shutil.copy(harness.COMMAND[-1], home)
                named = as_given(os.path.join(folder, TARGET)) if given else TARGET
                advice = undo_advice(start, program, given and named)
                if harness.WINDOWS and not given:  # the undo's script beside it, to double-click
                    advice = sentence("undo_by_double_click", file=as_given(
                        shutil.copy(os.path.join(ROOT, "packaging", "undo-camera-patch.cmd"), home)))
                elif not given:  # as a player types it
                    program = "./" + os.path.basename(program)
                command = harness.COMMAND[:-1] + [program] + [named] * bool(given)
                self.assertEqual(run(start, command=command)[0], 0)
                status, out = run(start, command=command)
                self.assertEqual((status, out), (1, shown(
                    PATCH_SCREEN.replace(b'"' + TARGET.encode(), b'"' + named.encode()) +
                    at_gate("patched_already", target=named, backup=named + ".bku", undo=advice))))
                self.assertEqual(game(), {TARGET: patched(self.original), BACKUP: self.original})
                printed = re.search(rb'double-click ("[^"]*")|undo the patch: (.*?)\r?\n', out)
                typed_into_shell(start, printed[1] or printed[2])
                self.assertEqual(game(), {TARGET: self.original, BACKUP: self.original})

    def test_a_name_in_other_letter_case_stands_in_when_it_is_the_only_one(self):
        original = self.original
        self.put("velorac.exe", original)
        status, out = run(self.folder)
        self.assertEqual(status, 0)
        if harness.WINDOWS:  # the file system ignores case: the name asked for opens it
            return
        self.assertEqual(out, shown(PATCH_SCREEN.replace(b'"VELORAC.EXE"', b'"velorac.exe"') +
                                    FOUND + INSTALLED))
        self.assertEqual(self.contents(),
                         {"velorac.exe": patched(original), "velorac.exe.bku": original})

        # Two candidates and no exact name: nothing is chosen and nothing changes.
        self.put("Velorac.Exe", original)
        status, out = run(self.folder)
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith(
            b"  \n" + said("several_names", names='"Velorac.Exe", "velorac.exe"') +
            said("rename_one") + PAUSE), out[-300:])
        self.assertEqual(len(self.contents()), 3)

        # The exact name wins over the others.
        self.put(TARGET, original)
        self.assertEqual(run(self.folder)[0], 0)
        self.assertEqual(self.contents()[BACKUP], original)
        self.assertEqual(self.contents()["Velorac.Exe"], original)

    def test_occurrences_across_the_read_block_boundary(self):
        block = 1 << 20
        for start in (block - 5, block - 1, block, 2 * block - 3):
            with self.subTest(start=start):
                original = bytearray(b"\x89\x00" * (start // 2 + 8))
                original[start:start + len(SEARCH)] = SEARCH
                original = bytes(original)
                self.put(TARGET, original)
                if os.path.exists(self.path(BACKUP)):
                    os.remove(self.path(BACKUP))
                self.check_patched(run(self.folder)[0], original)
                # The undo holds the game to its backup across the boundary too.
                undo = run(self.folder, b"\n", command=harness.COMMAND + ["--restore"])
                self.assertEqual((undo[0], self.contents()),
                                 (0, {TARGET: original, BACKUP: original}))


def typed_into_shell(folder, line):
    """Runs `line` as a player types it into a shell in `folder` (wine's cmd reads a batch file)."""
    if harness.WINDOWS:
        with open(os.path.join(folder, "typed.cmd"), "wb") as script:
            script.write(b"@" + line + b"\r\n")
    subprocess.run(["wine", "cmd", "/c", "typed.cmd"] if harness.WINDOWS else ["sh", "-c", line],
                   cwd=folder, input=b"\n", stdout=subprocess.DEVNULL, env=harness.environment(),
                   timeout=120)


def as_given(path):
    """`path` as a player hands it to the program: under wine, a Windows path."""
    return "Z:" + path.replace("/", "\\") if harness.WINDOWS else path


class GivenPathTest(ScratchFolderTest):
    def test_a_game_file_or_its_folder_given_is_patched_in_its_own_folder(self):
        """As a file dropped on the program starts it: that file, or the game
        in the folder given, is patched where it is, and the folder the
        program was started in keeps its own game as it was."""
        start, game = self.path("start"), self.path("game")
        # A path past the 250 characters a fixed buffer of old would hold.
        deep = os.path.join(self.folder, *[f"a-folder-with-a-long-name-{i}" for i in range(10)])
        rows = [(os.path.join(game, TARGET), game, TARGET), (game, game, TARGET),
                (os.path.join(deep, TARGET), deep, TARGET)]
        if not harness.WINDOWS:  # a name in other letter case, as the folder has it
            rows.append((os.path.join(game, "velorac.exe"), game, "velorac.exe"))
        for given, where, name in rows:
            with self.subTest(given=given[-60:]):
                for folder, files in ((start, {TARGET: self.original}),
                                      (where, {name: self.original})):
                    shutil.rmtree(folder, ignore_errors=True)
                    os.makedirs(folder)
                    for file, data in files.items():
                        self.put(os.path.join(folder, file), data)
                named = as_given(given if given.endswith(name) else os.path.join(given, name))
                status, out = run(start, command=harness.COMMAND + [as_given(given)])
                self.assertEqual((status, out), (0, shown(
                    MENU_SCREEN + BANNER + LOOKING.replace(TARGET.encode(), named.encode()) +
                    FOUND + INSTALLED)))
                self.assertEqual(self.contents(where), {name: patched(self.original),
                                                        name + ".bku": self.original})
                self.assertEqual(self.contents(start), {TARGET: self.original})

        # A file of another name is no game, and a path that leads nowhere (a
        # slip in typing the folder) never stands for the folder started in:
        # nothing changes anywhere, for the patch and the undo alike.
        other = os.path.join(game, "RALLY.EXE")
        self.put(other, self.original)
        before = self.contents(game)
        typo = os.path.join(game + "-typo", TARGET)
        for given, refusal, options in ((other, "only_the_game", []), (typo, "names_nothing", []),
                                        (typo, "names_nothing", ["--restore"]),
                                        (game + "-typo", "names_nothing", [])):
            with self.subTest(given=given, options=options):
                self.assertEqual(run(start, command=harness.COMMAND + options + [as_given(given)]),
                                 (1, shown(BANNER + b"  \n" + said(refusal, file=as_given(given)) +
                                           said("nothing_changed_anywhere") + PAUSE)))
                self.assertEqual((self.contents(game), self.contents(start)),
                                 (before, {TARGET: self.original}))


class UndoTest(ScratchFolderTest):
    def test_the_undo_puts_back_only_the_games_own_original(self):
        original = self.original
        restoring = b"  \n" + said("restoring")
        undone = {TARGET: original, BACKUP: original}
        # What the folder holds, the exit status, what follows the banner,
        # and what the folder holds after.
        rows = [({TARGET: patched(original), BACKUP: original}, 0,
                 restoring + said("restored") + CLOSING, undone),
                ({BACKUP: original}, 0, restoring + said("restored") + CLOSING, undone),
                (undone, 0, restoring + said("nothing_to_undo") + CLOSING, undone),
                ({TARGET: patched(original), BACKUP: EARLIER_BACKUP}, 1,
                 restoring + said("no_original_in_backup") + said("keep_other_backup") + PAUSE,
                 None),
                ({BACKUP: EARLIER_BACKUP}, 1, restoring + said("no_original_in_backup") +
                 said("nothing_changed_anywhere") + PAUSE, None),
                ({TARGET: patched(original)}, 1,
                 restoring + said("no_backup") + said("nothing_changed") + PAUSE, None),
                ({}, 1, b"  \n" + said("no_backup") + looked_in(self.folder) +
                 point_at_game(self.folder, undoing=True) + said("nothing_changed_anywhere") +
                 PAUSE, None)]
        for before, status, told, after in rows:
            with self.subTest(before=sorted(before), status=status):
                for name in os.listdir(self.folder):
                    os.remove(self.path(name))
                for name, data in before.items():
                    self.put(name, data)
                self.assertEqual(run(self.folder, b"\n", command=harness.COMMAND + ["--restore"]),
                                 (status, shown(BANNER + told)))
                self.assertEqual(self.contents(), after or before)


class TwoCopiesTest(ScratchFolderTest):
    def test_a_second_copy_in_the_same_folder_says_so_and_changes_nothing(self):
        # Large enough that the first copy is still writing when the second
        # starts, even under wine; sparse, so it costs no disk to make.
        size = 200 << 20
        large_target(self.path(TARGET), size)
        first = subprocess.Popen(harness.COMMAND, cwd=self.folder, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 env=harness.environment())
        first.stdin.write(b"c\n\n")
        first.stdin.close()
        wait_for_temporary_file(self.folder)
        # Started through a link to the folder, it meets the same lock.
        link = self.folder + "-link"
        os.symlink(self.folder, link)
        self.addCleanup(os.remove, link)
        status, out = run(link)
        self.assertEqual((status, out), (1, shown(
            MENU_SCREEN + BANNER + b"  \n" + said("another_copy") + said("this_copy_nothing") +
            PAUSE)))
        self.assertEqual((first.wait(timeout=120), first.stdout.read()),
                         (0, shown(PATCH_SCREEN + FOUND + INSTALLED)))
        first.stdout.close()
        self.assertEqual(sorted(os.listdir(self.folder)), [TARGET, BACKUP])
        for name, expected in ((TARGET, REPLACED), (BACKUP, SEARCH)):
            self.assertTrue(large_target_holds(self.path(name), size, expected), name)


if __name__ == "__main__":
    main()
