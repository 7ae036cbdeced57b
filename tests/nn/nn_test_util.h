// Helpers shared by the network-runtime tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/cpu.h"
#include "device/device.h"
#include "nn/ops.h"

// A one-thread CPU device, released at the end of the scope.
class CpuDevice {
public:
    CpuDevice() {
        kx_cpu_device_t* cpu = nullptr;
        if (kx_cpu_backend_create(1, &cpu) == KX_STATUS_SUCCESS &&
            kx_device_create(KX_DEVICE_KIND_CPU, cpu, &device_) != KX_STATUS_SUCCESS)
            kx_cpu_device_ops.destroy(cpu);
    }
    ~CpuDevice() { kx_device_release(device_); }
    CpuDevice(const CpuDevice&) = delete;
    CpuDevice& operator=(const CpuDevice&) = delete;
    kx_device_t* get() const { return device_; }
    operator kx_device_t*() const { return device_; }

private:
    kx_device_t* device_ = nullptr;
};

// A device buffer destroyed at the end of the scope; contents move through map/unmap
// so that it works on every kind.
class Buffer {
public:
    Buffer(kx_device_t* device, uint32_t size) : device_(device), buffer_(kx_buffer_create(device, size, 0)) {
        std::vector<uint8_t> zero(size, 0);
        write(zero.data(), 0, size);
    }
    ~Buffer() {
        if (buffer_) kx_buffer_destroy(device_, buffer_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    kx_buffer_t* get() const { return buffer_; }

    void write(const void* source, uint32_t offset, uint32_t bytes) {
        auto* p = static_cast<uint8_t*>(kx_buffer_map(device_, buffer_, 1));
        std::memcpy(p + offset, source, bytes);
        kx_buffer_unmap(device_, buffer_, 1);
    }
    void read(void* destination, uint32_t offset, uint32_t bytes) const {
        auto* p = static_cast<uint8_t*>(kx_buffer_map(device_, buffer_, 1));
        std::memcpy(destination, p + offset, bytes);
        kx_buffer_unmap(device_, buffer_, 0);
    }
    template <typename T>
    void put(const std::vector<T>& values, uint32_t offset = 0) {
        write(values.data(), offset, static_cast<uint32_t>(values.size() * sizeof(T)));
    }
    template <typename T>
    std::vector<T> get_values(size_t count, uint32_t offset = 0) const {
        std::vector<T> values(count);
        read(values.data(), offset, static_cast<uint32_t>(count * sizeof(T)));
        return values;
    }

private:
    kx_device_t* device_;
    kx_buffer_t* buffer_;
};

inline kx_op_args_t make_args(std::initializer_list<kx_buffer_t*> buffers, std::initializer_list<int32_t> ints) {
    kx_op_args_t args{};
    int b = 0;
    for (kx_buffer_t* buffer : buffers) args.buffers[b++] = buffer;
    int i = 0;
    for (int32_t value : ints) args.ints[i++] = value;
    return args;
}

inline kx_status_t run_op(kx_device_t* device, kx_op_t op, std::initializer_list<kx_buffer_t*> buffers,
                          std::initializer_list<int32_t> ints) {
    const kx_op_args_t args = make_args(buffers, ints);
    return kx_op_execute(device, op, &args);
}

// A framed error-stack message as the library records it.
inline std::string framed(uint32_t code, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof(head), "a01eaf2 %08X: ", code);
    return head + text;
}

inline int16_t saturate16(int64_t v) { return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }
