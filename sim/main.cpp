// zolmar-sim: a stand-in for the order-entry application, for dry runs and tests.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "market.hpp"
#include "protocol.hpp"
#include "server.hpp"
#include "udp.hpp"

#ifdef _WIN32
#include <windows.h>

// A Windows socket's receive buffer is 65536 bytes unless enlarged.
#define ZOLMAR_WINDOW_BYTES "65536"
#define ZOLMAR_BURST "1"
#else
#define ZOLMAR_WINDOW_BYTES "106496"
#define ZOLMAR_BURST "2"
#endif

namespace {

// Set by a signal handler on POSIX and by the console handler's own thread on Windows: a
// lock-free atomic is safe for both.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and closing the console window are how Windows asks a console program to
// stop. Each handler call runs on a thread of its own.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stop_requested = true;
            return TRUE;
        case CTRL_CLOSE_EVENT:
            stop_requested = true;
            // Returning would end the process at once; main's return ends it after the last line.
            Sleep(INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}
#else
extern "C" void request_stop(int) {
    stop_requested = true;
}
#endif

const char kUsage[] =
    "usage: zolmar-sim [options]\n"
    "\n"
    "A stand-in for the order-entry application: paper accounts per broker, answering the\n"
    "velkarcmd commands over UDP. Stops cleanly on Ctrl-C, SIGTERM or Ctrl-Break.\n"
    "\n"
    "Endpoint:\n"
    "  --host ADDRESS       IPv4 address or localhost to listen on (default 127.0.0.1)\n"
    "  --port PORT          UDP port to listen on (default 5656)\n"
    "\n"
    "Market:\n"
    "  --price PROD=VALUE   a product and its reference price; repeat for more products\n"
    "                       (default: FUT=17000 and STK=600)\n"
    "  --move-every N       move every reference price by one tick, up, down or not, after\n"
    "                       every N accepted requests; 0 keeps prices fixed (default 10)\n"
    "  --tick VALUE         the size of one price move (default 1)\n"
    "  --balance VALUE      opening balance of every paper account (default 1000000)\n"
    "  --seed N             seed of everything random: price moves and faults (default 1)\n"
    "  --preload BROKER=N   start with N working buy orders of BROKER on the first product,\n"
    "                       priced far below the market (for large answers)\n"
    "  --quote-cap N        the most symbols one broker may subscribe; AddQuote past it is\n"
    "                       refused, naming the cap (default 10000)\n"
    "\n"
    "Delivery (answers of several datagrams; each reader, an address and port, on its own):\n"
    "  --window-ms N        a reader may stall this long without losing a datagram...\n"
    "                       (default 20)\n"
    "  --window-bytes N     ...if this much of its receive buffer is free: never more bytes go\n"
    "                       to one reader in any window, counted as the receiver's kernel\n"
    "                       charges them (8448 for a full 4096-byte datagram on Linux);\n"
    "                       0: no such budget (default " ZOLMAR_WINDOW_BYTES
    ", of the 212992 a Linux socket has)\n"
    "  --burst N            datagrams sent back to back at most (default " ZOLMAR_BURST
    ")\n"
    "  --pace-us N          a pause of at least N microseconds after each burst (default 0);\n"
    "                       the old time-only pacing: --window-bytes 0 --burst 8 --pace-us 2000\n"
    "  --journal FILE       append every request and reply datagram, time-stamped, to FILE\n"
    "\n"
    "Faults (all off by default; SHARE is a fraction from 0 to 1):\n"
    "  --delay-ms N         delay every reply by N milliseconds\n"
    "  --drop SHARE         drop this share of reply datagrams\n"
    "  --withhold-end SHARE leave out the end marker of this share of multi-reply answers\n"
    "  --corrupt SHARE      send this share of reply datagrams as invalid UTF-8\n"
    "  --oversize SHARE     send this share of reply datagrams larger than 4096 bytes\n"
    "\n"
    "  --quiet              print nothing but errors\n"
    "  --version            print the version and exit\n"
    "  --help               show this text\n";

zolmar::Pacing default_pacing() {
    zolmar::Pacing pacing;
    pacing.window_bytes = std::strtoull(ZOLMAR_WINDOW_BYTES, nullptr, 10);
    pacing.burst = std::strtoull(ZOLMAR_BURST, nullptr, 10);
    return pacing;
}

struct Options {
    std::string host = "127.0.0.1";
    unsigned long port = 5656;
    std::map<std::string, zolmar::Price> prices;
    unsigned long long move_every = 10;
    zolmar::Price tick{zolmar::Price::kScale};
    double balance = 1000000;
    unsigned long long seed = 1;
    std::vector<std::pair<std::string, std::int64_t>> preload;
    unsigned long long quote_cap = zolmar::kDefaultQuoteCap;
    zolmar::Pacing pacing = default_pacing();
    zolmar::Faults faults;
    std::string journal;
    bool quiet = false;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "zolmar-sim: %s\n(see zolmar-sim --help)\n", message.c_str());
    std::exit(2);
}

