"""Random requests over the wire, built from the request grammar's words and random text.

After every request the simulator must still answer, no reply datagram may exceed what a reader
takes (4096 bytes), a request shaped like a list request must get the end marker, and a refused
request must leave the account it names as it was.
"""
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sim_process import raw_exchange

FIXED = ("--move-every", "0")
BROKER = "F1"
LARGEST_REPLY = 4096
EQUITY = re.compile(r"^balance=-?\d+\.\d\d,realized=-?\d+\.\d\d,unrealized=-?\d+\.\d\d,"
                    r"equity=-?\d+\.\d\d$")


def exchange(payload, until_over):
    return raw_exchange(payload, until_over, timeout=3)


def may_be_list_request(payload):
    # What the module sends for GetInStock ("broker", "broker-product") and the three record
    # queries ("broker id"); a caller of those reads until the end marker.
    fields = payload.split(b" ")
    return len(fields) == 1 or (len(fields) == 2 and fields[1] != b"GetEquity")


def lines_of(replies):
    assert replies[-1] == b"over"
    return b"\n".join(replies[:-1]).decode("utf-8").split("\n") if replies[:-1] else []


def snapshot():
    """Everything the fixed broker's account shows; each answer is checked for its form too."""
    records = lines_of(exchange(BROKER.encode() + b" All", True))
    positions = lines_of(exchange(BROKER.encode(), True))
    equity = exchange(BROKER.encode() + b" GetEquity", False)[0].decode("utf-8")
    # Appending a symbol already subscribed reads the subscription without changing it.
    quotes = exchange(BROKER.encode() + b" AddQuote FUT 1", False)[0].decode("utf-8")
    assert all(re.match(r"^\d+,(Order|Filled|Cancelled|Match),", line) for line in records)
    assert all(re.match(r"^(FUT|STK),-?\d+,", line) for line in positions)
    assert EQUITY.match(equity), equity
    assert quotes.startswith("quotes "), quotes
    return records, positions, equity, quotes


# Names as the grammar has them (no blanks, commas or hyphens), and loose text that may break it.
name = st.text(st.characters(min_codepoint=0x21, max_codepoint=0x2FF, blacklist_characters=",-"),
               min_size=1, max_size=32)
identifier = st.one_of(name, st.text(st.characters(min_codepoint=0x21, max_codepoint=0x2FF),
                                     min_size=1, max_size=34))
word = st.one_of(
    st.sampled_from([BROKER, "A1", "Z9", "All", "Delete", "GetEquity", "AddQuote", "FUT", "STK",
                     "NOPE", "B", "S", "ROD", "IOC", "FOK", "LMT", "MKT", "0", "1", "2", "-",
                     "", "over", "ERR"]),
    identifier,
    st.text(max_size=6),
)
broker = st.one_of(st.sampled_from([BROKER, BROKER, "A1", "Z9", "", "F-1", "F,1", "x" * 33]),
                   identifier)
number = st.one_of(st.integers(-3, 2 ** 70).map(str),
                   st.sampled_from(["1", "2", "3", "0", "01", "+1", "1.0", " 1", "All"]))
price = st.one_of(
    st.sampled_from(["0", "600", "16000", "17000", "18000", "1.2345", "1.23456", "-1", "1e3",
                     ".5", "5.", "abc", "99999999999999999999", ""]),
    st.decimals(min_value=-10, max_value=10 ** 6, places=4, allow_nan=False).map(str),
)
order_request = st.tuples(
    broker,
    st.sampled_from(["FUT", "STK", "NOPE", "fut", ""]) | word,
    st.sampled_from(["B", "S", "b", "X", ""]),
    price,
    st.one_of(st.integers(-2, 1000002).map(str), st.sampled_from(["", "1.5", "x"])),
    st.sampled_from(["ROD", "IOC", "FOK", "rod", "GTC", ""]),
    st.sampled_from(["LMT", "MKT", "STP", ""]),
    st.sampled_from(["0", "1", "2", ""]),
    # No surrogates: a request is UTF-8, which cannot carry them (older Hypothesis draws them).
    st.one_of(st.just(None), st.text(st.characters(min_codepoint=0x21, blacklist_categories=("Cs",)),
                                     max_size=80)),
).map(lambda fields: " ".join(f for f in fields if f is not None))
# Short lists of any names, and long ones numbered from one stem (cheap to draw), from below
# the largest reply to well past it; one bad symbol refuses the whole list.
stem = st.text(st.characters(min_codepoint=0x21, max_codepoint=0x7E, blacklist_characters=",-"),
               min_size=8, max_size=24)
