"""From source distribution to a working install, in a fresh environment of the running interpreter.

Fetches the build tools from the package index: deselect with `-m "not network"`. On Windows the
wheel is the one tools/run-windows-tests cross-built and installed into the running interpreter.
"""
import email
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# What a build from source needs; every file in these folders must be in the sdist.
SOURCE_FOLDERS = ["module", "channel", "commands", "support", "sim", "python", "cmake"]
SOURCE_FILES = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE"]

pytestmark = pytest.mark.network


def source_files():
    found = list(SOURCE_FILES)
    for folder in SOURCE_FOLDERS:
        for top, dirs, files in os.walk(os.path.join(REPO, folder)):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            found += [os.path.relpath(os.path.join(top, name), REPO).replace(os.sep, "/")
                      for name in files if not name.endswith(".pyc")]
    return sorted(found)


def run(*command, **kwargs):
    completed = subprocess.run(list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               universal_newlines=True, **kwargs)
    assert completed.returncode == 0, "%s failed:\n%s" % (command, completed.stdout)
    return completed.stdout


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A fresh venv with the wheel built from the sdist installed: (venv bin dir, python, sdist,
    wheel); on Windows the running interpreter with its installed wheel, and no sdist."""
    if sys.platform == "win32":
        wheel = os.environ.get("VELKARCMD_WHEEL")
        if not wheel:
            pytest.skip("no VELKARCMD_WHEEL: the wheel this interpreter runs is not known")
        return pathlib.Path(sysconfig.get_path("scripts")), sys.executable, None, wheel
    where = tmp_path_factory.mktemp("packaging")
    venv = where / "venv"
    run(sys.executable, "-m", "venv", str(venv))
    bin_dir = venv / ("Scripts" if os.name == "nt" else "bin")
    python = str(bin_dir / ("python.exe" if os.name == "nt" else "python"))
    tools = ["build", "scikit-build-core"]
    if shutil.which("cmake") is None:
        tools += ["cmake", "ninja"]
    # One retry: where the index is unreachable a local mirror answers, without long back-offs.
    run(python, "-m", "pip", "install", "--quiet", "--retries", "1", *tools)
    dist = where / "dist"
    # Without --sdist or --wheel, build makes the sdist and then the wheel from the sdist.
    run(python, "-m", "build", "--no-isolation", "--outdir", str(dist), REPO)
    sdist, = dist.glob("*.tar.gz")
    wheel, = dist.glob("*.whl")
    run(python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", str(wheel))
    return bin_dir, python, sdist, wheel


def test_the_sdist_holds_every_source_file(built):
    _, _, sdist, _ = built
    if sdist is None:
        pytest.skip("the Windows wheels are cross-built from the work tree; the sdist is checked "
                    "on Linux")
    with tarfile.open(str(sdist)) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    missing = [name for name in source_files() if name not in names]
    assert not missing
    assert "PKG-INFO" in names


def test_the_wheel_carries_module_stub_plugin_and_metadata(built):
    _, _, _, wheel = built
    with zipfile.ZipFile(str(wheel)) as archive:
        names = archive.namelist()
        info = next(name for name in names if name.endswith(".dist-info/METADATA"))
        metadata = email.message_from_string(archive.read(info).decode("utf-8"))
        points = next(name for name in names if name.endswith(".dist-info/entry_points.txt"))
        entry_points = archive.read(points).decode("utf-8")
    assert "velkarcmd-stubs/__init__.pyi" in names
    assert {"velkarcmd_testing/__init__.py", "velkarcmd_testing/py.typed", "zolmar_sim.py",
            "velkarcmd_methods.py", "velkarcmd_async_methods.py"} <= set(names)
    assert any(name.startswith("velkarcmd.") and name.endswith((".so", ".pyd")) for name in names)
    assert "[pytest11]" in entry_points and "velkarcmd_testing" in entry_points
    assert metadata["Summary"] and metadata["Requires-Python"] == ">=3.7"
    classifiers = metadata.get_all("Classifier")
    for wanted in ["License :: OSI Approved :: MIT License",
                   "Operating System :: Microsoft :: Windows",
                   "Operating System :: POSIX :: Linux",
                   "Programming Language :: Python :: 3.7",
                   "Programming Language :: Python :: 3.13",
                   "Programming Language :: Python :: 3.14",
                   "Programming Language :: Python :: 3.15"]:
        assert wanted in classifiers


def test_python_m_zolmar_sim_runs_the_simulator_off_path(built):
    bin_dir, python, _, _ = built
    simulator = shutil.which("zolmar-sim", path=str(bin_dir))
    # The interpreter's scripts folder off PATH, as pip leaves it when it only warns.
    env = dict(os.environ, PATH=os.pathsep.join(
        place for place in os.environ.get("PATH", "").split(os.pathsep)
        if place and os.path.abspath(place) != str(bin_dir)))
    assert run(python, "-m", "zolmar_sim", "--help", cwd=str(bin_dir), env=env) == run(
        simulator, "--help")


def test_python_m_zolmar_sim_finds_the_simulator_installed_with_it(built, tmp_path):
    bin_dir, python, _, wheel = built
    if sys.platform == "win32":
        pytest.skip("installs a second copy with pip --prefix: checked on Linux")
    # Installed beside the environment's own copy, into a folder whose scripts are on no PATH:
    # the copy of zolmar_sim that runs must find the simulator installed with it.
    prefix = tmp_path / "elsewhere"
    run(python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", "--ignore-installed",
        "--prefix", str(prefix), str(wheel))
    site, = prefix.glob("lib/python*/site-packages")
    env = dict(os.environ, PYTHONPATH=str(site), PATH="/nonexistent")
    out = run(python, "-c", "import zolmar_sim, velkarcmd_async; print(zolmar_sim.__file__); "
              "print(zolmar_sim.find_executable()); "
              "print(velkarcmd_async.AsyncZolmarCommand.Order.__code__.co_filename)",
              cwd=str(tmp_path), env=env)
    module_file, simulator, methods_file = out.split()
    assert module_file == str(site / "zolmar_sim.py")
    # The methods are compiled from the source installed beside this copy of the module.
    assert methods_file == str(site / "velkarcmd_async_methods.py")
    assert simulator == str(prefix / "bin" / "zolmar-sim")
    assert run(python, "-m", "zolmar_sim", "--version", cwd=str(tmp_path), env=env) == (
        "zolmar-sim 0.1.0\n")


def test_the_installed_package_imports_and_its_simulator_runs(built):
    bin_dir, python, _, _ = built
    # Run from elsewhere, so that nothing of the work tree is imported instead.
    # The plugin needs pytest, which the fresh environment lacks: it is only located.
    out = run(python, "-c", "import importlib.util, velkarcmd; print(velkarcmd.__file__); "
              "print(importlib.util.find_spec('velkarcmd_testing').origin); "
              "print(velkarcmd.ZolmarCommand.Order.__name__)", cwd=str(bin_dir))
    module_file, plugin_file, method = out.split()
    venv = str(bin_dir.parent)
    assert module_file.startswith(venv) and plugin_file.startswith(venv) and method == "Order"
    simulator = shutil.which("zolmar-sim", path=str(bin_dir))
    assert simulator is not None
    assert run(simulator, "--help").startswith("usage: zolmar-sim")


def test_one_stable_abi_wheel_that_cpython_36_refuses(built, tmp_path):
    _, _, _, wheel = built
    name = pathlib.Path(str(wheel)).name
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # A free-threaded interpreter loads no stable-ABI module: the wheel is its own alone.
        own = "cp%d%d" % sys.version_info[:2]
        assert "-%s-%st-" % (own, own) in name
        return
    assert "-cp37-abi3-" in name
    if sys.platform == "win32":
        pytest.skip("CPython 3.6 is looked for with pyenv, on Linux")
    try:
        older = subprocess.run([os.path.join(REPO, "tools", "find-python"), "3.6"],
                               stdout=subprocess.PIPE, universal_newlines=True,
                               check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no CPython 3.6 here")
    refused = subprocess.run([older, "-m", "pip", "install", "--no-index", "--no-deps",
                              "--target", str(tmp_path), str(wheel)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             universal_newlines=True)
    assert refused.returncode != 0
    assert "requires Python '>=3.7'" in refused.stdout
    assert not any(tmp_path.iterdir())
