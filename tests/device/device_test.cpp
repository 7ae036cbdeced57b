#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/sysinfo.h>
#endif

#include <string>

#include "base/error.h"
#include "base/memory.h"
#include "device/cpu.h"
#include "device/device.h"
#include "support/error_stack.h"

namespace {

// The processor count each platform's documentation names.
int configured_processors() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
#else
    return get_nprocs_conf();
#endif
}

struct DeviceResult {
    kx_status_t status;
    kx_device_t* device;
    std::vector<std::string> messages;
};

DeviceResult create(const char* text) {
    kx_error_stack_begin_call();
    DeviceResult result{KX_STATUS_SUCCESS, nullptr, {}};
    result.status = kx_device_create_from_string(text, "cpu:1", &result.device);
    result.messages = fetch_error_stack();
    return result;
}

int32_t threads_of(const kx_device_t* device) { return static_cast<kx_cpu_device_t*>(device->backend)->threads; }

}  // namespace

TEST(DeviceString, CpuPrefixesAndThreadCounts) {
    const int32_t half = configured_processors() / 2;
    const struct {
        const char* text;
        int32_t threads;
    } cases[] = {{"", half}, {"c", half}, {"cp", half},  {"cpu", half},  {"cpu:", half},
                 {":4", 4},  {"cpu:1", 1}, {"cpu: 3", 3}, {"cpu:-4", -4}, {"cpu:+2", 2}};
    for (const auto& c : cases) {
        DeviceResult r = create(c.text);
        ASSERT_EQ(r.status, KX_STATUS_SUCCESS) << c.text;
        EXPECT_EQ(r.device->kind, KX_DEVICE_KIND_CPU);
        EXPECT_EQ(r.device->refcount, 1);
        EXPECT_EQ(r.device->flags, 0u);
        EXPECT_EQ(threads_of(r.device), c.threads) << c.text;
        EXPECT_TRUE(r.messages.empty());
        kx_device_release(r.device);
    }
}

TEST(DeviceString, BestMeansOneCpuThread) {
    DeviceResult r = create("best");
    ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
    EXPECT_EQ(threads_of(r.device), 1);
    EXPECT_EQ(static_cast<kx_cpu_device_t*>(r.device->backend)->pool, nullptr);
    kx_device_release(r.device);
}

TEST(DeviceString, MalformedNumbersFailSilently) {
    for (const char* text : {"cpu:x", "cpu:3x", "gpu:1.5", "cpu:1 ", "cpu:99999999999", "cpu:-99999999999"}) {
        DeviceResult r = create(text);
        EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << text;
        EXPECT_EQ(r.device, nullptr);
        EXPECT_TRUE(r.messages.empty()) << text;
    }
}

TEST(DeviceString, UnknownWordsAndGpuAreRejectedWithTheString) {
    // GPU strings are valid words; their failures are the plug-in loader's.
    for (const char* text : {"best:2", "cpux", "cpu0:1", "xpu", "gpux", "gpu0:1", "bestx", "cpu:5000"}) {
        DeviceResult r = create(text);
        EXPECT_EQ(r.status, KX_STATUS_INVALID_ARGUMENT) << text;
        EXPECT_EQ(r.device, nullptr);
        ASSERT_EQ(r.messages.size(), 1u) << text;
        EXPECT_EQ(r.messages[0], std::string("a01eaf2 00000322: ") + text + " is not a valid device string");
    }
}

TEST(DeviceString, OutOfMemoryRecordsBackendFailure) {
    // Allocation 1 is the backend: 300 twice.
    kx_error_stack_begin_call();
    kx_device_t* device = nullptr;
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_OUT_OF_MEMORY);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(device, nullptr);
    auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "a01eaf2 0000012C: Zembrix Error.");
    EXPECT_EQ(messages[1], "a01eaf2 0000012C: Zembrix Error.");

    // Allocation 2 is the device object: 803, then 300 once; the backend is freed.
    kx_error_stack_begin_call();
    kx_fault_fail_allocation(2);
    EXPECT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_OUT_OF_MEMORY);
    kx_fault_fail_allocation(0);
    messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "a01eaf2 00000323: Failed to allocate, out of memory.");
    EXPECT_EQ(messages[1], "a01eaf2 0000012C: Zembrix Error.");

    // "best" falls back to "cpu" and reports 300 only when that fails too.
    kx_error_stack_begin_call();
    kx_fault_fail_allocation(1);
    EXPECT_EQ(kx_device_create_from_string("best", "cpu:1", &device), KX_STATUS_SUCCESS);
    kx_fault_fail_allocation(0);
    EXPECT_EQ(threads_of(device), configured_processors() / 2);
    kx_device_release(device);
}

