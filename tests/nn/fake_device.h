// A device kind for tests, installed in reserved kind slot 2: its buffers live in
// "device memory" that the host reaches only through map/unmap (staging copies that
// hold garbage unless the contents were asked for), and its kernels can be set per test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/device.h"
#include "nn/ops.h"

constexpr kx_device_kind_t KX_FAKE_KIND = static_cast<kx_device_kind_t>(2);

struct FakeBackend {
    int32_t buffers_alive = 0;
    int32_t maps_open = 0;
    int32_t double_maps = 0;      // a buffer mapped again before being unmapped
    int32_t writes_failing = 0;   // buffer_write fails while non-zero
    int32_t kernel_calls = 0;
    int32_t kernel_declines = 0;
    int32_t destroyed = 0;
};

// Installs the fake kind with the given kernels (null entries: none) and restores the
// slot when it goes out of scope.
class FakeKind {
public:
    explicit FakeKind(const kx_op_kernel_fn kernels[KX_OP_COUNT] = nullptr);
    ~FakeKind();
    kx_device_t* device() const { return device_; }
    FakeBackend& backend() { return backend_; }

private:
    kx_device_ops_t ops_;
    FakeBackend backend_;
    kx_device_t* device_ = nullptr;
};

// The device memory behind a fake buffer (for kernels, which run "on the device").
uint8_t* fake_device_memory(kx_buffer_t* buffer);
