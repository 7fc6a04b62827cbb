# Types of the native module velkarcmd_async, for editors and type checkers.
import asyncio as asyncio
import socket as socket
from typing import List

class AsyncZolmarCommand:
    def __init__(self) -> None:
        """ZolmarCommand's awaitable twin: the same commands, texts, checks and results,
        awaited on an asyncio loop that never waits on a socket itself.

        It holds no state and opens nothing: every call makes its own socket.
        """
    async def _AsyncZolmarCommand__SendMsg(self, msg: str, flag: int) -> str:
        """Sends msg as it is and returns the reply, stripped of outer line feeds.

        flag 0: one reply datagram. Any other flag: datagrams until one is exactly
        "over", joined by line feeds (the "over" line is kept). A reader thread of the
        module's own drains the socket without the interpreter lock, so a busy loop loses
        no datagram. Cancelled (task.cancel, asyncio.wait_for, asyncio.timeout), it ends at
        once and closes its socket.

        Raises OSError (ConnectionRefusedError) when nobody listens, socket.timeout when
        a default time-out (socket.setdefaulttimeout) passes for one datagram, and
        UnicodeDecodeError for a reply that is not UTF-8.
        """
    def _AsyncZolmarCommand__IsMatchType(self, ot: str, tt: str) -> bool:
        """Whether order type ot goes with time condition tt: LMT with ROD, MKT with
        IOC or FOK. Sends nothing."""
    async def Order(
        self,
        broker: str,
        prodid: str,
        bs: str,
        price: str,
        qty: str,
        timetype: str,
        ordertype: str,
        timekind: object,
        pricetype: object,
        daytrade: str = "0",
        anc: str = "",
    ) -> str:
        """Places an order, as ZolmarCommand.Order: the new order's identifier or the
        application's refusal. If the call is cancelled or times out after the request went
        out, the order may have been placed all the same: look it up before sending it again.
        """
    async def Delete(self, broker: str, orderid: str) -> str:
        """Cancels an order, as ZolmarCommand.Delete; returns the reply unchanged."""
    async def GetAccount(self, broker: str, orderid: str) -> List[str]:
        """Every record of the order (orderid "All": of every order), up to "over"."""
    async def MatchAccount(self, broker: str, orderid: str) -> List[str]:
        """The fill records (lines containing "Match") of the order, or of all."""
    async def GetUnfinished(self, broker: str, orderid: str) -> List[str]:
        """The working-order records (lines containing "Order") of the order, or of all."""
    async def GetInStock(self, broker: str, prodid: str = "") -> List[str]:
        """The positions, one line each, without the end marker."""
    async def FutureRights(self, broker: str) -> str:
        """The equity line, stripped of outer line feeds."""
    async def AddQuote(self, broker: str, symbols: str, append: object = False) -> None:
        """Subscribes quotes for symbols (blanks removed); the reply is awaited and dropped."""
