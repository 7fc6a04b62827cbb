#include "udp.hpp"

#include <cstdio>

namespace zolmar {

std::string Peer::describe() const {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", (address >> 24) & 255u,
                  (address >> 16) & 255u, (address >> 8) & 255u, address & 255u,
                  static_cast<unsigned>(port));
    return text;
}

}  // namespace zolmar
