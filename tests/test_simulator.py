"""The module end to end against a real zolmar-sim process, and the simulator's own robustness."""
import re
import signal
import socket
import subprocess
import sys
import urllib.parse

import pytest
from fakes import run_on_threads
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from sim_process import executable, raw_exchange
from windows import UNDER_WINE

FIXED = ("--move-every", "0")


def order(command, broker, side, price, qty, timetype="ROD", ordertype="LMT", product="FUT"):
    return command.Order(broker, product, side, price, qty, timetype, ordertype, None, None)


def snapshot(command, broker):
    return (command.GetAccount(broker, "All"), command.GetInStock(broker), command.FutureRights(broker))


def test_an_orders_whole_life(zolmar_sim, command):
    zolmar_sim(*FIXED)
    resting = order(command, "A1", "B", "16990", "2")
    assert resting.isdigit()
    assert command.GetUnfinished("A1", "All") == ["%s,Order,FUT,B,16990,2,0,ROD,LMT" % resting]
    assert command.GetAccount("A1", resting) == command.GetUnfinished("A1", resting)
    assert command.MatchAccount("A1", resting) == []
    assert command.Delete("A1", resting) == resting + ",Cancelled"
    assert command.GetUnfinished("A1", "All") == []
    assert command.GetAccount("A1", resting) == ["%s,Cancelled,FUT,B,16990,2,0,ROD,LMT" % resting]
    assert command.Delete("A1", resting).startswith("ERR orderid:")


def test_fills_positions_and_equity(zolmar_sim, command):
    zolmar_sim(*FIXED + ("--price", "FUT=17000", "--balance", "5000"))
    bought = order(command, "A1", "B", "0", "3", "IOC", "MKT")
    marketable = order(command, "A1", "B", "17005", "1")   # fills at once, at the reference
    assert command.MatchAccount("A1", "All") == [
        "%s,Match,FUT,B,17000,3,1" % bought, "%s,Match,FUT,B,17000,1,2" % marketable]
    assert command.GetUnfinished("A1", "All") == []
    assert command.GetInStock("A1") == ["FUT,4,17000.00,17000,0.00"]
    sold = order(command, "A1", "S", "16000", "4")
    assert command.GetAccount("A1", sold)[0].startswith(sold + ",Filled,")
    assert command.GetInStock("A1") == []
    assert command.GetInStock("A1", "FUT") == []
    # Refused as Order refuses it, naming the product.
    assert command.GetInStock("A1", "ZZZ") == ["ERR prodid: unknown product 'ZZZ'"]
    assert command.Order("A1", "ZZZ", "B", "1", "1", "ROD", "LMT", None, None) == (
        "ERR prodid: unknown product 'ZZZ'")
    assert command.FutureRights("A1") == "balance=5000.00,realized=0.00,unrealized=0.00,equity=5000.00"
    assert command.Delete("A1", bought).startswith("ERR orderid: order %s is already filled" % bought)


def test_a_resting_order_fills_when_the_price_moves(zolmar_sim, command):
    zolmar_sim("--move-every", "1", "--tick", "1", "--seed", "3", "--price", "FUT=100")
    resting = order(command, "A1", "B", "99", "1")
    for _ in range(5000):
        if command.MatchAccount("A1", resting):
            break
    assert command.MatchAccount("A1", resting)[0].startswith(resting + ",Match,FUT,B,99,1,")
    line = command.GetInStock("A1", "FUT")[0]
    product, net, average, reference, unrealized = line.split(",")
    assert (product, net, average) == ("FUT", "1", "99.00")
    assert float(unrealized) == pytest.approx(float(reference) - 99)
    assert command.FutureRights("A1").endswith("equity=%.2f" % (1000000 + float(unrealized)))


