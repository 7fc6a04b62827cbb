#include "protocol.hpp"

#include <algorithm>

namespace zolmar {

namespace {

constexpr std::size_t kLongestIdentifier = 32;
constexpr std::size_t kLongestEcho = 32;
constexpr std::size_t kLongestNote = 64;
constexpr std::int64_t kLargestQuantity = 1000000;

Reply single(std::string text) {
    return Reply{{std::move(text)}, false};
}

Reply refused(const std::string& field, const std::string& reason) {
    return single("ERR " + field + ": " + reason);
}

// A caller's text quoted in an error, clipped, with control characters made harmless.
std::string echo(const std::string& text) {
    std::string shown = clip_utf8(text, kLongestEcho);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return "'" + shown + (shown.size() < text.size() ? "...'" : "'");
}

const char* side_code(Side side) {
    return side == Side::buy ? "B" : "S";
}

const char* status_word(OrderStatus status) {
    switch (status) {
        case OrderStatus::working:
            return "Order";  // only unfinished orders carry this word
        case OrderStatus::filled:
            return "Filled";
        case OrderStatus::cancelled:
            return "Cancelled";
    }
    return "";
}

void append_records(const Order& order, std::vector<std::string>& lines) {
    std::string id = std::to_string(order.id);
    std::string record =
        id + "," + status_word(order.status) + "," + order.product + "," + side_code(order.side) +
        "," + (order.market ? "MKT" : format_price(order.price)) + "," +
        std::to_string(order.quantity) + "," + std::to_string(order.quantity - order.remaining) +
        "," + order.time_condition + "," + order.order_type;
    if (!order.note.empty()) {
        record += "," + record_note(order.note);
    }
    lines.push_back(std::move(record));
    for (const Fill& fill : order.fills) {
        lines.push_back(id + ",Match," + order.product + "," + side_code(order.side) + "," +
                        format_price(fill.price) + "," + std::to_string(fill.quantity) + "," +
                        std::to_string(fill.number));
    }
}

bool parse_order_id(const std::string& text, std::uint64_t& id) {
    std::int64_t value = 0;
    if (!parse_count(text, INT64_MAX / 10, value)) {
        return false;
    }
    id = static_cast<std::uint64_t>(value);
    return true;
}

double unrealized(const Position& position, Price reference) {
    return (reference.value() - position.average) * static_cast<double>(position.net);
}

}  // namespace

std::string record_note(const std::string& note) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string kept;
    kept.reserve(note.size());
    for (std::size_t i = 0; i < note.size(); ++i) {
        auto byte = static_cast<unsigned char>(note[i]);
        // Upper-case hex digits: an escape can never spell one of the two words itself.
        bool word = note.compare(i, 5, "Match") == 0 || note.compare(i, 5, "Order") == 0;
        if (byte < 0x20 || byte == 0x7F || byte == '%' || byte == ',' || word) {
            kept += '%';
            kept += kHex[byte >> 4];
            kept += kHex[byte & 0x0F];
        } else {
            kept += note[i];
        }
    }
    return kept;
}

std::string quotes_reply(const std::deque<std::string>& symbols, std::size_t limit) {
    std::string count = std::to_string(symbols.size());
    std::string text = "quotes " + count + ": ";
    // Room kept for the tail that tells how many were left out: " (+N more)".
    std::size_t tail = 9 + count.size();
    std::size_t shown = 0;
    for (const std::string& symbol : symbols) {
        bool last = shown + 1 == symbols.size();
        std::size_t needed = text.size() + (shown ? 1 : 0) + symbol.size() + (last ? 0 : tail);
        if (needed > limit) {
            break;
        }
        if (shown) {
            text += ',';
        }
        text += symbol;
        ++shown;
    }
    if (shown < symbols.size()) {
        text += " (+" + std::to_string(symbols.size() - shown) + " more)";
    }
    return text;
}

bool is_identifier(const std::string& text) {
    if (text.empty() || text.size() > kLongestIdentifier) {
        return false;
    }
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == ',' || c == '-') {
            return false;
        }
    }
    return true;
}

Protocol::Protocol(Market& market, std::uint64_t move_every)
    : market_(market), move_every_(move_every) {}

void Protocol::accepted() {
    ++accepted_count_;
    if (move_every_ != 0 && accepted_count_ % move_every_ == 0) {
        market_.move_prices();
    }
}

Reply Protocol::handle(const std::string& request) {
    RecordCursor rest;
    Reply reply = begin(request, rest);
    while (!rest.done()) {
        more(rest, 4096, reply.lines);
    }
    return reply;
}

