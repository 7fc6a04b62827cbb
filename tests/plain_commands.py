"""ZolmarCommand as plain Python functions: the oracle of the methods' names, signatures and
defaults, and of the error each command's fields raise. Each command returns the text it would
send, built with the interpreter's own `+`, `strip` and `replace`, in the module's order."""


class ZolmarCommand:
    def __init__(self):
        pass

    def __SendMsg(self, msg, flag):
        return msg

    def __IsMatchType(self, ot, tt):
        return (ot == "LMT" and tt == "ROD") or (ot == "MKT" and (tt == "IOC" or tt == "FOK"))

    def Order(self, broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype,
              daytrade="0", anc=""):
        text = broker
        for field in (prodid, bs, price, qty, timetype, ordertype, daytrade, anc):
            text = text + " " + field
        return text.strip()

    def Delete(self, broker, orderid):
        return broker + " " + "Delete" + " " + orderid

    def GetAccount(self, broker, orderid):
        return broker + " " + orderid

    def MatchAccount(self, broker, orderid):
        return broker + " " + orderid

    def GetUnfinished(self, broker, orderid):
        return broker + " " + orderid

    def GetInStock(self, broker, prodid=""):
        return (broker + "-" + prodid).strip("-")

    def FutureRights(self, broker):
        return broker + " GetEquity"

    def AddQuote(self, broker, symbols, append=False):
        return broker + " AddQuote " + symbols.replace(" ", "") + (" 1" if append else " 0")


# The methods in the order of the class namespace: (key, function).
METHODS = [(key, value) for key, value in vars(ZolmarCommand).items() if callable(value)]
COMMANDS = [(key, function) for key, function in METHODS if key[0].isupper()]