# Money over fills at prices known beforehand: a resting limit order fills at its own limit, and
# from 100 in steps of 1 the reference meets each limit exactly. Prices move after every second
# request, so a fill is first seen by a request after which nothing moves: the next order is
# placed where the last one filled, and rests. The seed decides only how long the walk takes.
MONEY = ("--price", "FUT=100", "--tick", "1", "--move-every", "2", "--balance", "1000")


@pytest.mark.parametrize("fills, net, average, cost, realized", [
    # Bought 1 at 98 and 3 at 96: (98 + 3 x 96) / 4 = 386 / 4.
    pytest.param([("B", 1, 98), ("B", 3, 96)], 4, "96.50", 386, 0, id="average"),
    # Sold 2 at 102 and 1 at 104: short 3 at (2 x 102 + 104) / 3 = 308 / 3.
    pytest.param([("S", 2, 102), ("S", 1, 104)], -3, "102.67", -308, 0, id="short"),
    # Long 2 at 98. Selling 5 at 101 closes them (+3 each) and opens 3 short at 101; buying 4
    # at 97 closes those (+4 each) and opens 1 long at 97. Realized 6 + 12.
    pytest.param([("B", 2, 98), ("S", 5, 101), ("B", 4, 97)], 1, "97.00", 97, 18,
                 id="long-short-long"),
    # Bought 3 at 98, sold 1 at 101 (+3): the 2 left keep their price.
    pytest.param([("B", 3, 98), ("S", 1, 101)], 2, "98.00", 196, 3, id="partly-closed"),
    # Bought 2 at 98, sold 2 at 102 (+4 each): nothing left open.
    pytest.param([("B", 2, 98), ("S", 2, 102)], 0, None, 0, 8, id="closed"),
])
def test_money_over_fills_at_different_prices(zolmar_sim, command, fills, net, average, cost,
                                              realized):
    zolmar_sim(*MONEY)
    placed = []
    for side, qty, limit in fills:
        placed.append(order(command, "A1", side, str(limit), str(qty)))
        if not any(command.MatchAccount("A1", placed[-1]) for _ in range(20000)):
            pytest.fail("the walk did not reach %d in 20000 requests" % limit)
    # Each filled whole at its own limit. This request comes after a move, so the next two see
    # one price.
    assert command.MatchAccount("A1", "All") == [
        "%s,Match,FUT,%s,%d,%d,%d" % (oid, side, limit, qty, number)
        for number, (oid, (side, qty, limit)) in enumerate(zip(placed, fills), 1)]
    positions, equity = command.GetInStock("A1"), command.FutureRights("A1")
    unrealized = 0
    if net:
        line, = positions
        reference = line.split(",")[3]
        # What the open quantity is worth at the reference, less what it cost.
        unrealized = net * int(reference) - cost
        assert line == "FUT,%d,%s,%s,%.2f" % (net, average, reference, unrealized)
    else:
        assert positions == []
    balance = 1000 + realized
    assert equity == "balance=%.2f,realized=%.2f,unrealized=%.2f,equity=%.2f" % (
        balance, realized, unrealized, balance + unrealized)


def price_path(zolmar_sim, command, options):
    """The reference prices a position sees over 60 requests, each of which moves them."""
    sim = zolmar_sim(*("--price", "FUT=1000", "--move-every", "1") + options)
    order(command, "A1", "B", "0", "1", "IOC", "MKT")
    path = [command.GetInStock("A1")[0].split(",")[3] for _ in range(60)]
    sim.stop()
    return path


@pytest.mark.parametrize("first, second, same", [
    (("--seed", "7"), ("--seed", "7"), True),
    (("--seed", "7"), ("--seed", "8"), False),
    ((), ("--seed", "1"), True),
], ids=["same seed", "another seed", "default seed 1"])
def test_the_seed_decides_the_price_path(zolmar_sim, command, first, second, same):
    paths = [price_path(zolmar_sim, command, options) for options in (first, second)]
    assert len(set(paths[0])) > 2  # the price does walk
    assert (paths[0] == paths[1]) == same


