"""The import library a cross build links against python3.dll through: made from the C API names
the objects import, and refused, naming the name, when one is not in the stable ABI of the oldest
CPython the module is for or not exported by python3.dll."""

import os
import shutil
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(REPO, "cmake", "python_import_library.py")
LISTING_SCRIPT = os.path.join(REPO, "cmake", "stable_abi_listing.py")
MACHINES = {"i386": "i686-w64-mingw32", "amd64": "x86_64-w64-mingw32"}

pytestmark = [
    pytest.mark.skipif(sys.platform == "win32", reason="cross builds run on Linux"),
    pytest.mark.skipif(not shutil.which("x86_64-w64-mingw32-g++") or not shutil.which("i686-w64-mingw32-g++"),
                       reason="needs Debian's g++-mingw-w64-i686 and g++-mingw-w64-x86-64"),
]

# A few lines of stable_abi_listing.py's output, with the real releases that added each name.
STABLE_ABI = """\
PyImport_GetModule function 3.8
PyLong_FromLong function 3.2
PyMember_GetOne function 3.2
PyObject_GenericGetAttr function 3.2
PyType_FromSpec function 3.2
_Py_NoneStruct data 3.2
"""
# What the embeddable CPython 3.8's python3.dll does with these: it forwards each name to the
# interpreter's own DLL, names that are not in the stable ABI too (PyODict_New), and lacks some
# that are (PyMember_GetOne).
PYTHON3_EXPORTS = ["PyImport_GetModule", "PyLong_FromLong", "PyODict_New", "PyObject_GenericGetAttr",
                   "PyType_FromSpec", "_Py_NoneStruct DATA"]

# Declared as the interpreter's headers declare the C API for an extension on Windows.
USES = """
extern "C" __declspec(dllimport) void* PyLong_FromLong(long);
extern "C" __declspec(dllimport) char _Py_NoneStruct;
extern "C" void* PyObject_GenericGetAttr(void*, void*);
void* use() { return PyLong_FromLong(_Py_NoneStruct); }
void* (*in_a_table)(void*, void*) = PyObject_GenericGetAttr;
"""


def imports(*names):
    declarations = "".join('extern "C" __declspec(dllimport) int %s(void);\n' % name for name in names)
    return declarations + "int use() { return %s; }\n" % " + ".join("%s()" % name for name in names)


def python3_dll(tmp_path, machine, name="python3.dll"):
    """A DLL that exports what PYTHON3_EXPORTS says, each forwarded as python3.dll's are."""
    (tmp_path / "python3.def").write_text("LIBRARY %s\nEXPORTS\n" % name + "".join(
        "    %s=python38.%s\n" % (export.split()[0], export) for export in PYTHON3_EXPORTS))
    (tmp_path / "empty.c").write_text("int velkarcmd_empty;\n")
    dll = tmp_path / name
    subprocess.run([MACHINES[machine] + "-gcc", "-shared", "-o", str(dll), str(tmp_path / "empty.c"),
                    str(tmp_path / "python3.def")], check=True)
    return dll


