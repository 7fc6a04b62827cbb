"""Several threads at once: each call gets its own reply, and waiting does not hold the GIL."""
import socket
import threading

from fakes import run_on_threads
from stand_in import Hold, Pause


def echo_after(seconds):
    def respond(request):
        text = request.decode("utf-8")
        return [Pause(seconds), text + ",Order,echo", "over"]

    return respond


def test_threads_each_get_their_own_reply(app, velkarcmd):
    app.responder = echo_after(0.2)
    results = {}
    errors = []

    def trade(number):
        try:
            command = velkarcmd.ZolmarCommand()
            results[number] = command.GetUnfinished("T%d" % number, "All")
        except Exception as error:  # reported below, with the thread's number
            errors.append((number, error))

    run_on_threads(trade, 12)
    assert errors == []
    assert results == {n: ["T%d All,Order,echo" % n] for n in range(12)}
    assert len(set(app.senders)) == 12


def test_one_shared_object_serves_threads_independently(app, velkarcmd):
    app.responder = lambda request: [request + b" done"]
    command = velkarcmd.ZolmarCommand()
    results = [None] * 8

    def cancel(number):
        results[number] = command.Delete("A1", str(number))

    run_on_threads(cancel, 8)
    assert results == ["A1 Delete %d done" % n for n in range(8)]


def test_a_waiting_call_does_not_hold_the_interpreter_lock(app, velkarcmd):
    # A list answer, read by the native reader, whose end marker this thread itself releases once
    # it has completed an exchange of its own. Were the lock held while the reader waits, neither
    # the stand-in nor this thread could run: the slow call would time out instead.
    socket.setdefaulttimeout(3)
    asked, release = threading.Event(), threading.Event()

    def respond(request):
        if request == b"slow All":
            asked.set()
            return ["1,Order,slow", Hold(release), "over"]
        return ["2,Order,fast", "over"]

    app.responder = respond
    slow_result, errors = [], []

    def slow():
        try:
            slow_result.append(velkarcmd.ZolmarCommand().GetUnfinished("slow", "All"))
        except Exception as error:  # reported below
            errors.append(error)

    thread = threading.Thread(target=slow)
    thread.start()
    try:
        assert asked.wait(10)
        fast = velkarcmd.ZolmarCommand().GetUnfinished("fast", "All")
        waiting = thread.is_alive()
    finally:
        release.set()
        thread.join()
    assert errors == []
    assert fast == ["2,Order,fast"]
    assert waiting
    assert slow_result == [["1,Order,slow"]]
