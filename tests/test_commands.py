"""Command texts and reply shaping of every command, with the exchange replaced on the instance:
the same for ZolmarCommand and AsyncZolmarCommand, whose methods share one implementation."""
import inspect

import plain_commands as plain
import pytest
from fakes import outcome
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st


class Exchange(object):
    """Stands in for `_ZolmarCommand__SendMsg`: records its calls and returns a scripted reply."""

    def __init__(self, reply=""):
        self.reply = reply
        self.calls = []

    def __call__(self, msg, flag):
        self.calls.append((msg, flag))
        return self.reply


@pytest.fixture
def command_with(twin):
    """A command of each class whose exchange is an Exchange scripted with `reply`."""

    def make(reply=""):
        command = twin.make()
        exchange = Exchange(reply)
        setattr(command, twin.exchange, twin.member(exchange))
        return command, exchange

    return make


ORDER_FIELDS = ("A1", "P1", "B", "100", "1", "ROD", "LMT")


@pytest.mark.parametrize("args, kwargs, text", [
    (ORDER_FIELDS + (None, None), {}, "A1 P1 B 100 1 ROD LMT 0"),
    (ORDER_FIELDS + (1, object()), {"anc": "N"}, "A1 P1 B 100 1 ROD LMT 0 N"),
    (ORDER_FIELDS + (None, None, "", ""), {}, "A1 P1 B 100 1 ROD LMT"),
    (("",) + ORDER_FIELDS[1:] + (None, None), {}, "P1 B 100 1 ROD LMT 0"),
    (("A1", "P1", "B", "", "1", "ROD", "LMT", None, None), {}, "A1 P1 B  1 ROD LMT 0"),
    (ORDER_FIELDS + (None, None), {"anc": " N\n"}, "A1 P1 B 100 1 ROD LMT 0  N"),
    (ORDER_FIELDS + (None, None), {"anc": "N 2"}, "A1 P1 B 100 1 ROD LMT 0 N 2"),
    (("A1", "P1", "B", "100", "1", "ROD", "MKT", None, None), {}, "A1 P1 B 100 1 ROD MKT 0"),
    ((), dict(zip(["broker", "prodid", "bs", "price", "qty", "timetype", "ordertype",
                   "timekind", "pricetype", "daytrade", "anc"],
                  ORDER_FIELDS + ("x", "y", "1", "Z"))), "A1 P1 B 100 1 ROD LMT 1 Z"),
    (("\u5ba2\u6236",) + ORDER_FIELDS[1:] + (None, None), {}, "\u5ba2\u6236 P1 B 100 1 ROD LMT 0"),
])
def test_order_text(args, kwargs, text, command_with):
    command, exchange = command_with("OK 123")
    assert command.Order(*args, **kwargs) == "OK 123"
    assert exchange.calls == [(text, 0)]


def non_str_cases():
    """(command, its field count, a field) for every field the command joins into its text."""
    for name, function in plain.COMMANDS:
        parameters = list(inspect.signature(function).parameters)[1:]
        for position, parameter in enumerate(parameters):
            if parameter not in ("timekind", "pricetype", "append"):  # never joined
                yield name, len(parameters), position


@pytest.mark.parametrize("name, count, position", list(non_str_cases()))
@pytest.mark.parametrize("value", [None, b"x"])
def test_a_non_str_field_raises_the_interpreters_error_and_sends_nothing(name, count, position, value,
                                                                         command_with):
    fields = ["F%d" % i for i in range(count)]
    fields[position] = value
    expected = outcome(lambda: getattr(plain.ZolmarCommand(), name)(*fields))  # the interpreter's
    command, exchange = command_with("over")
    with pytest.raises(expected[0]) as raised:
        getattr(command, name)(*fields)
    assert (raised.type, str(raised.value)) == expected
    assert exchange.calls == []


@pytest.mark.parametrize("reply", ["", "\n\nOK\n", "ERR price"])
def test_order_and_delete_return_the_reply_unchanged(reply, command_with):
    command, _ = command_with(reply)
    assert command.Order(*ORDER_FIELDS + (None, None)) == reply
    assert command.Delete("A1", "789") == reply


