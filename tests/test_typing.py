"""The installed type stub against the module, and what type checkers make of scripts with it."""
import importlib.util
import os
import subprocess
import sys

import pytest
import velkarcmd

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed")

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(os.path.dirname(velkarcmd.__file__), "velkarcmd-stubs", "__init__.pyi")


def run_mypy(tool, args, cwd, **env):
    env = dict(os.environ, MYPY_CACHE_DIR=os.path.join(str(cwd), ".mypy_cache"), **env)
    completed = subprocess.run([sys.executable, "-m", tool] + list(args), cwd=str(cwd), env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               universal_newlines=True)
    return completed.returncode, completed.stdout


@pytest.mark.parametrize("module", ["velkarcmd", "velkarcmd_async"])
def test_stubtest_finds_the_stub_true_to_the_module(tmp_path, module):
    code, out = run_mypy("mypy.stubtest", [module], tmp_path)
    assert code == 0, out
    assert "Success" in out


@pytest.mark.parametrize("original, broken, complaint", [
    ('daytrade: str = "0"', 'daytrade: str = "1"', "default value"),
    ("def Delete(self, broker: str, orderid: str)", "def Delete(self, broker: str, order: str)",
     '"orderid"'),
    ("def FutureRights(self, broker: str)", "def FutureRights(self, broker: str, extra: str)",
     '"extra"'),
])
def test_stubtest_would_catch_a_stub_that_drifts_from_the_module(tmp_path, original, broken,
                                                                 complaint):
    with open(STUB, encoding="utf-8") as stub:
        text = stub.read()
    assert original in text
    (tmp_path / "velkarcmd.pyi").write_text(text.replace(original, broken), encoding="utf-8")
    code, out = run_mypy("mypy.stubtest", ["velkarcmd"], tmp_path, MYPYPATH=str(tmp_path))
    assert code != 0 and complaint in out, out


def test_the_examples_type_check_cleanly(tmp_path):
    code, out = run_mypy("mypy", ["--strict", os.path.join(REPO, "examples")], tmp_path)
    assert code == 0, out


MISUSES = {
    "int_price": ('c.Order("A1", "FUT", "B", 16950, "2", "ROD", "LMT", None, None)',
                  'Argument 4 to "Order" of "ZolmarCommand" has incompatible type "int"'),
    "missing_pricetype": ('c.Order("A1", "FUT", "B", "16950", "2", "ROD", "LMT", None)',
                          'Missing positional argument "pricetype"'),
    "list_as_text": ('text: str = c.GetUnfinished("A1", "All")',
                     'has type "List[str]", variable has type "str"'),
    "text_as_list": ('lines: List[str] = c.FutureRights("A1")',
                     'has type "str", variable has type "List[str]"'),
    "quote_result": ('reply = c.AddQuote("A1", "FUT")', "does not return a value"),
    "int_orderid": ('c.Delete("A1", 1)', 'Argument 2 to "Delete"'),
    "match_type_text": ('ok: str = c._ZolmarCommand__IsMatchType("LMT", "ROD")',
                        'has type "bool", variable has type "str"'),
    "fixture_stop": ("def f(zolmar_sim: velkarcmd_testing.ZolmarSimFixture) -> str: "
                     "return zolmar_sim.stop()", 'got "int", expected "str"'),
}
PREAMBLE = ("from typing import List\nimport velkarcmd, velkarcmd_testing\n"
            "c = velkarcmd.ZolmarCommand()\n")


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory):
    where = tmp_path_factory.mktemp("misuse")
    for name, (line, _) in MISUSES.items():
        (where / (name + ".py")).write_text(PREAMBLE + line + "\n", encoding="utf-8")
    # A test of a trading script that annotates the plugin's fixture.
    (where / "fine.py").write_text(
        PREAMBLE + "def test_it(zolmar_sim: velkarcmd_testing.ZolmarSimFixture) -> None:\n"
        '    sim: velkarcmd_testing.ZolmarSim = zolmar_sim(price={"FUT": "17000"}, journal=True)\n'
        '    assert sim.stop() == 0 and "FUT" in zolmar_sim.read_journal()\n'
        'oid: str = c.Order("A1", "FUT", "B", "16950", "2", "ROD", "LMT", None, None, anc="a b")\n'
        'lines: List[str] = c.GetInStock("A1") + c.GetAccount("A1", oid)\n'
        'c.AddQuote("A1", "FUT, STK", append=True)\n', encoding="utf-8")
    code, out = run_mypy("mypy", ["--strict", "."], where)
    return code, out


@pytest.mark.parametrize("name", sorted(MISUSES))
def test_mypy_flags_a_misuse_on_its_line(misuse_report, name):
    code, out = misuse_report
    flagged = [line for line in out.splitlines() if line.startswith(name + ".py:4:")]
    assert code != 0
    # Newer mypy spells the builtin generic in lower case.
    assert any(MISUSES[name][1].lower() in line.lower() for line in flagged), out


def test_mypy_accepts_correct_calls(misuse_report):
    _, out = misuse_report
    assert "fine.py" not in out, out
