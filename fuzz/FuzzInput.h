#pragma once

// Shared by the fuzz targets: a reader that turns the fuzzer's bytes into
// choices (zeros once they run out) and a check that aborts with a message,
// which libFuzzer and the corpus test both report as a failure.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool Empty() const { return at >= size; }
    std::size_t Left() const { return at < size ? size - at : 0; }

    std::uint8_t U8() { return at < size ? data[at++] : 0; }
    std::uint16_t U16()
    {
        const std::uint16_t low = U8();
        return static_cast<std::uint16_t>(low | U8() << 8);
    }
    // A value in 0..limit (inclusive).
    std::uint32_t Upto(std::uint32_t limit)
    {
        const std::uint32_t raw = U16();
        return limit >= 0xFFFF ? raw : raw % (limit + 1);
    }
    // Up to n bytes straight from the input.
    const std::uint8_t* Bytes(std::size_t& n)
    {
        if (n > Left()) {
            n = Left();
        }
        const std::uint8_t* p = data + at;
        at += n;
        return p;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};
