// Small text helpers: UTF-8 checks, fixed-point prices, splitting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zolmar {

bool is_valid_utf8(const std::string& text);

// At most `limit` bytes of valid UTF-8 `text`, cut at a character boundary.
std::string clip_utf8(const std::string& text, std::size_t limit);

// Splits at every `separator`; consecutive separators give empty fields.
std::vector<std::string> split(const std::string& text, char separator);

std::string join(const std::vector<std::string>& parts, const std::string& separator);

// Prices in ten-thousandths, so that limits compare and print exactly.
struct Price {
    std::int64_t units = 0;
    static constexpr std::int64_t kScale = 10000;

    double value() const { return static_cast<double>(units) / kScale; }
    friend bool operator<(Price a, Price b) { return a.units < b.units; }
    friend bool operator<=(Price a, Price b) { return a.units <= b.units; }
    friend bool operator==(Price a, Price b) { return a.units == b.units; }
};

enum class PriceParse { ok, not_a_number, negative, too_precise, too_large };

// Plain decimals only: "17000", "17000.5", "0.0001"; no signs but '-', exponents or blanks.
PriceParse parse_price(const std::string& text, Price& price);
std::string format_price(Price price);
std::string format_money(double amount);

// A whole number in [1, limit]; false for anything else.
bool parse_count(const std::string& text, std::int64_t limit, std::int64_t& count);

}  // namespace zolmar
