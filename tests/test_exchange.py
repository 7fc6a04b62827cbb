"""The request-and-reply exchange, over the wire and step by step through fake socket modules."""
import builtins
import socket
import time

import pytest
from fakes import Fail, FakeSocketModule, outcome
from stand_in import Pause
from windows import NOBODY_LISTENING, UNDER_WINE, WINE_KEEPS_REFUSALS

EXCHANGE = "_ZolmarCommand__SendMsg"


def exchange(command, msg, flag):
    return getattr(command, EXCHANGE)(msg, flag)


# --- over the wire ----------------------------------------------------------------------------

@pytest.mark.parametrize("datagram, reply", [
    ("OK", "OK"),
    ("OK\n", "OK"),
    ("\n\nOK\n\n", "OK"),
    ("OK\r\n", "OK\r"),
    ("", ""),
    ("over", "over"),
    (" a\nb \t", " a\nb \t"),
    ("\u6210\u4ea4", "\u6210\u4ea4"),
])
def test_single_reply_mode(app, command, datagram, reply):
    app.answer(datagram)
    assert exchange(command, "A1 ping", 0) == reply
    assert app.requests == [b"A1 ping"]


@pytest.mark.parametrize("datagrams, reply", [
    (["A", "B", "over"], "A\nB\nover"),
    (["over"], "over"),
    (["", "X", "over"], "X\nover"),
    (["X", "", "over"], "X\n\nover"),
    (["X\nY", "over"], "X\nY\nover"),
    (["Over", "over\n", " over", "OVER", "over"], "Over\nover\n\n over\nOVER\nover"),
])
def test_multi_reply_mode(app, command, datagrams, reply):
    app.answer(*datagrams)
    assert exchange(command, "A1 All", 1) == reply


@pytest.mark.parametrize("flag, single", [
    (0, True), (False, True), (0.0, True),
    (1, False), (2, False), (None, False), ("0", False),
])
def test_flag_is_compared_with_zero(app, command, flag, single):
    app.answer("first", "over")
    expected = "first" if single else "first\nover"
    assert exchange(command, "x", flag) == expected


def test_a_failing_flag_comparison_propagates_after_sending(app, command):
    class Flag(object):
        def __eq__(self, other):
            raise ArithmeticError("bad flag")

    with pytest.raises(ArithmeticError):
        exchange(command, "x", Flag())
    assert app.texts() == ["x"]


@pytest.mark.parametrize("msg, wire", [
    ("", b""),
    ("A1 \u4e0b\u55ae \u00e9", "A1 \u4e0b\u55ae \u00e9".encode("utf-8")),
    ("a\nb\r\n", b"a\nb\r\n"),
])
def test_request_is_the_utf8_text_alone(app, command, msg, wire):
    app.answer("ok")
    assert exchange(command, msg, 0) == "ok"
    assert app.requests == [wire]


def test_msg_is_used_through_its_encode_method(app, command):
    class Text(object):
        def encode(self, encoding):
            assert encoding == "utf-8"
            return b"custom"

    app.answer("ok")
    assert exchange(command, Text(), 0) == "ok"
    assert app.requests == [b"custom"]


@pytest.mark.parametrize("msg, error", [
    (b"A1", AttributeError),
    (None, AttributeError),
    (5, AttributeError),
    ("A1 \ud800", UnicodeEncodeError),
])
def test_msg_that_cannot_be_encoded_sends_nothing(app, command, msg, error):
    with pytest.raises(error):
        exchange(command, msg, 0)
    assert app.texts() == []


def test_request_too_long_for_a_datagram_raises_oserror(app, command):
    with pytest.raises(OSError):
        command.FutureRights("A" * 70000)
    assert app.texts() == []


@pytest.mark.parametrize("datagrams", [
    [b"\xff\xfe"],
    [b"ok", "\u4e0b".encode("utf-8")[:2], "\u4e0b".encode("utf-8")[2:], b"over"],
])
def test_invalid_utf8_reply_raises(app, command, datagrams):
    app.answer(*datagrams)
    with pytest.raises(UnicodeDecodeError):
        exchange(command, "q", 0 if len(datagrams) == 1 else 1)