TEST(CpuFeatures, MatchTheProcessor) {
    const uint32_t features = kx_cpu_detect_features();
#if defined(__x86_64__) || defined(__i386__)
    // The compiler's runtime also requires the operating system to save the wide registers.
    EXPECT_EQ((features & KX_CPU_SSE41) != 0, __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ((features & KX_CPU_AVX) != 0, __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ((features & KX_CPU_AVX2) != 0, __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ((features & KX_CPU_AVX512F) != 0, __builtin_cpu_supports("avx512f") != 0);
    EXPECT_EQ(kx_cpu_facts().fma, __builtin_cpu_supports("fma") != 0);
    EXPECT_EQ(features & KX_CPU_NEON, 0u);
#elif defined(__aarch64__) || defined(__ARM_NEON)
    EXPECT_EQ(features, uint32_t{KX_CPU_NEON});
#endif

    kx_cpu_set_feature_mask(KX_CPU_SSE41);
    kx_device_t* device = nullptr;
    ASSERT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<kx_cpu_device_t*>(device->backend)->features, features & KX_CPU_SSE41);
    kx_device_release(device);
    kx_cpu_set_feature_mask(~0u);
}

// Reports as a processor gives them: leaf 1 ECX with SSE4.1 (19), FMA (12), OSXSAVE
// (27) and AVX (28); leaf 7 EBX with AVX2 (5), AVX512F (16), BW (30), VL (31); ECX VNNI (11).
TEST(CpuFeatures, WideRegistersNeedTheOperatingSystemsSupport) {
    constexpr uint32_t kLeaf1 = (1u << 19) | (1u << 12) | (1u << 28), kOsxsave = 1u << 27;
    constexpr uint32_t kLeaf7 = (1u << 5) | (1u << 16) | (1u << 30) | (1u << 31), kVnni = 1u << 11;
    const auto facts = [](uint32_t max_leaf, uint32_t ecx, uint32_t ebx7, uint64_t xcr0) {
        return kx_cpu_facts_from_report({max_leaf, ecx, ebx7, kVnni, xcr0});
    };
    constexpr uint32_t kAll = KX_CPU_SSE41 | KX_CPU_AVX | KX_CPU_AVX2 | KX_CPU_AVX512F;

    kx_cpu_facts_t f = facts(13, kLeaf1 | kOsxsave, kLeaf7, 0xE7);
    EXPECT_EQ(f.features, kAll);
    EXPECT_TRUE(f.fma && f.avx512_vnni);

    // Without OSXSAVE the XCR0 value means nothing: only SSE4.1 is usable.
    f = facts(13, kLeaf1, kLeaf7, 0xE7);
    EXPECT_EQ(f.features, uint32_t{KX_CPU_SSE41});
    EXPECT_FALSE(f.fma || f.avx512_vnni);
    // ymm state saved, zmm state not (a hypervisor hiding AVX-512).
    f = facts(13, kLeaf1 | kOsxsave, kLeaf7, 0x7);
    EXPECT_EQ(f.features, kAll & ~KX_CPU_AVX512F);
    EXPECT_TRUE(f.fma);
    EXPECT_FALSE(f.avx512_vnni);
    // Only the SSE state saved.
    EXPECT_EQ(facts(13, kLeaf1 | kOsxsave, kLeaf7, 0x3).features, uint32_t{KX_CPU_SSE41});

    // The bits stay independent; leaf 7 counts only above a maximum leaf of 6.
    EXPECT_EQ(facts(7, kOsxsave, kLeaf7 & ~(1u << 30), 0xE7).features, KX_CPU_AVX2 | KX_CPU_AVX512F);
    EXPECT_FALSE(facts(7, kOsxsave, kLeaf7 & ~(1u << 30), 0xE7).avx512_vnni);
    EXPECT_EQ(facts(6, kLeaf1 | kOsxsave, kLeaf7, 0xE7).features, KX_CPU_SSE41 | KX_CPU_AVX);
    EXPECT_EQ(facts(0, kLeaf1 | kOsxsave, kLeaf7, 0xE7).features, 0u);
}

TEST(CpuBackend, BuffersAreAlignedAndBorrowedOnesAreLeftAlone) {
    kx_device_t* device = nullptr;
    ASSERT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_SUCCESS);
    kx_buffer_t* buffer = kx_buffer_create(device, 100, 6);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 32, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->storage) % 32, 0u);
    EXPECT_EQ(kx_buffer_size(device, buffer), 100u);
    EXPECT_EQ(buffer->flags, 6u);
    const char text[] = "hello";
    EXPECT_EQ(kx_buffer_write(device, buffer, text, 10, sizeof(text)), KX_STATUS_SUCCESS);
    EXPECT_STREQ(static_cast<char*>(kx_buffer_map(device, buffer, 1)) + 10, "hello");
    kx_buffer_unmap(device, buffer, 0);
    kx_buffer_destroy(device, buffer);

    static int8_t constant_data[4] = {1, 2, 3, 4};
    static kx_buffer_t borrowed = {4, KX_BUFFER_FLAG_BORROWED, constant_data};
    kx_buffer_destroy(device, &borrowed);  // must not free static storage
    kx_buffer_destroy(device, nullptr);
    EXPECT_EQ(constant_data[3], 4);

    // Cached buffers go with the device when its last reference is dropped.
    device->cache[5].buffer = kx_buffer_create(device, 64, 0);
    kx_device_retain(device);
    kx_device_release(device);
    EXPECT_NE(device->cache[5].buffer, nullptr);
    kx_device_release(device);  // LeakSanitizer checks the cached buffer was freed
    kx_device_release(nullptr);
}

