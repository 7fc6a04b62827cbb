"""Each import is its own module object, class and namespace; methods are plain functions."""
import copy
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest
from fakes import FakeSocketModule

METHOD_KEYS = ["__init__", "_ZolmarCommand__SendMsg", "_ZolmarCommand__IsMatchType", "Order",
               "Delete", "GetAccount", "MatchAccount", "GetUnfinished", "GetInStock",
               "FutureRights", "AddQuote"]


@pytest.fixture
def fresh_import():
    """Imports velkarcmd anew, as test runners and reloaders do; puts the first one back after."""
    original = sys.modules["velkarcmd"]
    del sys.modules["velkarcmd"]
    try:
        yield importlib.import_module("velkarcmd")
    finally:
        sys.modules["velkarcmd"] = original


def sends_through_its_own_socket(module, app):
    fake = FakeSocketModule(replies=["17000"])
    module.socket = fake
    assert module.ZolmarCommand().FutureRights("A1") == "17000"
    assert ("send", b"A1 GetEquity") in fake.journal
    assert app.requests == []  # nothing reached the port


def test_a_fresh_import_has_its_own_class_and_namespace(app, velkarcmd, fresh_import):
    assert fresh_import is not velkarcmd
    assert fresh_import.ZolmarCommand is not velkarcmd.ZolmarCommand
    for key in METHOD_KEYS:
        new, old = vars(fresh_import.ZolmarCommand)[key], vars(velkarcmd.ZolmarCommand)[key]
        assert new is not old
        assert new.__globals__ is vars(fresh_import)
    assert fresh_import.socket is velkarcmd.socket
    sends_through_its_own_socket(fresh_import, app)
    # The first module's commands still use the first module's namespace.
    app.answer("ok")
    assert velkarcmd.ZolmarCommand().FutureRights("A1") == "ok"
    assert app.requests == [b"A1 GetEquity"]


def test_reload_leaves_a_working_module_whose_socket_can_be_patched(app, velkarcmd):
    reloaded = importlib.reload(velkarcmd)
    assert reloaded.socket is sys.modules["socket"]
    sends_through_its_own_socket(reloaded, app)


PROBE = "\n".join([
    "import velkarcmd",
    "c = velkarcmd.ZolmarCommand()",
    "c._ZolmarCommand__SendMsg = lambda msg, flag: msg + '|' + str(flag)",
    "assert c.FutureRights('A1') == 'A1 GetEquity|0', c.FutureRights('A1')",
    "assert velkarcmd.socket.__name__ == 'socket'",
])

SUBINTERPRETER_SCRIPT = textwrap.dedent("""
    try:
        import _interpreters as interpreters
        make = lambda: interpreters.create("legacy")
        run = interpreters.exec
    except ImportError:
        import _xxsubinterpreters as interpreters
        try:
            interpreters.destroy(interpreters.create(isolated=False))
            make = lambda: interpreters.create(isolated=False)
        except TypeError:
            make = interpreters.create
        run = interpreters.run_string
    inner = make()
    failure = run(inner, PROBE)
    assert failure is None, failure
    exec(PROBE)
    import velkarcmd
    assert all(getattr(velkarcmd, name) is not None
               for name in ("time", "threading", "_thread", "socket", "subprocess"))
    interpreters.destroy(inner)
    print("both work")
""")


def test_import_in_a_subinterpreter_then_in_the_main_interpreter():
    try:
        importlib.import_module("_interpreters")
    except ImportError:
        try:
            importlib.import_module("_xxsubinterpreters")
        except ImportError:
            pytest.skip("this interpreter offers tests no sub-interpreters")
    script = "PROBE = %r\n%s" % (PROBE, SUBINTERPRETER_SCRIPT)
    run = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert run.stdout.strip() == "both work", run.stderr


class Reference(object):
    def __private(self):
        pass


def pickles(function):
    try:
        return pickle.loads(pickle.dumps(function)) is function
    except (pickle.PicklingError, AttributeError):
        return False


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_methods_copy_pickle_and_introspect_as_functions(velkarcmd, key):
    function = vars(velkarcmd.ZolmarCommand)[key]
    assert inspect.isfunction(function)
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    assert copy.deepcopy({"callback": function})["callback"] is function
    assert typing.get_type_hints(function) == {}
    if key.startswith("_ZolmarCommand__"):
        # As for a plain class's private method: whether `Class.__name` pickles is the running
        # interpreter's choice (3.15 unmangles it; earlier ones refuse).
        if pickles(Reference._Reference__private):
            assert pickle.loads(pickle.dumps(function)) is function
        else:
            assert not pickles(function)
    else:
        assert pickle.loads(pickle.dumps(function)) is function


def test_bound_methods_deep_copy_with_their_instance(velkarcmd):
    class Trader(velkarcmd.ZolmarCommand):  # copying caches `__slotnames__` on the class
        pass

    command = Trader()
    config = {"on_fill": command.Order}
    copied = copy.deepcopy(config)["on_fill"]
    assert copied.__func__ is velkarcmd.ZolmarCommand.Order
    assert copied.__self__ is not command
