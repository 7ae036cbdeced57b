#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "feature_reference.h"
#include "support/error_stack.h"

namespace {

struct ReadResult {
    kx_status_t status;
    kx_orvel_frontend_t* frontend;
    std::vector<std::string> messages;
    long position;
};

ReadResult read_bytes(const std::vector<uint8_t>& bytes) {
    FILE* file = file_holding(bytes);
    EXPECT_NE(file, nullptr);
    ReadResult r{};
    r.frontend = reinterpret_cast<kx_orvel_frontend_t*>(&r);  // must be reset to null
    kx_error_stack_begin_call();
    r.status = kx_orvel_frontend_read(file, &r.frontend);
    r.messages = fetch_error_stack();
    r.position = std::ftell(file);
    std::fclose(file);
    return r;
}

TEST(FrontendRead, ReadsTheBlockAndStopsAfterIt) {
    BlockFields f = typical_fields(160, 23);
    std::vector<uint8_t> bytes = block_bytes(f);
    const size_t block_size = bytes.size();
    ASSERT_EQ(block_size, 16u + 8u * 23u);
    bytes.push_back(0xAB);  // the network block would follow

    ReadResult r = read_bytes(bytes);
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    ASSERT_NE(r.frontend, nullptr);
    EXPECT_TRUE(r.messages.empty());
    EXPECT_EQ(r.position, static_cast<long>(block_size));
    const kx_orvel_frontend_t& fe = *r.frontend;
    EXPECT_EQ(fe.frame_length, 512);
    EXPECT_EQ(fe.hop_length, 160);
    EXPECT_EQ(fe.num_bands, 23);
    EXPECT_EQ(fe.log_floor, f.log_floor);
    EXPECT_EQ(std::vector<float>(fe.band_mean, fe.band_mean + 23), f.band_mean);
    EXPECT_EQ(std::vector<float>(fe.band_std, fe.band_std + 23), f.band_std);
    EXPECT_NE(fe.fft, nullptr);
    kx_orvel_frontend_delete(r.frontend);
}

TEST(FrontendRead, WindowIsASymmetricHannWindowInDouble) {
    kx_orvel_frontend_t* fe = load_frontend(typical_fields());
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(fe->window[0], 0.0f);
    EXPECT_EQ(fe->window[511], 0.0f);
    for (int k = 0; k < 512; ++k) {
        EXPECT_EQ(fe->window[k], fe->window[511 - k]) << k;
        EXPECT_EQ(fe->window[k], static_cast<float>((1.0 - std::cos(k * 2.0 * M_PI / 511.0)) * 0.5)) << k;
    }
    // Not rounded to 7 decimals like the detector's half window.
    EXPECT_NE(fe->window[1], kx_hann_half_window[1]);
    kx_orvel_frontend_delete(fe);
    kx_orvel_frontend_delete(nullptr);
}

TEST(FrontendRead, TruncationAnywhereIsAnIoError) {
    const std::vector<uint8_t> bytes = block_bytes(typical_fields(160, 3));
    for (size_t length = 0; length < bytes.size(); ++length) {
        ReadResult r = read_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
        EXPECT_EQ(r.status, KX_STATUS_IO_ERROR) << length;
        EXPECT_EQ(r.frontend, nullptr);
        ASSERT_EQ(r.messages.size(), 1u) << length;
        EXPECT_EQ(r.messages[0], "a01eaf2 000000CA: Failed to read parameter from file.");
    }
}

TEST(FrontendRead, UnusableValuesAreRejectedByName) {
    struct Case {
        std::string text;
        void (*change)(BlockFields&);
    };
    const Case cases[] = {
        {"`frame_length` is 1024, expected 512", [](BlockFields& f) { f.frame_length = 1024; }},
        {"`frame_length` is 0, expected 512", [](BlockFields& f) { f.frame_length = 0; }},
        {"`hop_length` is 0, expected 1 to 512", [](BlockFields& f) { f.hop_length = 0; }},
        {"`hop_length` is 513, expected 1 to 512", [](BlockFields& f) { f.hop_length = 513; }},
        {"`num_bands` is 41, expected 1 to 40", [](BlockFields& f) { f.num_bands = 41; }},
        {"`num_bands` is 0, expected 1 to 40", [](BlockFields& f) { f.num_bands = 0; }},
        {"`num_bands` is -5, expected 1 to 40", [](BlockFields& f) { f.num_bands = -5; }},
        {"`log_floor` is 0, expected a positive finite number", [](BlockFields& f) { f.log_floor = 0.0f; }},
        {"`log_floor` is -0.5, expected a positive finite number", [](BlockFields& f) { f.log_floor = -0.5f; }},
        {"`log_floor` is inf, expected a positive finite number", [](BlockFields& f) { f.log_floor = INFINITY; }},
        {"`log_floor` is nan, expected a positive finite number", [](BlockFields& f) { f.log_floor = NAN; }},
        {"`band_mean[2]` is inf, expected a finite number", [](BlockFields& f) { f.band_mean[2] = INFINITY; }},
        {"`band_std[0]` is 0, expected a non-zero finite number", [](BlockFields& f) { f.band_std[0] = 0.0f; }},
        {"`band_std[3]` is -inf, expected a non-zero finite number", [](BlockFields& f) { f.band_std[3] = -INFINITY; }},
        {"`band_std[1]` is nan, expected a non-zero finite number", [](BlockFields& f) { f.band_std[1] = NAN; }},
    };
    for (const Case& c : cases) {
        BlockFields f = typical_fields(160, 4);
        c.change(f);
        ReadResult r = read_bytes(block_bytes(f));
        EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << c.text;
        EXPECT_EQ(r.frontend, nullptr);
        ASSERT_EQ(r.messages.size(), 1u) << c.text;
        EXPECT_EQ(r.messages[0], "a01eaf2 0000006B: Orvel model (.kx) file holds an unusable value: " + c.text);
    }
}

// A bad size is rejected before anything is sized from it, even in a short file.
TEST(FrontendRead, BadSizeIsRejectedBeforeAllocating) {
    BlockFields f = typical_fields(160, 4);
    f.num_bands = 1 << 30;
    std::vector<uint8_t> bytes = block_bytes(f);
    kx_fault_fail_allocation(0);
    ReadResult r = read_bytes(bytes);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_fault_allocation_count(), 1);  // the object only
}

