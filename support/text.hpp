// The interpreter's text operations as the commands use them: `+`, strip, split, find, replace,
// `==` and truth tests. Exact str operands take the str type's own C functions, whose results
// are what the operators give; anything else goes through the interpreter's operators and
// method calls.
#pragma once

#include <initializer_list>
#include <string_view>
#include <vector>

#include "ref.hpp"
#include "state.hpp"

namespace velkarcmd {

// A value of the interpreter's truth: 1 true, 0 false, -1 with an error set.
using Truth = int;

// What a field may contribute to a request.
enum class FieldRule {
    one_word,   // no whitespace: a blank would turn one command into another
    free_text,  // anything, blanks included
};

// Builds a request `first + piece + piece ...` left to right with the interpreter's `+`, and
// checks what each field actually contributes, whatever its type: the text after adding it
// must begin with the text before it, and a one-word field's part must hold no whitespace.
// Otherwise nothing is built and ValueError names the field. While every operand is an exact
// str the pieces are only collected and joined once at the end.
class RequestText {
  public:
    RequestText(const ModuleState& state, BorrowedRef first, const char* name, FieldRule rule);

    // A separator or command word of ours; false with the error set.
    bool add_literal(BorrowedRef literal);
    // A caller's field; false with the error set.
    bool add_field(BorrowedRef field, const char* name, FieldRule rule);
    // The sum; null with an error set. The builder is spent afterwards.
    OwnedRef finish();

  private:
    bool ok() const { return !failed_; }
    bool collapse();
    bool add(BorrowedRef piece, const char* name, FieldRule rule, bool literal);

    const ModuleState& state_;
    std::vector<OwnedRef> pieces_;  // exact str, summed lazily
    OwnedRef sum_;                  // the sum once the interpreter's `+` has taken over
    bool exact_ = true;             // the text so far is `pieces_` joined
    bool failed_ = false;
    // A first operand that is not an exact str: its part is known after the first addition.
    const char* first_name_ = nullptr;
    FieldRule first_rule_ = FieldRule::free_text;
    bool first_pending_ = false;
    const char* last_name_ = nullptr;  // the field that made the text so far
};

// `left == right` tested for truth; `left` is the left operand.
Truth equals(BorrowedRef left, BorrowedRef right);
// `left != right` tested for truth.
Truth differs(BorrowedRef left, BorrowedRef right);

// `text.strip()`.
OwnedRef strip_whitespace(const ModuleState& state, BorrowedRef text);
// `text.strip(chars)`.
OwnedRef strip_chars(const ModuleState& state, BorrowedRef text, BorrowedRef chars);
// `text.split(separator)`.
OwnedRef split(const ModuleState& state, BorrowedRef text, BorrowedRef separator);
// `text.replace(old, new)`.
OwnedRef replace(const ModuleState& state, BorrowedRef text, BorrowedRef old_text,
                 BorrowedRef new_text);
// `text.find(word) < 0` tested for truth.
Truth lacks(const ModuleState& state, BorrowedRef text, BorrowedRef word);
// `key == text.split(separator)[0]` tested for truth; `separator` a one-character str.
Truth equals_first_field(const ModuleState& state, BorrowedRef key, BorrowedRef text,
                         BorrowedRef separator);

// The UTF-8 of an exact str, for reading it as bytes. In UTF-8 every ASCII character, and every
// text made of them, is found as bytes exactly where the str holds it.
class Utf8Text {
  public:
    // 1 encoded, 0 not encodable (lone surrogates; no error set), -1 with an error set.
    Truth encode(BorrowedRef text);
    std::string_view view() const { return view_; }

  private:
    OwnedRef bytes_;
    std::string_view view_;
};

// `msg.encode("utf-8")`; an exact str is encoded directly, with the same strict errors.
OwnedRef encode_utf8(const ModuleState& state, BorrowedRef msg);

// `callable(arguments...)`, each argument borrowed.
OwnedRef call(BorrowedRef callable, std::initializer_list<BorrowedRef> arguments);
// `object.name(arguments...)`: the attribute is fetched, then called.
OwnedRef call_method(BorrowedRef object, BorrowedRef name,
                     std::initializer_list<BorrowedRef> arguments);

}  // namespace velkarcmd
