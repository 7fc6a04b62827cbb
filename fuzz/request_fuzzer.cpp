// libFuzzer harness for zolmar-sim's request handling: each input is a series of requests, one
// per line, carried out on the market, and every answer is turned into the datagrams the server
// would send. Aborts when an answer breaks what a caller relies on.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../sim/market.hpp"
#include "../sim/protocol.hpp"
#include "../sim/server.hpp"
#include "../sim/text.hpp"

namespace {

// The server's end marker of a multi-datagram answer (Server::answer).
const char kEndMarker[] = "over";

// libFuzzer counts these as coverage, so inputs reaching larger answers (by 512 bytes) and larger
// datagrams (by 128 bytes) are kept: growth is where the 4096-byte limit bites.
__attribute__((section("__libfuzzer_extra_counters"))) std::uint8_t sizes_seen[128];

void note_size(std::size_t answer, std::size_t datagram) {
    sizes_seen[std::min<std::size_t>(answer / 512, 63)] = 1;
    sizes_seen[64 + std::min<std::size_t>(datagram / 128, 63)] = 1;
}

// Lets a local run go past the oversized AddQuote answer while that is being fixed.
bool skip_quote_size = false;

void save_session();

[[noreturn]] void violated(const char* property, const std::string& request,
                           const std::string& detail) {
    std::fprintf(stderr, "\nPROPERTY VIOLATED: %s\nrequest (%zu bytes): %.200s\n%s\n", property,
                 request.size(), request.c_str(), detail.c_str());
    save_session();
    std::abort();
}

// The datagrams Server::answer sends for a reply, without faults.
std::vector<std::string> datagrams_of(const zolmar::Reply& reply) {
    if (!reply.multi) {
        return reply.lines;
    }
    std::vector<std::string> datagrams = zolmar::pack_lines(reply.lines, zolmar::kLargestReply);
    datagrams.push_back(kEndMarker);
    return datagrams;
}

// The module reads a list (gathering datagrams up to the end marker) for the requests of
// GetAccount, MatchAccount, GetUnfinished ("broker selector") and GetInStock ("broker" or
// "broker-product"); everything else it sends waits for one datagram.
bool is_list_request(const std::string& request) {
    std::size_t blanks = 0;
    for (char c : request) {
        blanks += c == ' ';
    }
    if (blanks == 0) {
        return true;
    }
    return blanks == 1 && request.substr(request.find(' ') + 1) != "GetEquity";
}

bool is_refusal(const zolmar::Reply& reply) {
    return !reply.lines.empty() && reply.lines.front().compare(0, 4, "ERR ") == 0;
}

// The broker a request names: its first word, or for a positions request the part before the
// hyphen (Protocol::positions).
std::string broker_of(const std::string& request) {
    std::string::size_type blank = request.find(' ');
    return request.substr(0, blank != std::string::npos ? blank : request.find('-'));
}

void add_text(std::vector<std::int64_t>& out, const std::string& text) {
    out.push_back(static_cast<std::int64_t>(std::hash<std::string>()(text)));
}

void add_double(std::vector<std::int64_t>& out, double value) {
    std::int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back(bits);
}

// What the request's broker holds in full, the other accounts by their sizes, and the prices;
// numbers rather than text, since this runs twice per request. Fields that never change after
// an order is placed are left out.
std::vector<std::int64_t> snapshot(const zolmar::Market& market, const std::string& broker) {
    std::vector<std::int64_t> out;
    for (const auto& entry : market.accounts()) {
        const zolmar::Account& account = entry.second;
        add_text(out, entry.first);
        out.push_back(static_cast<std::int64_t>(account.orders.size()));
        out.push_back(static_cast<std::int64_t>(account.positions.size()));
        out.push_back(static_cast<std::int64_t>(account.quotes.size()));
        if (entry.first != broker) {
            continue;
        }
        for (std::uint64_t id : account.orders) {
            const zolmar::Order& order = market.order(id);
            out.push_back(static_cast<std::int64_t>(order.id));
            out.push_back(order.remaining);
            out.push_back(static_cast<std::int64_t>(order.status));
            out.push_back(static_cast<std::int64_t>(order.fills.size()));
        }
        for (const auto& position : account.positions) {
            add_text(out, position.first);
            out.push_back(position.second.net);
            add_double(out, position.second.average);
            add_double(out, position.second.realized);
        }
        for (const auto& symbol : account.quotes) {
            add_text(out, std::string(symbol));
        }
    }
    for (const auto& reference : market.references()) {
        out.push_back(reference.second.units);
    }
    return out;
}

void check_answer(const std::string& request, const zolmar::Reply& reply) {
    std::vector<std::string> datagrams = datagrams_of(reply);
    std::size_t total = 0;
    std::size_t largest = 0;
    bool quote_reply =
        !reply.multi && !reply.lines.empty() && reply.lines.front().compare(0, 7, "quotes ") == 0;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const std::string& datagram = datagrams[i];
        total += datagram.size();
        largest = std::max(largest, datagram.size());
        if (datagram.size() > zolmar::kLargestReply && !(quote_reply && skip_quote_size)) {
            violated("every reply datagram fits 4096 bytes", request,
                     "datagram " + std::to_string(i) + " has " + std::to_string(datagram.size()) +
                         " bytes: " + datagram.substr(0, 120) + "...");
        }
        // The module decodes every datagram strictly.
        if (!zolmar::is_valid_utf8(datagram)) {
            violated("every reply datagram is UTF-8", request, "datagram " + std::to_string(i));
        }
        if (reply.multi && i + 1 < datagrams.size() && datagram == kEndMarker) {
            violated("the end marker comes only at the end", request,
                     "datagram " + std::to_string(i) + " of " + std::to_string(datagrams.size()));
        }
    }
    if (is_list_request(request) && (!reply.multi || datagrams.back() != kEndMarker)) {
        violated("a list request's answer ends with the end marker", request,
                 reply.multi ? "last datagram: " + datagrams.back() : "answered as one datagram");
    }
    if (!reply.multi && datagrams.size() != 1) {
        violated("a single answer is one datagram", request,
                 std::to_string(datagrams.size()) + " datagrams");
    }
    note_size(total, largest);
}