@pytest.mark.parametrize("broker, orderid, text", [
    ("A1", "789", "A1 Delete 789"),
    ("A1", "", "A1 Delete "),
    ("", "789", " Delete 789"),
])
def test_delete_text(broker, orderid, text, command_with):
    command, exchange = command_with("cancelled")
    assert command.Delete(broker, orderid=orderid) == "cancelled"
    assert exchange.calls == [(text, 0)]
    assert len(text) == len(broker) + len(orderid) + 8


class Operand(str):
    """A str whose own `+` records its right operands, to follow the order of the additions."""

    def __new__(cls, log, text):
        made = str.__new__(cls, text)
        made.log = log
        return made

    def __add__(self, other):
        self.log.append(other)
        return Operand(self.log, str(self) + other)


def test_joins_are_the_interpreters_additions_left_to_right(command_with):
    log = []
    command, exchange = command_with("r")
    command.Delete(Operand(log, "A1"), "789")
    assert log == [" ", "Delete", " ", "789"]
    assert exchange.calls == [("A1 Delete 789", 0)]
    assert type(exchange.calls[0][0]) is Operand


class Adds(object):
    """A field that contributes `part` by its `__radd__`, whatever it was asked to add to."""

    def __init__(self, part, keep_before=True):
        self.part, self.keep_before = part, keep_before

    def __radd__(self, before):
        return (before if self.keep_before else "X") + self.part


class Spaced(str):
    """A broker whose `+` slips a word in before what it is asked to add."""

    def __add__(self, other):
        return str(self) + " 99" + other


class Symbols(object):
    """Symbols whose `replace` hands back another object."""

    def __init__(self, replaced):
        self.replaced = replaced

    def replace(self, old, new):
        return self.replaced


ANY_ORDER = ("A1", "P1", "B", "100", "1", "ROD", "LMT", None, None)


@pytest.mark.parametrize("call, name", [
    (lambda c: c.Order("A1", "FUT", "B", Adds("17 99"), "1", "ROD", "LMT", None, None), "price"),
    (lambda c: c.Order("A1", "FUT", "B", Adds("17\t99"), "1", "ROD", "LMT", None, None), "price"),
    (lambda c: c.Order(*ANY_ORDER, daytrade=Adds("0", keep_before=False)), "daytrade"),
    (lambda c: c.Order(*ANY_ORDER, anc=Adds("N", keep_before=False)), "anc"),
    (lambda c: c.Order(Spaced("A1"), *ANY_ORDER[1:]), "broker"),
    (lambda c: c.Delete("A1", Adds("1 Delete 2")), "orderid"),
    (lambda c: c.GetUnfinished("A1", Adds("\u3000")), "orderid"),
    (lambda c: c.GetInStock(Spaced("A1"), "P1"), "broker"),
    (lambda c: c.FutureRights(Spaced("A1")), "broker"),
    (lambda c: c.AddQuote("A1", Symbols(Adds("S1", keep_before=False))), "symbols"),
])
def test_what_a_field_contributes_is_checked_whatever_its_type(call, name, command_with):
    command, exchange = command_with("r")
    with pytest.raises(ValueError) as refused:
        call(command)
    assert str(refused.value).startswith(name + " ")
    assert exchange.calls == []


def test_a_field_whose_sum_is_not_text_is_refused(command_with):
    class Opaque(object):
        def __radd__(self, before):
            return self

    command, exchange = command_with("r")
    with pytest.raises(ValueError, match="^qty "):
        command.Order("A1", "P1", "B", "100", Opaque(), "ROD", "LMT", None, None)
    assert exchange.calls == []


def test_fields_that_add_plain_words_by_their_own_operators_go_out(command_with):
    command, exchange = command_with("r")
    command.Order(Operand([], "A1"), "P1", "B", Adds("100"), "1", "ROD", "LMT", None, None,
                  anc=Adds(" a note"))
    assert exchange.calls == [("A1 P1 B 100 1 ROD LMT 0  a note", 0)]


def test_add_quote_refuses_a_spaced_broker_before_testing_append(command_with):
    tested = []

    class Append(object):
        def __bool__(self):
            tested.append(True)
            return True

    command, exchange = command_with("r")
    with pytest.raises(ValueError, match="^broker "):
        command.AddQuote("A 1", "S1", Append())
    assert tested == [] and exchange.calls == []


# --- the order-condition check --------------------------------------------------------------