@pytest.mark.parametrize("fields, field", [
    (("A1", "NOPE", "B", "1", "1", "ROD", "LMT"), "prodid"),
    (("A1", "FUT", "X", "1", "1", "ROD", "LMT"), "bs"),
    (("A1", "FUT", "B", "abc", "1", "ROD", "LMT"), "price"),
    (("A1", "FUT", "B", "1e3", "1", "ROD", "LMT"), "price"),
    (("A1", "FUT", "B", "-5", "1", "ROD", "LMT"), "price"),
    (("A1", "FUT", "B", "1", "0", "ROD", "LMT"), "qty"),
    (("A1", "FUT", "B", "1", "1.5", "ROD", "LMT"), "qty"),
    (("A1", "FUT", "B", "1", "1", "GTC", "LMT"), "timetype"),
    (("A1", "FUT", "B", "1", "1", "ROD", "STP"), "ordertype"),
    (("A1", "FUT", "B", "1", "1", "IOC", "LMT"), "timetype"),
    (("A1", "FUT", "B", "0", "1", "ROD", "MKT"), "timetype"),
    (("A1", "FUT", "B", "0", "1", "ROD", "LMT"), "price"),
    (("A,1", "FUT", "B", "1", "1", "ROD", "LMT"), "broker"),
])
def test_refused_orders_name_the_field_and_change_nothing(zolmar_sim, command, fields, field):
    zolmar_sim(*FIXED)
    order(command, "A1", "B", "16000", "1")
    before = snapshot(command, "A1")
    reply = command.Order(*fields + (None, None))
    assert reply.startswith("ERR %s:" % field)
    assert snapshot(command, "A1") == before


def test_refused_daytrade(zolmar_sim, command):
    zolmar_sim(*FIXED)
    assert command.Order("A1", "FUT", "B", "1", "1", "ROD", "LMT", 0, 0, "2").startswith("ERR daytrade:")


# The note goes last on the order's record, percent-escaped where it could break the record.
@pytest.mark.parametrize("anc, kept", [
    ("N", "N"),
    ("my note", "my note"),
    ("  two  blanks", "  two  blanks"),
    ("\u4e0b\u55ae \u5099\u8a3b", "\u4e0b\u55ae \u5099\u8a3b"),
    ("a,b", "a%2Cb"),
    ("100% sure", "100%25 sure"),
    ("line\nfeed\ttab", "line%0Afeed%09tab"),
    ("Match, Order and over", "%4Datch%2C %4Frder and over"),
    ("x" * 64, "x" * 64),
])
def test_an_orders_note_keeps_its_blanks_on_its_record(zolmar_sim, command, anc, kept):
    zolmar_sim(*FIXED)
    resting = command.Order("A1", "FUT", "B", "16990", "2", "ROD", "LMT", None, None, "0", anc)
    assert resting.isdigit()
    record, = command.GetUnfinished("A1", "All")
    assert record == "%s,Order,FUT,B,16990,2,0,ROD,LMT,%s" % (resting, kept)
    assert urllib.parse.unquote(record.split(",")[9]) == anc
    assert command.Delete("A1", resting) == resting + ",Cancelled"
    assert command.GetAccount("A1", resting) == [record.replace(",Order,", ",Cancelled,", 1)]


def test_a_note_cannot_make_a_record_look_like_another_kind(zolmar_sim, command):
    zolmar_sim(*FIXED + ("--price", "FUT=17000"))
    # MatchAccount picks lines with "Match", GetUnfinished lines with "Order", anywhere.
    resting = command.Order("A1", "FUT", "B", "16000", "1", "ROD", "LMT", None, None, "0",
                            "Match this later")
    filled = command.Order("A1", "FUT", "B", "0", "1", "IOC", "MKT", None, None, "1",
                           "Order filled,\nOrder over")
    assert command.MatchAccount("A1", "All") == ["%s,Match,FUT,B,17000,1,1" % filled]
    unfinished, = command.GetUnfinished("A1", "All")
    assert unfinished.startswith(resting + ",Order,")
    assert command.GetAccount("A1", filled) == [
        "%s,Filled,FUT,B,MKT,1,1,IOC,MKT,%%4Frder filled%%2C%%0A%%4Frder over" % filled,
        "%s,Match,FUT,B,17000,1,1" % filled]


