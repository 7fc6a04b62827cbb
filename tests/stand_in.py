"""A scripted stand-in for the order-entry application on 127.0.0.1:5656.

It records every request datagram and answers each one with the datagrams the test scripted
for it, sent back to the address the request came from, with optional pauses between them.
"""
import contextlib
import socket
import threading
import time

HOST = "127.0.0.1"
PORT = 5656
_SYNC = b"\x00stand-in sync\x00"


class Pause(object):
    """In a scripted answer: wait this many seconds before the next datagram."""

    def __init__(self, seconds):
        self.seconds = seconds


class Hold(object):
    """In a scripted answer: wait until `event` is set (at most `timeout` seconds) before the
    next datagram, so that a test says when an answer goes on instead of guessing a time."""

    def __init__(self, event, timeout=10):
        self.event, self.timeout = event, timeout


class PortTaken(Exception):
    pass


def _as_bytes(datagram):
    return datagram.encode("utf-8") if isinstance(datagram, str) else datagram


class ScriptedApp(object):
    def __init__(self):
        self._lock = threading.Lock()
        self._synced = threading.Condition(self._lock)
        self._sync_count = 0
        self.reset()
        self._start()

    def _start(self):
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            self._sock.bind((HOST, PORT))
        except OSError as error:
            self._sock.close()
            raise PortTaken(
                "UDP port %d on %s is taken by another process (%s); the tests need it "
                "for themselves: stop whatever listens there and run them again" % (PORT, HOST, error)
            ) from error
        self._sock.settimeout(0.05)
        self._stopping = False
        self._thread = threading.Thread(target=self._serve, name="stand-in", daemon=True)
        self._thread.start()

    # --- scripting -----------------------------------------------------------------------------
    def reset(self):
        with self._lock:
            self.requests = []
            self.senders = []
            self._answers = []
            self.responder = None

    def answer(self, *datagrams):
        """Scripts the answer to the next unanswered request: datagrams (str or bytes) and Pauses."""
        with self._lock:
            self._answers.append(list(datagrams))

    def texts(self):
        """The requests received so far, decoded."""
        self.sync()
        return [request.decode("utf-8") for request in self.requests]

    def sync(self):
        """Returns once every datagram sent to the stand-in before this call has been recorded."""
        with self._lock:
            target = self._sync_count + 1
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            probe.sendto(_SYNC, (HOST, PORT))
            with self._synced:
                if not self._synced.wait_for(lambda: self._sync_count >= target, timeout=10):
                    raise AssertionError("the stand-in did not see its own sync datagram")
        finally:
            probe.close()

    # --- serving -------------------------------------------------------------------------------
    def _serve(self):
        while not self._stopping:
            try:
                request, sender = self._sock.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                if self._stopping:
                    return
                continue
            if request == _SYNC:
                with self._synced:
                    self._sync_count += 1
                    self._synced.notify_all()
                continue
            with self._lock:
                self.requests.append(request)
                self.senders.append(sender)
                answer = self._answers.pop(0) if self._answers else None
                responder = self.responder
            if answer is None and responder is not None:
                answer = responder(request)
            if not answer:
                continue
            if any(isinstance(item, (Pause, Hold)) for item in answer):
                threading.Thread(target=self._send, args=(answer, sender), daemon=True).start()
            else:
                self._send(answer, sender)

    def _send(self, answer, sender):
        for item in answer:
            if isinstance(item, Pause):
                time.sleep(item.seconds)
            elif isinstance(item, Hold):
                item.event.wait(item.timeout)
            else:
                try:
                    self._sock.sendto(_as_bytes(item), sender)
                except OSError:
                    return

    def close(self):
        self._stopping = True
        self._thread.join()
        self._sock.close()

    @contextlib.contextmanager
    def offline(self):
        """Nobody listens on the port for the duration."""
        self.close()
        try:
            yield
        finally:
            self._start()