namespace {

int g_init_calls = 0, g_deinit_calls = 0;
int g_state_token = 0;
kx_status_t fake_init_ok(void*, void** state) {
    ++g_init_calls;
    *state = &g_state_token;
    return KX_STATUS_SUCCESS;
}
kx_status_t fake_init_fails(void*, void**) { return KX_STATUS_RUNTIME_ERROR; }
void fake_deinit(void*, void* state) {
    EXPECT_EQ(state, &g_state_token);
    ++g_deinit_calls;
}

}  // namespace

TEST(DeviceObject, OperatorInitAndDeinitFollowTheKindTable) {
    kx_device_ops_t fake = kx_cpu_device_ops;
    fake.destroy = nullptr;
    fake.op_init[1] = fake_init_ok;
    fake.op_init[5] = fake_init_ok;
    fake.op_deinit[1] = fake_deinit;
    fake.op_deinit[5] = fake_deinit;
    kx_device_ops[2] = &fake;

    kx_device_t* device = nullptr;
    ASSERT_EQ(kx_device_create(static_cast<kx_device_kind_t>(2), nullptr, &device), KX_STATUS_SUCCESS);
    EXPECT_EQ(g_init_calls, 2);
    EXPECT_EQ(device->op_state[1], &g_state_token);
    EXPECT_EQ(device->op_state[0], nullptr);
    kx_device_release(device);
    EXPECT_EQ(g_deinit_calls, 2);

    // A failing init stops creation with 801; operators initialised before it are undone.
    fake.op_init[7] = fake_init_fails;
    g_init_calls = g_deinit_calls = 0;
    kx_error_stack_begin_call();
    device = nullptr;
    EXPECT_EQ(kx_device_create(static_cast<kx_device_kind_t>(2), nullptr, &device), KX_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(g_init_calls, 2);
    EXPECT_EQ(g_deinit_calls, 2);
    const auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "a01eaf2 00000321: Failed to init operator");
    kx_device_ops[2] = nullptr;
}

TEST(HardwareDevices, ListsOneCpuLine) {
    char** lines = nullptr;
    int32_t count = 0;
    ASSERT_EQ(kx_orvel_list_hardware_devices(&lines, &count), KX_STATUS_SUCCESS);
    ASSERT_EQ(count, 1);
    const int n = configured_processors();
    EXPECT_EQ(std::string(lines[0]),
              "cpu:[0-" + std::to_string(n) + "] - CPU (" + std::to_string(n) + " threads)");
    kx_orvel_free_hardware_devices(lines, count);
    kx_orvel_free_hardware_devices(nullptr, 3);
}

TEST(HardwareDevices, ChecksArgumentsInOrder) {
    char** lines = nullptr;
    EXPECT_EQ(kx_orvel_list_hardware_devices(nullptr, nullptr), KX_STATUS_INVALID_ARGUMENT);
    auto messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "a01eaf2 00000064: Argument `hardware_devices` is NULL.");
    EXPECT_EQ(kx_orvel_list_hardware_devices(&lines, nullptr), KX_STATUS_INVALID_ARGUMENT);
    messages = fetch_error_stack();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "a01eaf2 00000064: Argument `num_hardware_devices` is NULL.");
}

TEST(HardwareDevices, OutOfMemoryLeavesNothingBehind) {
    for (int failing = 1; failing <= 3; ++failing) {
        char** lines = reinterpret_cast<char**>(1);
        int32_t count = 7;
        kx_fault_fail_allocation(failing);
        EXPECT_EQ(kx_orvel_list_hardware_devices(&lines, &count), KX_STATUS_OUT_OF_MEMORY) << failing;
        kx_fault_fail_allocation(0);
        EXPECT_EQ(lines, nullptr);
        EXPECT_EQ(count, 0);
        const auto messages = fetch_error_stack();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0], "a01eaf2 000000C8: Failed to allocate, out of memory.");
        // Failures inside the CPU kind's own listing are reported as an enumeration failure.
        if (failing <= 2) {
            ASSERT_EQ(messages.size(), 2u);
            EXPECT_EQ(messages[1], "a01eaf2 00000320: Zembrix Error.");
        }
    }
}
