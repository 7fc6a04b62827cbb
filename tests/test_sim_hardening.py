"""zolmar-sim under pressure: answers that fit a datagram, readers that stall, clients that flood.

Each test here failed against the simulator before its hardening (see the README's zolmar-sim
section for the design)."""
import collections
import os
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys

import pytest
from sim_process import raw_exchange

FIXED = ("--move-every", "0")
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def client(timeout=5, buffer=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, buffer)
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", 5656))
    return sock


ask = raw_exchange


def symbols(start, count):
    return ",".join("S%06d" % n for n in range(start, start + count))


def add_quote(broker, names, append):
    return ask(("%s AddQuote %s %d" % (broker, names, 1 if append else 0)).encode())[0]


# 1. Every answer fits a datagram of 4096 bytes.

def test_three_thousand_quotes_in_one_request_get_a_clipped_reply(zolmar_sim):
    zolmar_sim(*FIXED)
    reply = add_quote("A1", symbols(0, 3000), False).decode("utf-8")
    assert len(reply.encode("utf-8")) <= 4096
    head, shown = reply.split(": ", 1)
    assert head == "quotes 3000"
    listed, tail = shown.split(" ", 1)
    listed = listed.split(",")
    # The first subscribed, in order, and how many more there are.
    assert listed == ["S%06d" % n for n in range(len(listed))]
    assert tail == "(+%d more)" % (3000 - len(listed))
    assert len(listed) > 400  # as many as fit, not a token few


def test_appended_quotes_keep_every_reply_within_a_datagram(zolmar_sim):
    zolmar_sim(*FIXED)
    for round in range(10):
        reply = add_quote("A1", symbols(300 * round, 300), True)
        assert len(reply) <= 4096
        assert reply.startswith(b"quotes %d: S000000,S000001," % (300 * (round + 1)))
    # Symbols subscribed already count once; a reply that fits whole has no tail.
    assert add_quote("A1", symbols(0, 300), True).startswith(b"quotes 3000: ")
    assert add_quote("A1", "FUT,STK,FUT", False) == b"quotes 2: FUT,STK"


def test_the_quote_cap_is_named_and_a_refusal_changes_nothing(zolmar_sim):
    zolmar_sim(*FIXED + ("--quote-cap", "100"))
    assert add_quote("A1", symbols(0, 90), True).startswith(b"quotes 90: ")
    refused = add_quote("A1", symbols(90, 20), True)
    assert refused.startswith(b"ERR symbols: ") and b"at most 100 symbols" in refused
    assert b"90 are subscribed" in refused
    refused = add_quote("A1", symbols(1000, 101), False)
    assert b"at most 100 symbols" in refused
    # Neither refusal changed the subscription: ten more reach the cap exactly.
    reply = add_quote("A1", symbols(90, 10), True)
    assert reply == ("quotes 100: " + symbols(0, 100)).encode()


def test_the_default_cap_holds_subscriptions_to_ten_thousand(zolmar_sim):
    zolmar_sim(*FIXED)
    assert add_quote("A1", symbols(0, 6000), True).startswith(b"quotes 6000: ")
    assert add_quote("A1", symbols(6000, 4000), True).startswith(b"quotes 10000: ")
    refused = add_quote("A1", symbols(10000, 1), True)
    assert refused.startswith(b"ERR symbols: a broker may subscribe at most 10000 symbols")
    assert add_quote("B2", symbols(0, 5), True) == b"quotes 5: " + symbols(0, 5).encode()


@pytest.mark.parametrize("payload", [
    b"A1 AddQuote " + symbols(0, 7000).encode() + b" 1",
    b"A1 AddQuote " + b",".join([b"x" * 33] * 1500) + b" 1",
    b"A1 " + b"x" * 65000,
    b"x" * 65000,
    b"A1 " + b"9" * 60000,
    b"A1 Delete " + b"9" * 60000,
    b"A1 FUT B " + b"1" * 30000 + b" 1 ROD LMT 0",
    b"A1 FUT B 1 1 ROD LMT 0 " + b"a" * 50000,
    b"\xff" * 60000,
    b"A1-" + b"F" * 60000,
], ids=["quotes-7000", "long-symbols", "long-selector", "one-word", "long-order-id",
        "long-cancel", "long-price", "long-anc", "not-utf8", "long-product"])
def test_no_request_makes_a_reply_past_4096_bytes(zolmar_sim, command, payload):
    zolmar_sim(*FIXED)
    before = command.GetAccount("A1", "All"), command.FutureRights("A1")
    first = ask(payload)[0]
    assert 0 < len(first) <= 4096
    # Refusals are short texts (a clipped list of quotes is the one long single reply).
    assert first.startswith(b"quotes ") or len(first) <= 200
    assert (command.GetAccount("A1", "All"), command.FutureRights("A1")) == before


