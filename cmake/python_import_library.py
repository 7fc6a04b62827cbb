"""Makes the import library through which a cross-built module links against pythonXY.dll when
no such DLL is at hand (CPython 3.7, and every 32-bit build): a definitions file listing exactly
the C API names the module's objects import, checked against what the interpreter exports, then
dlltool. A name the interpreter does not export fails the build here, not at import time.

    python_import_library.py --nm NM --dlltool DLLTOOL --dll python37.dll --machine i386
        --reference python37.dll|libpython3.7m.so --def OUT.def --library OUT.a OBJECTS...
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402

# C API functions that only Windows builds define (pyerrors.h, under MS_WINDOWS), so a Linux
# interpreter, used as the reference when no Windows DLL is at hand, cannot vouch for them.
WINDOWS_ONLY_FUNCTIONS = {
    "PyErr_SetExcFromWindowsErr",
    "PyErr_SetExcFromWindowsErrWithFilename",
    "PyErr_SetExcFromWindowsErrWithFilenameObject",
    "PyErr_SetExcFromWindowsErrWithFilenameObjects",
    "PyErr_SetExcFromWindowsErrWithUnicodeFilename",
    "PyErr_SetFromWindowsErr",
    "PyErr_SetFromWindowsErrWithFilename",
    "PyErr_SetFromWindowsErrWithUnicodeFilename",
}


def fail(message):
    sys.exit("python_import_library: " + message)


def run(command):
    try:
        return subprocess.run(command, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    except FileNotFoundError:
        fail("%s not found (Debian's binutils-mingw-w64 has the cross tools)" % command[0])
    except subprocess.CalledProcessError as error:
        fail("%s failed with exit code %d" % (" ".join(command), error.returncode))


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


def reference_exports(path):
    """{name: is_code} of what the interpreter at `path` exports: a Windows DLL of the same
    version (any architecture), or a Linux libpython / python executable of the same version."""
    with open(path, "rb") as image:
        magic = image.read(4)
    if magic[:2] == b"MZ":
        return pe_image.PeImage.read(path).exports()
    if magic == b"\x7fELF":
        exports = {name: True for name in WINDOWS_ONLY_FUNCTIONS}
        for line in run(["nm", "--dynamic", "--defined-only", "--format=posix", path]).splitlines():
            fields = line.split()
            if len(fields) >= 2:
                exports[fields[0]] = fields[1] in "TtWw"
        return exports
    fail("%s is neither a Windows DLL nor a Linux shared object" % path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--dlltool", required=True)
    parser.add_argument("--dll", required=True, help="the interpreter DLL's name, e.g. python37.dll")
    parser.add_argument("--machine", required=True, choices=["i386", "amd64"])
    parser.add_argument("--reference", required=True)
    parser.add_argument("--def", dest="definitions", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("objects", nargs="+")
    options = parser.parse_args()

    imported, plain = imported_names(options.nm, options.machine, options.objects)
    exports = reference_exports(options.reference)
    missing = sorted((imported | plain) - set(exports))
    if missing:
        fail("%s does not export %s (checked against %s)" % (options.dll, ", ".join(missing), options.reference))
    # A function's address in a static initializer is taken through the import library's thunk;
    # data has no thunk and can only be reached through its import declaration.
    undeclared_data = sorted(name for name in plain if not exports[name])
    if undeclared_data:
        fail("data referenced without the interpreter's import declaration: %s" % ", ".join(undeclared_data))
    imported |= plain

    lines = ["LIBRARY %s" % options.dll, "EXPORTS"]
    lines += ["    %s%s" % (name, "" if exports[name] else " DATA") for name in sorted(imported)]
    with open(options.definitions, "w") as definitions:
        definitions.write("\n".join(lines) + "\n")
    machine = {"i386": "i386", "amd64": "i386:x86-64"}[options.machine]
    run([options.dlltool, "--machine", machine, "--input-def", options.definitions,
         "--dllname", options.dll, "--output-lib", options.library])


if __name__ == "__main__":
    main()
