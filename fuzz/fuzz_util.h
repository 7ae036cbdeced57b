// Helpers shared by the fuzz targets: input reader, checks, error-stack draining.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kx_orvel.h"

// A failed invariant: print it and abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

// Consumes the fuzzer's bytes front to back; reads past the end give zeros.
class FuzzReader {
public:
    FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_ - pos_; }
    bool empty() const { return pos_ >= size_; }

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // A value in [0, bound) (bound > 0).
    uint32_t below(uint32_t bound) { return bound <= 256 ? u8() % bound : u32() % bound; }

    // Up to n bytes (fewer at the end of the input).
    std::vector<uint8_t> bytes(size_t n) {
        if (n > remaining()) n = remaining();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Fetches and frees the calling thread's error stack; empty when nothing is recorded.
inline std::vector<std::string> fuzz_drain_error_stack() {
    char** stack = nullptr;
    int32_t depth = 0;
    std::vector<std::string> messages;
    const kx_status_t status = kx_get_error_stack(&stack, &depth);
    if (stack) {
        for (int32_t i = 0; i < depth; ++i) messages.emplace_back(stack[i]);
        kx_free_error_stack(stack);
    }
    (void)status;
    return messages;
}

// The 8-hex-digit code of a framed message ("a01eaf2 XXXXXXXX: text"), or ~0u.
inline uint32_t fuzz_message_code(const std::string& framed) {
    if (framed.size() < 17 || framed.compare(0, 8, "a01eaf2 ") != 0) return ~0u;
    return static_cast<uint32_t>(std::strtoul(framed.substr(8, 8).c_str(), nullptr, 16));
}

inline bool fuzz_valid_status(kx_status_t status) {
    return static_cast<int32_t>(status) >= 0 && static_cast<int32_t>(status) <= 7;
}
