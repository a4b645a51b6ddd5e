"""Every message the program can print is explained where its player looks:
each text of patcher/messages.hpp, with the names filled in as the player
sees them, is found in the manual page (Linux) or the catalogue of messages
beside the program (Windows), with white space folded, as both wrap their
lines. The players' notes stay short enough to read, the steps first. And
the developers' documents hold together: every relative link in them leads
to a file that is there, and to a heading in it, and every test they name
runs alone with the command they give."""
import glob
import os
import re
import sys
import unittest

from harness import BACKUP, ROOT, TARGET, read, texts

# Which documents explain each section of the header. The others hold no
# messages of their own: the words that fill {action}, texts never shown,
# and the --help answer, which is itself the explanation.
EXPLAINED_IN = {"common": ("manual page", "catalogue"), "posix": ("manual page",),
                "windows": ("catalogue",)}
NOT_MESSAGES = {"tried", "unshown", "answers"}

# The names the player sees; what the system supplies, the documents give
# in a fixed form: "<reason>", "<folder>", ...
NAMES = {"target": TARGET, "backup": BACKUP}


def as_player_reads(text):
    return re.sub(r"\{(\w+)\}", lambda m: NAMES.get(m[1], f"<{m[1]}>"), text)


def folded(text):
    return " ".join(text.split())


ROFF_ESCAPES = {"-": "-", "e": "\\", "\\": "\\", "&": "", " ": " ", "~": " ", "(aq": "'",
                "(dq": '"', "(lq": '"', "(rq": '"'}


def unescape(line):
    def plain(m):
        if m[1].startswith("f"):  # a change of font
            return ""
        if m[1] not in ROFF_ESCAPES:
            raise ValueError(f"the check does not know the escape \\{m[1]}: {line}")
        return ROFF_ESCAPES[m[1]]
    return re.sub(r"\\(f\(..|f\[[^]]*\]|f.|\(..|.)", plain, line)


def manual_text(roff):
    """What the manual page says, without its requests, quoting and escapes."""
    said = []
    for line in roff.splitlines():
        if line.startswith('.\\"'):
            continue
        if line.startswith("."):
            macro, _, rest = line[1:].partition(" ")
            words = [m[1].replace('""', '"') if m[1] is not None else m[2]
                     for m in re.finditer(r'"((?:[^"]|"")*)"?|(\S+)', rest)]
            # Alternating fonts join their words; the others show none but headings.
            joiner = {"B": " ", "I": " ", "SH": " ", "SS": " ", "BR": "", "RB": "", "IR": "",
                      "RI": "", "BI": "", "IB": ""}.get(macro)
            line = "" if joiner is None else joiner.join(words)
        said.append(unescape(line))
    return "\n".join(said)


class MessagesTest(unittest.TestCase):
    def test_every_message_is_explained_in_the_document_for_its_system(self):
        catalogue = read("packaging", "camera-patch-messages.txt")
        for name, text in (("catalogue", catalogue),
                           ("players' note", read("packaging", "README-players.txt"))):
            self.assertNotIn("\n", text.replace("\r\n", ""), f"the {name} keeps CR LF")
        documents = {"manual page": folded(manual_text(read("packaging", "camera-patch.6.in"))),
                     "catalogue": folded(catalogue)}

        found = list(texts(read("patcher", "messages.hpp")))
        sections = {section for section, _, _ in found}
        self.assertEqual(sections, set(EXPLAINED_IN) | NOT_MESSAGES)
        unexplained = [f"{section}::{name} is not in the {document}: {as_player_reads(text)}"
                       for section, name, text in found if section in EXPLAINED_IN
                       for document in EXPLAINED_IN[section]
                       if folded(as_player_reads(text)) not in documents[document]]
        if unexplained:
            self.fail("\n" + "\n".join(unexplained))

    def test_the_players_notes_are_short_with_the_steps_first(self):
        for note in ("README-players.txt", "README-linux-players.txt"):
            with self.subTest(note):
                lines = read("packaging", note).splitlines()
                self.assertLessEqual(len(lines), 120)
                # A heading is underlined with dashes; the undo follows the steps.
                headings = [(at, line) for at, line in enumerate(lines[:-1], 1)
                            if re.fullmatch(r"-+", lines[at]) and len(lines[at]) == len(line)]
                self.assertEqual([line for _, line in headings[:2]],
                                 ["To patch", "To undo the patch"])
                self.assertLessEqual(headings[1][0], 20, "the steps end past line 20")

    def test_every_test_the_documents_name_runs_alone_with_their_command(self):
        # The names ctest knows, from where tests are added (also in a
        # foreach's list); each gtest case is a test of its own, Suite.Case.
        cmake = "".join(read(f) for f in ("CMakeLists.txt", "tests/CMakeLists.txt",
                                          "tests/windows.cmake"))
        names = re.findall(r"add_(?:test\(NAME |wine_suite\()(\w+)", cmake) + " ".join(re.findall(
            r"foreach\(\w+ ([^)]*)\)\s*add_(?:test\(NAME|wine_suite\() ?\$", cmake)).split() + [
            ".".join(case) for source in glob.glob("*/*_test.cc", root_dir=ROOT)
            for case in re.findall(r"TEST\((\w+), (\w+)\)", read(source))]
        # What -R is given, and the names that lists of tests lead with.
        lost = [f"{document}: -R {name}" for document in ("README.md", "docs/testing.md")
                for text in [read(document)]
                for name in set(re.findall(r"-R (\w+)", text)) - {"NAME"} | {
                    name for listed in re.findall(r"^- ((?:`\w+`(?:, )?)+)(?::| \()", text, re.M)
                    for name in re.findall(r"\w+", listed)}
                if not any(re.search(name, test) for test in names)]
        self.assertEqual(lost, [])

    def test_every_relative_link_in_the_documents_resolves(self):
        def anchors(path):
            # As GitHub makes them from the headings; a code block's comments are none.
            text = re.sub(r"^ *```.*?^ *```", "", read(path), flags=re.M | re.S)
            return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
                    for heading in re.findall(r"^#+ (.+)$", text, re.M)}
        broken = []
        for document in ["README.md", "bench/README.md", *glob.glob("docs/*.md", root_dir=ROOT)]:
            for link in re.findall(r"\]\(([^)\s]+)\)", read(document)):
                path, _, anchor = link.partition("#")
                target = os.path.normpath(os.path.join(os.path.dirname(document), path)) \
                    if path else document
                if not re.match(r"\w+:", link) and (
                        not os.path.exists(os.path.join(ROOT, target))
                        or anchor and anchor not in anchors(target)):
                    broken.append(f"{document}: {link}")
        self.assertEqual(broken, [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
