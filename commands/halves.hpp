// Every command in two halves around its exchange: the request text made from the caller's
// fields (with their checks), and the result shaped from the reply text. ZolmarCommand runs both
// around its own `_ZolmarCommand__SendMsg`; AsyncZolmarCommand calls each half on its own and
// awaits its exchange between them, so both classes send the same texts, refuse the same
// fields and shape the same results.
#pragma once

#include <cstddef>

#include "../channel/exchange.hpp"

namespace velkarcmd {

// The most fields a command passes on (Order's nine).
constexpr std::size_t kMostFields = 9;

// The caller's fields as the method passes them on, `self` left out; borrowed from whoever owns
// the call's arguments.
struct Fields {
    const BorrowedRef* values;
    std::size_t count;
    BorrowedRef operator[](std::size_t index) const { return values[index]; }
};

struct CommandHalves {
    const char* name;
    std::size_t fields;  // how many the method passes on
    ReplyMode mode;
    // The request text; null with an error set, before anything is sent.
    OwnedRef (*request)(const ModuleState& state, const Fields& fields);
    // The result from the reply text; null with an error set.
    OwnedRef (*shape)(const ModuleState& state, BorrowedRef reply, const Fields& fields);
};

extern const CommandHalves kOrderHalves;
extern const CommandHalves kDeleteHalves;
extern const CommandHalves kGetAccountHalves;
extern const CommandHalves kMatchAccountHalves;
extern const CommandHalves kGetUnfinishedHalves;
extern const CommandHalves kGetInStockHalves;
extern const CommandHalves kFutureRightsHalves;
extern const CommandHalves kAddQuoteHalves;

// The blocking method's body: arguments are `self` and the fields.
template <std::size_t N>
OwnedRef run_halves(const Command& command, const CommandHalves& halves,
                    const Arguments<N>& arguments) {
    static_assert(N >= 2 && N - 1 <= kMostFields, "self and at least one field");
    BorrowedRef values[N - 1];
    for (std::size_t i = 1; i < N; ++i) {
        values[i - 1] = arguments[i];
    }
    const Fields fields{values, N - 1};
    const ModuleState& s = command.state;
    OwnedRef request = halves.request(s, fields);
    OwnedRef reply = request ? send_through(s, arguments[0], request, halves.mode) : OwnedRef();
    return reply ? halves.shape(s, reply, fields) : OwnedRef();
}

// The reply as it came: Order and Delete.
OwnedRef reply_unchanged(const ModuleState& state, BorrowedRef reply, const Fields& fields);

}  // namespace velkarcmd