symbols = st.one_of(
    st.lists(st.one_of(name, st.sampled_from(["FUT", "STK", "", "a b", "x-y", "a\nb"])),
             max_size=8),
    st.tuples(stem, st.integers(300, 800)).map(
        lambda parts: ["%s%d" % (parts[0], i) for i in range(parts[1])]),
).map(",".join)
quotes = st.tuples(broker, symbols, st.sampled_from(["0", "1", "0", "1", "2", "", "01"])).map(
    lambda parts: "%s AddQuote %s %s" % parts)
positions = st.one_of(
    st.tuples(broker, st.sampled_from(["", "-", "--"]), st.sampled_from(["FUT", "STK", "NOPE", ""]))
    .map("".join),
    st.sampled_from(["-FUT", "-", BROKER + "-FUT-STK"]),
)
queries = st.one_of(
    broker.map(lambda b: b + " GetEquity"),
    st.tuples(broker, number).map(" ".join),
    st.tuples(broker, number).map(lambda pair: "%s Delete %s" % pair),
)
soup = st.tuples(st.lists(word, max_size=12), st.sampled_from([" ", "  ", "\n", "\t"])).map(
    lambda pair: pair[1].join(pair[0]))
any_request = st.one_of(order_request, positions, queries, quotes, soup)
FAMILIES = {
    "orders": order_request.map(lambda text: text.encode("utf-8")),
    "positions": positions.map(lambda text: text.encode("utf-8")),
    "queries": queries.map(lambda text: text.encode("utf-8")),
    "quotes": quotes.map(lambda text: text.encode("utf-8")),
    "word soup": soup.map(lambda text: text.encode("utf-8")),
    "bytes": st.one_of(
        st.binary(max_size=200),
        st.tuples(any_request, st.binary(min_size=1, max_size=4)).map(
            lambda pair: pair[0].encode("utf-8") + b"\xff" + pair[1]),
    ),
}


@pytest.mark.parametrize("family", sorted(FAMILIES))
def test_random_requests_keep_it_answering_within_bounds(zolmar_sim, family):
    zolmar_sim(*FIXED)
    for setup in (b"F1 FUT B 16000 2 ROD LMT 0", b"F1 STK S 0 3 IOC MKT 1", b"F1 AddQuote FUT 0"):
        assert not exchange(setup, False)[0].startswith(b"ERR ")
    state = [snapshot()]

    @settings(max_examples=100, deadline=None, suppress_health_check=list(HealthCheck))
    @given(FAMILIES[family])
    def poke(data):
        fields = data.split(b" ")
        try:
            listed = may_be_list_request(data)
            replies = exchange(data, listed)
            oversize = [len(reply) for reply in replies if len(reply) > LARGEST_REPLY]
            assert oversize == [], "reply datagrams of %r bytes" % oversize
            after = snapshot()
            if replies[0].startswith(b"ERR "):
                assert after == state[0]
            state[0] = after
        finally:
            if len(fields) == 4 and fields[1] == b"AddQuote":
                # Back to one symbol, so that no example depends on an earlier one's subscription.
                exchange(fields[0] + b" AddQuote FUT 0", False)
                state[0] = snapshot()

    poke()
