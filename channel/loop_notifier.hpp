// One event loop's notifier: the loop's end of the reader's port. The loop watches the port's
// socket (add_reader, or a proactor's receive) and settles the exchanges the reader hands over;
// it holds each exchange it will settle, as the loop's own I/O holds its futures. Closed once
// none is left.
#pragma once

#include "../support/ref.hpp"
#include "../support/state.hpp"
#include "reader.hpp"

namespace velkarcmd {

extern PyType_Spec notifier_spec;

// The loop's open notifier, or a new one that the loop watches; null with an error set (the
// system's OSError when no descriptor is left, NotImplementedError for a loop that can watch
// no socket).
OwnedRef notifier_for(const ModuleState& s, BorrowedRef module, BorrowedRef loop);

// The notifier holds `exchange` until the reader hands its `core` over; the core is told the
// port to hand it to.
void notifier_hold(BorrowedRef notifier, BorrowedRef exchange, const CoreRef& core);

// The exchange no longer waits on the notifier; the last one closes it (`python`: the loop is
// told, which runs Python code).
void notifier_forget(BorrowedRef notifier, const Core* core, bool python);

}  // namespace velkarcmd
