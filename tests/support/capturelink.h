// A link that keeps every frame written to it, for tests that play the switch
// themselves.
#pragma once

#include <cstdint>
#include <vector>

#include "core/link.h"

namespace talvane {

struct CaptureLink : Link {
    explicit CaptureLink(std::vector<std::vector<std::uint8_t>>& into)
        : sent(into)
    {
    }
    bool isOpen() const override { return open; }
    bool writeFrame(const std::uint8_t* bytes, std::size_t length) override
    {
        sent.emplace_back(bytes, bytes + length);
        return true;
    }
    void closeLink() override { open = false; }

    std::vector<std::vector<std::uint8_t>>& sent;
    bool open = true;
};

}  // namespace talvane
