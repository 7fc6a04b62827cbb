"""What importing velkarcmd gives: the module, the class and its eleven methods."""
import ctypes
import importlib
import inspect
import string
import sys

import plain_commands as plain
import pytest
import velkarcmd as module
from fakes import outcome
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from velkarcmd import ZolmarCommand

# key, __name__, parameters after self, defaults: those of the plain Python functions.
METHODS = [(key, function.__name__, list(inspect.signature(function).parameters)[1:],
            function.__defaults__ or ()) for key, function in plain.METHODS]

CONSTRUCTOR_DOC = "\n".join([
    "output = subprocess.check_output('tasklist /FI \"IMAGENAME eq Zolmar.exe\" /SVC' , "
    "shell=True).decode('big5')",
    "        go = 'Zolmar'",
    "        check = output.find(go)",
    "        if(check < 0):",
    "            print('Zolmar\u5c1a\u672a\u958b\u555f')",
    "            exit(-1)",
])


def test_module_binds_the_standard_modules_and_nothing_else_of_its_own():
    import _thread
    import socket
    import subprocess
    import threading
    import time

    assert module.__doc__ is None
    for standard in (time, threading, _thread, socket, subprocess):
        assert getattr(module, standard.__name__) is standard
    own = {name for name in vars(module) if not name.startswith("__")}
    assert own == {"time", "threading", "_thread", "socket", "subprocess", "ZolmarCommand"}


def test_importing_again_gives_the_same_module():
    assert importlib.import_module("velkarcmd") is module
    assert sys.modules["velkarcmd"] is module


def test_entry_point_hands_the_import_system_a_definition_to_make_modules_from():
    entry = ctypes.PyDLL(module.__file__).PyInit_velkarcmd
    entry.restype = ctypes.c_void_p  # a borrowed pointer to the static definition
    assert entry() == entry()
    assert "__builtins__" not in vars(module)


def test_class_is_made_by_type_with_its_namespace_in_order():
    assert type(ZolmarCommand) is type
    assert ZolmarCommand.__bases__ == (object,)
    assert (ZolmarCommand.__name__, ZolmarCommand.__qualname__) == ("ZolmarCommand", "ZolmarCommand")
    assert ZolmarCommand.__module__ == "velkarcmd"
    assert ZolmarCommand.__doc__ is None
    keys = [key for key in vars(ZolmarCommand) if key not in ("__dict__", "__weakref__", "__doc__")]
    assert keys == ["__module__"] + [key for key, _, _, _ in METHODS]


def test_instances_hold_nothing_and_take_new_attributes():
    command = ZolmarCommand()
    assert vars(command) == {}
    command.note = 1
    assert command.note == 1
    assert ZolmarCommand.__init__(command) is None


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError):
        ZolmarCommand(1)


def test_constructor_docstring_is_the_exact_text():
    doc = ZolmarCommand.__init__.__doc__
    assert doc == CONSTRUCTOR_DOC
    assert len(doc) == 237
    assert doc.endswith("exit(-1)")
    assert "\u5c1a\u672a\u958b\u555f" in doc


@pytest.mark.parametrize("module_name, twin", [("velkarcmd", "ZolmarCommand"),
                                               ("velkarcmd_async", "AsyncZolmarCommand")])
@pytest.mark.parametrize("key, name, parameters, defaults", METHODS)
def test_method_identity_and_signature(key, name, parameters, defaults, module_name, twin):
    # Both classes against the plain functions: the twin's private names carry its own prefix.
    command_class = getattr(importlib.import_module(module_name), twin)
    key = key.replace("_ZolmarCommand__", "_%s__" % twin)
    function = vars(command_class)[key]
    assert (function.__name__, function.__qualname__) == (name, "%s.%s" % (twin, name))
    assert (function.__module__, function.__defaults__) == (module_name, defaults or None)
    assert key == "__init__" or function.__doc__ is None
    # Fetched from the class it is the function itself; from an instance it binds.
    assert getattr(command_class, key) is function
    command = command_class()
    bound = getattr(command, key)
    assert bound.__func__ is function and bound.__self__ is command
    for target, expected in ((function, ["self"] + parameters), (bound, parameters)):
        signature = inspect.signature(target)
        assert list(signature.parameters) == expected
        kinds = {p.kind for p in signature.parameters.values()}
        assert kinds <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        given = tuple(p.default for p in signature.parameters.values()
                      if p.default is not inspect.Parameter.empty)
        assert [(d, type(d)) for d in given] == [(d, type(d)) for d in defaults]


def test_private_methods_exist_only_under_their_long_names():
    with pytest.raises(AttributeError):
        getattr(ZolmarCommand(), "__SendMsg")
    with pytest.raises(AttributeError):
        getattr(ZolmarCommand(), "__IsMatchType")


def test_methods_do_not_check_the_type_of_self():
    class Other(object):
        def _ZolmarCommand__SendMsg(self, msg, flag):
            return "reply to %s/%d" % (msg, flag)

    assert ZolmarCommand.FutureRights(Other(), "A1") == "reply to A1 GetEquity/0"
    assert ZolmarCommand._ZolmarCommand__IsMatchType(None, "LMT", "ROD") is True


