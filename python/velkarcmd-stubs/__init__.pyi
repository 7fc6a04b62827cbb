# Types of the native module velkarcmd, for editors and type checkers.
import _thread as _thread
import socket as socket
import subprocess as subprocess
import threading as threading
import time as time
from typing import List

class ZolmarCommand:
    def __init__(self) -> None:
        """A handle on the order-entry application at 127.0.0.1:5656 (UDP).

        It holds no state and opens nothing: every call makes its own socket, so one
        instance can serve several threads.
        """
    def _ZolmarCommand__SendMsg(self, msg: str, flag: int) -> str:
        """Sends msg as it is and returns the reply, stripped of outer line feeds.

        flag 0: one reply datagram. Any other flag: datagrams until one is exactly
        "over", joined by line feeds (the "over" line is kept).

        Raises OSError (ConnectionRefusedError) when nobody listens, socket.timeout when
        a default time-out (socket.setdefaulttimeout) passes for one datagram, and
        UnicodeDecodeError for a reply that is not UTF-8.
        """
    def _ZolmarCommand__IsMatchType(self, ot: str, tt: str) -> bool:
        """Whether order type ot goes with time condition tt: LMT with ROD, MKT with
        IOC or FOK. Sends nothing."""
    def Order(
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
        """Places an order. Sends "broker prodid bs price qty timetype ordertype
        daytrade anc" (blank-joined, stripped); one reply.

        Returns the reply: the new order's identifier (e.g. "1") or the application's
        refusal (e.g. "ERR qty: ..."). timekind and pricetype are required but not sent.
        If the call times out, the order may have been placed all the same: look it up
        with GetUnfinished or GetAccount before sending it again.

        Raises TypeError for an argument that is not a str (timekind and pricetype may
        be anything), ValueError when a field but anc contains whitespace (nothing is
        sent), OSError when nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def Delete(self, broker: str, orderid: str) -> str:
        """Cancels an order. Sends "broker Delete orderid"; one reply.

        Returns the reply, e.g. "1,Cancelled", or the application's refusal.

        Raises TypeError (not a str), ValueError (whitespace in broker or orderid),
        OSError when nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def GetAccount(self, broker: str, orderid: str) -> List[str]:
        """Every record of an order, or of all orders with orderid "All".

        Sends "broker orderid"; reads datagrams until "over". Returns the reply lines
        before "over" whose first comma field is orderid (every line for "All"),
        e.g. ["2,Filled,FUT,B,MKT,1,1,IOC,MKT", "2,Match,FUT,B,17000,1,1"].

        Raises TypeError (not a str), ValueError (whitespace in broker or orderid),
        OSError when nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def MatchAccount(self, broker: str, orderid: str) -> List[str]:
        """The fills of an order, or of all orders with orderid "All".

        Sends "broker orderid"; reads datagrams until "over". Returns the reply lines
        containing "Match" whose first comma field is orderid (any for "All"),
        e.g. ["2,Match,FUT,B,17000,1,1"].

        Raises TypeError (not a str), ValueError (whitespace in broker or orderid),
        OSError when nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def GetUnfinished(self, broker: str, orderid: str) -> List[str]:
        """The working (unfinished) orders: one order, or all with orderid "All".

        As MatchAccount, with the reply lines containing "Order" instead,
        e.g. ["1,Order,FUT,B,16950,2,0,ROD,LMT"]; the same errors.
        """
    def GetInStock(self, broker: str, prodid: str = "") -> List[str]:
        """Positions: all of them, or one product's.

        Sends "broker-prodid" with outer hyphens stripped ("broker" alone by default);
        reads datagrams until "over". Returns the reply lines but the final "over",
        e.g. ["FUT,1,17000.00,17000,0.00"].

        Raises TypeError (not a str), ValueError (whitespace in broker or prodid),
        OSError when nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def FutureRights(self, broker: str) -> str:
        """The account's equity. Sends "broker GetEquity"; one reply.

        Returns the reply stripped of outer line feeds, e.g.
        "balance=1000000.00,realized=0.00,unrealized=0.00,equity=1000000.00".

        Raises TypeError (not a str), ValueError (whitespace in broker), OSError when
        nobody listens, socket.timeout, UnicodeDecodeError.
        """
    def AddQuote(self, broker: str, symbols: str, append: object = False) -> None:
        """Subscribes quotes. Sends "broker AddQuote SYMBOLS 1" when append is true
        (add to the subscription), "... 0" otherwise (replace it); SYMBOLS is symbols
        with its blanks removed ("FUT, STK" -> "FUT,STK"). One reply, discarded.

        Raises TypeError (broker not a str), AttributeError (symbols without replace),
        ValueError (whitespace in broker), OSError when nobody listens,
        socket.timeout, UnicodeDecodeError.
        """
