// The one builder of ZolmarCommand and AsyncZolmarCommand. Each method is the interpreter's own
// function, compiled at import from Python source written from the table of commands
// (commands/table.hpp), with the module's namespace as its globals: the interpreter binds its
// arguments, with its own messages on every version, and it copies, pickles and introspects as
// any function does. Its body hands the bound arguments to native halves, builtin functions bound
// to the module object, which it holds in its closure; nothing of that shows at module level.
//
// The same source is installed beside the module as a file (python/<module>_methods.py). Where
// that file holds exactly this text the methods are compiled under its name, so that every
// interpreter's own traceback printer shows their lines; otherwise under a name of their own.
// Either way the text is registered with `linecache`, for `traceback` and `inspect.getsource`.
#pragma once

#include <initializer_list>

#include "../support/ref.hpp"

namespace velkarcmd {

// A builtin function that the methods' source calls by `name`, kept by the caller.
struct Native {
    const char* name;
    BorrowedRef function;
};

struct ClassDefinition {
    const char* name;           // the class's __name__
    const char* methods_file;   // the file beside the module that holds the methods' source
    bool awaitable;             // commands are `async def` and await the exchange between halves
    const char* send_msg_body;  // `__SendMsg`'s body, each line indented by eight blanks
    const char* constructor_doc;  // null: none
};

// The class, its methods compiled from the table; `natives` are what `__SendMsg`'s body calls.
// Null with an error set.
OwnedRef build_class(BorrowedRef module, const ClassDefinition& definition,
                     std::initializer_list<Native> natives);

// Imports each standard module and binds it as an attribute of `module`; false with an error set.
bool bind_standard_modules(BorrowedRef module, std::initializer_list<const char*> names);

// A builtin function bound to `module`; null with an error set.
OwnedRef bound_native(PyMethodDef* definition, BorrowedRef module);

}  // namespace velkarcmd
