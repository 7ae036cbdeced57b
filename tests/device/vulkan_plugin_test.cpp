// The Vulkan plug-in (built with KX_BUILD_VULKAN, run on any Vulkan driver; lavapipe
// in CI): every kernel against its reference, batching and ordering of recorded work,
// staging copies, and a machine without a Vulkan device.
#ifdef KX_VULKAN_PLUGIN

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/gpu_plugin.h"
#include "base/error.h"
#include "nn/ops.h"
#include "support/error_stack.h"
#include "support/gpu_plugin.h"

namespace {

kx_device_t* create_device(const char* text) {
    kx_device_t* device = nullptr;
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_device_create_from_string(text, "cpu:1", &device), KX_STATUS_SUCCESS) << text;
    return device;
}

void* plugin_symbol(const char* name) {
    void* library = dlopen(KX_VULKAN_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    void* symbol = library ? dlsym(library, name) : nullptr;
    if (library) dlclose(library);
    return symbol;
}

// One operator call on random data: buffers (an argument may repeat a buffer), int32
// arguments, whether the GPU kernel is expected to take it or to decline it, and which
// buffer is scratch whose contents afterwards are unspecified.
struct Case {
    kx_op_t op;
    std::vector<uint32_t> sizes;
    std::vector<int> args;  // argument buffer -> index into sizes
    std::vector<int32_t> ints;
    bool kernel;
    int scratch = -1;
    std::string name;
};

enum class Fill { Bytes, Floats, Q10 };

Fill fill_of(kx_op_t op) {
    switch (op) {
        case KX_OP_GELU:
        case KX_OP_RELU:
        case KX_OP_MATMUL_F32:
        case KX_OP_NORMALIZE_QUANTIZE: return Fill::Floats;
        case KX_OP_LSTM_CELL: return Fill::Q10;
        default: return Fill::Bytes;
    }
}

std::vector<uint8_t> contents(uint32_t size, Fill fill, std::mt19937& random) {
    std::vector<uint8_t> bytes(size);
    if (fill == Fill::Floats) {
        std::uniform_real_distribution<float> value(-6.0f, 6.0f);
        for (uint32_t i = 0; i + 4 <= size; i += 4) {
            const float v = value(random);
            std::memcpy(&bytes[i], &v, 4);
        }
    } else if (fill == Fill::Q10) {
        // Mostly within the tables' range, sometimes saturating.
        std::uniform_int_distribution<int> value(-12000, 12000);
        for (uint32_t i = 0; i + 2 <= size; i += 2) {
            const int16_t v = static_cast<int16_t>(value(random) * ((i % 14) == 0 ? 3 : 1));
            std::memcpy(&bytes[i], &v, 2);
        }
    } else {
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    }
    return bytes;
}

// Runs one case on the GPU device (kernel called directly, reference when it declines,
// as the dispatcher does) and on the reference with identical inputs; returns the final
// contents of every buffer from both.
void run_case(kx_device_t* gpu, kx_device_t* cpu, const Case& c, std::mt19937& random,
              std::vector<std::vector<uint8_t>>* from_gpu, std::vector<std::vector<uint8_t>>* from_reference) {
    std::vector<kx_buffer_t*> buffers[2];
    kx_device_t* devices[2] = {gpu, cpu};
    for (uint32_t size : c.sizes) {
        const std::vector<uint8_t> initial = contents(size, fill_of(c.op), random);
        for (int d = 0; d < 2; ++d) {
            buffers[d].push_back(kx_buffer_create(devices[d], size, 0));
            ASSERT_EQ(kx_buffer_write(devices[d], buffers[d].back(), initial.data(), 0, size), KX_STATUS_SUCCESS);
        }
    }
    for (int d = 0; d < 2; ++d) {
        kx_op_args_t args{};
        for (size_t i = 0; i < c.args.size(); ++i) args.buffers[i] = buffers[d][static_cast<size_t>(c.args[i])];
        for (size_t i = 0; i < c.ints.size(); ++i) args.ints[i] = c.ints[i];
        if (d == 0) {
            char name[64];
            std::snprintf(name, sizeof(name), "kx_gpu_kernel_%s", kx_gpu_kernel_names[c.op]);
            auto kernel = reinterpret_cast<kx_op_kernel_fn>(plugin_symbol(name));
            ASSERT_NE(kernel, nullptr) << name;
            const kx_status_t status = kernel(gpu->backend, nullptr, &args);
            ASSERT_EQ(status, c.kernel ? KX_STATUS_SUCCESS : KX_STATUS_INVALID_ARGUMENT) << c.name;
            if (!c.kernel) {
                ASSERT_EQ(kx_op_reference[c.op](gpu, &args), KX_STATUS_SUCCESS) << c.name;
            }
        } else {
            ASSERT_EQ(kx_op_reference[c.op](cpu, &args), KX_STATUS_SUCCESS) << c.name;
        }
        auto* out = d == 0 ? from_gpu : from_reference;
        out->clear();
        for (size_t b = 0; b < c.sizes.size(); ++b) {
            const auto* p = static_cast<const uint8_t*>(kx_buffer_map(devices[d], buffers[d][b], 1));
            out->emplace_back(p, p + c.sizes[b]);
            kx_buffer_unmap(devices[d], buffers[d][b], 0);
            kx_buffer_destroy(devices[d], buffers[d][b]);
        }
    }
}

// Random calls of every operator: shapes the shaders take, and the shapes they must
// decline (odd offsets, outputs overlapping inputs, empty work).
std::vector<Case> random_cases(std::mt19937& random) {
    std::vector<Case> cases;
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    for (int round = 0; round < 3; ++round) {
        const int n = pick(1, 300);
        const int e = 2 * pick(0, 8);  // even byte offset
        cases.push_back({KX_OP_ADD, {uint32_t(2 * n + e + 8), uint32_t(2 * n + 8), uint32_t(2 * n + 16)}, {0, 1, 2},
                         {n, e, 0, 8}, true, -1, "add"});
        cases.push_back({KX_OP_ADD, {uint32_t(2 * n + 8), uint32_t(2 * n + 8)}, {0, 0, 1}, {n, 4, 4, 0}, true, -1,
                         "add in place"});
        cases.push_back({KX_OP_ADD, {uint32_t(2 * n + 8), uint32_t(2 * n + 8)}, {0, 0, 1}, {n, 4, 2, 0},
                         n == 1 ? true : false, -1, "add shifted overlap"});
        cases.push_back({KX_OP_ADD, {uint32_t(2 * n + 8), uint32_t(2 * n + 8), uint32_t(2 * n + 8)}, {0, 1, 2},
                         {n, 1, 0, 0}, false, -1, "add odd offset"});

        const int vectors = pick(1, 4), rows = pick(1, 200), columns = pick(0, 120);
        for (const kx_op_t op : {KX_OP_LINEAR, KX_OP_LINEAR_ACCUMULATE}) {
            const uint32_t out = uint32_t(2 * rows * vectors + 6), in = uint32_t(2 * columns * vectors + 10);
            const uint32_t weights = uint32_t(rows * columns + 1), bias = uint32_t(rows);
            cases.push_back({op, {out, in, weights, bias}, {0, 1, 2, 3}, {vectors, rows, columns, 6, 10}, true, -1,
                             "linear"});
            cases.push_back({op, {out, in, weights, bias}, {0, 1, 2, 3}, {vectors, rows, columns, 3, 10}, false, -1,
                             "linear odd output"});
            cases.push_back({op, {uint32_t(out + in), weights, bias}, {0, 0, 1, 2}, {vectors, rows, columns, 0, 2},
                             columns == 0, -1, "linear output over input"});
        }

        const int h = pick(1, 200);
        cases.push_back({KX_OP_LSTM_CELL, {uint32_t(4 * h + 4 + 2 * pick(0, 20)), uint32_t(6 * h)}, {0, 0, 1},
                         {h, 2 * h + 4, 0, 0}, true, 1, "cell, hidden and state share a buffer"});
        cases.push_back({KX_OP_LSTM_CELL, {uint32_t(2 * h), uint32_t(2 * h + 2), uint32_t(6 * h + 2)}, {0, 1, 2},
                         {h, 0, 2, 2}, true, 2, "cell in three buffers"});
        cases.push_back({KX_OP_LSTM_CELL, {uint32_t(2 * h), uint32_t(2 * h + 2), uint32_t(6 * h + 2)}, {0, 1, 2},
                         {h, 0, 1, 2}, false, 2, "cell odd offset"});

        const int v2 = pick(1, 3), r2 = pick(1, 64), c2 = pick(1, 300);
        cases.push_back({KX_OP_MATMUL_F32,
                         {uint32_t(4 * v2 * r2 + 8), uint32_t(4 * v2 * c2), uint32_t(4 * r2 * c2 + 12)},
                         {0, 1, 2},
                         {v2, r2, c2, 8, 0, 12},
                         true,
                         -1,
                         "matmul"});
        cases.push_back({KX_OP_MATMUL_F32,
                         {uint32_t(4 * v2 * r2 + 8), uint32_t(4 * v2 * c2), uint32_t(4 * r2 * c2 + 12)},
                         {0, 1, 2},
                         {v2, r2, c2, 6, 0, 12},
                         false,
                         -1,
                         "matmul misaligned"});

        const int bytes = pick(1, 400);
        cases.push_back({KX_OP_COPY, {uint32_t(bytes + 7), uint32_t(bytes + 3)}, {0, 1}, {bytes, 7, 3}, true, -1, "copy"});
        cases.push_back({KX_OP_COPY, {uint32_t(2 * bytes + 1)}, {0, 0}, {bytes, 0, 1}, false, -1, "copy overlap"});
        cases.push_back({KX_OP_ZERO, {uint32_t(4 * bytes + 8)}, {0}, {4 * bytes, 8}, true, -1, "zero"});
        cases.push_back({KX_OP_ZERO, {uint32_t(bytes + 8)}, {0}, {bytes | 1, 3}, false, -1, "zero unaligned"});

        for (const kx_op_t op : {KX_OP_GELU, KX_OP_RELU}) {
            const int count = pick(1, 500);
            cases.push_back({op, {uint32_t(4 * count + 4), uint32_t(4 * count)}, {0, 1}, {count, 4, 0}, true, -1,
                             "pointwise"});
            cases.push_back({op, {uint32_t(4 * count)}, {0, 0}, {count, 0, 0}, true, -1, "pointwise in place"});
            cases.push_back({op, {uint32_t(4 * count + 4), uint32_t(4 * count)}, {0, 1}, {count, 2, 0}, false, -1,
                             "pointwise misaligned"});
        }

        const int frames = pick(1, 120), features = pick(1, 40);
        int32_t epsilon_bits;
        const float epsilon = round == 0 ? 0.0f : 1e-3f;
        std::memcpy(&epsilon_bits, &epsilon, 4);
        cases.push_back({KX_OP_NORMALIZE_QUANTIZE, {uint32_t(2 * frames * features), uint32_t(4 * frames * features)},
                         {0, 1}, {epsilon_bits, frames, features}, true, -1, "normalize"});
        cases.push_back({KX_OP_NORMALIZE_QUANTIZE, {uint32_t(4 * frames * features)}, {0, 0},
                         {epsilon_bits, frames, features}, false, -1, "normalize over its input"});

        const int rows2 = pick(1, 40), length = pick(1, 50);
        cases.push_back({KX_OP_SOFTMAX, {uint32_t(4 * rows2 * length + 4), uint32_t(2 * rows2 * length + 2)}, {0, 1},
                         {rows2, length, 4, 2}, true, -1, "softmax"});
        cases.push_back({KX_OP_SOFTMAX, {uint32_t(4 * rows2 * length + 4), uint32_t(2 * rows2 * length + 2)}, {0, 1},
                         {rows2, 0, 4, 2}, false, -1, "softmax empty rows"});

        const int f3 = pick(1, 60), t3 = pick(1, 20);
        cases.push_back({KX_OP_STANDARDIZE,
                         {uint32_t(2 * f3 * t3 + 2), uint32_t(2 * f3), uint32_t(2 * f3)},
                         {0, 0, 1, 2},
                         {t3, f3, 2, 2},
                         true,
                         -1,
                         "standardize in place"});
        cases.push_back({KX_OP_STANDARDIZE,
                         {uint32_t(2 * f3 * t3 + 2), uint32_t(2 * f3), uint32_t(2 * f3)},
                         {0, 0, 1, 2},
                         {t3, f3, 0, 2},
                         t3 * f3 == 1,
                         -1,
                         "standardize shifted overlap"});
    }
    return cases;
}

// GELU uses the device's single-precision exponential; MATMUL_F32 sums in the
// reference's order but a device may round its products differently.
bool close_enough(kx_op_t op, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (op != KX_OP_GELU && op != KX_OP_MATMUL_F32) return a == b;
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i + 4 <= a.size(); i += 4) {
        float x, y;
        std::memcpy(&x, &a[i], 4);
        std::memcpy(&y, &b[i], 4);
        if (std::fabs(x - y) > 1e-5f * std::fmax(1.0f, std::fabs(y))) return false;
    }
    return true;
}

class VulkanPlugin : public ::testing::Test {
protected:
    void SetUp() override { use_gpu_plugin(KX_VULKAN_PLUGIN); }
    void TearDown() override {
        unsetenv("KX_VULKAN_STAGING");
        unsetenv("VK_ICD_FILENAMES");
        use_gpu_plugin(nullptr);
    }
};

}  // namespace

TEST_F(VulkanPlugin, EveryKernelEqualsItsReferenceAndDeclinesWhatItsShaderCannotDo) {
    kx_device_t* cpu = create_device("cpu:1");
    // Direct host-visible memory, then device memory behind staging copies.
    for (const char* staging : {"0", "1"}) {
        setenv("KX_VULKAN_STAGING", staging, 1);
        kx_device_t* gpu = create_device("gpu");
        ASSERT_NE(gpu, nullptr);
        std::mt19937 random(11);
        for (const Case& c : random_cases(random)) {
            std::vector<std::vector<uint8_t>> from_gpu, from_reference;
            run_case(gpu, cpu, c, random, &from_gpu, &from_reference);
            ASSERT_EQ(from_gpu.size(), c.sizes.size()) << c.name;
            for (size_t b = 0; b < c.sizes.size(); ++b) {
                if (static_cast<int>(b) == c.scratch) continue;
                EXPECT_TRUE(close_enough(c.op, from_gpu[b], from_reference[b]))
                    << c.name << " (operator " << c.op << ", buffer " << b << ", staging " << staging << ")";
            }
        }
        kx_device_release(gpu);
    }
    kx_device_release(cpu);
}

TEST_F(VulkanPlugin, OperatorsAreBatchedFourToASubmissionAndMapWaitsForTheRest) {
    kx_device_t* gpu = create_device("gpu");
    ASSERT_NE(gpu, nullptr);
    auto submits = reinterpret_cast<int64_t (*)(void*)>(plugin_symbol("kx_gpu_vulkan_submit_count"));
    ASSERT_NE(submits, nullptr);
    kx_buffer_t* sum = kx_buffer_create(gpu, 8, 0);
    kx_buffer_t* step = kx_buffer_create(gpu, 8, 0);
    const int16_t zero[4] = {0, 0, 0, 0}, ones[4] = {1, 2, 3, -4};
    ASSERT_EQ(kx_buffer_write(gpu, sum, zero, 0, 8), KX_STATUS_SUCCESS);
    ASSERT_EQ(kx_buffer_write(gpu, step, ones, 0, 8), KX_STATUS_SUCCESS);
    const kx_op_args_t add{{sum, sum, step}, {4, 0, 0, 0}};

    // Each call depends on the one before, across command buffers too.
    for (const int calls : {3, 5, 8}) {
        const int64_t before = submits(gpu->backend);
        for (int i = 0; i < calls; ++i) ASSERT_EQ(kx_op_execute(gpu, KX_OP_ADD, &add), KX_STATUS_SUCCESS);
        EXPECT_EQ(submits(gpu->backend) - before, calls / 4) << calls << " calls before the host looks";
        const auto* values = static_cast<const int16_t*>(kx_buffer_map(gpu, sum, 1));
        EXPECT_EQ(submits(gpu->backend) - before, (calls + 3) / 4) << "the map submits the open command buffer";
        const std::vector<int16_t> seen(values, values + 4);
        kx_buffer_unmap(gpu, sum, 0);
        ASSERT_EQ(kx_buffer_write(gpu, sum, zero, 0, 8), KX_STATUS_SUCCESS);
        EXPECT_EQ(seen, (std::vector<int16_t>{int16_t(calls), int16_t(2 * calls), int16_t(3 * calls),
                                              int16_t(-4 * calls)}));
    }
    kx_buffer_destroy(gpu, sum);
    kx_buffer_destroy(gpu, step);
    kx_device_release(gpu);
}

