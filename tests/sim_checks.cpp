// Checks of zolmar-sim's server below the wire: a fake socket stands in for UDP, so answers can
// be made that the protocol never makes, and every datagram is seen with the time it was sent.
// Built and run by tests/test_sim_hardening.py; prints one line per failed check and exits 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "../sim/protocol.hpp"
#include "../sim/server.hpp"

using namespace zolmar;
using Clock = std::chrono::steady_clock;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

struct Sent {
    Peer to;
    std::string data;
    Clock::time_point at;
};

class FakeSocket final : public UdpSocket {
  public:
    std::deque<std::pair<Peer, std::string>> incoming;
    std::vector<Sent> sent;
    std::vector<std::pair<Peer, Clock::time_point>> received;

    Wait wait(int) override { return incoming.empty() ? Wait::timeout : Wait::readable; }
    bool receive(std::string& data, Peer& from) override {
        if (incoming.empty()) {
            return false;
        }
        from = incoming.front().first;
        data = incoming.front().second;
        incoming.pop_front();
        received.push_back({from, Clock::now()});
        return true;
    }
    bool send(const Peer& to, const char* data, std::size_t size) override {
        sent.push_back(Sent{to, std::string(data, size), Clock::now()});
        return true;
    }
};

// Answers "huge" with one text of 5000 bytes and "wide" with one record line of 5000 bytes;
// everything else as the protocol does.
class OddServer final : public Server {
  public:
    using Server::Server;

  protected:
    Reply respond(const std::string& request, RecordCursor& rest) override {
        if (request == "huge") {
            return Reply{{std::string(5000, 'h')}, false};
        }
        if (request == "wide") {
            return Reply{{std::string(5000, 'w')}, true};
        }
        return Server::respond(request, rest);
    }
};

Peer peer(std::uint16_t port) {
    Peer p;
    p.address = 0x7F000001;
    p.port = port;
    return p;
}

Market make_market(std::int64_t preload, const std::string& broker) {
    Market market({{"FUT", Price{170000000}}}, 1000000, Price{10000}, 1);
    OrderTicket ticket{"FUT", Side::buy, Price{10000}, false, 1, "ROD", "LMT", "0", ""};
    for (std::int64_t i = 0; i < preload; ++i) {
        market.place(broker, ticket);
    }
    return market;
}

// Runs the server's loop until nothing more is owed or `seconds` pass.
void serve(Server& server, FakeSocket& socket, double seconds) {
    auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    std::size_t quiet = 0;
    while (Clock::now() < until && quiet < 50000) {
        std::size_t before = socket.sent.size();
        server.step();
        quiet = socket.sent.size() == before && socket.incoming.empty() ? quiet + 1 : 0;
    }
}

void no_datagram_past_4096() {
    Market market = make_market(0, "A1");
    Protocol protocol(market, 0);
    FakeSocket socket;
    OddServer server(socket, protocol, Faults(), Pacing(), 1, nullptr);
    socket.incoming.push_back({peer(1000), "huge"});
    socket.incoming.push_back({peer(1001), "wide"});
    serve(server, socket, 2);
    check(socket.sent.size() == 3, "three datagrams: a refusal, a clipped record, the end marker");
    for (const Sent& sent : socket.sent) {
        check(sent.data.size() <= kLargestReply,
              "a datagram of " + std::to_string(sent.data.size()) + " bytes was sent");
    }
    check(!socket.sent.empty() && socket.sent[0].data.compare(0, 11, "ERR reply: ") == 0,
          "an answer too long for a datagram becomes a short error text");
    check(!socket.sent.empty() && socket.sent.back().data == "over", "the end marker still comes");

    // The oversize fault alone goes past the limit.
    FakeSocket faulty_socket;
    Faults faults;
    faults.oversize = 1;
    OddServer faulty(faulty_socket, protocol, faults, Pacing(), 1, nullptr);
    faulty_socket.incoming.push_back({peer(1002), "A1 GetEquity"});
    serve(faulty, faulty_socket, 1);
    check(faulty_socket.sent.size() == 1 && faulty_socket.sent[0].data.size() > kLargestReply,
          "--oversize still sends a datagram past 4096 bytes");
}

// What Linux 6 charged a reader's receive buffer for one datagram that came over loopback,
// measured from the queue /proc/net/udp shows after each payload size from 0 to 4096 bytes.
std::size_t measured_charge(std::size_t payload) {
    if (payload <= 197) {
        return 832;
    }
    if (payload <= 645) {
        return 1280;
    }
    if (payload <= 1669) {
        return 2304;
    }
    return payload <= 3717 ? 4352 : 8448;
}

// The measured charge of what was sent to one peer in the busiest window of `window`. The server
// reads its clock for a datagram after the one before it left (or, for the first, after the
// request came) and before this one leaves; a thread held up in between makes two datagrams look
// closer together here than the server saw them. So a window is measured from when the datagram
// before its first one left, which bounds the server's clock for that first one from below.
std::size_t busiest_window(const FakeSocket& socket, const Peer& to, Clock::duration window) {
    Clock::time_point previous{};
    for (const auto& request : socket.received) {
        if (request.first == to) {
            previous = request.second;
        }
    }
    std::vector<Clock::time_point> left, before;
    std::vector<std::size_t> charge;
    for (const Sent& each : socket.sent) {
        if (each.to == to) {
            before.push_back(previous);
            left.push_back(each.at);
            charge.push_back(measured_charge(each.data.size()));
            previous = each.at;
        }
    }
    std::size_t busiest = 0;
    std::size_t sum = 0;
    std::size_t first = 0;
    for (std::size_t last = 0; last < left.size(); ++last) {
        sum += charge[last];
        while (first <= last && left[last] - before[first] >= window) {
            sum -= charge[first++];
        }
        busiest = sum > busiest ? sum : busiest;
    }
    return busiest;
}

