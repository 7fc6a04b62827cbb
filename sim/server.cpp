#include "server.hpp"

#include <algorithm>
#include <ctime>
#include <iterator>

namespace zolmar {

void LinePacker::add(const std::string& raw, std::deque<std::string>& done) {
    const std::string& line = raw.size() > limit_ ? clip_utf8(raw, limit_) : raw;
    if (open_ && current_.size() + 1 + line.size() <= limit_) {
        current_ += '\n';
        current_ += line;
        return;
    }
    if (open_) {
        done.push_back(std::move(current_));
    }
    current_ = line;
    open_ = true;
}

void LinePacker::finish(std::deque<std::string>& done) {
    if (open_) {
        done.push_back(std::move(current_));
        current_.clear();
        open_ = false;
    }
}

std::vector<std::string> pack_lines(const std::vector<std::string>& lines, std::size_t limit) {
    LinePacker packer(limit);
    std::deque<std::string> done;
    for (const std::string& line : lines) {
        packer.add(line, done);
    }
    packer.finish(done);
    return std::vector<std::string>(std::make_move_iterator(done.begin()),
                                    std::make_move_iterator(done.end()));
}

std::size_t charged_size(std::size_t payload) {
    // Payload and headers (379 bytes measured; 384 kept), in an allocation of a power of two of
    // at least 1024 bytes (576 measured for the smallest), plus 256 bytes of bookkeeping.
    std::size_t needed = payload + 384;
    std::size_t allocation = 1024;
    while (allocation < needed) {
        allocation *= 2;
    }
    return allocation + 256;
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
               std::uint64_t seed, Journal* journal, Limits limits)
    : socket_(socket),
      protocol_(protocol),
      faults_(faults),
      pacing_(pacing),
      limits_(limits),
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
    if (datagram.size() > kLargestReply) {
        // Never meant to happen: every answer is made to fit. Should one not, the caller still
        // gets a reply it can read instead of a cut or failed read, or silence.
        altered = "ERR reply: " + std::to_string(datagram.size()) +
                  " bytes would not fit the 4096 of a reply datagram";
        sent = &altered;
    }
    if (chance(faults_.corrupt)) {
        altered = "\xff\xfe" + *sent;
        sent = &altered;
    } else if (chance(faults_.oversize)) {
        // Past the 4096 bytes a reader takes: 5000 bytes in all. The one way past the limit.
        altered = *sent + std::string(sent->size() < 5000 ? 5000 - sent->size() : 1, '#');
        sent = &altered;
    }
    socket_.send(to, sent->data(), sent->size());
    if (journal_) {
        journal_->note("out", to, *sent);
    }
}

void Server::take(const Peer& from, std::string& request) {
    PeerState& peer = peers_[from];
    if (peer.requests.size() >= limits_.requests_per_peer ||
        request_bytes_ + request.size() > limits_.request_bytes) {
        // A flood is cut here as a full receive buffer would cut it; everyone else goes on.
        if (journal_) {
            journal_->note("ignored", from, request);
        }
        return;
    }
    if (peer.requests.empty()) {
        turns_.push_back(from);
    }
    request_bytes_ += request.size();
    peer.requests.push_back(std::move(request));
    request = std::string();
}

void Server::answer(const Peer& from, const std::string& request) {
    if (journal_) {
        journal_->note("in", from, request);
    }
    PeerState& peer = peers_[from];
    if (peer.answers.size() >= limits_.answers_per_peer || queued_answers_ >= limits_.answers) {
        // Not even a refusal: it would land inside the answers that this reader is still reading.
        if (journal_) {
            journal_->note("ignored", from, request);
        }
        return;
    }
    Outgoing out;
    Reply reply = respond(request, out.rest);
    out.paced = reply.multi;
    out.open = reply.multi;
    if (reply.multi) {
        for (const std::string& line : reply.lines) {
            out.packer.add(line, out.ready);
        }
        out.end_marker = !chance(faults_.withhold_end);
    } else {
        for (std::string& line : reply.lines) {
            out.ready.push_back(std::move(line));
        }
    }
    Clock::time_point now = Clock::now();
    out.due = now + std::chrono::milliseconds(faults_.delay_ms);
    if (!peer.started) {
        // A reader new to the server is taken to have an empty buffer: a full bucket.
        peer.started = true;
        peer.tokens = capacity();
        peer.refilled = now;
    }
    peer.answers.push_back(std::move(out));
    ++queued_answers_;
    pump(from, peer, now);
}

bool Server::next_datagram(Outgoing& out) {
    // Records are produced only as they are about to be sent, a slice at a time: a long answer
    // holds nobody up, and its size costs no memory.
    while (out.ready.empty() && !out.rest.done()) {
        std::vector<std::string> lines;
        protocol_.more(out.rest, 64, lines);
        for (const std::string& line : lines) {
            out.packer.add(line, out.ready);
        }
    }
    if (out.ready.empty() && out.open) {
        out.packer.finish(out.ready);
        out.open = false;
        if (out.end_marker) {
            out.ready.push_back("over");
        }
    }
    return !out.ready.empty();
}

