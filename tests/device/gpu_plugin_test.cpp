#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device/device.h"
#include "base/error.h"
#include "nn/ops.h"
#include "support/error_stack.h"
#include "support/gpu_plugin.h"
#include "support/model_writer.h"

namespace {

struct Created {
    kx_status_t status;
    kx_device_t* device;
    std::vector<std::string> texts;
};

Created create(const char* text) {
    kx_error_stack_begin_call();
    Created result{KX_STATUS_SUCCESS, nullptr, {}};
    result.status = kx_device_create_from_string(text, "cpu:1", &result.device);
    for (const std::string& m : fetch_error_stack()) result.texts.push_back(message_text(m));
    return result;
}

std::vector<std::string> listing(kx_status_t* status = nullptr) {
    char** lines = nullptr;
    int32_t count = 0;
    const kx_status_t s = kx_orvel_list_hardware_devices(&lines, &count);
    if (status) *status = s;
    std::vector<std::string> result(lines, lines + count);
    kx_orvel_free_hardware_devices(lines, count);
    return result;
}

class GpuPlugin : public ::testing::Test {
protected:
    void TearDown() override { use_gpu_plugin(nullptr); }
};

}  // namespace

TEST_F(GpuPlugin, WithoutAUsablePluginGpuStringsFailNamingWhatIsMissingAndTheCpuWorks) {
    const std::string missing = "/nonexistent/libkx_nothing.so";
    const struct {
        const char* file;
        std::string reason;
    } cases[] = {
        {missing.c_str(), "GPU plug-in `" + missing + "` could not be loaded: " + missing},
        // A library that is no plug-in: the first function it lacks is named.
        {KX_SHARED_LIBRARY, std::string("GPU plug-in `") + KX_SHARED_LIBRARY + "` is unusable: it lacks kx_gpu_abi_version"},
    };
    for (const auto& c : cases) {
        use_gpu_plugin(c.file);
        for (const char* text : {"gpu", "g", "gpu:1"}) {
            Created r = create(text);
            EXPECT_EQ(r.status, KX_STATUS_RUNTIME_ERROR) << text;
            EXPECT_EQ(r.device, nullptr);
            ASSERT_EQ(r.texts.size(), 3u) << text;
            EXPECT_EQ(r.texts[0].rfind(c.reason, 0), 0u) << r.texts[0];
        }
        // The listing shows the CPU alone; "best" and CPU strings are untouched.
        kx_status_t status;
        const std::vector<std::string> lines = listing(&status);
        EXPECT_EQ(status, KX_STATUS_SUCCESS);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("cpu:[0-", 0), 0u);
        for (const char* text : {"best", "cpu:1"}) {
            Created r = create(text);
            ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
            EXPECT_EQ(r.device->kind, KX_DEVICE_KIND_CPU);
            kx_device_release(r.device);
        }
    }
}

// Only an absolute path is loaded: a relative or bare name would be looked for in the
// working directory or the search path, where another file of that name may lie.
TEST_F(GpuPlugin, OnlyAnAbsolutePathIsLoaded) {
    // A working plug-in in the working directory, named relatively: refused.
    char* previous = getcwd(nullptr, 0);
    ASSERT_NE(previous, nullptr);
    const std::string folder = kxtest::temp_path("plugin_folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string copy = folder + "/libplanted.so";
    ASSERT_EQ(symlink(KX_FAKE_GPU_PLUGIN, copy.c_str()), 0);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (const char* relative : {"./libplanted.so", "libplanted.so", "sub/../libplanted.so"}) {
        use_gpu_plugin(relative);
        const Created r = create("gpu");
        EXPECT_EQ(r.status, KX_STATUS_RUNTIME_ERROR) << relative;
        EXPECT_EQ(r.device, nullptr);
        if (r.device) kx_device_release(r.device);
        ASSERT_FALSE(r.texts.empty()) << relative;
        EXPECT_EQ(r.texts[0], std::string("GPU plug-in `") + relative +
                                  "` could not be loaded: KX_ORVEL_GPU_PLUGIN must be an absolute path, so that no "
                                  "other file of that name is loaded");
        EXPECT_EQ(listing().size(), 1u) << relative;
    }
    // Named by its absolute path, the same file loads.
    use_gpu_plugin(copy.c_str());
    Created r = create("gpu");
    EXPECT_EQ(r.status, KX_STATUS_SUCCESS);
    kx_device_release(r.device);
    use_gpu_plugin(nullptr);
    EXPECT_EQ(chdir(previous), 0);
    std::free(previous);
    unlink(copy.c_str());
    rmdir(folder.c_str());

    // Unnamed: only the file beside the code that holds the loader (here the test
    // program), never a bare name for the search path.
    r = create("gpu");
    EXPECT_EQ(r.status, KX_STATUS_RUNTIME_ERROR);
    ASSERT_FALSE(r.texts.empty());
    const std::string prefix = "GPU plug-in `/";
    EXPECT_EQ(r.texts[0].compare(0, prefix.size(), prefix), 0) << r.texts[0];
    EXPECT_NE(r.texts[0].find("/libkx_orvel_vulkan.so` could not be loaded: "), std::string::npos) << r.texts[0];
}

TEST_F(GpuPlugin, ListsItsLinesAfterTheCpuAndCreatesTheListedDevices) {
    use_gpu_plugin(KX_FAKE_GPU_PLUGIN);
    setenv("KX_FAKE_GPU_DEVICES", "2", 1);
    const std::vector<std::string> lines = listing();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("cpu:", 0), 0u);
    EXPECT_EQ(lines[1], "gpu:0 - Fake GPU 0");
    EXPECT_EQ(lines[2], "gpu:1 - Fake GPU 1");

    for (const char* text : {"gpu", "gp", "gpu:1"}) {
        Created r = create(text);
        ASSERT_EQ(r.status, KX_STATUS_SUCCESS) << text;
        EXPECT_EQ(r.device->kind, KX_DEVICE_KIND_CUDA);
        EXPECT_TRUE(r.texts.empty());
        kx_device_release(r.device);
    }
    // "best" never picks the GPU.
    Created best = create("best");
    ASSERT_EQ(best.status, KX_STATUS_SUCCESS);
    EXPECT_EQ(best.device->kind, KX_DEVICE_KIND_CPU);
    kx_device_release(best.device);
}

