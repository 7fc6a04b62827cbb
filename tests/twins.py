"""ZolmarCommand and AsyncZolmarCommand behind one face, for the tests of what they share: the
async twin's methods are run to completion on an event loop of the test's own."""
import asyncio
import inspect

import velkarcmd
import velkarcmd_async


class Awaited(object):
    """An AsyncZolmarCommand whose command methods return their result, run on `loop`."""

    def __init__(self, command, loop):
        object.__setattr__(self, "command", command)
        object.__setattr__(self, "loop", loop)

    def __getattr__(self, name):
        value = getattr(self.command, name)
        if not inspect.iscoroutinefunction(value):
            return value
        return lambda *args, **kwargs: self.loop.run_until_complete(value(*args, **kwargs))

    def __setattr__(self, name, value):
        setattr(self.command, name, value)

    def __delattr__(self, name):
        delattr(self.command, name)

    @property
    def __dict__(self):
        return self.command.__dict__


class Twin(object):
    def __init__(self, cls, awaitable):
        self.cls = cls
        self.awaitable = awaitable
        self.exchange = "_%s__SendMsg" % cls.__name__
        self.loop = None

    def __repr__(self):
        return self.cls.__name__

    def wrap(self, command):
        """The object the test calls: the command itself, or its methods run to completion."""
        if not self.awaitable:
            return command
        if self.loop is None:
            self.loop = asyncio.new_event_loop()
        return Awaited(command, self.loop)

    def make(self):
        return self.wrap(self.cls())

    def member(self, function):
        """`function(self, msg, flag)` as the exchange's member: awaitable for the async twin."""
        if not self.awaitable:
            return function

        async def exchange(*args):
            return function(*args)

        return exchange

    def close(self):
        if self.loop is not None:
            self.loop.close()
            self.loop = None


def twins():
    return [Twin(velkarcmd.ZolmarCommand, False), Twin(velkarcmd_async.AsyncZolmarCommand, True)]
