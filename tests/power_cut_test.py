"""A power cut at every write of a patch, on the file systems players keep
the game on, under the kernel's own drivers and the FUSE ones a desktop
mounts Windows drives with. One virtual machine (QEMU, Debian's 6.12
kernel, tests/power_cut_guest.sh as its /init) records a patch on each with
dm-log-writes and replays it one write at a time onto a fresh copy; every
state a disk that writes in order could be left in is mounted and reported
back here, where the promise the fault matrices keep (tests/promise.py)
judges it. Each file system is patched once with no backup and once over an
earlier one. Needs root, QEMU, busybox, dmsetup, kmod, the file systems'
tools and the kernel, which scripts/install-deps.sh brings; without them
the test is skipped, visibly.

    power_cut_test.py STATIC_PROGRAM LOG_REPLAY"""
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import guest
import harness
from harness import BACKUP, EARLIER_BACKUP as EARLIER, ROOT, TARGET, image, patched
from promise import broken_promises

REPLAYER = None
# name: (the kernel's driver, how to make it, size in MiB).
FILE_SYSTEMS = {
    "ext4": ("ext4", ["mkfs.ext4", "-q", "-F"], 64),
    "XFS": ("xfs", ["mkfs.xfs", "-q", "-f"], 320),
    "Btrfs": ("btrfs", ["mkfs.btrfs", "-q", "-f"], 128),
    "FAT32": ("vfat", ["mkfs.fat", "-F", "32"], 64),
    "exFAT": ("exfat", ["mkfs.exfat"], 64),
    "NTFS": ("ntfs3", ["mkfs.ntfs", "-F", "-Q", "-q"], 64),
    # The FUSE drivers a Linux desktop mounts players' Windows drives with.
    "ntfs-3g": ("ntfs-3g", ["mkfs.ntfs", "-F", "-Q", "-q"], 64),
    "exfat-fuse": ("exfat-fuse", ["mkfs.exfat"], 64),
}
# These promise nothing between flushes: their states are judged at flushes
# (and at the marks), and those between that cannot be mounted are counted
# as needing repair.
FUSE = ("ntfs-3g", "exfat-fuse")
MODULES = ["virtio_blk", "dm_log_writes", "dm_snapshot", "ext4", "xfs", "btrfs", "vfat", "exfat",
           "ntfs3", "nls_cp437", "nls_ascii", "nls_utf8"]
LOG_MIB = 128
TEMPORARY = re.compile(r"^VELORAC\.EXE(\.bku)?\.tmp-[0-9a-f]{8}$")
# Under TCG on a busy two-core machine the guest took about 3 minutes.
GUEST_SECONDS = 1500
MiB = 1 << 20


def cases():
    """(case name, file system, with an earlier backup)."""
    return [(f"{fs}{'+bku' if earlier else ''}", fs, earlier)
            for earlier in (False, True) for fs in FILE_SYSTEMS]


def copy_sparse(source, out, offset):
    with open(source, "rb") as f:
        while block := f.read(MiB):
            if block.strip(b"\0"):
                out.seek(offset)
                out.write(block)
            offset += len(block)


def libraries(program):
    found = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    return re.findall(r"(/\S+) \(0x", found)


