# The methods of ZolmarCommand, as its module compiles them at import from its table of
# commands (commands/table.hpp). Written by tools/write-methods-source: tracebacks show
# these lines only while this file holds what the module compiles.


def ZolmarCommand_methods(send_msg, is_match_type, native_Order, native_Delete, native_GetAccount, native_MatchAccount, native_GetUnfinished, native_GetInStock, native_FutureRights, native_AddQuote):
    def __init__(self):
        pass
    def __SendMsg(self, msg, flag):
        return send_msg(self, msg, flag)
    def __IsMatchType(self, ot, tt):
        return is_match_type(self, ot, tt)
    def Order(self, broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype, daytrade="0", anc=""):
        return native_Order(self, broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc)
    def Delete(self, broker, orderid):
        return native_Delete(self, broker, orderid)
    def GetAccount(self, broker, orderid):
        return native_GetAccount(self, broker, orderid)
    def MatchAccount(self, broker, orderid):
        return native_MatchAccount(self, broker, orderid)
    def GetUnfinished(self, broker, orderid):
        return native_GetUnfinished(self, broker, orderid)
    def GetInStock(self, broker, prodid=""):
        return native_GetInStock(self, broker, prodid)
    def FutureRights(self, broker):
        return native_FutureRights(self, broker)
    def AddQuote(self, broker, symbols, append=False):
        return native_AddQuote(self, broker, symbols, append)
    return (__init__, __SendMsg, __IsMatchType, Order, Delete, GetAccount, MatchAccount, GetUnfinished, GetInStock, FutureRights, AddQuote)
