// Host facts a test sets: the point-to-point links, the host parameters, adapter details.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/HostNetwork.h"

namespace velqorin::test {

class FakeHostNetwork final : public HostNetwork {
public:
    std::optional<std::vector<PointToPointLink>> links = std::vector<PointToPointLink>{};
    HostParams params;
    std::map<std::string, AdapterDetails> details;
    mutable int linkListings = 0;

    std::optional<std::vector<PointToPointLink>> pointToPointLinks() const override {
        ++linkListings;
        return links;
    }
    HostParams hostParams() const override { return params; }
    AdapterDetails adapterDetails(const std::string& name) const override {
        const auto found = details.find(name);
        return found != details.end() ? found->second : AdapterDetails{};
    }
};

inline PointToPointLink pppLink(std::string name, std::array<std::uint8_t, 4> local,
                                std::array<std::uint8_t, 4> remote) {
    return {std::move(name), "ppp", "ppp_generic", local, remote};
}

}  // namespace velqorin::test
