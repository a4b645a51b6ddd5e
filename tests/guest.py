"""A QEMU guest (TCG) under Debian's 6.12 kernel, which scripts/guest-kernel.sh
unpacks into a cache, booted from an initramfs of busybox, the kernel's
modules it needs and an /init script: shared by the power-cut test and the
guest that runs the 32-bit Windows program where this machine cannot."""
import lzma
import os
import re
import shutil
import subprocess

from harness import ROOT


def kernel():
    """(the unpacked kernel's root, its version), or a reason there is none."""
    found = subprocess.run(["bash", os.path.join(ROOT, "scripts/guest-kernel.sh"), "--where"],
                           capture_output=True, text=True)
    root = found.stdout.strip()
    if found.returncode != 0 or not os.path.isdir(os.path.join(root, "lib/modules")):
        return "Debian's 6.12 kernel is not unpacked: scripts/install-deps.sh fetches it " \
               "(scripts/guest-kernel.sh)"
    return root, os.listdir(os.path.join(root, "lib/modules"))[0]


def missing(tools):
    """Why a guest cannot start here, or None: QEMU, busybox, the kernel and
    `tools`, all checked before anything is made."""
    absent = [tool for tool in ["qemu-system-x86_64", "busybox", "modprobe", *tools]
              if shutil.which(tool) is None]
    if absent:
        return f"not installed: {', '.join(absent)} (scripts/install-deps.sh)"
    found = kernel()
    return found if isinstance(found, str) else None


def initramfs(root, kernel_root, version, modules, init, out):
    """Packs the folder `root`, which holds the guest's own files, into the
    initramfs `out`, with busybox, `init` as /init, and `modules` with what
    they depend on in /modules, in the order to load them (/modules/order).
    Returns the kernel to boot it with."""
    for folder in ("bin", "modules"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    shutil.copy(shutil.which("busybox"), os.path.join(root, "bin"))
    shutil.copy(init, os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    order = []
    for module in modules:
        shown = subprocess.run(["modprobe", "-d", kernel_root, "-S", version, "--show-depends",
                                module], capture_output=True, text=True, check=True).stdout
        for path in re.findall(r"^insmod (\S+)", shown, re.M):
            name = os.path.basename(path).removesuffix(".xz")
            if name not in order:
                order.append(name)
                with open(path, "rb") as f, open(os.path.join(root, "modules", name), "wb") as to:
                    to.write(lzma.decompress(f.read()) if path.endswith(".xz") else f.read())
    with open(os.path.join(root, "modules/order"), "w") as f:
        f.write("\n".join(order) + "\n")
    names = subprocess.run("find . -mindepth 1", shell=True, cwd=root, capture_output=True,
                           check=True).stdout
    with open(out, "wb") as to:
        subprocess.run(["busybox", "cpio", "-o", "-H", "newc"], cwd=root, input=names, stdout=to,
                       stderr=subprocess.DEVNULL, check=True)
    return os.path.join(kernel_root, "boot", f"vmlinuz-{version}")


def qemu(vmlinuz, initramfs_file, console, memory_mib, cpus, cpu="qemu64"):
    """The command that boots the guest, its console (and kernel messages)
    written to the file `console`, and ends QEMU when the guest reboots."""
    return ["qemu-system-x86_64", "-accel", "tcg,thread=multi", "-cpu", cpu, "-m", str(memory_mib),
            "-smp", str(cpus), "-nodefaults", "-display", "none", "-no-reboot", "-kernel", vmlinuz,
            "-initrd", initramfs_file, "-append",
            "console=ttyS0 rdinit=/init loglevel=4 panic=-1", "-serial", f"file:{console}"]