@pytest.mark.parametrize("anc", ["x" * 65, "a " * 33])
def test_a_note_past_64_bytes_is_refused(zolmar_sim, command, anc):
    zolmar_sim(*FIXED)
    reply = command.Order("A1", "FUT", "B", "16990", "2", "ROD", "LMT", None, None, "0", anc)
    assert reply == "ERR anc: must be 1 to 64 bytes"
    assert command.GetAccount("A1", "All") == []


def test_queries_by_identifier_and_all_keep_brokers_apart(zolmar_sim, command):
    zolmar_sim(*FIXED)
    mine = [order(command, "A1", "B", "16000", "1") for _ in range(3)]
    theirs = order(command, "B2", "S", "18000", "1")
    assert [line.split(",")[0] for line in command.GetAccount("A1", "All")] == mine
    assert command.GetAccount("A1", theirs) == []
    assert command.GetAccount("B2", mine[0]) == []
    assert command.Delete("A1", theirs).startswith("ERR orderid:")
    assert command.GetAccount("Z9", "All") == []


def test_quote_subscription(zolmar_sim, command, velkarcmd):
    zolmar_sim(*FIXED)
    assert command.AddQuote("A1", "FUT, STK") is None
    # The reply the module discards, read directly.
    raw = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    raw.settimeout(5)
    raw.connect(("127.0.0.1", 5656))
    raw.send(b"A1 AddQuote OPT 1")
    assert raw.recv(4096) == b"quotes 3: FUT,STK,OPT"
    raw.send(b"A1 AddQuote OPT 0")
    assert raw.recv(4096) == b"quotes 1: OPT"
    raw.close()


def test_threads_trading_at_once_see_only_their_own(zolmar_sim, velkarcmd):
    zolmar_sim(*FIXED)
    results, errors = {}, []

    def trade(number):
        try:
            command = velkarcmd.ZolmarCommand()
            broker = "T%d" % number
            placed = [command.Order(broker, "FUT", "B", "16000", str(number + 1), "ROD", "LMT", 0, 0)
                      for _ in range(20)]
            results[number] = (placed, command.GetUnfinished(broker, "All"))
        except Exception as error:
            errors.append(error)

    run_on_threads(trade, 6)
    assert errors == []
    every_id = [i for placed, _ in results.values() for i in placed]
    assert len(set(every_id)) == 120
    for number, (placed, unfinished) in results.items():
        assert [line.split(",")[0] for line in unfinished] == placed
        assert all(line.split(",")[5] == str(number + 1) for line in unfinished)


def test_a_hundred_thousand_records_arrive_whole(zolmar_sim, command):
    zolmar_sim(*FIXED + ("--preload", "LOAD=100000"))
    unfinished = command.GetUnfinished("LOAD", "All")
    assert len(unfinished) == 100000
    assert [int(line.split(",")[0]) for line in unfinished] == list(range(1, 100001))


def test_multi_reply_datagrams_are_packed_whole(zolmar_sim):
    zolmar_sim(*FIXED + ("--preload", "LOAD=3000"))
    datagrams = raw_exchange(b"LOAD All", until_over=True)
    assert datagrams[-1] == b"over"
    body = datagrams[:-1]
    record = re.compile(r"^\d+,(Order|Filled|Cancelled|Match),")
    for index, datagram in enumerate(body):
        assert len(datagram) <= 4096
        lines = datagram.decode("utf-8").split("\n")
        assert all(record.match(line) for line in lines)
        if index + 1 < len(body):
            # As few datagrams as possible: the next record would not have fit.
            following = body[index + 1].split(b"\n")[0]
            assert len(datagram) + 1 + len(following) > 4096
    assert sum(d.count(b"\n") + 1 for d in body) == 3000


