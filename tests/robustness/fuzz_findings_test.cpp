// Regressions of defects the fuzz targets found (their inputs are kept under
// fuzz/regressions/ as well).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/cpu.h"
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

// LINEAR and LINEAR_ACCUMULATE on every SIMD path against the reference, for column
// counts with every kind of tail. Found by the op-program fuzzer in a Debug build: the
// AVX2 8-column tail step widened a 128-bit sum with a cast whose upper half is
// undefined, which optimised builds happen to leave zero.
TEST(FuzzFindings, LinearKernelsMatchTheReferenceForEveryColumnTail) {
    kx_device_t* reference = cpu_device(true);
    ASSERT_NE(reference, nullptr);
    std::vector<kx_device_t*> devices;
    for (uint32_t mask : {0u, uint32_t{KX_CPU_SSE41}, uint32_t{KX_CPU_SSE41 | KX_CPU_AVX | KX_CPU_AVX2}, ~0u}) {
        kx_cpu_set_feature_mask(mask);
        devices.push_back(cpu_device(false));
        kx_cpu_set_feature_mask(~0u);
        ASSERT_NE(devices.back(), nullptr);
    }
    uint32_t state = 99;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::vector<uint8_t> in(2 * 30 * 40), weights(30 * 40), bias(30), out(2 * 30 * 30);
    for (uint8_t& v : in) v = static_cast<uint8_t>(next());
    for (uint8_t& v : weights) v = static_cast<uint8_t>(next());
    for (uint8_t& v : bias) v = static_cast<uint8_t>(next());
    for (uint8_t& v : out) v = static_cast<uint8_t>(next());

    auto run = [&](kx_device_t* device, kx_op_t op, int32_t vectors, int32_t rows, int32_t columns) {
        kx_buffer_t* b[4] = {kx_buffer_create(device, static_cast<uint32_t>(out.size()), 0),
                             kx_buffer_create(device, static_cast<uint32_t>(in.size()), 0),
                             kx_buffer_create(device, static_cast<uint32_t>(weights.size()), 0),
                             kx_buffer_create(device, static_cast<uint32_t>(bias.size()), 0)};
        const std::vector<uint8_t>* contents[4] = {&out, &in, &weights, &bias};
        for (int i = 0; i < 4; ++i)
            kx_buffer_write(device, b[i], contents[i]->data(), 0, static_cast<uint32_t>(contents[i]->size()));
        kx_op_args_t args{};
        for (int i = 0; i < 4; ++i) args.buffers[i] = b[i];
        args.ints[0] = vectors;
        args.ints[1] = rows;
        args.ints[2] = columns;
        EXPECT_EQ(kx_op_execute(device, op, &args), KX_STATUS_SUCCESS);
        const auto* result = static_cast<const uint8_t*>(kx_buffer_map(device, b[0], 1));
        std::vector<uint8_t> copy(result, result + out.size());
        kx_buffer_unmap(device, b[0], 0);
        for (kx_buffer_t* buffer : b) kx_buffer_destroy(device, buffer);
        return copy;
    };
    int mismatches = 0;
    for (kx_op_t op : {KX_OP_LINEAR, KX_OP_LINEAR_ACCUMULATE}) {
        for (int32_t vectors : {1, 2, 30}) {
            for (int32_t rows : {1, 2, 3, 4, 5, 7, 30}) {
                for (int32_t columns = 1; columns <= 40; ++columns) {
                    const std::vector<uint8_t> expected = run(reference, op, vectors, rows, columns);
                    for (size_t d = 0; d < devices.size(); ++d) {
                        if (run(devices[d], op, vectors, rows, columns) != expected && ++mismatches <= 5)
                            ADD_FAILURE() << "device " << d << " op " << op << " vectors " << vectors << " rows "
                                          << rows << " columns " << columns;
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    for (kx_device_t* device : devices) kx_device_release(device);
    kx_device_release(reference);
}

}  // namespace
