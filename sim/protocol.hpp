// Reads request texts, carries them out on the market and writes the reply texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "market.hpp"

namespace zolmar {

struct Reply {
    std::vector<std::string> lines;
    // Multi-reply answers are record lines followed by the end marker; single ones one text.
    bool multi = false;
};

class Protocol {
  public:
    // Reference prices move after every `move_every` accepted requests (0: never).
    Protocol(Market& market, std::uint64_t move_every);

    Reply handle(const std::string& request);

  private:
    Reply order(const std::vector<std::string>& fields);
    Reply cancel(const std::string& broker, const std::string& order_id);
    Reply records(const std::string& broker, const std::string& selector);
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

}  // namespace zolmar
