"""Multi-reply answers on the interpreter's own sockets are drained without the interpreter lock:
no record lost while other threads are busy, and every error as the socket module gives it."""
import errno
import os
import signal
import socket
import sys
import threading
import time
import types

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from stand_in import HOST, PORT, Pause
from windows import NOBODY_LISTENING, UNDER_WINE, WINE_KEEPS_REFUSALS

EXCHANGE = "_ZolmarCommand__SendMsg"
POSIX = os.name == "posix"


def multi(command, msg="q"):
    return getattr(command, EXCHANGE)(msg, 1)


class CountingSocket(socket.socket):
    """A subclass with its own recv: it must keep seeing every receive."""

    receives = 0

    def recv(self, size):
        CountingSocket.receives += 1
        return super().recv(size)


def module_making(factory):
    return types.SimpleNamespace(socket=factory, AF_INET=socket.AF_INET,
                                 SOCK_DGRAM=socket.SOCK_DGRAM)


def plain_exchange():
    """The same exchange written in Python, for comparing errors with the interpreter's own."""
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        client.connect((HOST, PORT))
        client.send(b"q")
        while client.recv(4096).decode("utf-8") != "over":
            pass
    finally:
        client.close()


def failure(call):
    try:
        call()
    except Exception as error:
        return error
    raise AssertionError("the call did not fail")


# --- no loss beside a busy thread --------------------------------------------------------------

@pytest.fixture
def busy_thread():
    previous = sys.getswitchinterval()
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            pass

    def start(interval):
        sys.setswitchinterval(interval)
        thread = threading.Thread(target=spin)
        thread.start()
        started.append(thread)

    started = []
    yield start
    stop.set()
    for thread in started:
        thread.join()
    sys.setswitchinterval(previous)


@pytest.mark.parametrize("interval", [0.005, 0.02])
def test_no_record_is_lost_while_another_thread_computes(zolmar_sim, busy_thread, velkarcmd,
                                                         interval):
    zolmar_sim("--preload", "LOSS=20000")
    busy_thread(interval)
    command = velkarcmd.ZolmarCommand()
    for _ in range(2):
        records = command.GetUnfinished("LOSS", "All")
        assert len(records) == 20000
        assert len(set(record.split(",")[0] for record in records)) == 20000


def test_the_receive_buffer_is_enlarged_before_the_request_goes_out(app, velkarcmd, command):
    made = []

    def make(family, kind):
        made.append(socket.socket(family, kind))
        return made[-1]

    default = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    default_size = default.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    default.close()
    seen = []
    app.responder = lambda request: (
        seen.append(made[0].getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)) or ["over"])
    velkarcmd.socket = module_making(make)
    assert multi(command) == "over"
    assert seen and seen[0] > default_size


# --- the same steps for stand-ins and subclasses ------------------------------------------------

def test_a_subclass_with_its_own_recv_keeps_receiving_through_it(app, velkarcmd, command):
    CountingSocket.receives = 0
    velkarcmd.socket = module_making(CountingSocket)
    app.answer("A", "B\nC", "over")
    assert multi(command) == "A\nB\nC\nover"
    assert CountingSocket.receives == 3


def test_a_recv_patched_onto_the_socket_class_is_honoured(app, command, monkeypatch):
    calls = []
    original = socket.socket.recv

    def recv(self, size):
        calls.append(size)
        return original(self, size)

    monkeypatch.setattr(socket.socket, "recv", recv, raising=False)
    app.answer("A", "over")
    assert multi(command) == "A\nover"
    assert calls == [4096, 4096]


datagram_texts = st.lists(
    st.one_of(st.sampled_from(["", "\n", "over", "over\n", "Over", " over", "1,Order,x",
                               "a\r\nb"]),
              st.text(max_size=40)),
    max_size=6)


def read_up_to_the_end_marker(datagrams):
    """The datagrams a list answer is made of: up to the first that is exactly "over"."""
    return datagrams[:datagrams.index("over") + 1]


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts=datagram_texts)
@example(texts=["A", "over", "B"])
def test_native_and_method_drains_give_the_same_text(app, velkarcmd, texts):
    command = velkarcmd.ZolmarCommand()
    sent = texts + ["over", "never read"]
    results = []
    for factory in (socket.socket, CountingSocket):
        velkarcmd.socket = module_making(factory)
        app.answer(*sent)
        results.append(multi(command))
    velkarcmd.socket = socket
    assert results[0] == results[1]
    assert results[0] == "\n".join(read_up_to_the_end_marker(sent)).strip("\n")


# --- errors as the interpreter gives them -------------------------------------------------------

BAD_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"ab\xe2\x82",
            b"\xf0\x8f\xbf\xbf", b"\xe0\x9f\xbf", b"\x80"]


# Both readers: the interpreter's decoder is the judge of every datagram.
@pytest.mark.parametrize("bad", BAD_UTF8)
def test_invalid_utf8_raises_the_decoders_error_as_soon_as_it_arrives(app, twin, bad):
    command = twin.make()
    app.answer("fine", bad, Pause(3), "over")
    expected = failure(lambda: bad.decode("utf-8"))
    started = time.monotonic()
    error = failure(lambda: getattr(command, twin.exchange)("q", 1))
    assert time.monotonic() - started < 2
    assert type(error) is UnicodeDecodeError
    assert error.args == expected.args


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=12))
@example(data=b"x\n")
@example(data=b"\n\nx\n\n")
@example(data=b"over")
def test_every_byte_string_decodes_or_fails_as_the_interpreter_decodes_it(app, command, data):
    app.answer(data, "over")
    try:
        # Each datagram's text is followed by a line feed; only the whole is stripped.
        texts = read_up_to_the_end_marker([data.decode("utf-8"), "over"])
        expected = "".join(text + "\n" for text in texts).strip("\n")
    except UnicodeDecodeError as error:
        expected = error.args
    try:
        got = multi(command)
    except UnicodeDecodeError as error:
        got = error.args
    assert got == expected