unsigned long long whole_number(const std::string& option, const std::string& text,
                                unsigned long long largest) {
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || value > largest) {
        fail(option + " wants a whole number up to " + std::to_string(largest) + ", not '" + text +
             "'");
    }
    return value;
}

double share(const std::string& option, const std::string& text) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    // Written so that NaN is refused too. NOLINTNEXTLINE(readability-simplify-boolean-expr)
    if (text.empty() || *end != '\0' || !(value >= 0 && value <= 1)) {
        fail(option + " wants a share from 0 to 1, not '" + text + "'");
    }
    return value;
}

zolmar::Price price(const std::string& option, const std::string& text) {
    zolmar::Price value;
    if (zolmar::parse_price(text, value) != zolmar::PriceParse::ok) {
        fail(option + " wants a plain decimal number, not '" + text + "'");
    }
    return value;
}

std::pair<std::string, std::string> assignment(const std::string& option, const std::string& text) {
    std::string::size_type equals = text.find('=');
    if (equals == std::string::npos) {
        fail(option + " wants NAME=VALUE, not '" + text + "'");
    }
    std::string name = text.substr(0, equals);
    if (!zolmar::is_identifier(name)) {
        fail(option + ": '" + name +
             "' is not a name (1 to 32 bytes, no blanks, commas or hyphens)");
    }
    return {name, text.substr(equals + 1)};
}

bool takes_value(const std::string& option) {
    static const char* const kWithValue[] = {
        "--host",      "--port",         "--price",     "--move-every", "--tick",
        "--balance",   "--seed",         "--preload",   "--burst",      "--pace-us",
        "--window-ms", "--window-bytes", "--quote-cap", "--journal",    "--delay-ms",
        "--drop",      "--withhold-end", "--corrupt",   "--oversize",
    };
    for (const char* known : kWithValue) {
        if (option == known) {
            return true;
        }
    }
    return false;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (option == "--version") {
            std::printf("zolmar-sim %s\n", ZOLMAR_VERSION);
            std::exit(0);
        }
        if (option == "--quiet") {
            options.quiet = true;
            continue;
        }
        // Named as unknown whatever follows it, rather than as an option lacking its value.
        if (!takes_value(option)) {
            fail(option.compare(0, 1, "-") == 0 ? "unknown option '" + option + "'"
                                                : "unknown argument '" + option + "'");
        }
        if (i + 1 >= argc) {
            fail(option + " wants a value");
        }
        std::string value = argv[++i];
        if (option == "--host") {
            // The one name every system resolves the same way; no resolver needed.
            options.host = value == "localhost" ? "127.0.0.1" : value;
        } else if (option == "--port") {
            options.port = static_cast<unsigned long>(whole_number(option, value, 65535));
        } else if (option == "--price") {
            auto pair = assignment(option, value);
            zolmar::Price reference = price(option, pair.second);
            if (reference.units == 0) {
                fail("--price wants a price above 0 for " + pair.first);
            }
            options.prices[pair.first] = reference;
        } else if (option == "--move-every") {
            options.move_every = whole_number(option, value, 1000000000);
        } else if (option == "--tick") {
            options.tick = price(option, value);
        } else if (option == "--balance") {
            options.balance = price(option, value).value();
        } else if (option == "--seed") {
            options.seed = whole_number(option, value, ~0ULL);
        } else if (option == "--preload") {
            auto pair = assignment(option, value);
            options.preload.emplace_back(
                pair.first, static_cast<std::int64_t>(whole_number(option, pair.second, 10000000)));
        } else if (option == "--burst") {
            options.pacing.burst = static_cast<std::size_t>(whole_number(option, value, 1000));
            if (options.pacing.burst == 0) {
                fail("--burst wants at least 1");
            }
        } else if (option == "--pace-us") {
            options.pacing.interval_us = static_cast<int>(whole_number(option, value, 1000000));
        } else if (option == "--window-ms") {
            options.pacing.window_us = 1000 * static_cast<int>(whole_number(option, value, 10000));
            if (options.pacing.window_us == 0) {
                fail("--window-ms wants at least 1");
            }
        } else if (option == "--window-bytes") {
            options.pacing.window_bytes =
                static_cast<std::size_t>(whole_number(option, value, 1ULL << 30));
        } else if (option == "--quote-cap") {
            options.quote_cap = whole_number(option, value, 100000000);
            if (options.quote_cap == 0) {
                fail("--quote-cap wants at least 1");
            }
        } else if (option == "--journal") {
            options.journal = value;
        } else if (option == "--delay-ms") {
            options.faults.delay_ms = static_cast<int>(whole_number(option, value, 600000));
        } else if (option == "--drop") {
            options.faults.drop = share(option, value);
        } else if (option == "--withhold-end") {
            options.faults.withhold_end = share(option, value);
        } else if (option == "--corrupt") {
            options.faults.corrupt = share(option, value);
        } else if (option == "--oversize") {
            options.faults.oversize = share(option, value);
        } else {
            fail("unknown option '" + option + "'");
        }
    }
    std::size_t bucket = options.pacing.burst * zolmar::charged_size(zolmar::kLargestReply);
    if (options.pacing.window_bytes != 0 && options.pacing.window_bytes <= bucket) {
        fail("--window-bytes wants more than --burst full datagrams take (" +
             std::to_string(options.pacing.burst) + " x " +
             std::to_string(zolmar::charged_size(zolmar::kLargestReply)) + " bytes), or 0");
    }
    if (options.prices.empty()) {
        options.prices["FUT"] = price("--price", "17000");
        options.prices["STK"] = price("--price", "600");
    }
    return options;
}

