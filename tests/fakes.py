"""Fake `socket` modules, to bind to `velkarcmd.socket`: they record the exchange's every step.
And `run_on_threads`, for calls made at the same time, and `outcome`, what a call raised."""
import threading
import weakref


def outcome(call):
    """What `call` raised, as (type, message), or None; its exception, traceback and all, is
    dropped before returning."""
    try:
        call()
    except Exception as error:
        return type(error), str(error)
    return None


def run_on_threads(target, count):
    """`target(n)` on a thread of its own for each n below `count`, all at once; returns once
    every thread has ended."""
    threads = [threading.Thread(target=target, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


class Fail(Exception):
    pass


class Data(object):
    """What a fake `recv` returns: decodes to a scripted text."""

    def __init__(self, journal, text):
        self.journal, self.text = journal, text

    def decode(self, encoding):
        self.journal.append(("decode", encoding))
        if isinstance(self.text, Exception):
            raise self.text
        return self.text


class FakeSocket(object):
    def __init__(self, module, family, kind):
        self.module = module
        module.journal.append(("socket", family, kind))

    def _step(self, name, *args):
        self.module.journal.append((name,) + args)
        if self.module.fail_at == name:
            raise Fail(name)

    def connect(self, address):
        self._step("connect", address)

    def send(self, data):
        self._step("send", data)
        return len(data)

    def recv(self, size):
        self._step("recv", size)
        return Data(self.module.journal, self.module.replies.pop(0))


class FakeSocketModule(object):
    """Records attribute reads of the module itself as well as every call on its sockets."""

    AF_INET_VALUE = "family"
    SOCK_DGRAM_VALUE = "datagram"

    def __init__(self, replies=(), fail_at=None):
        self.journal = []
        self.replies = list(replies)
        self.fail_at = fail_at
        self.made = []  # weak references to every socket made

    def __getattribute__(self, name):
        if name in ("socket", "AF_INET", "SOCK_DGRAM"):
            object.__getattribute__(self, "journal").append(("get", name))
        return object.__getattribute__(self, name)

    @property
    def AF_INET(self):
        return self.AF_INET_VALUE

    @property
    def SOCK_DGRAM(self):
        return self.SOCK_DGRAM_VALUE

    def socket(self, family, kind):
        if self.fail_at == "socket":
            raise Fail("socket")
        client = FakeSocket(self, family, kind)
        self.made.append(weakref.ref(client))
        return client

    def alive(self):
        return [ref for ref in self.made if ref() is not None]
