# The methods of AsyncZolmarCommand, as its module compiles them at import from its table of
# commands (commands/table.hpp). Written by tools/write-methods-source: tracebacks show
# these lines only while this file holds what the module compiles.


def AsyncZolmarCommand_methods(begin, end, running_loop, default_timeout, is_match_type, request_Order, shape_Order, request_Delete, shape_Delete, request_GetAccount, shape_GetAccount, request_MatchAccount, shape_MatchAccount, request_GetUnfinished, shape_GetUnfinished, request_GetInStock, shape_GetInStock, request_FutureRights, shape_FutureRights, request_AddQuote, shape_AddQuote):
    def __init__(self):
        pass
    async def __SendMsg(self, msg, flag):
        reply, exchange = begin(msg, flag, running_loop(), default_timeout())
        try:
            return await reply
        finally:
            end(exchange)
    def __IsMatchType(self, ot, tt):
        return is_match_type(self, ot, tt)
    async def Order(self, broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype, daytrade="0", anc=""):
        request = request_Order(broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc)
        return shape_Order(await self._AsyncZolmarCommand__SendMsg(request, 0), broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc)
    async def Delete(self, broker, orderid):
        request = request_Delete(broker, orderid)
        return shape_Delete(await self._AsyncZolmarCommand__SendMsg(request, 0), broker, orderid)
    async def GetAccount(self, broker, orderid):
        request = request_GetAccount(broker, orderid)
        return shape_GetAccount(await self._AsyncZolmarCommand__SendMsg(request, 1), broker, orderid)
    async def MatchAccount(self, broker, orderid):
        request = request_MatchAccount(broker, orderid)
        return shape_MatchAccount(await self._AsyncZolmarCommand__SendMsg(request, 1), broker, orderid)
    async def GetUnfinished(self, broker, orderid):
        request = request_GetUnfinished(broker, orderid)
        return shape_GetUnfinished(await self._AsyncZolmarCommand__SendMsg(request, 1), broker, orderid)
    async def GetInStock(self, broker, prodid=""):
        request = request_GetInStock(broker, prodid)
        return shape_GetInStock(await self._AsyncZolmarCommand__SendMsg(request, 1), broker, prodid)
    async def FutureRights(self, broker):
        request = request_FutureRights(broker)
        return shape_FutureRights(await self._AsyncZolmarCommand__SendMsg(request, 0), broker)
    async def AddQuote(self, broker, symbols, append=False):
        request = request_AddQuote(broker, symbols, append)
        return shape_AddQuote(await self._AsyncZolmarCommand__SendMsg(request, 0), broker, symbols, append)
    return (__init__, __SendMsg, __IsMatchType, Order, Delete, GetAccount, MatchAccount, GetUnfinished, GetInStock, FutureRights, AddQuote)
