// Reads a fuzz input as a little program: bytes, numbers and slices taken
// from the front; past the end everything reads as zero.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size)
        : data_(data)
        , size_(size)
    {
    }

    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to `n` bytes (fewer at the end); `taken` is how many.
    const std::uint8_t* slice(std::size_t n, std::size_t& taken)
    {
        taken = std::min(n, size_ - std::min(at_, size_));
        const std::uint8_t* p = data_ + at_;
        at_ += taken;
        return p;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A finding: the input broke a rule the code promises.
[[noreturn]] inline void fail() { std::abort(); }
inline void check(bool ok)
{
    if (!ok)
        fail();
}

}  // namespace fuzz