# Runs of ASCII of every length modulo eight before a character, a broken one or line feeds,
# across a reply of several datagrams: where the check of the text skips ahead, and where the
# outer line feeds are taken off.
TAILS = ["\u00e9z", "\u20ac", "\U0001f600\n", b"\xe2\x82", b"\xed\xa0\x80", b"\xc3", "\n\n"]


@pytest.mark.parametrize("tail", TAILS, ids=repr)
def test_long_ascii_runs_then_other_bytes_give_what_the_decoder_gives(app, twin, tail):
    command = twin.make()
    for run in range(9, 26):
        datagrams = [b"\n" * (run % 3), b"x" * run + (tail if isinstance(tail, bytes)
                                                       else tail.encode("utf-8")), b"over"]
        try:
            expected = "\n".join(data.decode("utf-8") for data in datagrams).strip("\n")
        except UnicodeDecodeError as error:
            expected = error.args
        app.answer(*datagrams)
        try:
            got = getattr(command, twin.exchange)("q", 1)
        except UnicodeDecodeError as error:
            got = error.args
        assert got == expected, run


def test_a_datagram_longer_than_the_buffer_fails_on_every_system(app, command):
    app.answer("x" * 5000, "over")
    error = failure(lambda: multi(command))
    assert isinstance(error, OSError)
    if POSIX:  # where recv would cut it, the module fails as Windows' recv does
        assert (type(error), error.errno) == (OSError, errno.EMSGSIZE)
        return
    app.answer("x" * 5000, "over")
    expected = failure(plain_exchange)
    assert type(error) is type(expected)
    assert (error.errno, error.winerror, str(error)) == (
        expected.errno, expected.winerror, str(expected))


def test_the_time_out_applies_to_each_datagram_not_to_the_whole_answer(app, command):
    socket.setdefaulttimeout(1.0)
    app.answer("A", Pause(0.6), "B", Pause(0.6), "over")
    assert multi(command) == "A\nB\nover"


def test_a_datagram_that_does_not_come_in_time_raises_the_socket_time_out(app, command):
    socket.setdefaulttimeout(0.3)
    app.answer("A", Pause(2), "over")
    error = failure(lambda: multi(command))
    assert type(error) is socket.timeout
    assert error.args == ("timed out",)


def test_a_non_blocking_socket_fails_as_recv_fails(app, command):
    socket.setdefaulttimeout(0)
    app.answer(Pause(0.5), "over")
    error = failure(lambda: multi(command))
    assert type(error) is BlockingIOError
    assert error.errno in (errno.EAGAIN, errno.EWOULDBLOCK)


@pytest.mark.skipif(UNDER_WINE, reason=WINE_KEEPS_REFUSALS)
def test_nobody_listening_gives_the_socket_modules_own_error(app, command):
    with app.offline():
        expected = failure(plain_exchange)
        error = failure(lambda: multi(command))
    assert type(error) is type(expected) is NOBODY_LISTENING
    assert (error.errno, error.strerror, str(error), getattr(error, "winerror", None)) == (
        expected.errno, expected.strerror, str(expected), getattr(expected, "winerror", None))


# --- signals --------------------------------------------------------------------------------

class Alarm(Exception):
    pass


@pytest.fixture
def alarm():
    if not hasattr(signal, "setitimer"):
        pytest.skip("no interval timer on this system")
    previous = signal.getsignal(signal.SIGALRM)

    def arm(seconds, handler):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def test_a_signal_handler_runs_during_the_wait_and_the_call_goes_on(app, command, alarm):
    handled = []
    alarm(0.2, lambda number, frame: handled.append(time.monotonic()))
    app.answer("A", Pause(0.6), "over")
    assert multi(command) == "A\nover"
    returned = time.monotonic()
    assert len(handled) == 1
    # At the signal, some 0.4 s before the answer ends; a handler held back runs as it returns.
    assert returned - handled[0] > 0.2


def test_an_exception_from_a_signal_handler_ends_the_wait(app, command, alarm):
    def raise_alarm(number, frame):
        raise Alarm()

    alarm(0.2, raise_alarm)
    app.answer("A", Pause(3), "over")
    started = time.monotonic()
    with pytest.raises(Alarm):
        multi(command)
    assert time.monotonic() - started < 2


def test_a_signal_keeps_the_time_out_of_the_datagram_it_interrupted(app, command, alarm):
    socket.setdefaulttimeout(0.8)
    alarm(0.6, lambda number, frame: None)
    app.answer(Pause(3), "over")
    started = time.monotonic()
    with pytest.raises(socket.timeout):
        multi(command)
    # The kept time-out ends the call at 0.8 s; one that began again at the signal, at 1.4 s.
    assert 0.75 < time.monotonic() - started < 1.1


@pytest.mark.skipif(not POSIX, reason="Ctrl-C is a console event on Windows")
def test_ctrl_c_raises_keyboard_interrupt(app, command):
    app.answer("A", Pause(3), "over")
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            multi(command)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 2


@pytest.mark.skipif(POSIX, reason="a POSIX signal cuts the wait short instead")
def test_sigint_raises_keyboard_interrupt_once_the_answer_is_in(app, command):
    # On Windows nothing cuts a socket's wait short, the interpreter's own recv's included: the
    # interrupt Ctrl-C raises comes as soon as the wait ends, and is not lost.
    app.answer("A", Pause(1), "over")
    timer = threading.Timer(0.2, signal.raise_signal, (signal.SIGINT,))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            multi(command)
    finally:
        timer.cancel()
