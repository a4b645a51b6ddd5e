"""Where wine starts no 32-bit program on this machine (wine_start leaves a
note saying so), runs the 32-bit Windows program's suites in one QEMU guest
that can: Debian's kernel (tests/guest.py) on an emulated processor, sharing
this machine's root read-only (tests/wine32_guest.sh). Inside it, ctest runs
the suites named on the command line, in this same build folder, wine_start
with them; each suite leaves its output and status in RESULTS, where the
same suite on this machine finds and reports them (tests/unless_noted.sh).
Wine makes the prefix whole (with its 32-bit half, which wine_start here
cannot make) in the first guest only: it comes back as one tar stream and is
kept beside this machine's prefix, for later guests to start from, under an
overlay that throws their writes away.

    wine32_guest.py NOTE RESULTS BUILD SUITE...

Exits with 77 (a skip) where no guest is needed, or where none can start,
saying why in RESULTS for the suites; with 1 when the guest did not finish."""
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

import guest
from harness import ROOT

MODULES = ["9pnet_virtio", "9p", "overlay"]
# Wine's 32-bit code faults at its iretq under QEMU 7.2's emulated SMAP.
CPU = "max,-smap"
MEMORY_MIB = 4096
CPUS = 2
# On a two-core machine that others kept busy (a load of 7 to 10), the
# guest took minutes for wine_start alone and ten for end_to_end; ctest's own
# limit for this test is above this one.
GUEST_SECONDS = 2880


def tail(path, size=3000):
    try:
        with open(path, "rb") as f:
            return f.read()[-size:].decode(errors="replace")
    except FileNotFoundError:
        return "(nothing)"


def keep(prefix, out):
    """Writes the wine prefix at `prefix` to the tar file `out`, each of its
    copies of wine's own DLLs and programs as a link to the file copied, by
    name and size: that is most of its 1.3 GB, which this way never crosses
    from the guest. Wine follows the links; the guest's overlay takes its
    writes."""
    builtin = [os.path.join(os.environ["WINEDLLPATH"], "i386-windows"),
               *glob.glob("/usr/lib/*/wine/x86_64-windows")]
    sizes = {}
    for folder in builtin:
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            sizes.setdefault((name.lower(), os.path.getsize(path)), path)
    with tarfile.open(out, "w") as tar:
        def linked(member):
            copied = (os.path.basename(member.name).lower(), member.size)
            if member.isfile() and copied in sizes:
                member.type, member.size, member.linkname = tarfile.SYMTYPE, 0, sizes[copied]
            return member
        tar.add(prefix, arcname=".", filter=linked)


def main(note, results, build, suites):
    if os.environ.get("CAMERA_PATCH_GUEST"):
        print("this is the guest: the suites run here")
        return 77
    if not os.path.exists(note):
        print("wine runs 32-bit programs on this machine: the 32-bit suites run on it, not in a "
              "guest")
        return 77
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    why = guest.missing(["setpriv"])
    if why:
        with open(os.path.join(results, "no-guest.txt"), "w") as f:
            f.write(f"no guest can run them either: {why}\n")
        print(f"no guest can run the 32-bit suites: {why}")
        return 77
    kernel_root, version = guest.kernel()
    command = (f"cd {shlex.quote(build)} && exec setpriv --reuid={os.getuid()} "
               f"--regid={os.getgid()} --clear-groups env CAMERA_PATCH_MATRIX=sized ctest "
               f"--output-on-failure -FS wine32_guest "
               f"-R {shlex.quote('^(' + '|'.join(suites) + ')$')}")
    prefix = os.environ["WINEPREFIX"]
    kept = prefix + "-guest"
    settings = {"results": results, "command": command, "path": os.environ["PATH"],
                "home": os.environ.get("HOME", "/"), "lang": os.environ.get("LANG", "C.UTF-8"),
                "prefix": prefix, "kept": kept,
                "keep": shlex.join(["env", f"WINEDLLPATH={os.environ['WINEDLLPATH']}",
                                    sys.executable, os.path.abspath(__file__), "--keep",
                                    prefix, os.path.join(results, "prefix.tar")])}
    with tempfile.TemporaryDirectory(prefix="camera-patch-wine32-guest-") as place:
        root = os.path.join(place, "root")
        os.makedirs(root)
        with open(os.path.join(root, "settings"), "w") as f:
            f.writelines(f"{name}={shlex.quote(value)}\n" for name, value in settings.items())
        initramfs = os.path.join(place, "initramfs")
        vmlinuz = guest.initramfs(root, kernel_root, version, MODULES,
                                  os.path.join(ROOT, "tests/wine32_guest.sh"), initramfs)
        console = os.path.join(results, "console.txt")
        qemu = guest.qemu(vmlinuz, initramfs, console, MEMORY_MIB, CPUS, CPU)
        for tag, path, access in (("root", "/", ",readonly=on"), ("results", results, "")):
            qemu += ["-fsdev", f"local,id={tag},path={path},security_model=none,"
                     f"multidevs=remap{access}",
                     "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}"]
        started = time.monotonic()
        try:
            subprocess.run(qemu, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=GUEST_SECONDS)
        except subprocess.TimeoutExpired:
            print(f"the guest was stopped after {GUEST_SECONDS} s")
    print(tail(os.path.join(results, "guest.out"), 100000))
    made = os.path.join(results, "prefix.tar")
    if os.path.exists(made):
        for old in (kept, kept + ".new"):
            shutil.rmtree(old, ignore_errors=True)
        os.makedirs(kept + ".new")
        subprocess.run(["tar", "-C", kept + ".new", "-xf", made], check=True)
        os.rename(kept + ".new", kept)
        os.remove(made)
        print(f"the wine prefix the guest made is kept in {kept}")
    if not os.path.exists(os.path.join(results, "guest.status")):
        print(f"the guest did not finish; its console ended with:\n{tail(console)}")
        return 1
    with open(os.path.join(results, "started")) as f:
        boot = float(f.read())
    print(f"the guest ran its command {boot:.1f} s after its start, and was gone "
          f"{time.monotonic() - started:.0f} s after it")
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "--keep":
        sys.exit(keep(*sys.argv[2:]))
    sys.exit(main(*map(os.path.abspath, sys.argv[1:4]), sys.argv[4:]))
