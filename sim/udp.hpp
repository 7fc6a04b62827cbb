// The few socket calls the simulator needs, behind one small interface: POSIX sockets in
// udp_posix.cpp, Winsock in udp_windows.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zolmar {

// An IPv4 address and port, in host byte order.
struct Peer {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    std::string describe() const;

    friend bool operator<(const Peer& a, const Peer& b) {
        return a.address != b.address ? a.address < b.address : a.port < b.port;
    }
    friend bool operator==(const Peer& a, const Peer& b) {
        return a.address == b.address && a.port == b.port;
    }
};

class UdpSocket {
  public:
    virtual ~UdpSocket() = default;

    // Binds a UDP socket to host:port (host an IPv4 dotted quad); null with `error` set on failure.
    // `taken` tells a port that another process already holds.
    static std::unique_ptr<UdpSocket> open(const std::string& host, std::uint16_t port,
                                           std::string& error, bool& taken);

    enum class Wait { readable, timeout, interrupted, failed };
    // Waits up to `timeout_ms` for a datagram to read.
    virtual Wait wait(int timeout_ms) = 0;
    // Reads one datagram without blocking: false when none is waiting.
    virtual bool receive(std::string& data, Peer& from) = 0;
    // Sends one datagram; false when the system refused it (the datagram is then lost, as UDP's
    // are).
    virtual bool send(const Peer& to, const char* data, std::size_t size) = 0;
};

}  // namespace zolmar