@pytest.mark.parametrize("payload", [
    b"", b"\xff\xfe", b"over", b" ", b"A1 Delete", b"A1 Delete x", b"A1 GetEquity extra words here",
    b"A1 AddQuote  0", b"A1 AddQuote S1 2", b"A1\nB2 All", "\u4e0b\u55ae x".encode("utf-8"),
    # Named: pytest puts the test's name in an environment variable, which Windows caps at 32767.
    pytest.param(b"A1 " + b"x" * 60000, id="A1 x*60000"),
    b"A1 FUT B 1 1 ROD LMT 0 " + b"N" * 100, b"\x00\x01",
    b"A1 FUT B 1 1 ROD LMT", b"A1 FUT B 1 1 ROD LMT 0 " + b"N " * 40, b"A1-NOPE", b"-",
])
def test_malformed_requests_get_an_answer_and_change_nothing(zolmar_sim, command, payload):
    zolmar_sim(*FIXED)
    order(command, "A1", "B", "16000", "1")
    before = snapshot(command, "A1")
    replies = raw_exchange(payload)
    assert replies[0]
    assert snapshot(command, "A1") == before


def test_random_datagrams_never_silence_or_harm_it(zolmar_sim, command):
    zolmar_sim(*FIXED)
    order(command, "A1", "B", "16000", "1")
    order(command, "A1", "B", "0", "2", "IOC", "MKT")
    before = snapshot(command, "A1")

    @settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.one_of(
        st.binary(max_size=300),
        st.lists(st.sampled_from(["A1", "Delete", "1", "2", "All", "GetEquity", "AddQuote",
                                  "FUT", "B", "S", "ROD", "MKT", "", "-", "x\n", "0"]),
                 max_size=10).map(lambda words: " ".join(words).encode("utf-8")),
    ))
    # Another broker's cancel of A1's resting order, and its order: neither may touch A1.
    @example(b"B2 Delete 1")
    @example(b"B2 FUT S 0 1 IOC MKT 0")
    def poke(payload):
        if payload.startswith(b"A1 ") and (b" Delete " in payload or payload.count(b" ") >= 7):
            return  # could be a well-formed cancel or order of A1's: state may rightly change
        # Checked after each request, so that one that changes A1's account is the one named.
        unchanged = snapshot(command, "A1")
        assert 0 < len(raw_exchange(payload)[0]) <= 4096
        assert snapshot(command, "A1") == unchanged

    poke()
    assert snapshot(command, "A1") == before


# The installed simulator run through the interpreter, for when its scripts folder is not on PATH.
PYTHON_M = [sys.executable, "-m", "zolmar_sim"]


def run_sim(*args, launcher=None):
    return subprocess.run(list(launcher or [executable()]) + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=10)


@pytest.mark.parametrize("launcher", [None, PYTHON_M], ids=["zolmar-sim", "python -m"])
def test_port_taken_refuses_to_start(zolmar_sim, launcher):
    zolmar_sim(*FIXED)
    second = run_sim(launcher=launcher)
    assert second.returncode == 3
    assert "5656" in second.stderr and "taken" in second.stderr


@pytest.mark.parametrize("args", [["--version"], ["--help"], ["--bogus", "1"], ["--drop", "2"],
                                  ["--window-ms"]])
def test_python_m_zolmar_sim_is_the_installed_simulator(args):
    direct, through = run_sim(*args), run_sim(*args, launcher=PYTHON_M)
    assert (through.returncode, through.stdout, through.stderr) == (
        direct.returncode, direct.stdout, direct.stderr)