double Server::capacity() const {
    return static_cast<double>(pacing_.burst * charged_size(kLargestReply));
}

double Server::rate_per_us() const {
    return (static_cast<double>(pacing_.window_bytes) - capacity()) / pacing_.window_us;
}

void Server::refill(PeerState& peer, Clock::time_point now) {
    if (now <= peer.refilled) {
        return;
    }
    double elapsed = std::chrono::duration<double, std::micro>(now - peer.refilled).count();
    peer.tokens = std::min(capacity(), peer.tokens + elapsed * rate_per_us());
    peer.refilled = now;
}

void Server::pump(const Peer& to, PeerState& peer, Clock::time_point now) {
    while (!peer.answers.empty()) {
        Outgoing& out = peer.answers.front();
        if (out.due > now) {
            peer.due = out.due;
            return;
        }
        if (!next_datagram(out)) {
            peer.answers.pop_front();
            --queued_answers_;
            continue;
        }
        const std::string& datagram = out.ready.front();
        double cost = static_cast<double>(charged_size(datagram.size()));
        if (!out.paced) {
            // One reply to one request is not held back (the caller chose how many requests to
            // have open), but it uses up the budget that a paced answer would have.
            if (metered()) {
                refill(peer, Clock::now());
            }
            peer.tokens = std::max(0.0, peer.tokens - cost);
        } else {
            if (pacing_.interval_us > 0 && out.in_burst >= pacing_.burst) {
                out.in_burst = 0;
                peer.due = now + std::chrono::microseconds(pacing_.interval_us);
                return;
            }
            if (metered()) {
                // The clock as the datagram goes, not as the turn began: what the reader's buffer
                // sees is when datagrams leave.
                now = Clock::now();
                refill(peer, now);
                // A datagram larger than the bucket (only the oversize fault makes one) waits
                // for a full bucket and leaves it in debt.
                double needed = std::min(cost, capacity());
                if (peer.tokens < needed) {
                    out.in_burst = 0;
                    auto wait = static_cast<long long>((needed - peer.tokens) / rate_per_us()) + 1;
                    peer.due = now + std::chrono::microseconds(wait);
                    return;
                }
                peer.tokens -= cost;
            }
            ++out.in_burst;
        }
        transmit(to, datagram);
        out.ready.pop_front();
    }
}

void Server::send_due(Clock::time_point now) {
    for (auto at = peers_.begin(); at != peers_.end();) {
        PeerState& peer = at->second;
        if (!peer.answers.empty() && peer.due <= now) {
            pump(at->first, peer, now);
        }
        bool idle = peer.answers.empty() && peer.requests.empty();
        if (idle && metered()) {
            refill(peer, now);
            idle = peer.tokens >= capacity();
        }
        if (idle) {
            // Nothing owed, and whatever it was sent has had time to be read.
            at = peers_.erase(at);
        } else {
            ++at;
        }
    }
}

std::uint64_t Server::serve_round() {
    // One request of each peer in turn: a peer with many waiting holds the others up by one
    // request at most, not by all of its own.
    std::uint64_t answered = 0;
    for (std::size_t turn = turns_.size(); turn > 0; --turn) {
        Peer from = turns_.front();
        turns_.pop_front();
        PeerState& peer = peers_[from];
        std::string request = std::move(peer.requests.front());
        peer.requests.pop_front();
        request_bytes_ -= request.size();
        if (!peer.requests.empty()) {
            turns_.push_back(from);
        }
        answer(from, request);
        ++answered;
    }
    return answered;
}

int Server::wait_budget_ms(Clock::time_point now) const {
    if (!turns_.empty()) {
        return 0;
    }
    // Short enough to notice a stop request promptly. A signal ends the wait on POSIX at once;
    // Windows' console handler runs on a thread of its own and cannot, and a test pays this
    // wait on every stop of the simulator, so there it is short.
#ifdef _WIN32
    long long budget = 20;
#else
    long long budget = 200;
#endif
    for (const auto& entry : peers_) {
        if (entry.second.answers.empty()) {
            continue;
        }
        auto until =
            std::chrono::duration_cast<std::chrono::microseconds>(entry.second.due - now).count();
        long long ms = until <= 0 ? 0 : (until + 999) / 1000;
        budget = ms < budget ? ms : budget;
    }
    return static_cast<int>(budget);
}

std::uint64_t Server::step() {
    std::string request;
    Peer from;
    // Everything waiting is read at once (reading costs little), bounded so the loop turns.
    for (int batch = 0; batch < 4096 && socket_.receive(request, from); ++batch) {
        take(from, request);
    }
    std::uint64_t answered = serve_round();
    send_due(Clock::now());
    if (journal_) {
        journal_->flush();
    }
    return answered;
}

std::uint64_t Server::run(const std::atomic<bool>& stop) {
    std::uint64_t answered = 0;
    while (!stop) {
        UdpSocket::Wait waited = socket_.wait(wait_budget_ms(Clock::now()));
        if (waited == UdpSocket::Wait::failed) {
            std::fprintf(stderr, "zolmar-sim: waiting for requests failed\n");
            break;
        }
        answered += step();
    }
    return answered;
}

}  // namespace zolmar
