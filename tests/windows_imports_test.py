"""Reads the built Windows program's header, import table and manifest and
fails unless it would load on the oldest Windows it is for: usage
windows_imports_test.py PROGRAM.exe i386|amd64 LIST. Wine cannot show this:
it gives a program a newer Windows's functions whatever version it claims."""
import sys
import xml.dom.minidom

import pefile

# The processor each build is for, and the oldest Windows (major, minor) it
# must load on: XP for the players' 32-bit program, XP x64 for the other.
MACHINES = {"i386": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], (5, 1)),
            "amd64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"], (5, 2))}
VERSIONS = {"Windows 2000 Professional": (5, 0), "Windows XP": (5, 1)}
# Parts of Windows XP that the program may import from.
XP_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll"}
# Later additions to msvcrt.dll, which XP's lacks.
NOT_IN_XP_MSVCRT = {"strnlen", "wcsnlen", "_get_errno", "_set_errno", "_fseeki64", "_ftelli64",
                    "_create_locale", "_free_locale", "_set_invalid_parameter_handler"}
# The manifest elements of Windows XP's own namespace; XP refuses others there.
XP_MANIFEST = ("urn:schemas-microsoft-com:asm.v1",
               {"assembly", "assemblyIdentity", "description", "dependency", "dependentAssembly",
                "file", "noInherit"})


def allowed(list_file):
    """{(dll, function): minimum Windows} from the checked-in list."""
    entries = {}
    for line in open(list_file, encoding="utf-8"):
        if line.strip() and not line.startswith("#"):
            dll, function, minimum = line.split(maxsplit=2)
            entries[(dll.lower(), function)] = minimum.strip()
    return entries


def manifest_problems(pe):
    manifests = [entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 if entry.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]]
    if not manifests:
        yield "no manifest"
        return
    data = manifests[0].directory.entries[0].directory.entries[0].data.struct
    text = pe.get_data(data.OffsetToData, data.Size)
    for element in xml.dom.minidom.parseString(text).getElementsByTagName("*"):
        namespace, known = XP_MANIFEST
        if element.namespaceURI == namespace and element.localName not in known:
            yield f"manifest: <{element.tagName}> in {namespace}, which Windows XP refuses"
        declared = [value for name, value in element.attributes.items()
                    if name == "xmlns" or name.startswith("xmlns:")]
        if len(declared) != len(set(declared)):
            yield f"manifest: <{element.tagName}> declares a namespace twice"


def problems(program, machine, list_file):
    pe = pefile.PE(program)
    yield from manifest_problems(pe)
    expected_machine, oldest = MACHINES[machine]
    header = pe.OPTIONAL_HEADER
    if pe.FILE_HEADER.Machine != expected_machine:
        yield f"machine {pe.FILE_HEADER.Machine:#x}, not {machine}"
    for what in ("Subsystem", "OperatingSystem"):
        version = (getattr(header, f"Major{what}Version"), getattr(header, f"Minor{what}Version"))
        if version > oldest:
            yield f"{what} version {version[0]}.{version[1]} is above {oldest[0]}.{oldest[1]}"
    entries = allowed(list_file)
    for table in (getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) +
                  getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])):
        dll = table.dll.decode().lower()
        if dll not in XP_DLLS:
            yield f"{dll}: Windows XP has no such DLL"
            continue
        for imported in table.imports:
            if imported.name is None:
                yield f"{dll} ordinal {imported.ordinal}: import it by name"
                continue
            name = imported.name.decode()
            minimum = entries.get((dll, name))
            if dll == "msvcrt.dll" and (name.endswith("_s") or name in NOT_IN_XP_MSVCRT):
                yield f"{dll} {name}: Windows XP's msvcrt.dll lacks it"
            elif minimum is None:
                yield (f"{dll} {name} is not in {list_file}: look up its \"Minimum supported "
                       f"client\" and list it, or do without it")
            elif minimum == "64-bit only":
                if machine != "amd64":
                    yield f"{dll} {name} is listed for the 64-bit program only"
            elif VERSIONS.get(minimum, (99, 0)) > oldest:
                yield f"{dll} {name} needs {minimum}"


def main():
    program, machine, list_file = sys.argv[1:]
    found = list(problems(program, machine, list_file))
    for problem in found:
        print(f"{program}: {problem}")
    if found:
        sys.exit(1)
    print(f"{program}: loads on Windows {'XP' if machine == 'i386' else 'XP x64'} and later")


if __name__ == "__main__":
    main()