@pytest.mark.skipif(UNDER_WINE, reason="under Wine the console's stop event does not reach a "
                    "zolmar-sim started through python -m zolmar_sim, which then runs on; on "
                    "Windows the console delivers it to both processes (not run here)")
def test_python_m_zolmar_sim_serves_and_stops_cleanly(zolmar_sim, command):
    sim = zolmar_sim(*FIXED, launcher=PYTHON_M)
    order(command, "A1", "B", "16000", "1")
    code, out, err = sim.stop()
    assert code == 0 and "stopped after 1 request\n" in out and err == ""


if sys.platform == "win32":
    # The console events through which Windows asks a program to stop.
    STOP_REQUESTS = [
        pytest.param(signal.CTRL_BREAK_EVENT, id="ctrl-break", marks=pytest.mark.skipif(
            UNDER_WINE, reason="Wine's console carries no Ctrl-Break: GenerateConsoleCtrlEvent "
            "refuses CTRL_BREAK_EVENT")),
        pytest.param(signal.CTRL_C_EVENT, id="ctrl-c"),
    ]
else:
    STOP_REQUESTS = [signal.SIGINT, signal.SIGTERM]


@pytest.mark.parametrize("how", STOP_REQUESTS)
def test_stops_cleanly(zolmar_sim, command, how):
    sim = zolmar_sim(*FIXED)
    order(command, "A1", "B", "16000", "1")
    code, out, err = sim.stop(how)
    assert code == 0 and "stopped after 1 request\n" in out and err == ""


@pytest.mark.parametrize("args", [
    ["--port", "x"], ["--drop", "2"], ["--price", "FUT"], ["--bogus", "1"], ["--seed"],
])
def test_bad_options_are_refused(args):
    refused = run_sim(*args)
    assert refused.returncode == 2 and "zolmar-sim:" in refused.stderr


def test_journal_records_every_datagram(zolmar_sim, command, tmp_path):
    journal = tmp_path / "journal.log"
    sim = zolmar_sim(*FIXED + ("--journal", str(journal)))
    placed = order(command, "A1", "B", "16000", "1")
    command.GetAccount("A1", "All")
    sim.stop()
    lines = journal.read_text(encoding="utf-8").splitlines()
    stamp = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (in|out) 127\.0\.0\.1:\d+ "
    assert all(re.match(stamp, line) for line in lines)
    assert [line.split(" ", 3)[1::2] for line in lines] == [
        ["in", "A1 FUT B 16000 1 ROD LMT 0"], ["out", placed],
        ["in", "A1 All"], ["out", "%s,Order,FUT,B,16000,1,0,ROD,LMT" % placed], ["out", "over"],
    ]


@pytest.mark.parametrize("fault, call, error", [
    ("--drop", lambda c: c.FutureRights("A1"), socket.timeout),
    ("--withhold-end", lambda c: c.GetAccount("A1", "All"), socket.timeout),
    ("--corrupt", lambda c: c.FutureRights("A1"), UnicodeDecodeError),
])
def test_faults(zolmar_sim, command, fault, call, error):
    zolmar_sim(*FIXED + (fault, "1"))
    socket.setdefaulttimeout(0.5)
    with pytest.raises(error):
        call(command)


def test_withheld_end_leaves_single_replies_alone(zolmar_sim, command):
    zolmar_sim(*FIXED + ("--withhold-end", "1"))
    assert command.FutureRights("A1").startswith("balance=")


def test_oversize_fault_sends_more_than_a_reader_takes(zolmar_sim):
    zolmar_sim(*FIXED + ("--oversize", "1"))
    assert len(raw_exchange(b"A1 GetEquity")[0]) > 4096


def test_delay_fault(zolmar_sim, command):
    import time

    zolmar_sim(*FIXED + ("--delay-ms", "300"))
    started = time.monotonic()
    assert command.FutureRights("A1").startswith("balance=")
    assert time.monotonic() - started >= 0.25