def make_import_library(tmp_path, machine, source, abi="3.7", dll_name="python3.dll"):
    triplet = MACHINES[machine]
    obj = tmp_path / "uses.obj"
    (tmp_path / "uses.cpp").write_text(source)
    subprocess.run([triplet + "-g++", "-c", str(tmp_path / "uses.cpp"), "-o", str(obj)], check=True)
    (tmp_path / "stable-abi.txt").write_text(STABLE_ABI)
    return subprocess.run(
        [sys.executable, SCRIPT, "--nm", triplet + "-nm", "--dlltool", triplet + "-dlltool", "--machine", machine,
         "--abi", abi, "--stable-abi", str(tmp_path / "stable-abi.txt"),
         "--python3-dll", str(python3_dll(tmp_path, machine, dll_name)),
         "--def", str(tmp_path / "out.def"), "--library", str(tmp_path / "libpython3.dll.a"), str(obj)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)


@pytest.mark.parametrize("machine", sorted(MACHINES))
def test_the_definitions_list_what_the_objects_import_functions_and_data_apart(tmp_path, machine):
    made = make_import_library(tmp_path, machine, USES)
    assert made.returncode == 0, made.stdout
    assert (tmp_path / "out.def").read_text().splitlines() == [
        "LIBRARY python3.dll", "EXPORTS", "    PyLong_FromLong", "    PyObject_GenericGetAttr",
        "    _Py_NoneStruct DATA"]
    symbols = subprocess.run([MACHINES[machine] + "-nm", str(tmp_path / "libpython3.dll.a")],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    decoration = "_" if machine == "i386" else ""
    assert "__imp_%sPyLong_FromLong" % decoration in symbols
    assert " T %sPyObject_GenericGetAttr" % decoration in symbols
    # Data has no thunk: only its import pointer.
    assert "__imp_%s_Py_NoneStruct" % decoration in symbols
    assert " T %s_Py_NoneStruct" % decoration not in symbols


@pytest.mark.parametrize("machine", sorted(MACHINES))
@pytest.mark.parametrize("source, abi, refusals", [
    (imports("PyNoSuch_Function"), "3.7", ["PyNoSuch_Function is not in the stable ABI"]),
    (imports("PyODict_New"), "3.7", ["PyODict_New is not in the stable ABI"]),
    (imports("PyImport_GetModule"), "3.7", ["PyImport_GetModule is in the stable ABI only from 3.8"]),
    (imports("PyMember_GetOne"), "3.7", ["python3.dll does not export PyMember_GetOne"]),
    (imports("PyType_FromSpec", "PyImport_GetModule", "PyODict_New"), "3.7",
     ["PyImport_GetModule is in the stable ABI only from 3.8", "PyODict_New is not in the stable ABI"]),
    (imports("PyLong_FromLong"), "3.1", ["PyLong_FromLong is in the stable ABI only from 3.2"]),
    ('extern "C" char _Py_NoneStruct;\nchar* use() { return &_Py_NoneStruct; }', "3.7",
     ["data referenced without the interpreter's import declaration: _Py_NoneStruct"]),
], ids=["unknown name", "not in the stable ABI", "later stable ABI", "not in python3.dll", "every name at once",
        "older target", "data without dllimport"])
def test_a_name_the_oldest_interpreter_cannot_provide_fails_the_build_naming_it(tmp_path, machine, source, abi,
                                                                                  refusals):
    made = make_import_library(tmp_path, machine, source, abi=abi)
    assert made.returncode != 0
    for refusal in refusals:
        assert refusal in made.stdout
    # The names that are fine are not blamed.
    assert "PyType_FromSpec" not in made.stdout
    assert not (tmp_path / "libpython3.dll.a").exists()


def test_only_python3_dll_vouches_for_the_names(tmp_path):
    # An interpreter's own DLL exports far more than the stable ABI.
    made = make_import_library(tmp_path, "amd64", USES, dll_name="python38.dll")
    assert made.returncode != 0
    assert "python38.dll is not a python3.dll" in made.stdout
    assert not (tmp_path / "libpython3.dll.a").exists()


def abi3info_python():
    candidates = [os.environ.get("VELKARCMD_ABI3INFO_PYTHON"),
                  os.path.join(REPO, ".venv", "wheel-tools", "bin", "python")]
    return next((path for path in candidates if path and os.path.isfile(path)), None)


@pytest.mark.skipif(not abi3info_python(), reason="no interpreter with abi3info: tools/wheel-tools makes one")
def test_the_listing_says_what_abi3info_says(tmp_path):
    listing = tmp_path / "stable-abi.txt"
    subprocess.run([abi3info_python(), LISTING_SCRIPT, str(listing)], check=True)
    rows = {line.split()[0]: line.split()[1:] for line in listing.read_text().splitlines()}
    assert rows["PyLong_FromLong"] == ["function", "3.2"]
    assert rows["_Py_NoneStruct"] == ["data", "3.2"]
    assert rows["PyExc_TypeError"] == ["data", "3.2"]
    assert rows["PyImport_GetModule"] == ["function", "3.8"]
    assert rows["PyModuleDef_Init"] == ["function", "3.5"]
    assert all(len(row) == 2 for row in rows.values())
