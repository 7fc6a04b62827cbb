#include "market.hpp"

#include <algorithm>
#include <cstdlib>

namespace zolmar {

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
                            {}});
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
    auto found = accounts_.find(broker);
    const Account* account = found == accounts_.end() ? nullptr : &found->second;
    std::size_t kept = append && account ? account->quotes.size() : 0;
    // The request's new symbols, each once, in the order given; checked against the cap before
    // anything changes.
    std::unordered_set<std::string> fresh;
    std::vector<const std::string*> added;
    for (const std::string& symbol : symbols) {
        if (kept != 0 && account->quoted.count(symbol) != 0) {
            continue;
        }
        if (fresh.insert(symbol).second) {
            added.push_back(&symbol);
            if (kept + added.size() > quote_cap_) {
                return SubscribeOutcome::over_cap;
            }
        }
    }
    Account& changed = accounts_[broker];
    if (!append) {
        changed.quotes.clear();
        changed.quoted.clear();
    }
    changed.quotes.reserve(changed.quotes.size() + added.size());
    for (const std::string* symbol : added) {
        changed.quotes.push_back(*symbol);
        changed.quoted.insert(*symbol);
    }
    return SubscribeOutcome::done;
}

const std::vector<std::string>& Market::quotes(const std::string& broker) const {
    static const std::vector<std::string> none;
    const Account* account = find_account(broker);
    return account ? account->quotes : none;
}

}  // namespace zolmar