void Protocol::more(RecordCursor& rest, std::size_t orders, std::vector<std::string>& lines) const {
    const Account* account = market_.find_account(rest.broker);
    if (account == nullptr) {
        rest.next = rest.end;
        return;
    }
    std::size_t end = std::min(rest.end, account->orders.size());
    for (std::size_t taken = 0; taken < orders && rest.next < end; ++taken) {
        append_records(market_.order(account->orders[rest.next++]), lines);
    }
    if (rest.next >= end) {
        rest.next = rest.end;
    }
}

Reply Protocol::begin(const std::string& request, RecordCursor& rest) {
    rest = RecordCursor();
    if (request.empty()) {
        // Unrecognised requests get the end marker too, in case the caller reads a list.
        return Reply{{"ERR request: empty"}, true};
    }
    if (!is_valid_utf8(request)) {
        return Reply{{"ERR request: not valid UTF-8"}, true};
    }
    std::vector<std::string> fields = split(request, ' ');
    Reply reply;
    if (fields.size() == 1) {
        reply = positions(request);
    } else if (fields.size() == 2 && fields[1] == "GetEquity") {
        reply = equity(fields[0]);
    } else if (fields.size() == 2) {
        reply = records(fields[0], fields[1], &rest);
    } else if (fields.size() == 3 && fields[1] == "Delete") {
        reply = cancel(fields[0], fields[2]);
    } else if (fields.size() == 4 && fields[1] == "AddQuote") {
        reply = quotes(fields[0], fields[2], fields[3]);
    } else if (fields.size() >= 8) {
        // An order: eight one-word fields, then, if anything follows, its note (anc), which
        // may hold blanks.
        reply = order(fields);
    } else {
        return Reply{{"ERR request: unknown command"}, true};
    }
    bool failed = !reply.lines.empty() && reply.lines.front().compare(0, 4, "ERR ") == 0;
    if (!failed) {
        accepted();
    }
    return reply;
}

Reply Protocol::order(const std::vector<std::string>& fields) {
    const std::string& broker = fields[0];
    if (!is_identifier(broker)) {
        return refused("broker", "not a broker identifier: " + echo(broker));
    }
    OrderTicket ticket;
    ticket.product = fields[1];
    if (!market_.has_product(ticket.product)) {
        return refused("prodid", "unknown product " + echo(ticket.product));
    }
    if (fields[2] == "B") {
        ticket.side = Side::buy;
    } else if (fields[2] == "S") {
        ticket.side = Side::sell;
    } else {
        return refused("bs", "must be B or S, not " + echo(fields[2]));
    }
    switch (parse_price(fields[3], ticket.price)) {
        case PriceParse::ok:
            break;
        case PriceParse::negative:
            return refused("price", "must not be negative: " + echo(fields[3]));
        case PriceParse::too_precise:
            return refused("price", "more than 4 decimals: " + echo(fields[3]));
        case PriceParse::too_large:
            return refused("price", "too large: " + echo(fields[3]));
        case PriceParse::not_a_number:
            return refused("price", "not a number: " + echo(fields[3]));
    }
    if (!parse_count(fields[4], kLargestQuantity, ticket.quantity)) {
        return refused("qty", "must be a whole number from 1 to 1000000, not " + echo(fields[4]));
    }
    ticket.time_condition = fields[5];
    if (ticket.time_condition != "ROD" && ticket.time_condition != "IOC" &&
        ticket.time_condition != "FOK") {
        return refused("timetype", "must be ROD, IOC or FOK, not " + echo(ticket.time_condition));
    }
    ticket.order_type = fields[6];
    if (ticket.order_type != "LMT" && ticket.order_type != "MKT") {
        return refused("ordertype", "must be LMT or MKT, not " + echo(ticket.order_type));
    }
    ticket.market = ticket.order_type == "MKT";
    if (ticket.market && ticket.time_condition == "ROD") {
        return refused("timetype", "a market order goes only with IOC or FOK");
    }
    if (!ticket.market && ticket.time_condition != "ROD") {
        return refused("timetype", "a limit order goes only with ROD");
    }
    if (!ticket.market && ticket.price.units == 0) {
        return refused("price", "a limit order needs a price above 0");
    }
    ticket.day_trade = fields[7];
    if (ticket.day_trade != "0" && ticket.day_trade != "1") {
        return refused("daytrade", "must be 0 or 1, not " + echo(ticket.day_trade));
    }
    if (fields.size() > 8) {
        // Split at single blanks, so joining the rest again gives the text exactly as sent.
        ticket.note = join(std::vector<std::string>(fields.begin() + 8, fields.end()), " ");
        if (ticket.note.empty() || ticket.note.size() > kLongestNote) {
            return refused("anc", "must be 1 to 64 bytes");
        }
    }
    return single(std::to_string(market_.place(broker, ticket)));
}

