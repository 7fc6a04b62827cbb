#include "market.hpp"

#include <algorithm>
#include <cstdlib>

namespace zolmar {

std::unordered_set<std::string>& SymbolSet::shard(const std::string& symbol) {
    if (shards_.empty()) {
        shards_.resize(kShards);
        // Shards fill evenly; with load factors spread from 0.5 to 1 they rehash at different
        // sizes, so that one request meets the rehash of a few of them, not of all at once.
        for (std::size_t i = 0; i < kShards; ++i) {
            shards_[i].max_load_factor(0.5f + static_cast<float>(i) / (2 * kShards));
        }
    }
    // The high bits choose the shard; each set takes its buckets from the low ones.
    std::size_t hash = std::hash<std::string>()(symbol);
    return shards_[(hash >> (8 * sizeof hash - 6)) % kShards];
}

bool SymbolSet::insert(const std::string& symbol) {
    return shard(symbol).insert(symbol).second;
}

void SymbolSet::erase(const std::string& symbol) {
    shard(symbol).erase(symbol);
}

Market::Market(std::map<std::string, Price> reference_prices, double opening_balance, Price tick,
               std::uint64_t seed)
    : references_(std::move(reference_prices)),
      opening_balance_(opening_balance),
      tick_(tick),
      random_(seed) {}

bool Market::has_product(const std::string& product) const {
    return references_.count(product) != 0;
}

Price Market::reference(const std::string& product) const {
    return references_.at(product);
}

const Account* Market::find_account(const std::string& broker) const {
    auto found = accounts_.find(broker);
    return found == accounts_.end() ? nullptr : &found->second;
}

bool Market::owns(const std::string& broker, std::uint64_t id) const {
    return id >= 1 && id <= orders_.size() && orders_[id - 1].broker == broker;
}

std::uint64_t Market::place(const std::string& broker, const OrderTicket& ticket) {
    std::uint64_t id = orders_.size() + 1;
    orders_.push_back(Order{id,
                            broker,
                            ticket.product,
                            ticket.side,
                            ticket.price,
                            ticket.market,
                            ticket.quantity,
                            ticket.quantity,
                            ticket.time_condition,
                            ticket.order_type,
                            ticket.day_trade,
                            OrderStatus::working,
                            {},
                            ticket.note});
    accounts_[broker].orders.push_back(id);
    Order& placed = orders_.back();
    Price market_price = reference(ticket.product);
    bool marketable = ticket.market || (ticket.side == Side::buy ? market_price <= ticket.price
                                                                 : ticket.price <= market_price);
    if (marketable) {
        // The book is deep: everything fills at the reference price.
        execute(placed, market_price, placed.remaining);
    } else if (ticket.side == Side::buy) {
        bids_[ticket.product].emplace(ticket.price.units, id);
    } else {
        asks_[ticket.product].emplace(ticket.price.units, id);
    }
    return id;
}

void Market::forget_resting(const Order& order) {
    auto drop = [&](auto& book) {
        auto range = book.equal_range(order.price.units);
        for (auto at = range.first; at != range.second; ++at) {
            if (at->second == order.id) {
                book.erase(at);
                return;
            }
        }
    };
    if (order.side == Side::buy) {
        drop(bids_[order.product]);
    } else {
        drop(asks_[order.product]);
    }
}

CancelOutcome Market::cancel(const std::string& broker, std::uint64_t id) {
    if (!owns(broker, id)) {
        return CancelOutcome::unknown;
    }
    Order& order = orders_[id - 1];
    if (order.status == OrderStatus::filled) {
        return CancelOutcome::already_filled;
    }
    if (order.status == OrderStatus::cancelled) {
        return CancelOutcome::already_cancelled;
    }
    forget_resting(order);
    order.status = OrderStatus::cancelled;
    return CancelOutcome::cancelled;
}

void Market::execute(Order& order, Price price, std::int64_t quantity) {
    order.fills.push_back(Fill{++fill_count_, price, quantity});
    order.remaining -= quantity;
    if (order.remaining == 0) {
        order.status = OrderStatus::filled;
    }
    Position& position = accounts_[order.broker].positions[order.product];
    std::int64_t signed_quantity = order.side == Side::buy ? quantity : -quantity;
    double fill_price = price.value();
    bool opening = position.net == 0 || (position.net > 0) == (signed_quantity > 0);
    if (opening) {
        double cost = position.average * static_cast<double>(std::llabs(position.net)) +
                      fill_price * static_cast<double>(quantity);
        position.net += signed_quantity;
        position.average = cost / static_cast<double>(std::llabs(position.net));
        return;
    }
    std::int64_t closing = std::min<std::int64_t>(quantity, std::llabs(position.net));
    double per_unit =
        position.net > 0 ? fill_price - position.average : position.average - fill_price;
    position.realized += per_unit * static_cast<double>(closing);
    position.net += signed_quantity;
    if (position.net == 0) {
        position.average = 0;
    } else if ((position.net > 0) == (signed_quantity > 0)) {
        position.average = fill_price;  // reversed: the rest opens at this fill's price
    }
}

void Market::fill_resting(const std::string& product) {
    Price market_price = reference(product);
    auto& bids = bids_[product];
    while (!bids.empty() && market_price.units <= bids.begin()->first) {
        Order& order = orders_[bids.begin()->second - 1];
        bids.erase(bids.begin());
        execute(order, order.price, order.remaining);
    }
    auto& asks = asks_[product];
    while (!asks.empty() && asks.begin()->first <= market_price.units) {
        Order& order = orders_[asks.begin()->second - 1];
        asks.erase(asks.begin());
        execute(order, order.price, order.remaining);
    }
}

void Market::move_prices() {
    if (tick_.units == 0) {
        return;
    }
    for (auto& entry : references_) {
        // The engine's raw output, not a distribution: the walk is the same on every platform.
        int step = static_cast<int>(random_() % 3) - 1;
        std::int64_t moved = entry.second.units + step * tick_.units;
        if (moved > 0) {
            entry.second.units = moved;
        }
        fill_resting(entry.first);
    }
}

SubscribeOutcome Market::subscribe(const std::string& broker,
                                   const std::vector<std::string>& symbols, bool append) {
    bool known = accounts_.count(broker) != 0;
    Account& account = accounts_[broker];
    if (!append) {
        // The new subscription is built beside the old one, which stays if it is refused.
        std::deque<std::string> quotes;
        SymbolSet quoted;
        for (const std::string& symbol : symbols) {
            if (quoted.insert(symbol)) {
                quotes.push_back(symbol);
                if (quotes.size() > quote_cap_) {
                    if (!known) {
                        accounts_.erase(broker);
                    }
                    return SubscribeOutcome::over_cap;
                }
            }
        }
        account.quotes.swap(quotes);
        account.quoted.swap(quoted);
        return SubscribeOutcome::done;
    }
    std::size_t before = account.quotes.size();
    for (const std::string& symbol : symbols) {
        if (account.quoted.insert(symbol)) {
            account.quotes.push_back(symbol);
            if (account.quotes.size() > quote_cap_) {
                // All or nothing: what this request added goes again.
                for (std::size_t at = before; at < account.quotes.size(); ++at) {
                    account.quoted.erase(account.quotes[at]);
                }
                account.quotes.resize(before);
                if (!known) {
                    accounts_.erase(broker);
                }
                return SubscribeOutcome::over_cap;
            }
        }
    }
    return SubscribeOutcome::done;
}

const std::deque<std::string>& Market::quotes(const std::string& broker) const {
    static const std::deque<std::string> none;
    const Account* account = find_account(broker);
    return account ? account->quotes : none;
}

}  // namespace zolmar
