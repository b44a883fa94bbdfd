// A platform whose adapter table and raw-access answer a test sets.
#pragma once

#include <optional>
#include <vector>

#include "host/Platform.h"

namespace velqorin::test {

class FakePlatform final : public Platform {
public:
    std::optional<std::vector<Adapter>> table = std::vector<Adapter>{};
    int rawError = 0;

    std::optional<std::vector<Adapter>> adapters() const override { return table; }
    int rawSocketError() const override { return rawError; }
};

inline Adapter adapter(std::string name, std::array<std::uint8_t, 6> mac,
                       std::vector<Ipv4Pair> ipv4 = {}, std::optional<bool> dhcp = false,
                       std::string server = {}) {
    return {std::move(name), mac, std::move(ipv4), dhcp, std::move(server)};
}

}  // namespace velqorin::test
