// Reads request texts, carries them out on the market and writes the reply texts.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "market.hpp"

namespace zolmar {

// The most bytes one reply datagram may have: the application's rule, and what the module reads.
constexpr std::size_t kLargestReply = 4096;

struct Reply {
    std::vector<std::string> lines;
    // Multi-reply answers are record lines followed by the end marker; single ones one text.
    bool multi = false;
};

// The orders whose records a long answer has still to produce, oldest first: the broker's
// orders from `next` up to `end`, the orders it had when it asked.
struct RecordCursor {
    std::string broker;
    std::size_t next = 0;
    std::size_t end = 0;

    bool done() const { return next >= end; }
};

class Protocol {
  public:
    // Reference prices move after every `move_every` accepted requests (0: never).
    Protocol(Market& market, std::uint64_t move_every);

    // The whole answer to one request. Every single reply fits kLargestReply bytes.
    Reply handle(const std::string& request);

    // The same answer, except that the records of "BROKER All" are left in `rest`, to be
    // produced a slice at a time with more(): an answer of any length costs the request only
    // constant work. `rest` is left done() for every other request.
    Reply begin(const std::string& request, RecordCursor& rest);
    // Appends the records of up to `orders` more orders of `rest` to `lines`, as they stand now.
    void more(RecordCursor& rest, std::size_t orders, std::vector<std::string>& lines) const;

  private:
    Reply order(const std::vector<std::string>& fields);
    Reply cancel(const std::string& broker, const std::string& order_id);
    Reply records(const std::string& broker, const std::string& selector, RecordCursor* rest);
    Reply positions(const std::string& request);
    Reply equity(const std::string& broker);
    Reply quotes(const std::string& broker, const std::string& symbols, const std::string& flag);
    void accepted();

    Market& market_;
    std::uint64_t move_every_;
    std::uint64_t accepted_count_ = 0;
};

// Identifiers (brokers, products, symbols): 1 to 32 bytes of UTF-8 without blanks, commas,
// hyphens or control characters, so that every request and record stays unambiguous.
bool is_identifier(const std::string& text);

// An order's note (anc) as its record carries it: percent-escaped wherever it could break the
// record, and kept as it is elsewhere, blanks included. Escaped are '%', ',', control characters
// (a line feed would end the record), and the first letter of every "Match" and "Order", the
// words MatchAccount and GetUnfinished look for anywhere in a line. Percent-decoding (Python's
// urllib.parse.unquote) gives back the note exactly.
std::string record_note(const std::string& note);

// The answer to AddQuote: "quotes N: " and the symbols in the order first subscribed, as many
// as fit `limit` bytes; when some do not fit, " (+K more)" ends the text instead of them.
std::string quotes_reply(const std::deque<std::string>& symbols, std::size_t limit);

}  // namespace zolmar
