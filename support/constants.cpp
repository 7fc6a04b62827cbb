#include "constants.hpp"

namespace velkarcmd {

namespace {

Constants made;
bool made_once = false;

bool keep(ProcessRef& field, OwnedRef value) {
    if (!value) {
        return false;
    }
    field.keep(std::move(value));
    return true;
}

}  // namespace

const Constants& constants() {
    return made;
}

bool init_constants(BorrowedRef socket_module) {
    if (made_once) {
        return true;
    }
    Constants& c = made;
    bool ok =
        keep(c.strip, interned("strip")) && keep(c.split, interned("split")) &&
        keep(c.find, interned("find")) && keep(c.replace, interned("replace")) &&
        keep(c.encode, interned("encode")) && keep(c.decode, interned("decode")) &&
        keep(c.socket, interned("socket")) && keep(c.af_inet, interned("AF_INET")) &&
        keep(c.sock_dgram, interned("SOCK_DGRAM")) && keep(c.connect, interned("connect")) &&
        keep(c.send, interned("send")) && keep(c.recv, interned("recv")) &&
        keep(c.close, interned("close")) && keep(c.fileno, interned("fileno")) &&
        keep(c.gettimeout, interned("gettimeout")) &&
        keep(c.send_msg_attribute, interned("_ZolmarCommand__SendMsg")) &&
        keep(c.empty, str_from("")) && keep(c.blank, str_from(" ")) &&
        keep(c.line_feed, str_from("\n")) && keep(c.hyphen, str_from("-")) &&
        keep(c.comma, str_from(",")) && keep(c.over, str_from("over")) &&
        keep(c.all, str_from("All")) && keep(c.match_word, str_from("Match")) &&
        keep(c.order_word, str_from("Order")) && keep(c.delete_word, str_from("Delete")) &&
        keep(c.get_equity, str_from(" GetEquity")) && keep(c.add_quote, str_from(" AddQuote ")) &&
        keep(c.append_yes, str_from(" 1")) && keep(c.append_no, str_from(" 0")) &&
        keep(c.utf8, str_from("utf-8")) && keep(c.limit_order, str_from("LMT")) &&
        keep(c.market_order, str_from("MKT")) && keep(c.rest_of_day, str_from("ROD")) &&
        keep(c.immediate_or_cancel, str_from("IOC")) && keep(c.fill_or_kill, str_from("FOK")) &&
        keep(c.zero, OwnedRef::steal(PyLong_FromLong(0))) &&
        keep(c.one, OwnedRef::steal(PyLong_FromLong(1))) &&
        keep(c.buffer_size, OwnedRef::steal(PyLong_FromLong(4096))) &&
        keep(c.endpoint, OwnedRef::steal(Py_BuildValue("(si)", "127.0.0.1", 5656))) &&
        keep(c.socket_base_type,
             OwnedRef::steal(PyObject_GetAttrString(socket_module.get(), "SocketType"))) &&
        keep(c.socket_class,
             OwnedRef::steal(PyObject_GetAttrString(socket_module.get(), "socket"))) &&
        keep(c.native_recv,
             OwnedRef::steal(PyObject_GetAttrString(c.socket_base_type.get(), "recv"))) &&
        keep(c.socket_timeout,
             OwnedRef::steal(PyObject_GetAttrString(socket_module.get(), "timeout")));
    // A failed attempt is made again by the next import.
    made_once = ok;
    return ok;
}

}  // namespace velkarcmd
