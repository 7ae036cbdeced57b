// Regressions of defects the fuzz targets found (their inputs are kept under
// fuzz/regressions/ as well).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/device.h"
#include "nn/ops.h"
#include "support/error_stack.h"

namespace {

kx_device_t* cpu_device(bool reference_only) {
    kx_device_t* device = nullptr;
    EXPECT_EQ(kx_device_create_from_string("cpu:1", "cpu:1", &device), KX_STATUS_SUCCESS);
    if (device && reference_only) device->flags |= KX_DEVICE_FLAG_REFERENCE_ONLY;
    return device;
}

// SOFTMAX with its output over its own input: the kernel declines the overlap and the
// reference ran with rows it had already overwritten, so the "maximum" was exceeded
// and the exponent tables were read before their start (UBSan: index -61).
TEST(FuzzFindings, SoftmaxOverItsOwnInputStaysInsideItsTables) {
    for (bool reference_only : {false, true}) {
        kx_device_t* device = cpu_device(reference_only);
        ASSERT_NE(device, nullptr);
        kx_buffer_t* buffer = kx_buffer_create(device, 4096, 0);
        ASSERT_NE(buffer, nullptr);
        auto* storage = static_cast<int16_t*>(kx_buffer_map(device, buffer, 0));
        // Equal rows at the bottom of the range: every probability written back reads
        // as a value far above the row's maximum.
        for (int i = 0; i < 2048; ++i) storage[i] = -32768;
        kx_buffer_unmap(device, buffer, 1);
        kx_op_args_t args{};
        args.buffers[0] = buffer;
        args.buffers[1] = buffer;
        args.ints[0] = 10;  // rows
        args.ints[1] = 10;  // row length
        const kx_status_t status = kx_op_execute(device, KX_OP_SOFTMAX, &args);
        EXPECT_TRUE(status == KX_STATUS_SUCCESS || status == KX_STATUS_INVALID_ARGUMENT);
        const auto* out = static_cast<const int32_t*>(kx_buffer_map(device, buffer, 1));
        if (status == KX_STATUS_SUCCESS) {
            for (int i = 0; i < 100; ++i) EXPECT_GE(out[i], 0) << i;  // probabilities
        }
        kx_buffer_unmap(device, buffer, 0);
        kx_buffer_destroy(device, buffer);
        kx_device_release(device);
        fetch_error_stack();
    }
}

}  // namespace
