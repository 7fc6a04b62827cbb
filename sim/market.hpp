// Paper accounts per broker and a market of reference prices that orders fill against.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "text.hpp"

namespace zolmar {

enum class Side { buy, sell };
enum class OrderStatus { working, filled, cancelled };

struct Fill {
    std::uint64_t number;
    Price price;
    std::int64_t quantity;
};

struct Order {
    std::uint64_t id;
    std::string broker;
    std::string product;
    Side side;
    Price price;  // the limit; for a market order, the price field as given
    bool market;
    std::int64_t quantity;
    std::int64_t remaining;
    std::string time_condition;
    std::string order_type;
    std::string day_trade;
    OrderStatus status;
    std::vector<Fill> fills;
    std::string note;  // the order's anc, as sent; empty when it had none
};

struct Position {
    std::int64_t net = 0;  // bought minus sold
    double average = 0;    // average price of the open quantity
    double realized = 0;   // profit and loss of closed quantity
};

// A broker's subscribed symbols, for finding one in constant time. Split by hash into shards
// that rehash at different sizes, so that growing never rehashes more than a small part of them
// at once (one set of 170,000 symbols takes over 20 ms to rehash).
class SymbolSet {
  public:
    bool insert(const std::string& symbol);  // false when it was there already
    void erase(const std::string& symbol);
    void swap(SymbolSet& other) noexcept { shards_.swap(other.shards_); }

  private:
    static constexpr std::size_t kShards = 64;
    std::unordered_set<std::string>& shard(const std::string& symbol);
    std::vector<std::unordered_set<std::string>> shards_;  // made at the first insertion
};

struct Account {
    std::vector<std::uint64_t> orders;  // in the order they were placed
    std::map<std::string, Position> positions;
    std::deque<std::string> quotes;  // in the order first subscribed
    SymbolSet quoted;                // the same symbols, to find one in constant time
};

struct OrderTicket {
    std::string product;
    Side side;
    Price price;
    bool market;
    std::int64_t quantity;
    std::string time_condition;
    std::string order_type;
    std::string day_trade;
    std::string note;
};

enum class CancelOutcome { cancelled, unknown, already_filled, already_cancelled };

enum class SubscribeOutcome { done, over_cap };

// The most symbols one broker may subscribe unless told otherwise (--quote-cap).
constexpr std::size_t kDefaultQuoteCap = 10000;

class Market {
  public:
    Market(std::map<std::string, Price> reference_prices, double opening_balance, Price tick,
           std::uint64_t seed);

    bool has_product(const std::string& product) const;
    Price reference(const std::string& product) const;
    const std::map<std::string, Price>& references() const { return references_; }

    // Places a checked order: fills what is marketable at once, rests the rest.
    std::uint64_t place(const std::string& broker, const OrderTicket& ticket);
    CancelOutcome cancel(const std::string& broker, std::uint64_t id);

    // Moves every reference price by one tick up, down or not at all, then fills the resting
    // limit orders that became marketable.
    void move_prices();

    const Account* find_account(const std::string& broker) const;
    // Read-only view of every account, for checks that compare whole states.
    const std::map<std::string, Account>& accounts() const { return accounts_; }
    const Order& order(std::uint64_t id) const { return orders_[id - 1]; }
    bool owns(const std::string& broker, std::uint64_t id) const;
    double opening_balance() const { return opening_balance_; }

    // Replaces or extends a broker's quote subscription, all or nothing: refused, changing
    // nothing, when the broker would have more than quote_cap() symbols. The work is linear in
    // the request alone (and the old subscription's size when it is replaced), never in the
    // symbols subscribed so far.
    SubscribeOutcome subscribe(const std::string& broker, const std::vector<std::string>& symbols,
                               bool append);
    // A broker's symbols in the order first subscribed (empty for an unknown broker).
    const std::deque<std::string>& quotes(const std::string& broker) const;
    std::size_t quote_cap() const { return quote_cap_; }
    void set_quote_cap(std::size_t cap) { quote_cap_ = cap; }

  private:
    void execute(Order& order, Price price, std::int64_t quantity);
    void fill_resting(const std::string& product);
    void forget_resting(const Order& order);

    std::map<std::string, Price> references_;
    double opening_balance_;
    Price tick_;
    std::mt19937_64 random_;
    std::vector<Order> orders_;  // id - 1 indexes this
    std::map<std::string, Account> accounts_;
    std::uint64_t fill_count_ = 0;
    std::size_t quote_cap_ = kDefaultQuoteCap;
    // Resting limit orders per product, best first: buyers highest, sellers lowest.
    std::map<std::string, std::multimap<std::int64_t, std::uint64_t, std::greater<std::int64_t>>>
        bids_;
    std::map<std::string, std::multimap<std::int64_t, std::uint64_t>> asks_;
};

}  // namespace zolmar