def test_second_datagram_of_a_single_reply_is_never_read(app, command):
    app.answer("first", "second")
    app.answer("third")
    assert exchange(command, "one", 0) == "first"
    assert exchange(command, "two", 0) == "third"


def test_each_call_uses_a_fresh_local_port(app, command):
    for _ in range(3):
        app.answer("ok")
        exchange(command, "x", 0)
    assert len(set(app.senders)) == 3


@pytest.mark.skipif(UNDER_WINE, reason=WINE_KEEPS_REFUSALS)
def test_nobody_listening_raises_the_systems_refusal(app, command):
    with app.offline():
        with pytest.raises(NOBODY_LISTENING):
            command.Delete("A1", "1")


def test_default_timeout_turns_a_missing_reply_into_a_timeout(app, command):
    socket.setdefaulttimeout(0.2)
    with pytest.raises(socket.timeout):
        exchange(command, "unanswered", 0)
    assert app.texts() == ["unanswered"]


def test_without_timeout_the_call_waits_for_a_late_reply(app, command):
    socket.setdefaulttimeout(None)
    app.answer(Pause(1.0), "late")
    started = time.monotonic()
    assert exchange(command, "x", 0) == "late"
    assert time.monotonic() - started >= 0.9


def test_reply_waits_for_the_end_marker(app, command):
    app.answer("A", Pause(0.3), "B", Pause(0.3), "over")
    assert exchange(command, "x", 1) == "A\nB\nover"


@pytest.mark.parametrize("method, args, sent, datagrams, result", [
    ("Order", ("A1", "P1", "B", "100", "1", "ROD", "LMT", 0, 0), "A1 P1 B 100 1 ROD LMT 0",
     ["OK 42"], "OK 42"),
    ("Delete", ("A1", "42"), "A1 Delete 42", ["cancelled 42\n"], "cancelled 42"),
    ("GetAccount", ("A1", "42"), "A1 42", ["42,Order", "42,Match\n9,Order", "over"],
     ["42,Order", "42,Match"]),
    ("MatchAccount", ("A1", "All"), "A1 All", ["42,Order", "42,Match\n9,Match", "over"],
     ["42,Match", "9,Match"]),
    ("GetUnfinished", ("A1", "All"), "A1 All", ["", "42,Order", "", "over"], ["42,Order"]),
    ("GetInStock", ("A1", "P1"), "A1-P1", ["P1,B,3", "over"], ["P1,B,3"]),
    ("FutureRights", ("A1",), "A1 GetEquity", ["\nequity 1000\n"], "equity 1000"),
    ("AddQuote", ("A1", "S1, S2", True), "A1 AddQuote S1,S2 1", ["ok"], None),
])
def test_every_command_over_the_wire(app, command, method, args, sent, datagrams, result):
    app.answer(*datagrams)
    assert getattr(command, method)(*args) == result
    assert app.texts() == [sent]


def test_an_order_reply_is_the_first_datagram_only(app, command):
    app.answer("OK 1", "OK 2")
    assert command.Order("A1", "P1", "B", "1", "1", "ROD", "LMT", 0, 0) == "OK 1"


# --- step by step, through a fake socket module -------------------------------------------------

def steps_single(msg):
    return [
        ("get", "socket"), ("get", "AF_INET"), ("get", "SOCK_DGRAM"),
        ("socket", "family", "datagram"),
        ("connect", ("127.0.0.1", 5656)),
        ("send", msg.encode("utf-8")),
        ("recv", 4096), ("decode", "utf-8"),
    ]


def test_steps_of_a_single_reply(velkarcmd, command):
    fake = FakeSocketModule(replies=["\nR\n"])
    velkarcmd.socket = fake
    assert exchange(command, "A1 x", 0) == "R"
    assert fake.journal == steps_single("A1 x")
    address = fake.journal[4][1]
    assert type(address) is tuple and type(address[0]) is str and type(address[1]) is int
    assert fake.alive() == []


def test_steps_of_a_multi_reply(velkarcmd, command):
    fake = FakeSocketModule(replies=["A", "B", "over", "never read"])
    velkarcmd.socket = fake
    assert exchange(command, "q", 1) == "A\nB\nover"
    assert fake.journal == steps_single("q") + [("recv", 4096), ("decode", "utf-8")] * 2
    assert fake.replies == ["never read"]
    assert fake.alive() == []


