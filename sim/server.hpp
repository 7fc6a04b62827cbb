// The simulator's loop: reads requests, answers each to its sender, packs and paces
// multi-reply answers, journals traffic and injects the faults it was asked for.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "udp.hpp"

namespace zolmar {

constexpr std::size_t kLargestReply = 4096;

// Packs record lines into as few datagrams of at most `limit` bytes as possible, lines joined
// by line feeds, never splitting a line. (Lines longer than `limit` cannot occur: every field
// is bounded; one would be clipped at a character boundary.)
std::vector<std::string> pack_lines(const std::vector<std::string>& lines, std::size_t limit);

struct Faults {
    int delay_ms = 0;         // every reply waits this long
    double drop = 0;          // share of reply datagrams never sent
    double withhold_end = 0;  // share of multi-reply answers without their end marker
    double corrupt = 0;       // share of reply datagrams sent as invalid UTF-8
    double oversize = 0;      // share of reply datagrams sent larger than 4096 bytes
};

struct Pacing {
    std::size_t burst = 8;   // datagrams sent back to back...
    int interval_us = 2000;  // ...then this pause, so a reader's receive buffer never overflows
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
           Journal* journal);

    // Serves until `stop` becomes non-zero; returns the number of requests answered.
    std::uint64_t run(const volatile std::sig_atomic_t& stop);

  private:
    using Clock = std::chrono::steady_clock;
    struct Outgoing {
        Peer to;
        std::vector<std::string> datagrams;
        std::size_t next = 0;
        Clock::time_point due;
    };

    void answer(const Peer& from, const std::string& request);
    bool chance(double share);
    void transmit(const Peer& to, const std::string& datagram);
    void send_due(Clock::time_point now);
    int wait_budget_ms(Clock::time_point now) const;

    UdpSocket& socket_;
    Protocol& protocol_;
    Faults faults_;
    Pacing pacing_;
    std::mt19937_64 random_;
    Journal* journal_;
    std::deque<Outgoing> outgoing_;
};

}  // namespace zolmar
