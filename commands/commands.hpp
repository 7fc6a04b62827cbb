// Native halves of the command methods of ZolmarCommand. Each is a builtin function bound to
// the module object; the method's own function binds the caller's arguments and passes them
// on, `self` first. Each builds its command text with the interpreter's `+`, hands it to
// `self._ZolmarCommand__SendMsg` and shapes the reply.
#pragma once

#include "../support/ref.hpp"

namespace velkarcmd {

// Order entry: self and the fields the order text uses (not timekind and pricetype).
PyObject* order(PyObject* module, PyObject* args);
PyObject* delete_order(PyObject* module, PyObject* args);
PyObject* is_match_type(PyObject* module, PyObject* args);

// Order and fill queries: self, broker, orderid.
PyObject* get_account(PyObject* module, PyObject* args);
PyObject* match_account(PyObject* module, PyObject* args);
PyObject* get_unfinished(PyObject* module, PyObject* args);

// Positions, equity and quotes.
PyObject* get_in_stock(PyObject* module, PyObject* args);
PyObject* future_rights(PyObject* module, PyObject* args);
PyObject* add_quote(PyObject* module, PyObject* args);

}  // namespace velkarcmd