TEST_F(GpuPlugin, DeviceCreationFailuresPassThePluginsStatusAndReasonOn) {
    use_gpu_plugin(KX_FAKE_GPU_PLUGIN);
    setenv("KX_FAKE_GPU_DEVICES", "2", 1);
    Created unlisted = create("gpu:2");
    EXPECT_EQ(unlisted.status, KX_STATUS_INVALID_ARGUMENT);
    ASSERT_EQ(unlisted.texts.size(), 3u);
    EXPECT_EQ(unlisted.texts[0], "GPU device 2 could not be created: index 2 is not listed");

    setenv("KX_FAKE_GPU_DEVICES", "0", 1);
    Created none = create("gpu");
    EXPECT_EQ(none.status, KX_STATUS_RUNTIME_ERROR);
    ASSERT_FALSE(none.texts.empty());
    EXPECT_EQ(none.texts[0], "GPU device 0 could not be created: no fake GPU");
    EXPECT_EQ(listing().size(), 1u);

    setenv("KX_FAKE_GPU_DEVICES", "1", 1);
    setenv("KX_FAKE_GPU_FAIL", "list", 1);
    kx_status_t status;
    EXPECT_TRUE(listing(&status).empty());
    EXPECT_EQ(status, KX_STATUS_OUT_OF_MEMORY);
}

TEST_F(GpuPlugin, KernelsRunDeclineToTheReferenceOrFailWithThePluginsReason) {
    use_gpu_plugin(KX_FAKE_GPU_PLUGIN);
    const int16_t x[4] = {1, -32768, 32767, 7};
    const int16_t y[4] = {2, -1, 1, -7};
    for (const bool failing : {false, true}) {
        if (failing) setenv("KX_FAKE_GPU_FAIL", "kernel", 1);
        Created r = create("gpu");
        ASSERT_EQ(r.status, KX_STATUS_SUCCESS);
        kx_device_t* d = r.device;
        kx_buffer_t* buffers[4];
        for (kx_buffer_t*& buffer : buffers) buffer = kx_buffer_create(d, 8, 0);
        ASSERT_EQ(kx_buffer_write(d, buffers[0], x, 0, 8), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_buffer_write(d, buffers[1], y, 0, 8), KX_STATUS_SUCCESS);
        ASSERT_EQ(kx_buffer_write(d, buffers[3], x, 0, 8), KX_STATUS_SUCCESS);

        kx_error_stack_begin_call();
        const kx_op_args_t even{{buffers[2], buffers[0], buffers[1]}, {4, 0, 0, 0}};
        const kx_status_t status = kx_op_execute(d, KX_OP_ADD, &even);
        const std::vector<std::string> messages = fetch_error_stack();
        if (failing) {
            EXPECT_EQ(status, KX_STATUS_RUNTIME_ERROR);
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_EQ(message_text(messages[0]), "GPU kernel `add` failed: fake kernel failure");
        } else {
            ASSERT_EQ(status, KX_STATUS_SUCCESS);
            EXPECT_TRUE(messages.empty());
            const auto* out = static_cast<const int16_t*>(kx_buffer_map(d, buffers[2], 1));
            EXPECT_EQ(std::vector<int16_t>(out, out + 4), (std::vector<int16_t>{3, -32768, 32767, 0}));
            kx_buffer_unmap(d, buffers[2], 0);
        }
        // An odd offset is declined and runs on the reference, failing mode or not:
        // the same bytes as with every kernel bypassed.
        std::vector<uint8_t> results[2];
        for (int pass = 0; pass < 2; ++pass) {
            d->flags = pass ? KX_DEVICE_FLAG_REFERENCE_ONLY : 0;
            kx_buffer_t* out = buffers[2 + pass];
            const kx_op_args_t odd{{out, buffers[0], buffers[1]}, {3, 1, 1, 1}};
            ASSERT_EQ(kx_op_execute(d, KX_OP_ADD, &odd), KX_STATUS_SUCCESS);
            const auto* bytes = static_cast<const uint8_t*>(kx_buffer_map(d, out, 1));
            results[pass].assign(bytes, bytes + 8);
            kx_buffer_unmap(d, out, 0);
            if (pass == 0) {
                ASSERT_EQ(kx_buffer_write(d, buffers[3], results[0].data(), 0, 8), KX_STATUS_SUCCESS);
            }
        }
        EXPECT_EQ(results[0], results[1]);
        for (kx_buffer_t* buffer : buffers) kx_buffer_destroy(d, buffer);
        kx_device_release(d);
    }
}