void preload(zolmar::Market& market, const std::string& broker, std::int64_t count) {
    const auto& first = *market.references().begin();
    zolmar::OrderTicket ticket;
    ticket.product = first.first;
    ticket.side = zolmar::Side::buy;
    ticket.price.units = first.second.units / 2 > 0 ? first.second.units / 2 : 1;
    ticket.market = false;
    ticket.quantity = 1;
    ticket.time_condition = "ROD";
    ticket.order_type = "LMT";
    ticket.day_trade = "0";
    for (std::int64_t i = 0; i < count; ++i) {
        market.place(broker, ticket);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse(argc, argv);

    std::string error;
    bool taken = false;
    auto socket = zolmar::UdpSocket::open(options.host, static_cast<std::uint16_t>(options.port),
                                          error, taken);
    if (!socket) {
        std::fprintf(stderr, "zolmar-sim: cannot listen on %s, UDP port %lu: %s\n",
                     options.host.c_str(), options.port, error.c_str());
        if (taken) {
            std::fprintf(stderr,
                         "zolmar-sim: the port is taken: another zolmar-sim or the application "
                         "itself is running there\n");
        }
        return 3;
    }

    std::FILE* journal_file = nullptr;
    if (!options.journal.empty()) {
        journal_file = std::fopen(options.journal.c_str(), "a");
        if (journal_file == nullptr) {
            std::fprintf(stderr, "zolmar-sim: cannot open journal %s: %s\n",
                         options.journal.c_str(), std::strerror(errno));
            return 2;
        }
    }
    zolmar::Journal journal(journal_file);

    zolmar::Market market(options.prices, options.balance, options.tick, options.seed);
    for (const auto& load : options.preload) {
        preload(market, load.first, load.second);
    }
    market.set_quote_cap(static_cast<std::size_t>(options.quote_cap));
    zolmar::Protocol protocol(market, options.move_every);
    // Faults draw from their own stream, so turning one on does not change the price walk.
    zolmar::Server server(*socket, protocol, options.faults, options.pacing,
                          options.seed ^ 0x5eedULL, journal_file ? &journal : nullptr);

#ifdef _WIN32
    // A process started in a process group of its own ignores Ctrl-C unless it asks for it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    std::signal(SIGINT, request_stop);
    std::signal(SIGTERM, request_stop);
#endif
    if (!options.quiet) {
        std::printf("zolmar-sim listening on %s, UDP port %lu\n", options.host.c_str(),
                    options.port);
        std::fflush(stdout);
    }
    std::uint64_t answered = server.run(stop_requested);
    if (journal_file) {
        std::fclose(journal_file);
    }
    if (!options.quiet) {
        std::printf("zolmar-sim stopped after %llu %s\n", static_cast<unsigned long long>(answered),
                    answered == 1 ? "request" : "requests");
    }
    return 0;
}
