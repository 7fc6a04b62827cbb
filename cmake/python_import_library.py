"""Makes the import library through which a cross-built module links against python3.dll, the
DLL of CPython's stable ABI that every CPython for Windows carries: a definitions file listing
exactly the C API names the module's objects import, then dlltool.

Every name must be in the stable ABI of the oldest CPython the module is for (--abi, as the
listing of stable_abi_listing.py says) and exported by the python3.dll at hand (the embeddable
CPython 3.8's: PyPI has none older). A name that fails either check fails the build here, named,
not the import on a user's machine.

    python_import_library.py --nm NM --dlltool DLLTOOL --machine i386|amd64 --abi 3.7
        --stable-abi LISTING --python3-dll python3.dll --def OUT.def --library OUT.a OBJECTS...
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402

DLL = "python3.dll"


def fail(message):
    sys.exit("python_import_library: " + message)


def run(command):
    try:
        return subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    except FileNotFoundError:
        fail("%s not found (Debian's binutils-mingw-w64 has the cross tools)" % command[0])
    except subprocess.CalledProcessError as error:
        fail("%s failed with exit code %d" % (" ".join(command), error.returncode))


def version(text):
    major, minor = text.split(".")
    return int(major), int(minor)


def imported_names(nm, machine, objects):
    """The interpreter's names the objects import through __imp_, and those they reference
    directly (a function's address in a static initializer)."""
    # 32-bit COFF decorates every C name with a leading underscore.
    prefix = "__imp__" if machine == "i386" else "__imp_"
    decoration = "_" if machine == "i386" else ""
    imported, plain = set(), set()
    for line in run([nm, "--undefined-only", "--format=posix"] + objects).splitlines():
        fields = line.split()
        if len(fields) < 2 or fields[1] != "U":
            continue
        symbol = fields[0]
        if symbol.startswith(prefix):
            name = symbol[len(prefix) :]
            if name.startswith(("Py", "_Py")):
                imported.add(name)
        elif symbol.startswith(decoration + "Py") or symbol.startswith(decoration + "_Py"):
            plain.add(symbol[len(decoration) :])
    return imported, plain


def stable_abi(path):
    """{name: (is_data, (major, minor) that added it)} from stable_abi_listing.py's file."""
    names = {}
    with open(path) as listing:
        for number, line in enumerate(listing, 1):
            fields = line.split()
            if len(fields) != 3 or fields[1] not in ("function", "data"):
                fail("%s:%d: not a line of stable_abi_listing.py: %r" % (path, number, line))
            names[fields[0]] = (fields[1] == "data", version(fields[2]))
    if not names:
        fail("%s lists no names" % path)
    return names


def refusals(names, abi, listing, exports, python3_dll):
    """Why each name cannot be imported from python3.dll by a module for CPython `abi` on."""
    found = []
    for name in sorted(names):
        if name not in listing:
            found.append("%s is not in the stable ABI" % name)
        elif listing[name][1] > abi:
            found.append("%s is in the stable ABI only from %d.%d" % ((name,) + listing[name][1]))
        elif name not in exports:
            found.append("%s does not export %s" % (python3_dll, name))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--dlltool", required=True)
    parser.add_argument("--machine", required=True, choices=["i386", "amd64"])
    parser.add_argument("--abi", required=True, type=version, help="the oldest CPython, e.g. 3.7")
    parser.add_argument("--stable-abi", required=True, help="the listing stable_abi_listing.py writes")
    parser.add_argument("--python3-dll", required=True, help="a CPython for Windows' python3.dll")
    parser.add_argument("--def", dest="definitions", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("objects", nargs="+")
    options = parser.parse_args()

    imported, plain = imported_names(options.nm, options.machine, options.objects)
    listing = stable_abi(options.stable_abi)
    exports = pe_image.PeImage.read(options.python3_dll).exports()
    # Either architecture's DLL vouches for the names, never another DLL's.
    if os.path.basename(options.python3_dll).lower() != DLL or not exports:
        fail("%s is not a %s" % (options.python3_dll, DLL))
    refused = refusals(imported | plain, options.abi, listing, exports, options.python3_dll)
    if refused:
        fail("the module cannot load on CPython %d.%d for Windows:\n  %s"
             % (options.abi + ("\n  ".join(refused),)))
    # A function's address in a static initializer is taken through the import library's thunk;
    # data has no thunk and can only be reached through its import declaration.
    undeclared_data = sorted(name for name in plain if listing[name][0])
    if undeclared_data:
        fail("data referenced without the interpreter's import declaration: %s" % ", ".join(undeclared_data))
    imported |= plain

    lines = ["LIBRARY %s" % DLL, "EXPORTS"]
    lines += ["    %s%s" % (name, " DATA" if listing[name][0] else "") for name in sorted(imported)]
    with open(options.definitions, "w") as definitions:
        definitions.write("\n".join(lines) + "\n")
    machine = {"i386": "i386", "amd64": "i386:x86-64"}[options.machine]
    run([options.dlltool, "--machine", machine, "--input-def", options.definitions,
         "--dllname", DLL, "--output-lib", options.library])


if __name__ == "__main__":
    main()
