#pragma once
// Splits one fuzz input into typed parts, so a target can take several arguments from one byte
// string and the search can vary them independently. Integers are taken from the end of the input
// and strings from the front, so a mutation of one part rarely shifts the others.
//
// A random-length string ends at a backslash followed by anything but a backslash; "\\" stands for
// one backslash. Everything here is defined for every input, empty included.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

class InputSplitter {
public:
    InputSplitter(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::string takeString(std::size_t maxLength) {
        std::string out;
        while (size_ > 0 && out.size() < maxLength) {
            char c = static_cast<char>(*data_);
            advance(1);
            if (c == '\\' && size_ > 0) {
                const char next = static_cast<char>(*data_);
                advance(1);
                if (next != '\\')
                    break;
            }
            out += c;
        }
        return out;
    }

    std::string takeRest() {
        std::string out(reinterpret_cast<const char*>(data_), size_);
        advance(size_);
        return out;
    }

    /// A value in [low, high]; `low` once the input is spent.
    template <typename T> T takeInRange(T low, T high) {
        static_assert(std::is_integral_v<T>);
        const auto range = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        std::uint64_t value = 0;
        for (unsigned bits = 0; bits < 64 && (range >> bits) != 0 && size_ > 0; bits += 8) {
            value = (value << 8) | data_[size_ - 1];
            --size_;
        }
        if (range != UINT64_MAX)
            value %= range + 1;
        return static_cast<T>(static_cast<std::uint64_t>(low) + value);
    }

private:
    void advance(std::size_t n) {
        data_ += n;
        size_ -= n;
    }

    const std::uint8_t* data_;
    std::size_t size_;
};