class PowerCutTest(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("making the file systems and the guest's devices needs root")
        tools = ["dmsetup", "ldd", "ntfs-3g", "mount.exfat-fuse"]
        why = guest.missing(tools + [make[0] for _, make, _ in FILE_SYSTEMS.values()])
        if why:
            self.skipTest(why)
        self.kernel, self.version = guest.kernel()
        self.place = tempfile.mkdtemp(prefix="camera-patch-power-cut-")
        self.addCleanup(shutil.rmtree, self.place, ignore_errors=True)
        self.original = image()

    def initramfs(self):
        """The guest's own files: dmsetup, the FUSE drivers, the program and
        the replayer, with the files to patch (guest.initramfs adds busybox,
        the modules and the script)."""
        root = os.path.join(self.place, "root")
        for folder in ("bin", "lib64", "etc"):
            os.makedirs(os.path.join(root, folder))
        # ntfs-3g notes its mounts there.
        os.symlink("/proc/mounts", os.path.join(root, "etc/mtab"))
        shutil.copy(harness.COMMAND[0], os.path.join(root, "camera-patch"))
        shutil.copy(REPLAYER, os.path.join(root, "bin/log_replay"))
        for program in map(shutil.which, ("dmsetup", "ntfs-3g", "mount.exfat-fuse")):
            shutil.copy(program, os.path.join(root, "bin"))
            for library in libraries(program):
                os.makedirs(root + os.path.dirname(library), exist_ok=True)
                shutil.copy(library, root + library)
        for name, data in (("original", self.original), ("earlier", EARLIER)):
            with open(os.path.join(root, name), "wb") as f:
                f.write(data)
            os.utime(os.path.join(root, name), (harness.LONG_AGO, harness.LONG_AGO))
        return root

    def disks(self, root):
        """The file systems made side by side on one disk, a fresh copy of it,
        room for the logs and for the snapshots; the cases in /cases."""
        made = {}
        for fs, (_, make, size) in FILE_SYSTEMS.items():
            made[fs] = os.path.join(self.place, fs)
            with open(made[fs], "wb") as f:
                f.truncate(size * MiB)
            subprocess.run(make + [made[fs]], check=True, capture_output=True)
        lines = []
        start = 0
        data = os.path.join(self.place, "data")
        with open(data, "wb") as out:
            for index, (name, fs, earlier) in enumerate(cases()):
                driver, _, size = FILE_SYSTEMS[fs]
                copy_sparse(made[fs], out, start * MiB)
                lines.append(f"{name} {driver} {start * 2048} {size * 2048} "
                             f"{index * LOG_MIB * 2048} {LOG_MIB * 2048} {int(earlier)}")
                start += size
            out.truncate(start * MiB)
        with open(os.path.join(root, "cases"), "w") as f:
            f.write("\n".join(lines) + "\n")
        fresh = os.path.join(self.place, "fresh")
        subprocess.run(["cp", "--sparse=always", data, fresh], check=True)
        disks = [data, os.path.join(self.place, "log"), fresh, os.path.join(self.place, "cow")]
        for disk, size in ((disks[1], LOG_MIB * len(lines)), (disks[3], 256)):
            with open(disk, "wb") as f:
                f.truncate(size * MiB)
        return disks

    def run_guest(self):
        root = self.initramfs()
        disks = self.disks(root)
        initramfs = os.path.join(self.place, "initramfs")
        kernel = guest.initramfs(root, self.kernel, self.version, MODULES,
                                 os.path.join(ROOT, "tests/power_cut_guest.sh"), initramfs)
        console, results = (os.path.join(self.place, name) for name in ("console", "results"))
        command = guest.qemu(kernel, initramfs, console, memory_mib=1024, cpus=1)
        command += ["-serial", f"file:{results}"]
        for disk in disks:
            command += ["-drive", f"file={disk},format=raw,if=virtio,cache=unsafe"]
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=GUEST_SECONDS)
        except subprocess.TimeoutExpired:
            pass
        with open(results, "rb") as f:
            lines = f.read().replace(b"\r", b"").decode(errors="replace").splitlines()
        with open(console, "rb") as f:
            self.console = f.read()[-3000:].decode(errors="replace")
        return lines

    def contents(self, words):
        """The folder a state shows, by name, with the bytes each file holds
        as far as they matter: known contents as themselves."""
        known = {hashlib.sha256(data).hexdigest(): data
                 for data in (self.original, patched(self.original), EARLIER)}
        files = {}
        for word in words:
            name, _, digest = word.rpartition("=")
            files[name] = known.get(digest, f"<{digest}>".encode())
        return files

    def judge(self, lines):
        """Per case: the states judged, those that broke the promise, those
        ntfs3 mounted only by force, what went wrong, the recorded run's
        status, and for FUSE drivers the states between flushes that could
        not be mounted ("repair") and those that broke the promise."""
        report = {name: dict(seen=0, states=0, broken=0, forced=0, faults=[], status=None,
                             repair=0, between=0, seen_between=set(), next="-")
                  for name, _, _ in cases()}
        file_system = {name: fs for name, fs, _ in cases()}
        outs = {}
        for line in lines:
            kind, name, *rest = line.split(" ", 2) + [""]
            if kind == "O":
                status, out = rest[0].split(" ")
                outs[name] = (int(status), base64.b64decode(out))
                report[name]["status"] = int(status)
            elif kind == "S":
                number, what, how, *listing = rest[0].split()
                before = {TARGET: self.original, **({BACKUP: EARLIER} if "+bku" in name else {})}
                if how == "unmountable" or listing[0] == "nofolder":
                    faults = [f"the file system is {how}" if how == "unmountable"
                              else "the game's folder is gone"]
                else:
                    after = self.contents(listing[1:])
                    status, out = outs.get(name, (None, b""))
                    faults = (broken_promises(before, after, status, out, ended="ran")
                              if what == "end" else
                              broken_promises(before, after, None, b"", ended="killed"))
                    faults += [f"a stranger in the folder: {n}" for n in after
                               if n not in (TARGET, BACKUP) and not TEMPORARY.match(n)]
                entry = report[name]
                entry["seen"] += 1
                if file_system[name] in FUSE and what == "write":
                    entry["repair"] += how == "unmountable"
                    entry["between"] += bool(faults) and how != "unmountable"
                    entry["seen_between"].update(faults)
                    continue
                entry["states"] += 1
                entry["forced"] += how == "forced"
                if faults:
                    entry["broken"] += 1
                    entry["faults"].append(f"state {number} ({what}): {'; '.join(faults)}")
            elif kind == "N":
                status, out, *listing = rest[0].split()
                after = self.contents(listing[1:]) if listing[0] == "files" else {}
                kept = status == "0" and after == {TARGET: patched(self.original),
                                                   BACKUP: self.original}
                report[name]["next"] = "ok" if kept else "FAILED"
                if not kept:
                    said = base64.b64decode(out.removeprefix("said:")).decode(errors="replace")
                    report[name]["faults"].append(
                        f"undone, the next run ended with status {status}, leaving "
                        f"{sorted(after)}, and said: ...{said.strip()}")
            elif kind == "X":
                report[name]["faults"].append(rest[0])
        done = {line.split(" ")[1] for line in lines if line.startswith("C ")}
        return report, done

    def test_a_power_cut_at_every_write(self):
        lines = self.run_guest()
        report, done = self.judge(lines)
        print("\ncase            states judged broken forced next run | between flushes: "
              "unmountable broken", file=sys.stderr)
        for name, r in report.items():
            print(f"{name:15} {r['seen']:6} {r['states']:6} {r['broken']:6} {r['forced']:6} "
                  f"{r['next']:8}" +
                  (f" | {r['repair']:28} {r['between']:6}" if name.split("+")[0] in FUSE else ""),
                  file=sys.stderr)
            if r["seen_between"]:
                print(f"{'':15} between flushes: {'; '.join(sorted(r['seen_between']))}",
                      file=sys.stderr)
        self.assertIn("ALL", lines, "the guest did not finish; its console ended with:\n" +
                      self.console)
        for name, r in report.items():
            with self.subTest(case=name):
                self.assertIn(name, done, f"not reported: {r['faults']}")
                self.assertEqual(r["status"], 0, "the recorded patch failed")
                self.assertGreater(r["states"], 2, "too few states to have seen the renames")
                if r["faults"]:
                    self.fail("\n".join(r["faults"][:8]))


if __name__ == "__main__":
    REPLAYER = os.path.abspath(sys.argv.pop())
    # A skip tells ctest so (77), rather than passing.
    result = unittest.main(argv=harness.configure(sys.argv), exit=False).result
    sys.exit(1 if not result.wasSuccessful() else 77 if result.skipped else 0)