Reply Protocol::cancel(const std::string& broker, const std::string& order_id) {
    if (!is_identifier(broker)) {
        return refused("broker", "not a broker identifier: " + echo(broker));
    }
    std::uint64_t id = 0;
    if (!parse_order_id(order_id, id)) {
        return refused("orderid", "not an order identifier: " + echo(order_id));
    }
    switch (market_.cancel(broker, id)) {
        case CancelOutcome::cancelled:
            return single(order_id + ",Cancelled");
        case CancelOutcome::unknown:
            return refused("orderid", "no order " + order_id + " for this broker");
        case CancelOutcome::already_filled:
            return refused("orderid", "order " + order_id + " is already filled");
        case CancelOutcome::already_cancelled:
            return refused("orderid", "order " + order_id + " is already cancelled");
    }
    return refused("orderid", "cannot cancel");
}

Reply Protocol::records(const std::string& broker, const std::string& selector,
                        RecordCursor* rest) {
    Reply reply;
    reply.multi = true;
    if (!is_identifier(broker)) {
        reply.lines.push_back("ERR broker: not a broker identifier");
        return reply;
    }
    std::uint64_t id = 0;
    bool every = selector == "All";
    if (!every && !parse_order_id(selector, id)) {
        reply.lines.push_back("ERR orderid: not an order identifier");
        return reply;
    }
    const Account* account = market_.find_account(broker);
    if (account == nullptr) {
        return reply;
    }
    if (every) {
        rest->broker = broker;
        rest->next = 0;
        rest->end = account->orders.size();
    } else if (market_.owns(broker, id)) {
        append_records(market_.order(id), reply.lines);
    }
    return reply;
}

Reply Protocol::positions(const std::string& request) {
    // The module sends the broker, or the broker, a hyphen and a product.
    Reply reply;
    reply.multi = true;
    std::string::size_type hyphen = request.find('-');
    std::string broker = request.substr(0, hyphen);
    std::string product = hyphen == std::string::npos ? "" : request.substr(hyphen + 1);
    if (!is_identifier(broker)) {
        reply.lines.push_back("ERR broker: not a broker identifier");
        return reply;
    }
    if (hyphen != std::string::npos && !market_.has_product(product)) {
        reply.lines.push_back("ERR prodid: unknown product " + echo(product));
        return reply;
    }
    if (const Account* account = market_.find_account(broker)) {
        for (const auto& entry : account->positions) {
            const Position& position = entry.second;
            if (position.net == 0 || (!product.empty() && entry.first != product)) {
                continue;
            }
            Price reference = market_.reference(entry.first);
            reply.lines.push_back(entry.first + "," + std::to_string(position.net) + "," +
                                  format_money(position.average) + "," + format_price(reference) +
                                  "," + format_money(unrealized(position, reference)));
        }
    }
    return reply;
}

Reply Protocol::equity(const std::string& broker) {
    if (!is_identifier(broker)) {
        return refused("broker", "not a broker identifier: " + echo(broker));
    }
    double realized = 0;
    double open = 0;
    if (const Account* account = market_.find_account(broker)) {
        for (const auto& entry : account->positions) {
            realized += entry.second.realized;
            open += unrealized(entry.second, market_.reference(entry.first));
        }
    }
    double balance = market_.opening_balance() + realized;
    return single("balance=" + format_money(balance) + ",realized=" + format_money(realized) +
                  ",unrealized=" + format_money(open) + ",equity=" + format_money(balance + open));
}

Reply Protocol::quotes(const std::string& broker, const std::string& symbols,
                       const std::string& flag) {
    if (!is_identifier(broker)) {
        return refused("broker", "not a broker identifier: " + echo(broker));
    }
    if (flag != "0" && flag != "1") {
        return refused("append", "must be 0 or 1, not " + echo(flag));
    }
    std::vector<std::string> wanted;
    for (std::string& symbol : split(symbols, ',')) {
        if (symbol.empty()) {
            continue;
        }
        if (!is_identifier(symbol)) {
            return refused("symbols", "not a symbol: " + echo(symbol));
        }
        wanted.push_back(std::move(symbol));
    }
    if (wanted.empty()) {
        return refused("symbols", "no symbol given");
    }
    if (market_.subscribe(broker, wanted, flag == "1") == SubscribeOutcome::over_cap) {
        return refused("symbols", "a broker may subscribe at most " +
                                      std::to_string(market_.quote_cap()) + " symbols; " +
                                      std::to_string(market_.quotes(broker).size()) +
                                      " are subscribed and this would make more");
    }
    return single(quotes_reply(market_.quotes(broker), kLargestReply));
}

}  // namespace zolmar