def test_unparseable_requests_get_a_short_error_and_the_end_marker(zolmar_sim):
    zolmar_sim(*FIXED)
    for payload in (b"\xff" * 60000, b"a b c d e f g", b"A1 " + b"x" * 60000, b""):
        sock = client()
        try:
            sock.send(payload)
            error = sock.recv(65536)
            assert error.startswith(b"ERR ") and len(error) <= 200
            assert sock.recv(65536) == b"over"
        finally:
            sock.close()


# 3. Pacing: a reader with the default receive buffer may stall and lose nothing.
#
# Whether a real reader keeps up depends on how busy the machine is, not on the simulator. So a
# reader with room for the whole answer takes each datagram with the time the kernel queued it
# (on loopback, when the simulator sent it), and the stalling reader the promise speaks of is
# replayed against those times.

SO_TIMESTAMPNS = 35  # Linux's; the socket module does not name it
SO_RCVBUFFORCE = 33
DEFAULT_BUFFER = 212992
no_arrival_times = pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="only Linux sockets tell when each datagram arrived; tests/sim_checks.cpp checks "
           "the budget itself everywhere")


def charge(size):
    """What Linux 6 charges a receive buffer for a datagram of `size` bytes over loopback (the
    table tests/sim_checks.cpp measured)."""
    for largest, charged in ((197, 832), (645, 1280), (1669, 2304), (3717, 4352)):
        if size <= largest:
            return charged
    return 8448


def arrivals(sockets, quiet=10.0):
    """Reads each socket's answer up to its end marker; for each, the records it held and the
    (arrival time, size) of every datagram, the end marker included."""
    selector = selectors.DefaultSelector()
    arrived = {sock: [] for sock in sockets}
    records = {sock: 0 for sock in sockets}
    for sock in sockets:
        sock.setblocking(False)
        selector.register(sock, selectors.EVENT_READ)
    try:
        while selector.get_map():
            ready = selector.select(quiet)
            assert ready, "no datagram for %s s" % quiet
            for key, _ in ready:
                data, ancillary, _, _ = key.fileobj.recvmsg(65536, 64)
                (_, _, stamp), = ancillary
                seconds, nanoseconds = struct.unpack("qq" if len(stamp) == 16 else "ll", stamp)
                arrived[key.fileobj].append((seconds + nanoseconds * 1e-9, len(data)))
                if data == b"over":
                    selector.unregister(key.fileobj)
                else:
                    records[key.fileobj] += data.count(b"\n") + 1
    finally:
        selector.close()
    return [(records[sock], arrived[sock]) for sock in sockets]


def timed_readers(count, name):
    sockets = [client() for _ in range(count)]
    for sock in sockets:
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        # Room for a whole answer, so that a reader the machine holds up loses nothing.
        try:
            sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
        except OSError:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 20)
    try:
        for sock in sockets:
            sock.send(("%s All" % name).encode())
        return arrivals(sockets)
    finally:
        for sock in sockets:
            sock.close()


def overflow(arrived, stall_every=25, stall=0.020, buffer=DEFAULT_BUFFER):
    """Replays `arrived` against a reader with a receive buffer of `buffer` bytes that reads each
    datagram as it comes but stalls `stall` seconds after every `stall_every`; the index of the
    first datagram it would lose, or None."""
    waiting = collections.deque()  # (arrival time, charge) of what is queued
    queued = read = 0
    free_from = float("-inf")  # when the reader next reads
    for index, (at, size) in enumerate(arrived):
        while waiting and max(free_from, waiting[0][0]) <= at:
            came, charged = waiting.popleft()
            free_from = max(free_from, came)
            queued -= charged
            read += 1
            if read % stall_every == 0:
                free_from += stall
        if queued + charge(size) > buffer:
            return index
        waiting.append((at, charge(size)))
        queued += charge(size)
    return None


@no_arrival_times
@pytest.mark.parametrize("readers, records", [(1, 100000), (3, 30000)])
def test_readers_that_stall_lose_no_record_of_a_long_answer(zolmar_sim, readers, records):
    # Several readers at once each have a budget of their own.
    zolmar_sim(*FIXED + ("--preload", "LOAD=%d" % records))
    for got, arrived in timed_readers(readers, "LOAD"):
        assert got == records
        # Before: 8 datagrams every 2 ms; a reader stalling 20 ms kept about 25 of the 80.
        assert overflow(arrived) is None


@no_arrival_times
def test_the_old_pacing_can_still_be_asked_for(zolmar_sim):
    zolmar_sim(*FIXED + ("--preload", "LOAD=20000", "--window-bytes", "0", "--burst", "8",
                         "--pace-us", "2000"))
    (got, arrived), = timed_readers(1, "LOAD")
    assert got == 20000
    # 171 datagrams in bursts of 8 two milliseconds apart: at least 40 ms.
    assert arrived[-1][0] - arrived[0][0] >= 0.035


def run_sim(*args):
    from sim_process import executable

    return subprocess.run([executable()] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=10)


