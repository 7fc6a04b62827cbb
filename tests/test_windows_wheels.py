"""Checks the cross-built Windows wheels without Windows: what each carries, and what its module
and zolmar-sim.exe import. The 32-bit wheels cannot be run here, so this is all they get before
a user's machine. `make wheels` runs it over the wheels it is about to put into dist/:

    VELKARCMD_WHEELS=build/wheels-staging pytest --noconftest tests/test_windows_wheels.py
"""

import base64
import csv
import hashlib
import io
import os
import re
import sys
import zipfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "cmake"))
import pe_image  # noqa: E402

WHEELS = os.environ.get("VELKARCMD_WHEELS")
ALL_WHEELS = ["cp37-win32"] + ["cp3%d-%s" % (minor, platform) for minor in range(8, 14)
                               for platform in ("win32", "win_amd64")]
EXPECTED = os.environ.get("EXPECTED_WHEELS", " ".join(ALL_WHEELS)).split()
# What a module may import besides its own interpreter's DLL: the system's and the C runtime.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll"}

if not WHEELS:
    pytest.skip("VELKARCMD_WHEELS names the folder of wheels to check (make wheels sets it)", allow_module_level=True)


def wheel_path(target):
    tag, platform = target.split("-")
    abi = tag + "m" if tag == "cp37" else tag
    return os.path.join(WHEELS or "", "velkarcmd-0.1.0-%s-%s-%s.whl" % (tag, abi, platform))


@pytest.fixture(params=EXPECTED)
def wheel(request):
    tag, platform = request.param.split("-")
    path = wheel_path(request.param)
    assert os.path.isfile(path), "no wheel %s" % path
    with zipfile.ZipFile(path) as archive:
        yield archive, tag, platform


def read_image(archive, name):
    return pe_image.PeImage(archive.read(name))


def test_the_wheel_carries_the_module_the_simulator_the_stubs_and_the_plugin(wheel):
    archive, tag, platform = wheel
    names = set(archive.namelist())
    assert {"velkarcmd.%s-%s.pyd" % (tag, platform), "velkarcmd-0.1.0.data/scripts/zolmar-sim.exe",
            "velkarcmd-stubs/__init__.pyi", "velkarcmd_testing.py"} <= names
    assert not [name for name in names if name.endswith((".so", ".dll", ".a"))]
    metadata = archive.read("velkarcmd-0.1.0.dist-info/WHEEL").decode()
    abi = tag + "m" if tag == "cp37" else tag
    assert re.findall(r"^Tag: (.*)$", metadata, re.M) == ["%s-%s-%s" % (tag, abi, platform)]
    assert "Root-Is-Purelib: false" in metadata
    entry_points = archive.read("velkarcmd-0.1.0.dist-info/entry_points.txt").decode()
    assert "[pytest11]" in entry_points and "velkarcmd = velkarcmd_testing" in entry_points


def test_every_file_matches_its_record(wheel):
    archive = wheel[0]
    record = archive.read("velkarcmd-0.1.0.dist-info/RECORD").decode()
    rows = {row[0]: row[1:] for row in csv.reader(io.StringIO(record)) if row}
    assert set(rows) == set(archive.namelist())
    for name, (digest, size) in rows.items():
        if name.endswith("RECORD"):
            continue
        data = archive.read(name)
        algorithm, _, expected = digest.partition("=")
        assert algorithm == "sha256", name
        assert base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode() == expected, name
        assert int(size) == len(data), name


def test_the_module_imports_only_its_interpreter_and_the_system(wheel):
    archive, tag, platform = wheel
    image = read_image(archive, "velkarcmd.%s-%s.pyd" % (tag, platform))
    assert image.machine == ("i386" if platform == "win32" else "amd64")
    assert image.is_dll
    assert image.exports() == {"PyInit_velkarcmd": True}
    imports = {dll.lower(): names for dll, names in image.imports().items()}
    interpreter = "python%s.dll" % tag[2:]
    assert set(imports) == SYSTEM_DLLS | {interpreter}
    # The C API comes by name from the interpreter's own DLL, undecorated on 32-bit too.
    assert {"PyLong_FromLong", "_Py_NoneStruct", "PyExc_TypeError"} <= set(imports[interpreter])
    assert not [name for name in imports[interpreter] if name.startswith("#")]


def test_the_simulator_imports_only_system_dlls(wheel):
    archive, _, platform = wheel
    image = read_image(archive, "velkarcmd-0.1.0.data/scripts/zolmar-sim.exe")
    assert image.machine == ("i386" if platform == "win32" else "amd64")
    assert not image.is_dll
    assert {dll.lower() for dll in image.imports()} <= SYSTEM_DLLS