@pytest.mark.parametrize("fail_at, replies, flag, last_step", [
    ("connect", [], 0, "connect"),
    ("send", [], 0, "send"),
    ("recv", [], 0, "recv"),
    ("recv", ["A"], 1, "recv"),
    (None, [ValueError("bad bytes")], 0, "decode"),
    (None, ["A", UnicodeError("split character")], 1, "decode"),
])
def test_socket_is_released_on_every_error_path(velkarcmd, command, fail_at, replies, flag, last_step):
    fake = FakeSocketModule(replies=replies, fail_at=fail_at)
    velkarcmd.socket = fake
    result = outcome(lambda: exchange(command, "x", flag))
    assert result is not None
    assert fake.journal[-1][0] == last_step
    assert len(fake.made) == 1 and fake.alive() == []


def test_encode_failure_comes_after_connect_and_releases_the_socket(velkarcmd, command):
    fake = FakeSocketModule()
    velkarcmd.socket = fake
    assert outcome(lambda: exchange(command, b"bytes", 0))[0] is AttributeError
    assert [step[0] for step in fake.journal][-2:] == ["socket", "connect"]
    assert fake.alive() == []


def test_socket_creation_failure_propagates(velkarcmd, command):
    fake = FakeSocketModule(fail_at="socket")
    velkarcmd.socket = fake
    with pytest.raises(Fail):
        exchange(command, "x", 0)


def test_errors_propagate_as_raised(velkarcmd, command):
    error = ConnectionResetError(10054, "reset by peer")
    fake = FakeSocketModule(replies=[error])
    velkarcmd.socket = fake
    with pytest.raises(ConnectionResetError) as raised:
        exchange(command, "x", 0)
    assert raised.value is error


def test_many_datagrams_are_gathered_whole(velkarcmd, command):
    lines = ["%06d,Order,P%d,%s" % (i, i % 7, "x" * (i % 50)) for i in range(20000)]
    fake = FakeSocketModule(replies=lines + ["over"])
    velkarcmd.socket = fake
    assert command.GetUnfinished("A1", "All") == lines


def test_reply_pieces_that_are_not_str_join_by_the_interpreters_plus(velkarcmd, command):
    class Piece(object):
        def __radd__(self, other):
            return other + "<piece>"

    fake = FakeSocketModule(replies=["A", Piece(), "over"])
    velkarcmd.socket = fake
    assert exchange(command, "x", 1) == "A\n<piece>\nover"


def test_socket_is_looked_up_at_every_call(velkarcmd, command, app):
    first, second = FakeSocketModule(replies=["1"]), FakeSocketModule(replies=["2"])
    velkarcmd.socket = first
    assert exchange(command, "x", 0) == "1"
    velkarcmd.socket = second
    assert exchange(command, "x", 0) == "2"
    velkarcmd.socket = socket
    app.answer("3")
    assert exchange(command, "x", 0) == "3"


def test_missing_socket_raises_name_error(velkarcmd, command):
    del velkarcmd.socket
    with pytest.raises(NameError) as raised:
        exchange(command, "x", 0)
    assert str(raised.value) == "name 'socket' is not defined"


def test_socket_from_builtins_when_the_module_has_none(velkarcmd, command):
    fake = FakeSocketModule(replies=["from builtins"])
    del velkarcmd.socket
    builtins.socket = fake
    try:
        assert exchange(command, "x", 0) == "from builtins"
    finally:
        del builtins.socket


@pytest.mark.parametrize("answer", [["ok"], [b"\xff"]])
def test_real_sockets_are_closed_not_left_unclosed(app, command, answer):
    import warnings

    app.answer(*answer)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome(lambda: exchange(command, "x", 0))
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


@pytest.mark.parametrize("method, args", [
    ("GetUnfinished", ("A1", "Delete 1")),
    ("GetAccount", ("A1", "FUT B 1 1 ROD LMT 0")),
    ("GetInStock", ("A1 GetEquity",)),
])
def test_a_command_smuggled_in_a_field_never_reaches_the_application(app, command, method, args):
    app.responder = lambda request: ["1,Cancelled", "over"]
    with pytest.raises(ValueError):
        getattr(command, method)(*args)
    assert app.texts() == []
