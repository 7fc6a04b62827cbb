// The commands of ZolmarCommand and AsyncZolmarCommand, one row each: the method's name, its
// parameters, the fields its halves receive, its reply mode, and its two halves around the
// exchange. Both classes are built from this table (module/class_builder), so that both send the
// same texts, refuse the same fields and shape the same results. A new command is one row, and
// its halves in the file of its subsystem.
#pragma once

#include <cstddef>

#include "../channel/exchange.hpp"

namespace velkarcmd {

// The caller's fields as the method passes them on, `self` left out; borrowed from whoever owns
// the call's arguments.
struct Fields {
    const BorrowedRef* values;
    BorrowedRef operator[](std::size_t index) const { return values[index]; }
};

// The request text made from the caller's fields (with their checks); null with an error set,
// before anything is sent.
using RequestHalf = OwnedRef (*)(const ModuleState& state, const Fields& fields);
// The result shaped from the reply text; null with an error set.
using ShapeHalf = OwnedRef (*)(const ModuleState& state, BorrowedRef reply, const Fields& fields);

// commands/order_entry.cpp
OwnedRef request_Order(const ModuleState& state, const Fields& fields);
OwnedRef request_Delete(const ModuleState& state, const Fields& fields);
// The reply as it came: Order and Delete.
OwnedRef shape_unchanged(const ModuleState& state, BorrowedRef reply, const Fields& fields);
// `__IsMatchType(self, ot, tt)`, which no command calls.
OwnedRef is_match_type(const ModuleState& state, BorrowedRef order_type,
                       BorrowedRef time_condition);

// commands/queries.cpp: one request for the three, three selections of the reply lines.
OwnedRef request_records(const ModuleState& state, const Fields& fields);
OwnedRef shape_GetAccount(const ModuleState& state, BorrowedRef reply, const Fields& fields);
OwnedRef shape_MatchAccount(const ModuleState& state, BorrowedRef reply, const Fields& fields);
OwnedRef shape_GetUnfinished(const ModuleState& state, BorrowedRef reply, const Fields& fields);

// commands/positions.cpp
OwnedRef request_GetInStock(const ModuleState& state, const Fields& fields);
OwnedRef shape_GetInStock(const ModuleState& state, BorrowedRef reply, const Fields& fields);
OwnedRef request_FutureRights(const ModuleState& state, const Fields& fields);
OwnedRef shape_FutureRights(const ModuleState& state, BorrowedRef reply, const Fields& fields);
OwnedRef request_AddQuote(const ModuleState& state, const Fields& fields);
OwnedRef shape_AddQuote(const ModuleState& state, BorrowedRef reply, const Fields& fields);

struct Command {
    const char* name;        // the method's name
    const char* parameters;  // after `self`, with defaults as Python literals
    const char* passed;      // the fields its halves receive, in order
    ReplyMode mode;
    RequestHalf request;
    ShapeHalf shape;
};

// The commands in the order of the class namespace, after `__init__`, `__SendMsg` and
// `__IsMatchType`. Order passes on neither `timekind` nor `pricetype`, required but never read.
inline constexpr Command kCommands[] = {
    {"Order",
     "broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype, "
     "daytrade=\"0\", anc=\"\"",
     "broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc", ReplyMode::single,
     request_Order, shape_unchanged},
    {"Delete", "broker, orderid", "broker, orderid", ReplyMode::single, request_Delete,
     shape_unchanged},
    {"GetAccount", "broker, orderid", "broker, orderid", ReplyMode::multi, request_records,
     shape_GetAccount},
    {"MatchAccount", "broker, orderid", "broker, orderid", ReplyMode::multi, request_records,
     shape_MatchAccount},
    {"GetUnfinished", "broker, orderid", "broker, orderid", ReplyMode::multi, request_records,
     shape_GetUnfinished},
    {"GetInStock", "broker, prodid=\"\"", "broker, prodid", ReplyMode::multi, request_GetInStock,
     shape_GetInStock},
    {"FutureRights", "broker", "broker", ReplyMode::single, request_FutureRights,
     shape_FutureRights},
    {"AddQuote", "broker, symbols, append=False", "broker, symbols, append", ReplyMode::single,
     request_AddQuote, shape_AddQuote},
};

inline constexpr std::size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

// How many fields a command's halves receive: the names in `passed`.
constexpr std::size_t field_count(const Command& command) {
    std::size_t count = 1;
    for (const char* at = command.passed; *at != '\0'; ++at) {
        count += *at == ',' ? 1 : 0;
    }
    return count;
}

}  // namespace velkarcmd