// Host writes through a staging copy whose upload cannot be recorded must not leave the
// buffer silently stale, and a write must stay inside its buffer.
TEST_F(VulkanPlugin, LostUploadsFailTheBuffersNextUseAndWritesStayInside) {
    setenv("KX_VULKAN_STAGING", "1", 1);
    kx_device_t* gpu = create_device("gpu");
    ASSERT_NE(gpu, nullptr);
    auto fail_commands = reinterpret_cast<void (*)(void*, int32_t)>(plugin_symbol("kx_gpu_vulkan_fail_commands"));
    ASSERT_NE(fail_commands, nullptr);
    kx_buffer_t* sum = kx_buffer_create(gpu, 8, 0);
    kx_buffer_t* step = kx_buffer_create(gpu, 8, 0);
    const int16_t zero[4] = {0, 0, 0, 0}, ones[4] = {1, 2, 3, -4};
    ASSERT_EQ(kx_buffer_write(gpu, sum, zero, 0, 8), KX_STATUS_SUCCESS);
    ASSERT_EQ(kx_buffer_write(gpu, step, ones, 0, 8), KX_STATUS_SUCCESS);

    EXPECT_EQ(kx_buffer_write(gpu, sum, ones, 4, 8), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_buffer_write(gpu, sum, ones, 9, 0), KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(kx_buffer_write(gpu, sum, ones, UINT32_MAX, 2), KX_STATUS_INVALID_ARGUMENT);

    // The upload of the mapped writes cannot begin: the buffer is stale from then on.
    auto* host = static_cast<int16_t*>(kx_buffer_map(gpu, step, 0));
    ASSERT_NE(host, nullptr);
    for (int i = 0; i < 4; ++i) host[i] = 7;
    fail_commands(gpu->backend, 1);
    kx_buffer_unmap(gpu, step, 1);
    EXPECT_EQ(kx_buffer_map(gpu, step, 1), nullptr);
    const kx_op_args_t add{{sum, sum, step}, {4, 0, 0, 0}};
    kx_error_stack_begin_call();
    EXPECT_EQ(kx_op_execute(gpu, KX_OP_ADD, &add), KX_STATUS_RUNTIME_ERROR);
    const std::vector<std::string> messages = fetch_error_stack();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(message_text(messages[0]), "GPU kernel `add` failed: a buffer's host writes never reached the device");

    // Written whole again, it is usable.
    ASSERT_EQ(kx_buffer_write(gpu, step, ones, 0, 8), KX_STATUS_SUCCESS);
    ASSERT_EQ(kx_op_execute(gpu, KX_OP_ADD, &add), KX_STATUS_SUCCESS);
    const auto* values = static_cast<const int16_t*>(kx_buffer_map(gpu, sum, 1));
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(std::vector<int16_t>(values, values + 4), (std::vector<int16_t>{1, 2, 3, -4}));
    kx_buffer_unmap(gpu, sum, 0);
    kx_buffer_destroy(gpu, sum);
    kx_buffer_destroy(gpu, step);
    kx_device_release(gpu);
}

TEST_F(VulkanPlugin, WithoutAVulkanDeviceTheStringFailsAndTheCpuIsListedAlone) {
    setenv("VK_ICD_FILENAMES", "/nonexistent/kx_no_driver.json", 1);
    kx_error_stack_begin_call();
    kx_device_t* device = nullptr;
    EXPECT_EQ(kx_device_create_from_string("gpu", "cpu:1", &device), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(device, nullptr);
    const std::vector<std::string> messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(message_text(messages[0]).rfind("GPU device 0 could not be created: no Vulkan", 0), 0u)
        << message_text(messages[0]);
    char** lines = nullptr;
    int32_t count = 0;
    ASSERT_EQ(kx_orvel_list_hardware_devices(&lines, &count), KX_STATUS_SUCCESS);
    EXPECT_EQ(count, 1);
    kx_orvel_free_hardware_devices(lines, count);
}

#endif  // KX_VULKAN_PLUGIN
