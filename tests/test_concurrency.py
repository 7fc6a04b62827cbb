"""Several threads at once: each call gets its own reply, and waiting does not hold the GIL."""
import threading
import time

from stand_in import Pause


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

    threads = [threading.Thread(target=trade, args=(n,)) for n in range(12)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert results == {n: ["T%d All,Order,echo" % n] for n in range(12)}
    assert len(set(app.senders)) == 12


def test_one_shared_object_serves_threads_independently(app, velkarcmd):
    app.responder = lambda request: [request + b" done"]
    command = velkarcmd.ZolmarCommand()
    results = [None] * 8

    def cancel(number):
        results[number] = command.Delete("A1", str(number))

    threads = [threading.Thread(target=cancel, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == ["A1 Delete %d done" % n for n in range(8)]


def test_a_waiting_call_does_not_hold_the_interpreter_lock(app, velkarcmd):
    slow_done = threading.Event()
    app.responder = lambda request: (
        [Pause(1.5), "slow"] if request == b"slow GetEquity" else ["fast"])
    slow_result = []

    def slow():
        slow_result.append(velkarcmd.ZolmarCommand().FutureRights("slow"))
        slow_done.set()

    thread = threading.Thread(target=slow)
    thread.start()
    time.sleep(0.2)
    # While the slow call waits, this thread runs Python code and completes exchanges of its own.
    spins = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        spins += 1
    fast = velkarcmd.ZolmarCommand().FutureRights("fast")
    assert not slow_done.is_set()
    assert fast == "fast"
    assert spins > 1000
    thread.join()
    assert slow_result == ["slow"]