// One market serves many inputs, as the simulator serves a long session: answers that grow with
// what earlier requests left behind are reached. It starts afresh once it holds kLargestBook
// orders, so that the time each request takes stays bounded.
constexpr std::size_t kLargestBook = 200;

std::size_t orders_held(const zolmar::Market& market) {
    std::size_t count = 0;
    for (const auto& entry : market.accounts()) {
        count += entry.second.orders.size();
    }
    return count;
}

struct Session {
    Session()
        : market(prices(), 1000000, zolmar::Price{zolmar::Price::kScale}, 1), protocol(market, 2) {}

    static std::map<std::string, zolmar::Price> prices() {
        std::map<std::string, zolmar::Price> prices;
        prices["FUT"].units = 17000 * zolmar::Price::kScale;
        prices["STK"].units = 600 * zolmar::Price::kScale;
        return prices;
    }

    zolmar::Market market;
    // Prices move often, so that resting orders fill.
    zolmar::Protocol protocol;
    std::vector<std::string> requests;  // since the market was made, to replay a failure
};

std::unique_ptr<Session> session;

// Writes the session's requests, one per line: given to the fuzzer as one input, this file
// replays the failure on a fresh market.
void save_session() {
    const char* path = std::getenv("FUZZ_SESSION_FILE");
    path = path != nullptr ? path : "request_fuzzer-session.txt";
    if (std::FILE* file = std::fopen(path, "wb")) {
        std::string text = zolmar::join(session->requests, "\n");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        std::fprintf(stderr, "session of %zu requests that led here: %s\n",
                     session->requests.size(), path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* skip = std::getenv("FUZZ_SKIP_QUOTE_SIZE");
    skip_quote_size = skip != nullptr && std::strcmp(skip, "1") == 0;
    if (skip_quote_size) {
        std::fprintf(stderr, "request_fuzzer: not checking the size of AddQuote answers\n");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (session == nullptr || orders_held(session->market) >= kLargestBook) {
        session.reset(new Session());
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& request : zolmar::split(input, '\n')) {
        session->requests.push_back(request);
        std::string broker = broker_of(request);
        std::vector<std::int64_t> before = snapshot(session->market, broker);
        zolmar::Reply reply = session->protocol.handle(request);
        check_answer(request, reply);
        if (is_refusal(reply) && snapshot(session->market, broker) != before) {
            violated("a refused request changes no account", request, reply.lines.front());
        }
    }
    return 0;
}
