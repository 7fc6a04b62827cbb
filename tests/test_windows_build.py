"""The import library a cross build links against pythonXY.dll through: made from the C API
names the objects import, and refused when the interpreter does not export one of them."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(REPO, "cmake", "python_import_library.py")
MACHINES = {"i386": "i686-w64-mingw32", "amd64": "x86_64-w64-mingw32"}

pytestmark = [
    pytest.mark.skipif(sys.platform == "win32", reason="cross builds run on Linux"),
    pytest.mark.skipif(not shutil.which("x86_64-w64-mingw32-g++") or not shutil.which("i686-w64-mingw32-g++"),
                       reason="needs Debian's g++-mingw-w64-i686 and g++-mingw-w64-x86-64"),
]

# Declared as the interpreter's headers declare the C API for an extension on Windows.
USES = """
extern "C" __declspec(dllimport) void* PyLong_FromLong(long);
extern "C" __declspec(dllimport) char _Py_NoneStruct;
extern "C" void* PyObject_GenericGetDict(void*, void*);
void* use() { return PyLong_FromLong(_Py_NoneStruct); }
void* (*in_a_table)(void*, void*) = PyObject_GenericGetDict;
"""


def reference_library():
    library = os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("INSTSONAME") or "")
    return library if os.path.isfile(library) else sys.executable


def make_import_library(tmp_path, machine, source):
    triplet = MACHINES[machine]
    obj = tmp_path / "uses.obj"
    (tmp_path / "uses.cpp").write_text(source)
    subprocess.run([triplet + "-g++", "-c", str(tmp_path / "uses.cpp"), "-o", str(obj)], check=True)
    return subprocess.run(
        [sys.executable, SCRIPT, "--nm", triplet + "-nm", "--dlltool", triplet + "-dlltool", "--dll", "python3x.dll",
         "--machine", machine, "--reference", reference_library(), "--def", str(tmp_path / "python3x.def"),
         "--library", str(tmp_path / "libpython3x.a"), str(obj)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)


@pytest.mark.parametrize("machine", sorted(MACHINES))
def test_the_definitions_list_what_the_objects_import_functions_and_data_apart(tmp_path, machine):
    made = make_import_library(tmp_path, machine, USES)
    assert made.returncode == 0, made.stdout
    assert (tmp_path / "python3x.def").read_text().splitlines() == [
        "LIBRARY python3x.dll", "EXPORTS", "    PyLong_FromLong", "    PyObject_GenericGetDict",
        "    _Py_NoneStruct DATA"]
    symbols = subprocess.run([MACHINES[machine] + "-nm", str(tmp_path / "libpython3x.a")],
                             stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    decoration = "_" if machine == "i386" else ""
    assert "__imp_%sPyLong_FromLong" % decoration in symbols
    assert " T %sPyObject_GenericGetDict" % decoration in symbols


@pytest.mark.parametrize("machine", sorted(MACHINES))
@pytest.mark.parametrize("source, refusal", [
    ('extern "C" __declspec(dllimport) int PyNoSuch_Function(void);\nint use() { return PyNoSuch_Function(); }',
     "python3x.dll does not export PyNoSuch_Function"),
    ('extern "C" char _Py_NoneStruct;\nchar* use() { return &_Py_NoneStruct; }',
     "data referenced without the interpreter's import declaration: _Py_NoneStruct"),
], ids=["unexported name", "data without dllimport"])
def test_a_name_the_interpreter_cannot_provide_fails_the_build(tmp_path, machine, source, refusal):
    made = make_import_library(tmp_path, machine, source)
    assert made.returncode != 0
    assert refusal in made.stdout
    assert not (tmp_path / "libpython3x.a").exists()
