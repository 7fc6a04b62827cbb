// The interpreter's text operations as the commands use them: `+`, strip, split, find, replace,
// `==` and truth tests. Exact str operands take a native path whose result is provably what the
// interpreter gives; anything else goes through the interpreter itself.
#pragma once

#include <vector>

#include "ref.hpp"

namespace velkarcmd {

// Builds `start + piece + piece ...` left to right with the interpreter's `+`. While both
// operands are exact str the pieces are only collected and joined once at the end, so a long
// chain costs linear time; the first other operand hands the sum so far to the interpreter.
class TextBuilder {
  public:
    explicit TextBuilder(BorrowedRef start);

    // false with the interpreter's error set (the TypeError of a non-str operand, say).
    bool add(BorrowedRef piece);
    // The sum; null with an error set. The builder is spent afterwards.
    OwnedRef finish();

  private:
    bool collapse();

    std::vector<OwnedRef> pieces_;  // exact str, summed lazily
    OwnedRef sum_;                  // the sum once the interpreter's `+` has taken over
    bool generic_ = false;
};

// A value of the interpreter's truth: 1 true, 0 false, -1 with an error set.
using Truth = int;

// `left == right` tested for truth; `left` is the left operand.
Truth equals(BorrowedRef left, BorrowedRef right);
// `left != right` tested for truth.
Truth differs(BorrowedRef left, BorrowedRef right);

// `text.strip()`.
OwnedRef strip_whitespace(BorrowedRef text);
// `text.strip(chars)`, `chars` a str.
OwnedRef strip_chars(BorrowedRef text, BorrowedRef chars);
// `text.split(separator)`.
OwnedRef split(BorrowedRef text, BorrowedRef separator);
// `text.replace(old, new)`.
OwnedRef replace(BorrowedRef text, BorrowedRef old_text, BorrowedRef new_text);
// `text.find(word) < 0` tested for truth.
Truth lacks(BorrowedRef text, BorrowedRef word);
// `key == text.split(separator)[0]` tested for truth; `separator` a one-character str.
Truth equals_first_field(BorrowedRef key, BorrowedRef text, BorrowedRef separator);

// Guards a field that the request's grammar makes one word: a str holding any character that
// `str.isspace` accepts raises ValueError naming `parameter`, so that a blank cannot turn one
// command into another. Other objects have already been joined by their own `+` and pass.
// false with the error set.
bool refuse_whitespace(BorrowedRef field, const char* parameter);

// `callable(arguments...)`, each argument borrowed.
OwnedRef call(BorrowedRef callable, std::initializer_list<BorrowedRef> arguments);
// `object.name(arguments...)`: the attribute is fetched, then called.
OwnedRef call_method(BorrowedRef object, BorrowedRef name,
                     std::initializer_list<BorrowedRef> arguments);

}  // namespace velkarcmd
