// Bodies of the command methods of ZolmarCommand. Each builds its command text with the
// interpreter's `+`, hands it to `self._ZolmarCommand__SendMsg` and shapes the reply.
#pragma once

#include "../support/native_function.hpp"

namespace velkarcmd {

// Order entry.
OwnedRef order(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef delete_order(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef is_match_type(const FunctionObject& function, const BoundArguments& arguments);

// Order and fill queries.
OwnedRef get_account(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef match_account(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef get_unfinished(const FunctionObject& function, const BoundArguments& arguments);

// Positions, equity and quotes.
OwnedRef get_in_stock(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef future_rights(const FunctionObject& function, const BoundArguments& arguments);
OwnedRef add_quote(const FunctionObject& function, const BoundArguments& arguments);

}  // namespace velkarcmd