@pytest.mark.parametrize("ot, tt, result", [
    ("LMT", "ROD", True), ("MKT", "IOC", True), ("MKT", "FOK", True),
    ("LMT", "IOC", False), ("LMT", "FOK", False), ("MKT", "ROD", False),
    ("lmt", "ROD", False), ("LMT ", "ROD", False), ("MKT", "ioc", False),
    (None, "ROD", False), ("LMT", 0, False), ("", "", False), ("XYZ", "IOC", False),
])
def test_is_match_type(twin, ot, tt, result):
    check = getattr(twin.cls(), "_%s__IsMatchType" % twin.cls.__name__)
    assert check(ot, tt) is result
    assert check(tt=tt, ot=ot) is result


class Code(object):
    """Compares equal to one code only, and records each comparison."""

    def __init__(self, log, equal_to):
        self.log, self.equal_to = log, equal_to

    def __eq__(self, other):
        self.log.append(other)
        return other == self.equal_to


@pytest.mark.parametrize("ot_equal, tt_equal, ot_log, tt_log, result", [
    ("LMT", "ROD", ["LMT"], ["ROD"], True),
    ("LMT", "IOC", ["LMT", "MKT"], ["ROD"], False),
    ("MKT", "FOK", ["LMT", "MKT"], ["IOC", "FOK"], True),
    ("MKT", "IOC", ["LMT", "MKT"], ["IOC"], True),
    ("ZZZ", "IOC", ["LMT", "MKT"], [], False),
])
def test_is_match_type_compares_in_order_and_stops_early(twin, ot_equal, tt_equal, ot_log, tt_log,
                                                         result):
    ot_seen, tt_seen = [], []
    check = getattr(twin.cls(), "_%s__IsMatchType" % twin.cls.__name__)
    answer = check(Code(ot_seen, ot_equal), Code(tt_seen, tt_equal))
    assert answer is result
    assert (ot_seen, tt_seen) == (ot_log, tt_log)


def test_is_match_type_propagates_a_failing_comparison(twin):
    class Broken(object):
        def __eq__(self, other):
            raise RuntimeError("no comparison")

    with pytest.raises(RuntimeError, match="no comparison"):
        getattr(twin.cls(), "_%s__IsMatchType" % twin.cls.__name__)(Broken(), "ROD")


# --- order and fill queries -----------------------------------------------------------------

RECORDS = "\n".join([
    "1,Order,P1,B",
    "1,Match,P1,B",
    "2,Order,Match,S",
    " 3,Order",
    "",
    "22,Order",
    "over",
    "4,Order,late",
])


@pytest.mark.parametrize("orderid, account, match, unfinished", [
    ("All",
     ["1,Order,P1,B", "1,Match,P1,B", "2,Order,Match,S", " 3,Order", "", "22,Order"],
     ["1,Match,P1,B", "2,Order,Match,S"],
     ["1,Order,P1,B", "2,Order,Match,S", " 3,Order", "22,Order", "4,Order,late"]),
    ("1", ["1,Order,P1,B", "1,Match,P1,B"], ["1,Match,P1,B"], ["1,Order,P1,B"]),
    ("2", ["2,Order,Match,S"], ["2,Order,Match,S"], ["2,Order,Match,S"]),
    ("3", [], [], []),
    ("all", [], [], []),
    ("", [""], [], []),
    ("4", [], [], ["4,Order,late"]),
])
def test_query_selection(orderid, account, match, unfinished, command_with):
    for method, expected in (("GetAccount", account), ("MatchAccount", match),
                             ("GetUnfinished", unfinished)):
        command, exchange = command_with(RECORDS)
        assert getattr(command, method)("A1", orderid) == expected
        assert exchange.calls == [("A1 " + orderid, 1)]


@pytest.mark.parametrize("reply, account, match", [
    ("over", [], []),
    ("\n\nover\n", [], []),
    ("5\nover", ["5"], []),
    ("5,Matched\r\nover", ["5,Matched\r"], ["5,Matched\r"]),
    ("xMatchy\nover", ["xMatchy"], ["xMatchy"]),
    ("error: no such broker\nover", ["error: no such broker"], []),
])
def test_query_reply_shapes(reply, account, match, command_with):
    command, _ = command_with(reply)
    assert command.GetAccount("A1", "All") == account
    assert command.MatchAccount(broker="A1", orderid="All") == match


def selected_lines(reply, orderid, word):
    """The queries' selection written in Python: `word` None keeps every line before "over"."""
    kept = []
    for line in reply.strip("\n").split("\n"):
        if word is None and line == "over":
            break
        if (word is None or word in line) and (orderid == "All" or orderid == line.split(",")[0]):
            kept.append(line)
    return kept


