#include "server.hpp"

#include <ctime>

namespace zolmar {

std::vector<std::string> pack_lines(const std::vector<std::string>& lines, std::size_t limit) {
    std::vector<std::string> datagrams;
    std::string current;
    bool open = false;
    for (const std::string& raw : lines) {
        std::string line = raw.size() > limit ? clip_utf8(raw, limit) : raw;
        if (open && current.size() + 1 + line.size() <= limit) {
            current += '\n';
            current += line;
            continue;
        }
        if (open) {
            datagrams.push_back(std::move(current));
        }
        current = line;
        open = true;
    }
    if (open) {
        datagrams.push_back(std::move(current));
    }
    return datagrams;
}

namespace {

std::string timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char full[64];
    std::snprintf(full, sizeof full, "%s.%06lldZ", text, static_cast<long long>(micros));
    return full;
}

// Printable text as it is; line feeds, backslashes, control characters and stray bytes escaped,
// so that one datagram is one journal line.
std::string escape(const std::string& datagram) {
    bool utf8 = is_valid_utf8(datagram);
    std::string shown;
    for (char c : datagram) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            shown += hex;
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace

void Journal::note(const char* direction, const Peer& peer, const std::string& datagram) {
    std::fprintf(file_, "%s %s %s %s\n", timestamp().c_str(), direction, peer.describe().c_str(),
                 escape(datagram).c_str());
}

void Journal::flush() {
    std::fflush(file_);
}

Server::Server(UdpSocket& socket, Protocol& protocol, Faults faults, Pacing pacing,
               std::uint64_t seed, Journal* journal)
    : socket_(socket),
      protocol_(protocol),
      faults_(faults),
      pacing_(pacing),
      random_(seed),
      journal_(journal) {}

bool Server::chance(double share) {
    if (share <= 0) {
        return false;
    }
    // 53 random bits as a fraction in [0, 1), the same on every platform.
    double draw = static_cast<double>(random_() >> 11) / 9007199254740992.0;
    return draw < share;
}

void Server::transmit(const Peer& to, const std::string& datagram) {
    if (chance(faults_.drop)) {
        if (journal_) {
            journal_->note("dropped", to, datagram);
        }
        return;
    }
    const std::string* sent = &datagram;
    std::string altered;
    if (chance(faults_.corrupt)) {
        altered = "\xff\xfe" + datagram;
        sent = &altered;
    } else if (chance(faults_.oversize)) {
        // Past the 4096 bytes a reader takes: 5000 bytes in all.
        altered = datagram + std::string(datagram.size() < 5000 ? 5000 - datagram.size() : 1, '#');
        sent = &altered;
    }
    socket_.send(to, sent->data(), sent->size());
    if (journal_) {
        journal_->note("out", to, *sent);
    }
}

void Server::answer(const Peer& from, const std::string& request) {
    if (journal_) {
        journal_->note("in", from, request);
    }
    Reply reply = protocol_.handle(request);
    Outgoing out;
    out.to = from;
    if (reply.multi) {
        out.datagrams = pack_lines(reply.lines, kLargestReply);
        if (!chance(faults_.withhold_end)) {
            out.datagrams.push_back("over");
        }
    } else {
        out.datagrams = std::move(reply.lines);
    }
    Clock::time_point now = Clock::now();
    out.due = now + std::chrono::milliseconds(faults_.delay_ms);
    if (faults_.delay_ms == 0 && out.datagrams.size() <= pacing_.burst) {
        for (const std::string& datagram : out.datagrams) {
            transmit(from, datagram);
        }
        return;
    }
    outgoing_.push_back(std::move(out));
}

void Server::send_due(Clock::time_point now) {
    for (auto at = outgoing_.begin(); at != outgoing_.end();) {
        if (at->due > now) {
            ++at;
            continue;
        }
        for (std::size_t sent = 0; sent < pacing_.burst && at->next < at->datagrams.size();
             ++sent) {
            transmit(at->to, at->datagrams[at->next++]);
        }
        if (at->next == at->datagrams.size()) {
            at = outgoing_.erase(at);
        } else {
            at->due = now + std::chrono::microseconds(pacing_.interval_us);
            ++at;
        }
    }
}

int Server::wait_budget_ms(Clock::time_point now) const {
    // Short enough to notice a stop request promptly.
    long long budget = 200;
    for (const Outgoing& out : outgoing_) {
        auto until = std::chrono::duration_cast<std::chrono::microseconds>(out.due - now).count();
        long long ms = until <= 0 ? 0 : (until + 999) / 1000;
        budget = ms < budget ? ms : budget;
    }
    return static_cast<int>(budget);
}

std::uint64_t Server::run(const volatile std::sig_atomic_t& stop) {
    std::uint64_t answered = 0;
    std::string request;
    Peer from;
    while (!stop) {
        UdpSocket::Wait waited = socket_.wait(wait_budget_ms(Clock::now()));
        if (waited == UdpSocket::Wait::failed) {
            std::fprintf(stderr, "zolmar-sim: waiting for requests failed\n");
            break;
        }
        if (waited == UdpSocket::Wait::readable) {
            // Take what is waiting, a bounded batch so paced answers keep their rhythm.
            for (int batch = 0; batch < 256 && socket_.receive(request, from); ++batch) {
                answer(from, request);
                ++answered;
            }
        }
        send_due(Clock::now());
        if (journal_) {
            journal_->flush();
        }
    }
    return answered;
}

}  // namespace zolmar
