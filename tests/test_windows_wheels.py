"""Checks the cross-built Windows wheels without Windows: what each carries, and what its module
and zolmar-sim.exe import. The 32-bit wheel cannot be run here, so this is all it gets before
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

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "cmake"))
import pe_image  # noqa: E402

WHEELS = os.environ.get("VELKARCMD_WHEELS")
PLATFORMS = {"win32": "i386", "win_amd64": "amd64"}
EXPECTED = os.environ.get("EXPECTED_WHEELS", " ".join(PLATFORMS)).split()
# What a module may import besides python3.dll: the system's DLLs and mingw-w64's C runtime.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll"}

if not WHEELS:
    pytest.skip("VELKARCMD_WHEELS names the folder of wheels to check (make wheels sets it)", allow_module_level=True)


def project_version():
    with open(os.path.join(REPO, "pyproject.toml")) as pyproject:
        return re.search(r'^version = "([^"]+)"$', pyproject.read(), re.M).group(1)


VERSION = project_version()


def wheel_name(platform):
    return "velkarcmd-%s-cp37-abi3-%s.whl" % (VERSION, platform)


@pytest.fixture(params=EXPECTED)
def wheel(request):
    path = os.path.join(WHEELS, wheel_name(request.param))
    assert os.path.isfile(path), "no wheel %s" % path
    with zipfile.ZipFile(path) as archive:
        yield archive, request.param


def read_image(archive, name):
    return pe_image.PeImage(archive.read(name))


def test_one_stable_abi_wheel_per_architecture_and_the_sdist_nothing_else():
    built = {name for name in os.listdir(WHEELS) if name.endswith((".whl", ".tar.gz"))}
    assert built == {wheel_name(platform) for platform in EXPECTED} | {"velkarcmd-%s.tar.gz" % VERSION}


def test_the_wheel_carries_the_module_the_simulator_the_stubs_and_the_plugin(wheel):
    archive, platform = wheel
    names = set(archive.namelist())
    # CPython for Windows loads a stable-ABI module by the plain .pyd suffix, on every release.
    assert {"velkarcmd.pyd", "velkarcmd_async.pyd", "velkarcmd-%s.data/scripts/zolmar-sim.exe" % VERSION,
            "velkarcmd-stubs/__init__.pyi", "velkarcmd_async-stubs/__init__.pyi",
            "velkarcmd_testing/__init__.py", "velkarcmd_testing/py.typed", "velkarcmd_methods.py",
            "velkarcmd_async_methods.py"} <= names
    assert sorted(name for name in names if name.endswith((".pyd", ".so", ".dll", ".a"))) == [
        "velkarcmd.pyd", "velkarcmd_async.pyd"]
    metadata = archive.read("velkarcmd-%s.dist-info/WHEEL" % VERSION).decode()
    assert re.findall(r"^Tag: (.*)$", metadata, re.M) == ["cp37-abi3-%s" % platform]
    assert "Root-Is-Purelib: false" in metadata
    requirement = re.findall(r"^Requires-Python: (.*)$", archive.read("velkarcmd-%s.dist-info/METADATA" % VERSION)
                             .decode(), re.M)
    assert requirement == [">=3.7"]
    entry_points = archive.read("velkarcmd-%s.dist-info/entry_points.txt" % VERSION).decode()
    assert "[pytest11]" in entry_points and "velkarcmd = velkarcmd_testing" in entry_points


def test_every_file_matches_its_record(wheel):
    archive = wheel[0]
    record = archive.read("velkarcmd-%s.dist-info/RECORD" % VERSION).decode()
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


@pytest.mark.parametrize("module", ["velkarcmd", "velkarcmd_async"])
def test_the_module_imports_only_python3_dll_and_the_system(wheel, module):
    archive, platform = wheel
    image = read_image(archive, module + ".pyd")
    assert image.machine == PLATFORMS[platform]
    assert image.is_dll
    assert image.exports() == {"PyInit_" + module: True}
    imports = {dll.lower(): names for dll, names in image.imports().items()}
    assert set(imports) == SYSTEM_DLLS | {"python3.dll"}
    # The C API comes by name from the stable ABI's DLL, undecorated on 32-bit too.
    assert {"PyModuleDef_Init", "_Py_NoneStruct", "PyExc_TypeError"} <= set(imports["python3.dll"])
    assert not [name for name in imports["python3.dll"] if name.startswith("#")]


def test_the_simulator_imports_only_system_dlls(wheel):
    archive, platform = wheel
    image = read_image(archive, "velkarcmd-%s.data/scripts/zolmar-sim.exe" % VERSION)
    assert image.machine == PLATFORMS[platform]
    assert not image.is_dll
    assert {dll.lower() for dll in image.imports()} <= SYSTEM_DLLS