TEST(FrontendRead, EveryAllocationFailureIsReportedAndCleanedUp) {
    const std::vector<uint8_t> bytes = block_bytes(typical_fields());
    // Object, band_mean, band_std, window, then the transform context.
    for (int n = 1; n <= 5; ++n) {
        FILE* file = file_holding(bytes);
        kx_orvel_frontend_t* fe = nullptr;
        kx_error_stack_begin_call();
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_frontend_read(file, &fe);
        kx_fault_fail_allocation(0);
        std::fclose(file);
        const auto messages = fetch_error_stack();
        EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
        EXPECT_EQ(fe, nullptr);
        ASSERT_EQ(messages.size(), 1u) << n;
        EXPECT_EQ(messages[0], n < 5 ? "a01eaf2 000000C8: Failed to allocate, out of memory." : "a01eaf2 00000136: 6dd680f")
            << n;
    }
    kx_fault_fail_allocation(6);
    kx_orvel_frontend_t* fe = load_frontend(typical_fields());
    kx_fault_fail_allocation(0);
    EXPECT_NE(fe, nullptr);
    kx_orvel_frontend_delete(fe);
}

TEST(FrontendRead, NullArguments) {
    kx_orvel_frontend_t* fe = reinterpret_cast<kx_orvel_frontend_t*>(&fe);
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_orvel_frontend_read(nullptr, &fe), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fe, nullptr);
    FILE* file = file_holding({});
    EXPECT_EQ(kx_orvel_frontend_read(file, nullptr), KX_STATUS_INVALID_ARGUMENT);
    std::fclose(file);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(message_text(messages[0]), "Argument `file` is NULL.");
    EXPECT_EQ(message_text(messages[1]), "Argument `out` is NULL.");
}

}  // namespace
