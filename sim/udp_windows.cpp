#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

#include "udp.hpp"

namespace zolmar {

namespace {

constexpr int kLargestDatagram = 65536;
constexpr int kReceiveBuffer = 4 << 20;

std::string describe_error(int code) {
    char* text = nullptr;
    FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = text ? text : "socket error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

class WinsockUdpSocket final : public UdpSocket {
  public:
    explicit WinsockUdpSocket(SOCKET handle) : handle_(handle), buffer_(kLargestDatagram, '\0') {}
    ~WinsockUdpSocket() override {
        closesocket(handle_);
        WSACleanup();
    }

    Wait wait(int timeout_ms) override {
        WSAPOLLFD watched{handle_, POLLRDNORM, 0};
        int ready = WSAPoll(&watched, 1, timeout_ms);
        if (ready > 0) {
            return Wait::readable;
        }
        return ready == 0 ? Wait::timeout : Wait::failed;
    }

    bool receive(std::string& data, Peer& from) override {
        for (;;) {
            sockaddr_in sender{};
            int length = sizeof sender;
            int size = recvfrom(handle_, &buffer_[0], kLargestDatagram, 0,
                                reinterpret_cast<sockaddr*>(&sender), &length);
            if (size != SOCKET_ERROR) {
                data.assign(buffer_.data(), static_cast<std::size_t>(size));
                from.address = ntohl(sender.sin_addr.s_addr);
                from.port = ntohs(sender.sin_port);
                return true;
            }
            int code = WSAGetLastError();
            // Windows reports an earlier reply's refusal, or an oversize datagram, on this call.
            if (code == WSAECONNRESET || code == WSAEMSGSIZE) {
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
            int sent = sendto(handle_, data, static_cast<int>(size), 0,
                              reinterpret_cast<sockaddr*>(&target), sizeof target);
            if (sent != SOCKET_ERROR) {
                return true;
            }
            if (WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAENOBUFS) {
                WSAPOLLFD watched{handle_, POLLWRNORM, 0};
                WSAPoll(&watched, 1, 10);
                continue;
            }
            return false;
        }
    }

  private:
    SOCKET handle_;
    std::string buffer_;
};

}  // namespace

std::unique_ptr<UdpSocket> UdpSocket::open(const std::string& host, std::uint16_t port,
                                           std::string& error, bool& taken) {
    taken = false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        error = "Winsock did not start";
        return nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (InetPtonA(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + host;
        WSACleanup();
        return nullptr;
    }
    SOCKET handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle == INVALID_SOCKET) {
        error = describe_error(WSAGetLastError());
        WSACleanup();
        return nullptr;
    }
    // Without this Windows lets a second process bind the same port and share its datagrams.
    BOOL exclusive = TRUE;
    setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    u_long non_blocking = 1;
    ioctlsocket(handle, FIONBIO, &non_blocking);
    int size = kReceiveBuffer;
    setsockopt(handle, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    if (bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        int code = WSAGetLastError();
        taken = code == WSAEADDRINUSE || code == WSAEACCES;
        error = describe_error(code);
        closesocket(handle);
        WSACleanup();
        return nullptr;
    }
    return std::unique_ptr<UdpSocket>(new WinsockUdpSocket(handle));
}

}  // namespace zolmar
