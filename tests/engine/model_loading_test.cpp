// Recognizer creation: argument checks, the container header, unusable values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/recognizer.h"
#include "engine_support.h"

namespace {

using Texts = std::vector<std::string>;

kxtest::ModelParams good_model() { return kxtest::make_random_model(kxtest::ModelShape(), 1); }

struct InitResult {
    kx_status_t status;
    bool object_null;
    Texts texts;
};

InitResult init_from_bytes(const std::vector<uint8_t>& bytes) {
    kxtest::TempFile file(bytes);
    kx_orvel_t* object = reinterpret_cast<kx_orvel_t*>(&file);  // must be overwritten with null
    const kx_status_t status = kx_orvel_init(file.c_str(), "cpu:1", 0.5f, &object);
    InitResult result{status, object == nullptr, message_texts()};
    if (status == KX_STATUS_SUCCESS) kx_orvel_delete(object);
    return result;
}

InitResult init_from(const kxtest::ModelParams& model) { return init_from_bytes(kxtest::serialize_model(model)); }

std::string unusable(const std::string& what) { return "Orvel model (.kx) file holds an unusable value: " + what; }

TEST(RecognizerArguments, EachArgumentIsCheckedInOrder) {
    kxtest::TempFile file(good_model());
    kx_orvel_t* object = nullptr;
    EXPECT_EQ(kx_orvel_init(nullptr, nullptr, 0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `model_path` is NULL."});
    EXPECT_EQ(kx_orvel_init(file.c_str(), nullptr, 0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `device` is NULL."});
    EXPECT_EQ(kx_orvel_init(file.c_str(), "cpu", 1.01f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `voice_threshold` value `1.01` is out of range [0.00, 1.00]."});
    EXPECT_EQ(kx_orvel_init(file.c_str(), "cpu", -0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `voice_threshold` value `-0.50` is out of range [0.00, 1.00]."});
    EXPECT_EQ(kx_orvel_init(file.c_str(), "cpu", std::nanf(""), &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `voice_threshold` value `nan` is out of range [0.00, 1.00]."});
    EXPECT_EQ(kx_orvel_init(file.c_str(), "cpu", 0.5f, nullptr), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), Texts{"Argument `object` is NULL."});
}

TEST(RecognizerArguments, ThresholdBoundsAreAccepted) {
    kxtest::TempFile file(good_model());
    for (float threshold : {0.0f, 1.0f}) {
        kx_orvel_t* object = nullptr;
        EXPECT_EQ(kx_orvel_init(file.c_str(), "best", threshold, &object), KX_STATUS_SUCCESS);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->voice_threshold, threshold);
        kx_orvel_delete(object);
    }
    kx_orvel_delete(nullptr);
}

TEST(RecognizerArguments, BadDeviceStringIsTraced) {
    kxtest::TempFile file(good_model());
    kx_orvel_t* object = nullptr;
    EXPECT_EQ(kx_orvel_init(file.c_str(), "tpu", 0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(message_texts(), (Texts{"tpu is not a valid device string", "6e3295a"}));
    EXPECT_EQ(object, nullptr);
}

TEST(ModelContainer, LoadsTheHeaderValues) {
    kxtest::ModelParams model = good_model();
    model.window_frames = 3;
    model.lookahead_frames = 4;
    model.score_thresholds[0] = 0.1f;
    model.score_thresholds[1] = 0.2f;
    model.score_thresholds[2] = 0.7f;
    kxtest::TempFile file(model);
    kx_orvel_t* object = nullptr;
    ASSERT_EQ(kx_orvel_init(file.c_str(), "cpu:1", 0.25f, &object), KX_STATUS_SUCCESS);
    EXPECT_EQ(object->window_frames, 3);
    EXPECT_EQ(object->lookahead_frames, 4);
    EXPECT_EQ(object->voice_threshold, 0.25f);
    EXPECT_EQ(object->score_thresholds[2], 0.7f);
    EXPECT_EQ(object->network->embedding_size, model.embedding_size);
    EXPECT_EQ(object->frontend->num_bands, model.num_bands);
    int32_t samples = 0;
    EXPECT_EQ(kx_orvel_process_min_audio_length_samples(object, &samples), KX_STATUS_SUCCESS);
    EXPECT_EQ(samples, 3 * 512);
    kx_orvel_delete(object);
}

TEST(ModelContainer, TrailingBytesAreIgnored) {
    std::vector<uint8_t> bytes = kxtest::serialize_model(good_model());
    bytes.insert(bytes.end(), 100, 0xAB);
    EXPECT_EQ(init_from_bytes(bytes).status, KX_STATUS_SUCCESS);
}

TEST(ModelContainer, FileErrors) {
    const std::string missing = kxtest::temp_path("missing");
    kx_orvel_t* object = nullptr;
    EXPECT_EQ(kx_orvel_init(missing.c_str(), "cpu", 0.5f, &object), KX_STATUS_IO_ERROR);
    EXPECT_EQ(message_texts(), (Texts{"Failed to open file `" + missing + "`.", "da02a93"}));
    EXPECT_EQ(object, nullptr);

    // Paths are UTF-8 on every platform, non-ASCII names included.
    const kxtest::TempFile named(good_model(), "mod\xC3\xA8le_\xE6\x97\xA5\xE6\x9C\xAC");
    ASSERT_FALSE(named.path().empty());
    ASSERT_EQ(kx_orvel_init(named.c_str(), "cpu", 0.5f, &object), KX_STATUS_SUCCESS);
    kx_orvel_delete(object);
    object = nullptr;

    InitResult r = init_from_bytes({'o', 'r', 'v'});
    EXPECT_EQ(r.status, KX_STATUS_IO_ERROR);
    EXPECT_EQ(r.texts, (Texts{"Failed to read parameter from file.", "da02a93"}));
    EXPECT_TRUE(r.object_null);

    r = init_from_bytes({});
    EXPECT_EQ(r.status, KX_STATUS_IO_ERROR);
}

TEST(ModelContainer, WrongMagicOrVersion) {
    kxtest::ModelParams model = good_model();
    model.magic = "ORVEL";
    InitResult r = init_from(model);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.texts,
              (Texts{"Orvel model (.kx) file has incorrect format or belongs to a different platform.", "da02a93"}));
    EXPECT_TRUE(r.object_null);

    model.magic = "orvel";
    model.version = "2.9.9";
    r = init_from(model);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.texts, (Texts{"Orvel model (.kx) file belongs to a different version of the library. File is "
                              "`2.9.9` while library is `3.0.0`.",
                              "da02a93"}));

    // Magic complete, version cut short.
    std::vector<uint8_t> bytes = kxtest::serialize_model(good_model());
    bytes.resize(8);
    r = init_from_bytes(bytes);
    EXPECT_EQ(r.status, KX_STATUS_IO_ERROR);
    EXPECT_EQ(r.texts, (Texts{"Failed to read parameter from file.", "da02a93"}));
}

TEST(ModelContainer, WrongKindGivesTheFramedMessages) {
    kxtest::ModelParams model = good_model();
    model.magic = "riff!";
    kxtest::TempFile file(model);
    kx_orvel_t* object = nullptr;
    EXPECT_EQ(kx_orvel_init(file.c_str(), "cpu", 0.5f, &object), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(fetch_error_stack(),
              (Texts{"a01eaf2 00000069: Orvel model (.kx) file has incorrect format or belongs to a different "
                     "platform.",
                     "a01eaf2 00000136: da02a93"}));
}

TEST(ModelContainer, FileCutInsideTheHeaderIsAnIoError) {
    const std::vector<uint8_t> full = kxtest::serialize_model(good_model());
    for (size_t length : {10u, 13u, 14u, 18u, 21u, 26u, 29u}) {
        const InitResult r = init_from_bytes(std::vector<uint8_t>(full.begin(), full.begin() + length));
        EXPECT_EQ(r.status, KX_STATUS_IO_ERROR) << length;
        EXPECT_EQ(r.texts, (Texts{"Failed to read parameter from file.", "da02a93"})) << length;
        EXPECT_TRUE(r.object_null);
    }
}

TEST(ModelContainer, FileCutInsideTheBlocksIsTracedBySite) {
    const kxtest::ModelParams model = good_model();
    const std::vector<uint8_t> full = kxtest::serialize_model(model);
    const size_t network = kxtest::model_network_offset(model);
    // Inside band_std of the front-end block.
    InitResult r = init_from_bytes(std::vector<uint8_t>(full.begin(), full.begin() + network - 2));
    EXPECT_EQ(r.status, KX_STATUS_IO_ERROR);
    ASSERT_GE(r.texts.size(), 3u);
    EXPECT_EQ(r.texts.front(), "Failed to read parameter from file.");
    EXPECT_EQ(r.texts[r.texts.size() - 2], "6a15559");
    EXPECT_EQ(r.texts.back(), "da02a93");
    // Inside the network block: every cut fails, traced at the network read.
    for (size_t cut = network; cut < full.size(); cut += 7) {
        r = init_from_bytes(std::vector<uint8_t>(full.begin(), full.begin() + cut));
        EXPECT_EQ(r.status, KX_STATUS_IO_ERROR) << cut;
        ASSERT_GE(r.texts.size(), 3u) << cut;
        EXPECT_EQ(r.texts[r.texts.size() - 2], "e85c650") << cut;
        EXPECT_EQ(r.texts.back(), "da02a93") << cut;
        EXPECT_TRUE(r.object_null);
    }
}

TEST(ModelContainer, HeaderValuesThatCannotWorkAreRejected) {
    struct Case {
        int32_t window;
        int32_t lookahead;
        float low, mid, high;
        std::string message;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {0, 0, -1, 0, 1, unusable("window_frames 0 is below 1.")},
        {-3, 0, -1, 0, 1, unusable("window_frames -3 is below 1.")},
        {4194304, 0, -1, 0, 1, unusable("window_frames 4194304 makes a window longer than 2147483647 samples.")},
        {2, -1, -1, 0, 1, unusable("lookahead_frames -1 is below 0.")},
        {2, 2097151, -1, 0, 1, unusable("lookahead_frames 2097151 with window_frames 2 needs more than 16384 frames of history.")},
        {16000, 385, -1, 0, 1, unusable("lookahead_frames 385 with window_frames 16000 needs more than 16384 frames of history.")},
        {2, 0, 0.5f, 0.4f, 0.9f,
         unusable("score_thresholds (0.5, 0.4, 0.9) are not finite and ordered low < mid < high.")},
        {2, 0, 0.1f, 0.4f, 0.4f,
         unusable("score_thresholds (0.1, 0.4, 0.4) are not finite and ordered low < mid < high.")},
        {2, 0, -inf, 0.0f, 1.0f,
         unusable("score_thresholds (-inf, 0, 1) are not finite and ordered low < mid < high.")},
        {2, 0, 0.0f, std::nanf(""), 1.0f,
         unusable("score_thresholds (0, nan, 1) are not finite and ordered low < mid < high.")},
    };
    for (const Case& c : cases) {
        kxtest::ModelParams model = good_model();
        model.window_frames = c.window;
        model.lookahead_frames = c.lookahead;
        model.score_thresholds[0] = c.low;
        model.score_thresholds[1] = c.mid;
        model.score_thresholds[2] = c.high;
        const InitResult r = init_from(model);
        EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << c.message;
        EXPECT_EQ(r.texts, (Texts{c.message, "da02a93"}));
        EXPECT_TRUE(r.object_null);
    }
}

TEST(ModelContainer, NetworkThatDoesNotFitTheFrontEndIsRejected) {
    kxtest::ModelShape shape;
    shape.num_bands = 10;
    kxtest::ModelParams model = kxtest::make_random_model(shape, 2);
    model.num_bands = 12;  // front end now computes 12 bands for a 10-input network
    model.band_mean.resize(12, 0.0f);
    model.band_std.resize(12, 1.0f);
    InitResult r = init_from(model);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.texts, (Texts{unusable("network input size 10 differs from num_bands 12."), "da02a93"}));

    shape.hidden_sizes = {};
    shape.projection_kind = 0;
    model = kxtest::make_random_model(shape, 2);
    model.num_bands = 9;
    model.band_mean.resize(9, 0.0f);
    model.band_std.resize(9, 1.0f);
    r = init_from(model);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.texts,
              (Texts{unusable("network input size 10 differs from num_bands 9."), "da02a93"}));
}

TEST(ModelContainer, WindowTooLargeForNetworkBuffersIsRejected) {
    kxtest::ModelShape shape;
    shape.hop_length = 1;
    shape.num_bands = 40;
    shape.hidden_sizes = {160};
    kxtest::ModelParams model = kxtest::make_random_model(shape, 3);
    model.window_frames = 16000;  // 8 192 000 frames of 160 hidden values
    const InitResult r = init_from(model);
    EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(r.texts, (Texts{unusable("window_frames 16000 at hop_length 1 gives 8192000 analysis frames per window, "
                                       "more than 8192."),
                              "da02a93"}));
}

// A small file must not be able to ask for gigabytes of scratch or minutes of work per
// window: analysis frames per window and the scratch of one object are bounded.
TEST(ModelContainer, WindowsAndScratchBeyondTheLimitsAreRejected) {
    struct Case {
        int32_t window, hop;
        std::vector<int32_t> hidden;
        std::string message;  // empty: loads
    };
    const std::vector<int32_t> deep(1024, 4);  // 4 096 hidden values in 240 KB of weights
    const std::vector<Case> cases = {
        {16, 1, {6}, ""},  // exactly 8 192 analysis frames
        {17, 1, {6}, unusable("window_frames 17 at hop_length 1 gives 8704 analysis frames per window, more than 8192.")},
        {4000, 1, {6}, unusable("window_frames 4000 at hop_length 1 gives 2048000 analysis frames per window, more than 8192.")},
        {1024, 64, std::vector<int32_t>(900, 4), ""},  // 60 MB
        // The count includes the recognition call's window slots: 4 x (16 + 4 x 5) bytes.
        {1024, 64, deep, unusable("window_frames 1024 at hop_length 64 with the network's hidden_size values needs 68604112 "
                                  "bytes of scratch, more than 67108864.")},
    };
    for (const Case& c : cases) {
        kxtest::ModelShape shape;
        shape.window_frames = c.window;
        shape.hop_length = c.hop;
        shape.hidden_sizes = c.hidden;
        const InitResult r = init_from(kxtest::make_random_model(shape, 3));
        if (c.message.empty()) {
            EXPECT_EQ(r.status, KX_STATUS_SUCCESS) << c.window;
        } else {
            EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << c.message;
            EXPECT_EQ(r.texts, (Texts{c.message, "da02a93"}));
            EXPECT_TRUE(r.object_null);
        }
    }
}

// The shipped model and the shapes the training toolchain writes (its defaults and a
// generous large one: 8 s windows at a 10 ms hop, three layers of 256) stay far inside.
TEST(ModelContainer, ShippedAndTrainableShapesStayFarInsideTheLimits) {
    kx_orvel_t* shipped = nullptr;
    ASSERT_EQ(kx_orvel_init(KX_SOURCE_DIR "/models/default.kx", "cpu:1", 0.5f, &shipped), KX_STATUS_SUCCESS);
    kxtest::ModelShape defaults;
    defaults.window_frames = 48;
    defaults.lookahead_frames = 8;
    defaults.num_bands = 40;
    defaults.hidden_sizes = {64, 64};
    defaults.embedding_size = 128;
    kxtest::ModelShape large = defaults;
    large.window_frames = 250;
    large.lookahead_frames = 64;
    large.hop_length = 160;
    large.hidden_sizes = {256, 256, 256};
    large.embedding_size = 512;
    TestRecognizer trained_default(kxtest::make_random_model(defaults, 4));
    TestRecognizer trained_large(kxtest::make_random_model(large, 5));
    ASSERT_EQ(trained_default.status(), KX_STATUS_SUCCESS);
    ASSERT_EQ(trained_large.status(), KX_STATUS_SUCCESS);
    for (const kx_orvel_t* r : std::vector<const kx_orvel_t*>{shipped, trained_default.get(), trained_large.get()}) {
        const int64_t frames = int64_t{r->window_frames} * 512 / r->frontend->hop_length;
        EXPECT_LE(frames * 8, KX_MAX_WINDOW_ANALYSIS_FRAMES) << r->window_frames;
        EXPECT_LE(kx_orvel_scratch_bytes(r, 1) * 8, KX_MAX_OBJECT_SCRATCH_BYTES) << r->window_frames;
    }
    kx_orvel_delete(shipped);
}

TEST(ModelContainer, EveryAllocationFailureOfInitIsReportedWithoutLeaks) {
    FaultGuard guard;
    kxtest::TempFile file(good_model());
    bool succeeded = false;
    int64_t attempts = 0;
    for (int64_t n = 1; n < 300 && !succeeded; ++n) {
        attempts = n;
        kx_orvel_t* object = nullptr;
        kx_fault_fail_allocation(n);
        const kx_status_t status = kx_orvel_init(file.c_str(), "cpu:1", 0.5f, &object);
        const bool fault_hit = kx_fault_allocation_count() >= n;
        kx_fault_fail_allocation(0);
        if (status == KX_STATUS_SUCCESS) {
            EXPECT_FALSE(fault_hit);
            kx_orvel_delete(object);
            succeeded = true;
        } else {
            EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY) << n;
            EXPECT_EQ(object, nullptr);
            const Texts texts = message_texts();
            ASSERT_FALSE(texts.empty()) << n;
            EXPECT_TRUE(texts.back() == "da02a93" || texts.back() == "6e3295a") << n << ": " << texts.back();
        }
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(attempts, 3);  // the hook did make allocations fail
}

}  // namespace