# --- argument binding: the interpreter's rules and messages --------------------------------------

def _reference(key, name, parameters, defaults):
    """A plain Python function of the same signature in a class of the same name."""
    required = parameters[: len(parameters) - len(defaults)]
    optional = ["%s=%r" % (p, d) for p, d in zip(parameters[len(required):], defaults)]
    source = "class ZolmarCommand:\n    def %s(%s):\n        return 'bound'\n" % (
        name, ", ".join(["self"] + required + optional))
    scope = {}
    exec(source, scope)
    return vars(scope["ZolmarCommand"])[key]


REFERENCES = {key: _reference(key, name, params, defaults) for key, name, params, defaults in METHODS}


BAD_CALLS = [
    ("Order", (), {}),
    ("Order", (None,) * 9, {}),
    ("Order", (None,) * 13, {}),
    ("Order", (None,) * 14, {"x": 1}),
    ("Order", (None, "A1"), {"broker": "A1"}),
    ("Order", (None,), {"brokr": "A1"}),
    ("Order", (None,), {"anc": "A1", "bs": "B"}),
    ("Delete", (None,), {"broker": "A1"}),
    ("Delete", (None, 1, 2, 3), {}),
    ("FutureRights", (None,), {}),
    ("FutureRights", (None, "A1", "A2"), {}),
    ("FutureRights", (), {"broker": "A1"}),
    ("FutureRights", (None,), {"brocker": "A1"}),
    ("GetInStock", (None,), {"prodid": "P1"}),
    ("GetInStock", (None, "A1", "P1", "x"), {}),
    ("AddQuote", (None, "A1"), {"append": True}),
    ("AddQuote", (None, "A1", "S1"), {"symbol": "S1"}),
    ("_ZolmarCommand__SendMsg", (None,), {"msg": "x", "flags": 1}),
    ("_ZolmarCommand__IsMatchType", (None, "LMT"), {}),
    ("__init__", (None, 1), {}),
    ("__init__", (), {}),
    ("__init__", (None,), {"self": None}),
]


@pytest.mark.parametrize("key, args, kwargs", BAD_CALLS)
def test_refused_calls_give_the_interpreters_messages(key, args, kwargs):
    function = vars(ZolmarCommand)[key]
    expected = outcome(lambda: REFERENCES[key](*args, **kwargs))
    assert expected is not None
    assert outcome(lambda: function(*args, **kwargs)) == expected


def test_refused_call_through_a_bound_method_counts_self():
    command = ZolmarCommand()
    reference = REFERENCES["Order"].__get__(command)
    assert outcome(lambda: command.Order(*("A1",) * 12)) == outcome(lambda: reference(*("A1",) * 12))


def test_non_str_keyword_is_refused():
    with pytest.raises(TypeError):
        ZolmarCommand.Delete(None, "A1", **{1: 2})


keyword_names = st.one_of(
    st.sampled_from(["broker", "prodid", "bs", "price", "anc", "self", "daytrade"]),
    st.text(alphabet=string.ascii_letters + "_", min_size=1, max_size=12),
)


@settings(max_examples=300, deadline=None)
@given(key=st.sampled_from([m[0] for m in METHODS]),
       positional=st.integers(min_value=0, max_value=14),
       names=st.lists(keyword_names, max_size=4, unique=True))
def test_binding_matches_the_interpreter_for_any_call(key, positional, names):
    reference = REFERENCES[key]
    args = (None,) * positional
    kwargs = {name: None for name in names}
    expected = outcome(lambda: reference(*args, **kwargs))
    # Only calls the interpreter refuses: an accepted call would run the command.
    assume(expected is not None)
    assert outcome(lambda: vars(ZolmarCommand)[key](*args, **kwargs)) == expected


def test_a_failed_import_leaves_nothing_behind_and_can_be_retried():
    import subprocess

    script = "\n".join([
        "import sys",
        "real = __import__('subprocess')",
        "sys.modules['subprocess'] = None  # makes `import subprocess` fail",
        "try:",
        "    import velkarcmd",
        "except ImportError as error:",
        "    print('failed', 'subprocess' in str(error))",
        "print('left behind', 'velkarcmd' in sys.modules)",
        "sys.modules['subprocess'] = real",
        "import velkarcmd",
        "print('retried', velkarcmd.subprocess is real, hasattr(velkarcmd, 'ZolmarCommand'))",
    ])
    run = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert run.stdout.split("\n")[:3] == ["failed True", "left behind False", "retried True True"], run.stderr


def test_a_refused_call_builds_and_sends_nothing():
    added, sent = [], []

    class Field(object):
        def __radd__(self, other):
            added.append(other)
            return other + "x"

    command = ZolmarCommand()
    command._ZolmarCommand__SendMsg = lambda msg, flag: sent.append(msg)
    for call in (lambda: command.Order(Field(), *(Field(),) * 7),
                 lambda: command.Order(*(Field(),) * 9, bogus=1),
                 lambda: command.Delete(Field(), Field(), Field()),
                 lambda: command.AddQuote(Field(), symbols=Field(), broker=Field())):
        with pytest.raises(TypeError):
            call()
    assert added == [] and sent == []
