// The GPU device kind: its contract with the plug-in library that serves it, and the
// loader that finds that library at run time (never at load, so the library works
// without any plug-in and fails a GPU device string with a record naming what is missing).
#pragma once

#include <cstdint>

#include "device/device.h"
#include "device/operators.h"

// Raised whenever the functions or records below change meaning or layout.
constexpr int32_t KX_GPU_PLUGIN_ABI_VERSION = 1;

// The plug-in's file name, looked for beside the library only; the environment
// variable names another file by its absolute path (a relative one is refused).
#ifdef _WIN32
#define KX_GPU_PLUGIN_DEFAULT_NAME "kx_orvel_vulkan.dll"
#else
#define KX_GPU_PLUGIN_DEFAULT_NAME "libkx_orvel_vulkan.so"
#endif
#define KX_GPU_PLUGIN_ENV "KX_ORVEL_GPU_PLUGIN"

// Functions a plug-in exports with C linkage: kx_gpu_abi_version, kx_gpu_device_create,
// kx_gpu_last_error (types below); kx_gpu_device_destroy, kx_gpu_buffer_create,
// kx_gpu_buffer_destroy, kx_gpu_buffer_write, kx_gpu_buffer_map, kx_gpu_buffer_unmap,
// kx_gpu_buffer_size, kx_gpu_list_devices and kx_gpu_free_device_list, with the types of
// the device kind's operations of those names (device.h; each takes the handle from
// device creation first); and kx_gpu_kernel_<operator> for operators 0 to 11 (names in
// kx_gpu_kernel_names). A kernel returns SUCCESS, INVALID_ARGUMENT to decline (the
// reference then runs on mapped buffers) or a failure status; a plug-in may leave a
// kernel out, which declines every call. SUM_POOL (12) never has one. The library's
// own records live in its host heap, so a plug-in allocates only its buffers.
extern "C" {
typedef int32_t (*kx_gpu_abi_version_fn)(void);
// Creates the device with the given index. INVALID_ARGUMENT for an index the plug-in
// does not list, RUNTIME_ERROR when the GPU runtime or device is unusable,
// OUT_OF_MEMORY; on failure the handle is left null.
typedef kx_status_t (*kx_gpu_device_create_fn)(int32_t index, void** handle);
// The calling thread's message for the plug-in's last failure ("" when none).
typedef const char* (*kx_gpu_last_error_fn)(void);
}

#define KX_GPU_PLUGIN_SYMBOL_PREFIX "kx_gpu_"
// Kernel symbols: KX_GPU_PLUGIN_SYMBOL_PREFIX "kernel_" + the operator's name.
extern const char* const kx_gpu_kernel_names[KX_OP_COUNT - 1];

// The device kind's operation table. Only its listing entries are set before the
// plug-in is loaded (they load it themselves and list nothing when there is none); the
// loader fills the rest once, before the first GPU device exists, and never again.
extern kx_device_ops_t kx_gpu_device_ops;

// Creates a GPU device from the index of a device string: loads the plug-in on first
// use, creates its device and wraps it (records name the missing plug-in, runtime or GPU).
kx_status_t kx_gpu_device_create_from_index(int32_t index, kx_device_t** out);

// Test hook: forget a loaded plug-in's functions so that the next GPU string loads the
// file that the environment names now. Only while no GPU device exists.
void kx_gpu_plugin_forget();

// The loaded plug-in's reason for its last failure on this thread ("" when none).
const char* kx_gpu_plugin_last_error();
