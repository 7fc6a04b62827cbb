// The simulator's loop: reads requests, answers each to its sender, packs and paces
// multi-reply answers, journals traffic and injects the faults it was asked for.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "udp.hpp"

namespace zolmar {

// Packs record lines into as few datagrams of at most `limit` bytes as possible, lines joined
// by line feeds, never splitting a line. (Lines longer than `limit` cannot occur: every field
// is bounded; one would be clipped at a character boundary.)
std::vector<std::string> pack_lines(const std::vector<std::string>& lines, std::size_t limit);

// pack_lines a few lines at a time: the same datagrams, for answers produced piece by piece.
class LinePacker {
  public:
    explicit LinePacker(std::size_t limit) : limit_(limit) {}
    // Adds one line; a datagram that it closes goes to `done`.
    void add(const std::string& raw, std::deque<std::string>& done);
    // Closes the last datagram, if any.
    void finish(std::deque<std::string>& done);

  private:
    std::size_t limit_;
    std::string current_;
    bool open_ = false;
};

// What Linux charges a receiving socket's buffer (SO_RCVBUF) for one datagram of `payload`
// bytes that came over loopback, its "truesize": the power-of-two allocation that holds the
// payload and its headers, and the buffer's bookkeeping. Measured on Linux 6: 832 bytes up to
// 197 bytes of payload, 4352 up to 3717, 8448 for 3718 to 4096. Rounded up here, never down.
std::size_t charged_size(std::size_t payload);

struct Faults {
    int delay_ms = 0;         // every reply waits this long
    double drop = 0;          // share of reply datagrams never sent
    double withhold_end = 0;  // share of multi-reply answers without their end marker
    double corrupt = 0;       // share of reply datagrams sent as invalid UTF-8
    double oversize = 0;      // share of reply datagrams sent larger than 4096 bytes
};

// How fast the datagrams of answers go to one peer (one address and port: one reader's socket).
// A token bucket charged with charged_size(): in any `window_us`, at most `window_bytes` go to
// one peer, so a reader whose receive buffer holds `window_bytes` can stall that long and lose
// nothing; and at most `burst` datagrams go back to back. `window_bytes` 0 turns the budget off,
// leaving only the fixed rhythm of bursts and pauses.
struct Pacing {
    std::size_t burst = 2;              // datagrams sent back to back at most
    int interval_us = 0;                // and at least this pause after each burst
    int window_us = 20000;              // a reader may stall this long...
    std::size_t window_bytes = 106496;  // ...with this much of its buffer free (0: no budget)
};

// How much the server takes on before it refuses more.
struct Limits {
    std::size_t answers_per_peer = 64;     // answers queued for one peer
    std::size_t answers = 16384;           // answers queued for all peers
    std::size_t requests_per_peer = 1024;  // requests read but not yet answered, per peer
    std::size_t request_bytes = 32 << 20;  // the same, in bytes, for all peers
};

class Journal {
  public:
    explicit Journal(std::FILE* file) : file_(file) {}
    void note(const char* direction, const Peer& peer, const std::string& datagram);
    void flush();

  private:
    std::FILE* file_;
};

class Server {
  public:
    Server(UdpSocket& socket, Protocol& protocol, Faults faults, Pacing pacing, std::uint64_t seed,
           Journal* journal, Limits limits = Limits());
    virtual ~Server() = default;

    // Serves until `stop` becomes non-zero; returns the number of requests answered.
    std::uint64_t run(const std::atomic<bool>& stop);

    // One turn of the loop without waiting: reads what is waiting, answers one request of each
    // peer that has one, sends what is due. Returns the number of requests answered.
    std::uint64_t step();

  protected:
    // The answer to one request: the protocol's (tests put other answers here).
    virtual Reply respond(const std::string& request, RecordCursor& rest) {
        return protocol_.begin(request, rest);
    }

  private:
    using Clock = std::chrono::steady_clock;
    struct Outgoing {
        std::deque<std::string> ready;  // datagrams to send, in order
        RecordCursor rest;              // records still to produce, after `ready`
        LinePacker packer{kLargestReply};
        bool paced = false;       // a multi-reply answer; a single reply goes out at once
        bool open = false;        // more lines may still come to the packer
        bool end_marker = false;  // "over" still to come after everything else
        std::size_t in_burst = 0;
        Clock::time_point due;
    };
    struct PeerState {
        std::deque<Outgoing> answers;  // one after the other: a reader sees whole answers
        std::deque<std::string> requests;
        bool started = false;
        double tokens = 0;  // bytes of charged size that may go now
        Clock::time_point refilled;
        Clock::time_point due;  // when its next datagram may go
    };

    void take(const Peer& from, std::string& request);
    void answer(const Peer& from, const std::string& request);
    bool chance(double share);
    void transmit(const Peer& to, const std::string& datagram);
    bool next_datagram(Outgoing& out);
    void refill(PeerState& peer, Clock::time_point now);
    void pump(const Peer& to, PeerState& peer, Clock::time_point now);
    void send_due(Clock::time_point now);
    std::uint64_t serve_round();
    int wait_budget_ms(Clock::time_point now) const;
    bool metered() const { return pacing_.window_bytes != 0; }
    double capacity() const;
    double rate_per_us() const;

    UdpSocket& socket_;
    Protocol& protocol_;
    Faults faults_;
    Pacing pacing_;
    Limits limits_;
    std::mt19937_64 random_;
    Journal* journal_;
    std::map<Peer, PeerState> peers_;
    std::deque<Peer> turns_;  // peers with requests waiting, in the order they are served
    std::size_t queued_answers_ = 0;
    std::size_t request_bytes_ = 0;
};

}  // namespace zolmar