@settings(max_examples=150, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(reply=st.lists(st.sampled_from(["\n", ",", "Order", "Match", "over", "1", "7", " ", "\r",
                                       "\xe9", "\u3000", "\U0001f600", "\ud800"]),
                      max_size=24).map("".join),
       orderid=st.sampled_from(["All", "1", "7", "", "\xe9", "1\U0001f600", "\ud800"]))
def test_query_selection_over_any_text_is_the_interpreters(reply, orderid, command_with):
    for method, word in (("GetAccount", None), ("MatchAccount", "Match"),
                         ("GetUnfinished", "Order")):
        command, _ = command_with(reply)
        got = getattr(command, method)("A1", orderid)
        assert got == selected_lines(reply, orderid, word)
        assert all(type(line) is str for line in got)


def test_query_lines_without_comma_match_the_whole_line(command_with):
    command, _ = command_with("Order7\nOrder7,x\nover")
    assert command.GetUnfinished("A1", "Order7") == ["Order7", "Order7,x"]


def test_query_reply_that_is_no_str_fails_as_the_interpreter_would(command_with):
    command, _ = command_with(["not", "a", "str"])
    with pytest.raises(AttributeError, match="strip"):
        command.GetAccount("A1", "All")


def test_query_compares_with_orderid_as_left_operand(command_with):
    seen = []

    class OrderId(str):
        def __eq__(self, other):
            seen.append(other)
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    command, exchange = command_with("7,Match\n8,Match\nover")
    assert command.MatchAccount("A1", OrderId("7")) == ["7,Match"]
    assert seen == ["All", "7", "All", "8"]


# --- positions --------------------------------------------------------------------------------

@pytest.mark.parametrize("broker, prodid, text", [
    ("ABC", None, "ABC"),
    ("ABC", "P1", "ABC-P1"),
    ("-ABC-", "P1-", "ABC--P1"),
    ("", "", ""),
    ("", "P1", "P1"),
    ("A-B", "P1", "A-B-P1"),
])
def test_in_stock_text(broker, prodid, text, command_with):
    command, exchange = command_with("over")
    result = command.GetInStock(broker) if prodid is None else command.GetInStock(broker, prodid)
    assert result == []
    assert exchange.calls == [(text, 1)]


@pytest.mark.parametrize("reply, lines", [
    ("L1\nL2\nover", ["L1", "L2"]),
    ("over", []),
    ("A\nB\nover", ["A", "B"]),
    ("X\n\nY\nover", ["X", "", "Y"]),
    ("\n\nX\nover", ["X"]),
    ("R1\r\nover", ["R1\r"]),
    ("L1\nL2", ["L1", "L2"]),
    ("", [""]),
    ("over\nL1\nover", ["over", "L1"]),
])
def test_in_stock_reply_shapes(reply, lines, command_with):
    command, _ = command_with(reply)
    assert command.GetInStock("A1") == lines


# --- equity -----------------------------------------------------------------------------------

@pytest.mark.parametrize("broker, text", [("ABC", "ABC GetEquity"), ("", " GetEquity")])
def test_future_rights_text(broker, text, command_with):
    command, exchange = command_with("E")
    command.FutureRights(broker)
    assert exchange.calls == [(text, 0)]


@pytest.mark.parametrize("reply, result", [
    ("equity 100\nmargin 20", "equity 100\nmargin 20"),
    ("\nequity 100 \r\n", "equity 100 \r"),
    ("", ""),
    ("over", "over"),
])
def test_future_rights_reply(reply, result, command_with):
    command, _ = command_with(reply)
    assert command.FutureRights("A1") == result


# --- quotes -----------------------------------------------------------------------------------

@pytest.mark.parametrize("symbols, append, text", [
    ("S1", None, "ABC AddQuote S1 0"),
    ("S1, S2", True, "ABC AddQuote S1,S2 1"),
    ("", None, "ABC AddQuote  0"),
    ("S1\tS2", False, "ABC AddQuote S1\tS2 0"),
    (" S 1 ", 1, "ABC AddQuote S1 1"),
    ("S1", "no", "ABC AddQuote S1 1"),
    ("S1", 0, "ABC AddQuote S1 0"),
    ("S1", "", "ABC AddQuote S1 0"),
    ("S1", [], "ABC AddQuote S1 0"),
    ("S1", [0], "ABC AddQuote S1 1"),
])
def test_add_quote_text(symbols, append, text, command_with):
    command, exchange = command_with("whatever")
    if append is None:
        assert command.AddQuote("ABC", symbols) is None
    else:
        assert command.AddQuote("ABC", symbols, append) is None
    assert exchange.calls == [(text, 0)]


@pytest.mark.parametrize("reply", ["", "ERR unknown symbol", "over"])
def test_add_quote_discards_the_reply(reply, command_with):
    command, exchange = command_with(reply)
    assert command.AddQuote("ABC", "S1", True) is None
    assert len(exchange.calls) == 1


class BadTruth(object):
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("broker, symbols, append, error", [
    ("ABC", ["S1"], False, AttributeError),
    (1, ["S1"], False, TypeError),          # the earliest step's error wins
    (None, "S1", BadTruth(), TypeError),
    ("ABC", "S1", BadTruth(), ValueError),
])
def test_add_quote_errors_send_nothing(broker, symbols, append, error, command_with):
    command, exchange = command_with("ok")
    with pytest.raises(error):
        command.AddQuote(broker, symbols, append)
    assert exchange.calls == []


def test_add_quote_symbols_replace_is_called_on_the_object(command_with):
    class Symbols(object):
        def replace(self, old, new):
            assert (old, new) == (" ", "")
            return "S9"

    command, exchange = command_with("ok")
    command.AddQuote("ABC", Symbols())
    assert exchange.calls == [("ABC AddQuote S9 0", 0)]


# --- how commands reach the exchange ----------------------------------------------------------

ALL_COMMANDS = [
    ("Order", ORDER_FIELDS + (None, None), 0),
    ("Delete", ("A1", "7"), 0),
    ("GetAccount", ("A1", "All"), 1),
    ("MatchAccount", ("A1", "All"), 1),
    ("GetUnfinished", ("A1", "All"), 1),
    ("GetInStock", ("A1",), 1),
    ("FutureRights", ("A1",), 0),
    ("AddQuote", ("A1", "S1"), 0),
]


@pytest.mark.parametrize("method, args, mode", ALL_COMMANDS)
def test_a_subclass_member_replaces_the_exchange(twin, method, args, mode):
    calls = []

    def exchange(self, msg, flag):
        calls.append((type(self), flag))
        assert type(flag) is int
        return "over"

    Recording = type("Recording", (twin.cls,), {twin.exchange: twin.member(exchange)})
    getattr(twin.wrap(Recording()), method)(*args)
    assert calls == [(Recording, mode)]


@pytest.mark.parametrize("method, args, mode", ALL_COMMANDS)
def test_the_exchange_is_looked_up_at_every_call(twin, method, args, mode):
    command = twin.make()
    for reply in ("over", "over"):
        exchange = Exchange(reply)
        setattr(command, twin.exchange, twin.member(exchange))
        getattr(command, method)(*args)
        assert [flag for _, flag in exchange.calls] == [mode]
    delattr(command, twin.exchange)
    command.__dict__[twin.exchange] = twin.member(lambda *a: (_ for _ in ()).throw(KeyError("x")))
    with pytest.raises(KeyError):
        getattr(command, method)(*args)


def test_an_exchange_error_propagates_unchanged(twin):
    error = OSError(10054, "reset")
    command = twin.make()

    def failing(msg, flag):
        raise error

    setattr(command, twin.exchange, twin.member(failing))
    with pytest.raises(OSError) as raised:
        command.GetInStock("A1")
    assert raised.value is error


# --- one-word fields --------------------------------------------------------------------------

def order_args(**fields):
    names = ["broker", "prodid", "bs", "price", "qty", "timetype", "ordertype"]
    args = dict(zip(names, ORDER_FIELDS), timekind=None, pricetype=None)
    args.update(fields)
    return args


# A blank in a field that the request's grammar makes one word would make the application read
# another command: each of these would cancel, place an order or wait for ever.
@pytest.mark.parametrize("method, kwargs, parameter", [
    ("GetUnfinished", {"broker": "A1", "orderid": "Delete 1"}, "orderid"),
    ("GetAccount", {"broker": "A1", "orderid": "FUT B 1 1 ROD LMT 0"}, "orderid"),
    ("MatchAccount", {"broker": "A1 Delete", "orderid": "1"}, "broker"),
    ("GetInStock", {"broker": "A1 GetEquity"}, "broker"),
    ("GetInStock", {"broker": "A1", "prodid": "P1\tx"}, "prodid"),
    ("Delete", {"broker": "A1", "orderid": "1 2"}, "orderid"),
    ("Delete", {"broker": "A1\n", "orderid": "1"}, "broker"),
    ("FutureRights", {"broker": "A1 AddQuote S1"}, "broker"),
    ("AddQuote", {"broker": "A1 GetEquity", "symbols": "S1"}, "broker"),
    ("Order", order_args(broker=" \tA1 "), "broker"),
    ("Order", order_args(prodid="FUT S"), "prodid"),
    ("Order", order_args(bs="B\u3000"), "bs"),
    ("Order", order_args(price="1 00"), "price"),
    ("Order", order_args(qty="1\x0b"), "qty"),
    ("Order", order_args(timetype="ROD\r"), "timetype"),
    ("Order", order_args(ordertype="LMT\x1c"), "ordertype"),
    ("Order", order_args(daytrade="0 1"), "daytrade"),
])
def test_a_one_word_field_with_whitespace_is_refused_and_nothing_is_sent(method, kwargs, parameter, command_with):
    command, exchange = command_with("over")
    with pytest.raises(ValueError) as raised:
        getattr(command, method)(**kwargs)
    assert str(raised.value).startswith(parameter + " must not contain whitespace, got ")
    assert exchange.calls == []


class Word(str):
    """A str subclass whose own methods would hide the blank; the characters themselves count."""

    def isspace(self):
        return False

    def __contains__(self, item):
        return False


@pytest.mark.parametrize("method, args, error", [
    # Each field is checked as it is added, in the order of the additions: of two bad fields,
    # the earlier one's error is raised.
    ("Delete", ("A1 x", 7), ValueError),
    ("Delete", ("A1", 7), TypeError),
    ("GetAccount", (None, "1 2"), TypeError),
    ("AddQuote", ("A1 x", ["S1"]), ValueError),
    ("AddQuote", ("A1", ["S1"]), AttributeError),
    ("Order", ("A1", "P1", "B", 100, "1 2", "ROD", "LMT", None, None), TypeError),
    ("Order", ("A 1", "P1", "B", 100, "1", "ROD", "LMT", None, None), ValueError),
    # str subclasses are checked by their characters.
    ("Delete", ("A1", Word("1 Delete")), ValueError),
    ("GetUnfinished", (Word("A1 x"), "All"), ValueError),
])
def test_each_field_is_checked_as_it_is_added(method, args, error, command_with):
    command, exchange = command_with("over")
    with pytest.raises(error):
        getattr(command, method)(*args)
    assert exchange.calls == []


@pytest.mark.parametrize("method, args, sent", [
    ("AddQuote", ("A1", "FUT, STK", True), "A1 AddQuote FUT,STK 1"),
    ("AddQuote", ("A1", "S1\tS2"), "A1 AddQuote S1\tS2 0"),
    ("Order", ORDER_FIELDS + ("time kind", "price type", "0", "note with blanks"),
     "A1 P1 B 100 1 ROD LMT 0 note with blanks"),
    # A word of the protocol as an identifier is the protocol's own ambiguity: it goes out.
    ("GetAccount", ("A1", "GetEquity"), "A1 GetEquity"),
])
def test_fields_that_may_hold_blanks_still_go_out(method, args, sent, command_with):
    command, exchange = command_with("over")
    getattr(command, method)(*args)
    assert exchange.calls == [(sent, exchange.calls[0][1])]


@pytest.mark.parametrize("character", [chr(c) for c in range(128)] + [
    "\x85", "\xa0", "\u1680", "\u2000", "\u2028", "\u3000", "\u200b", "\ufeff", "\U0001f600"])
@pytest.mark.parametrize("padding", [0, 70])  # short fields are read natively, long ones by str
def test_a_field_is_refused_exactly_when_str_isspace_accepts_a_character(character, padding, command_with):
    command, exchange = command_with("r")
    orderid = "1" * padding + character + "2"
    if character.isspace():
        with pytest.raises(ValueError, match="^orderid "):
            command.Delete("A1", orderid)
        assert exchange.calls == []
    else:
        command.Delete("A1", orderid)
        assert exchange.calls == [("A1 Delete " + orderid, 0)]
