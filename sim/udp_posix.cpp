#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "udp.hpp"

namespace zolmar {

namespace {

constexpr std::size_t kLargestDatagram = 65536;
constexpr int kReceiveBuffer = 4 << 20;  // so that bursts of requests are not dropped

class PosixUdpSocket final : public UdpSocket {
  public:
    explicit PosixUdpSocket(int descriptor)
        : descriptor_(descriptor), buffer_(kLargestDatagram, '\0') {}
    ~PosixUdpSocket() override { ::close(descriptor_); }

    Wait wait(int timeout_ms) override {
        pollfd watched{descriptor_, POLLIN, 0};
        int ready = ::poll(&watched, 1, timeout_ms);
        if (ready > 0) {
            return Wait::readable;
        }
        if (ready == 0) {
            return Wait::timeout;
        }
        return errno == EINTR ? Wait::interrupted : Wait::failed;
    }

    bool receive(std::string& data, Peer& from) override {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        for (;;) {
            ssize_t size = ::recvfrom(descriptor_, &buffer_[0], buffer_.size(), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&sender), &length);
            if (size >= 0) {
                data.assign(buffer_.data(), static_cast<std::size_t>(size));
                from.address = ntohl(sender.sin_addr.s_addr);
                from.port = ntohs(sender.sin_port);
                return true;
            }
            // A refusal reported for an earlier reply (ICMP) says nothing about the next request.
            if (errno == EINTR || errno == ECONNREFUSED) {
                continue;
            }
            return false;
        }
    }

    bool send(const Peer& to, const char* data, std::size_t size) override {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(to.address);
        target.sin_port = htons(to.port);
        for (;;) {
            ssize_t sent = ::sendto(descriptor_, data, size, 0,
                                    reinterpret_cast<sockaddr*>(&target), sizeof target);
            if (sent >= 0) {
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == ENOBUFS) {
                // The send queue is full: wait for room rather than lose the datagram.
                pollfd watched{descriptor_, POLLOUT, 0};
                ::poll(&watched, 1, 10);
                continue;
            }
            return false;
        }
    }

  private:
    int descriptor_;
    std::string buffer_;
};

}  // namespace

std::unique_ptr<UdpSocket> UdpSocket::open(const std::string& host, std::uint16_t port,
                                           std::string& error, bool& taken) {
    taken = false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        return nullptr;
    }
    int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (descriptor < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    int size = kReceiveBuffer;
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        taken = errno == EADDRINUSE;
        error = std::strerror(errno);
        ::close(descriptor);
        return nullptr;
    }
    return std::unique_ptr<UdpSocket>(new PosixUdpSocket(descriptor));
}

}  // namespace zolmar