@pytest.mark.parametrize("args", [
    # 5000: less than one full datagram takes, whatever the system's default burst.
    ["--window-bytes", "5000"], ["--window-ms", "0"], ["--quote-cap", "0"],
    ["--window-bytes", "x"], ["--burst", "20", "--window-bytes", "100000"],
])
def test_bad_pacing_options_are_refused(args):
    refused = run_sim(*args)
    assert refused.returncode == 2 and "zolmar-sim:" in refused.stderr


def test_help_tells_the_pacing_and_the_cap():
    shown = run_sim("--help").stdout
    for option in ("--window-ms", "--window-bytes", "--burst", "--pace-us", "--quote-cap"):
        assert option in shown


# 4. No client holds another up: one flooding the server is answered in turn with the others.
# (How long a request may hold others up is measured by bench/request_stall.py.)

def test_a_flood_from_one_client_does_not_queue_out_another(zolmar_sim, command, tmp_path):
    journal = tmp_path / "journal.log"
    sim = zolmar_sim(*FIXED + ("--journal", str(journal)))
    heavy = ("F1 AddQuote %s 0" % symbols(0, 6000)).encode()
    flood = client(timeout=30, buffer=8 << 20)
    try:
        for _ in range(60):
            flood.send(heavy)
        assert command.FutureRights("P1").startswith("balance=")
        for _ in range(60):
            flood.recv(65536)
    finally:
        flood.close()
    sim.stop()
    replies = [line.split(" ", 3)[3] for line in journal.read_text(encoding="utf-8").splitlines()
               if line.split(" ", 3)[1] == "out"]
    flood_answered_first = next(i for i, text in enumerate(replies) if text.startswith("balance="))
    # Before: the equity request waited behind all sixty, answered in the order they came.
    assert flood_answered_first < 30


# 5. A client that does not read: past 64 answers queued for it, or 1,024 requests waiting, its
# further requests are ignored, and journalled as such, until it reads.

@pytest.mark.parametrize("options, sent, answered, hold", [
    # Every answer waits half a second: the first 64 of 100 are still queued when the rest come.
    (("--delay-ms", "500"), 100, 64, False),
    # 1,100 arrive while the simulator is stopped; it reads them all at once when it goes on.
    ((), 1100, 1024, True),
], ids=["answers queued", "requests waiting"])
def test_past_the_limits_requests_are_ignored_until_the_client_reads(zolmar_sim, tmp_path, options,
                                                                    sent, answered, hold):
    journal = tmp_path / "journal.log"
    sim = zolmar_sim(*FIXED + options + ("--journal", str(journal)))
    sock = client(buffer=4 << 20)
    try:
        if hold:
            if os.name != "posix":
                pytest.skip("stops the simulator with SIGSTOP")
            # The simulator asks for the same buffer; each small datagram takes 832 bytes of it.
            if sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) < sent * 832:
                pytest.skip("the system grants a receive buffer too small for %d requests" % sent)
            sim.process.send_signal(signal.SIGSTOP)
            os.waitpid(sim.process.pid, os.WUNTRACED)
        try:
            for number in range(1, sent + 1):
                sock.send(b"W1 Delete %d" % number)
        finally:
            if hold:
                sim.process.send_signal(signal.SIGCONT)
        assert [sock.recv(4096) for _ in range(answered)] == [
            b"ERR orderid: no order %d for this broker" % n for n in range(1, answered + 1)]
        # No answer to the ignored ones comes before this one's.
        sock.send(b"W1 GetEquity")
        assert sock.recv(4096).startswith(b"balance=")
    finally:
        sock.close()
    sim.stop()
    entries = [line.split(" ", 3) for line in journal.read_text(encoding="utf-8").splitlines()]
    assert [text for _, kind, _, text in entries if kind == "ignored"] == [
        "W1 Delete %d" % n for n in range(answered + 1, sent + 1)]


# The server's guards below the wire: answers the protocol never makes, every datagram timed.

@pytest.fixture(scope="module")
def sim_checks(tmp_path_factory):
    # Where the suite runs without a compiler (Windows), the checks come built beforehand.
    built = os.environ.get("SIM_CHECKS_EXECUTABLE")
    if built:
        return built
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build tests/sim_checks.cpp")
    built = str(tmp_path_factory.mktemp("checks") / "sim_checks")
    sources = [os.path.join(HERE, "sim_checks.cpp")] + [
        os.path.join(ROOT, "sim", name)
        for name in ("server.cpp", "protocol.cpp", "market.cpp", "text.cpp", "udp.cpp")]
    subprocess.run([compiler, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-o", built]
                   + sources, check=True, timeout=300)
    return built


def test_server_checks(sim_checks):
    ran = subprocess.run([sim_checks], stdout=subprocess.PIPE, universal_newlines=True,
                         timeout=60)
    assert ran.returncode == 0, ran.stdout
    assert "all checks passed" in ran.stdout
