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

// A call that must succeed; on failure prints the status and the thread's messages.
#define FUZZ_CHECK_OK(call)                                                                       \
    do {                                                                                          \
        const kx_status_t fuzz_status_ = (call);                                                  \
        if (fuzz_status_ != KX_STATUS_SUCCESS) {                                                  \
            std::fprintf(stderr, "%s:%d: %s returned %d\n", __FILE__, __LINE__, #call, fuzz_status_); \
            for (const std::string& m : fuzz_drain_error_stack()) std::fprintf(stderr, "  %s\n", m.c_str()); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

inline std::vector<std::string> fuzz_drain_error_stack();

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

// Whether the first (innermost) message of a failed call names its cause. A few sites
// report with a trace of their own: a short parameter read ("5143e09"), an unknown
// projection kind ("58c33c1"), the transform's context ("6dd680f") or work buffer
// ("e23e2d2") out of memory, and a detector step whose feature scratch could not be
// allocated (the status name).
inline bool fuzz_innermost_names_cause(const std::vector<std::string>& messages) {
    if (messages.empty()) return false;
    const uint32_t first = fuzz_message_code(messages[0]);
    if (first == ~0u) return false;
    if (first != 0x136) return true;
    for (const char* site : {": 5143e09", ": 58c33c1", ": 6dd680f", ": e23e2d2", ": OUT_OF_MEMORY"})
        if (messages[0].size() >= std::strlen(site) &&
            messages[0].compare(messages[0].size() - std::strlen(site), std::string::npos, site) == 0)
            return true;
    return false;
}
