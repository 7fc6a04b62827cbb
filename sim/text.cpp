#include "text.hpp"

#include <cmath>
#include <cstdio>

namespace zolmar {

bool is_valid_utf8(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        unsigned char lead = bytes[i];
        std::size_t extra;
        std::uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (size - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string clip_utf8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) {
            joined += separator;
        }
        joined += parts[i];
    }
    return joined;
}

PriceParse parse_price(const std::string& text, Price& price) {
    constexpr std::int64_t kLargest = 1000000000;  // 1e9
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    std::int64_t whole = 0;
    std::size_t whole_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (whole > kLargest) {
            return PriceParse::too_large;
        }
        whole = whole * 10 + (text[i] - '0');
        ++i, ++whole_digits;
    }
    std::int64_t fraction = 0;
    std::size_t fraction_digits = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (fraction_digits == 4) {
                // Finer digits are accepted only as trailing zeros.
                if (text[i] != '0') {
                    return PriceParse::too_precise;
                }
                ++i;
                continue;
            }
            fraction = fraction * 10 + (text[i] - '0');
            ++i, ++fraction_digits;
        }
    }
    if (i != text.size() || whole_digits + fraction_digits == 0) {
        return PriceParse::not_a_number;
    }
    if (whole > kLargest) {
        return PriceParse::too_large;
    }
    while (fraction_digits < 4) {
        fraction *= 10;
        ++fraction_digits;
    }
    std::int64_t units = whole * Price::kScale + fraction;
    if (negative && units != 0) {
        return PriceParse::negative;
    }
    price.units = units;
    return PriceParse::ok;
}

std::string format_price(Price price) {
    std::int64_t whole = price.units / Price::kScale;
    std::int64_t fraction = price.units % Price::kScale;
    std::string text = std::to_string(whole);
    if (fraction) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04lld", static_cast<long long>(fraction));
        std::string decimals = digits;
        while (!decimals.empty() && decimals.back() == '0') {
            decimals.pop_back();
        }
        text += "." + decimals;
    }
    return text;
}

std::string format_money(double amount) {
    char text[64];
    double rounded = std::round(amount * 100.0) / 100.0;
    if (rounded == 0) {
        rounded = 0;  // no "-0.00"
    }
    std::snprintf(text, sizeof text, "%.2f", rounded);
    return text;
}

bool parse_count(const std::string& text, std::int64_t limit, std::int64_t& count) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > limit) {
        return false;
    }
    count = value;
    return true;
}

}  // namespace zolmar