std::size_t records_in(const std::vector<Sent>& sent, const Peer& to, bool& over) {
    std::size_t records = 0;
    over = false;
    for (const Sent& each : sent) {
        if (each.to == to) {
            if (each.data == "over") {
                over = true;
            } else {
                records += 1 + static_cast<std::size_t>(
                                   std::count(each.data.begin(), each.data.end(), '\n'));
            }
        }
    }
    return records;
}

void pacing_keeps_to_the_budget() {
    Market market = make_market(20000, "LOAD");
    Protocol protocol(market, 0);
    FakeSocket socket;
    Pacing pacing;  // the defaults
    OddServer server(socket, protocol, Faults(), pacing, 1, nullptr);
    std::vector<Peer> readers = {peer(2000), peer(2001), peer(2002)};
    for (const Peer& reader : readers) {
        socket.incoming.push_back({reader, "LOAD All"});
    }
    serve(server, socket, 10);
    for (const Peer& reader : readers) {
        bool over = false;
        check(records_in(socket.sent, reader, over) == 20000 && over,
              "each of three readers gets its whole answer");
        std::size_t busiest =
            busiest_window(socket, reader, std::chrono::microseconds(pacing.window_us));
        check(busiest <= pacing.window_bytes,
              "at most --window-bytes in any window to one reader, not " + std::to_string(busiest));
    }
    std::size_t bucket = pacing.burst * measured_charge(kLargestReply);
    check(pacing.window_bytes > bucket && pacing.window_bytes < 212992 * 3 / 4,
          "the default budget leaves a margin of a default receive buffer");
}

void one_request_per_peer_in_turn() {
    Market market = make_market(0, "A1");
    Protocol protocol(market, 0);
    FakeSocket socket;
    OddServer server(socket, protocol, Faults(), Pacing(), 1, nullptr);
    for (int i = 0; i < 100; ++i) {
        socket.incoming.push_back({peer(3000), "F1 GetEquity"});
    }
    socket.incoming.push_back({peer(3001), "P1 GetEquity"});
    server.step();
    // The hundred-and-first request is answered in the first turn, right after the first.
    check(socket.sent.size() == 2 && socket.sent[1].to == peer(3001),
          "a second peer waits for one request of the first, not for all hundred");
    serve(server, socket, 2);
    check(socket.sent.size() == 101, "every request answered in the end");
}

void long_answers_are_made_as_they_go() {
    Market market = make_market(100000, "LOAD");
    Protocol protocol(market, 0);
    FakeSocket socket;
    Pacing bursts;  // two datagrams a turn, so that the answer outlasts the turn that takes it on
    bursts.window_bytes = 0;
    bursts.interval_us = 1;
    OddServer server(socket, protocol, Faults(), bursts, 1, nullptr);
    socket.incoming.push_back({peer(4000), "LOAD All"});
    server.step();
    // Records are made as their datagrams are: the last order's shows it cancelled, and an order
    // placed after the request is not among them.
    protocol.handle("LOAD Delete 100000");
    protocol.handle("LOAD FUT B 1 1 ROD LMT 0");
    serve(server, socket, 10);
    std::vector<std::string> expected;
    for (int id = 1; id <= 100000; ++id) {
        expected.push_back(std::to_string(id) + (id < 100000 ? ",Order," : ",Cancelled,") +
                           "FUT,B,1,1,0,ROD,LMT");
    }
    std::vector<std::string> records;
    bool packed = true;
    for (std::size_t i = 0; i + 1 < socket.sent.size(); ++i) {
        const std::string& datagram = socket.sent[i].data;
        std::size_t from = 0;
        for (std::size_t end; (end = datagram.find('\n', from)) != std::string::npos;
             from = end + 1) {
            records.push_back(datagram.substr(from, end - from));
        }
        records.push_back(datagram.substr(from));
        // As few datagrams as possible: the next record would not have fit in this one.
        bool last = i + 2 == socket.sent.size();
        const std::string& following = socket.sent[i + 1].data;
        std::size_t next = std::min(following.find('\n'), following.size());
        packed = packed && datagram.size() <= kLargestReply &&
                 (last || datagram.size() + 1 + next > kLargestReply);
    }
    check(records == expected, "every record once, in order, as it stands when it is sent");
    check(packed, "records packed into as few datagrams of at most 4096 bytes as possible");
    check(!socket.sent.empty() && socket.sent.back().data == "over", "the end marker comes last");
}

}  // namespace

int main() {
    no_datagram_past_4096();
    pacing_keeps_to_the_budget();
    one_request_per_peer_in_turn();
    long_answers_are_made_as_they_go();
    if (failures == 0) {
        std::printf("all checks passed\n");
    }
    return failures == 0 ? 0 : 1;
}
