// GPU device kind: finds and binds the plug-in library at run time, creates its devices
// and lists its lines after the CPU's.
#include "device/gpu_plugin.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstddef>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/error.h"

const char* const kx_gpu_kernel_names[KX_OP_COUNT - 1] = {
    "add",  "linear_accumulate", "linear", "gelu",    "normalize_quantize", "lstm_cell",
    "matmul_f32", "copy",        "zero",   "relu",    "softmax",            "standardize",
};

namespace {

struct Plugin {
    void* library;
    kx_gpu_device_create_fn create;
    kx_gpu_last_error_fn last_error;
    kx_status_t (*list_devices)(char*** lines, int32_t* count);
    void (*free_device_list)(char** lines, int32_t count);
};

// Written only under the lock and only while unloaded; a GPU device (and a listing)
// exists only after a load that this thread saw through the lock.
std::mutex g_lock;
Plugin g_plugin;
bool g_loaded = false;

// The plug-in's kernels, reached through trampolines that add the plug-in's reason
// to a kernel failure (the dispatcher then records which operator failed).
kx_op_kernel_fn g_kernels[KX_OP_COUNT - 1];

template <int Op>
kx_status_t gpu_kernel(void* backend, void* op_state, const kx_op_args_t* args) {
    const kx_status_t status = g_kernels[Op](backend, op_state, args);
    if (status != KX_STATUS_SUCCESS && status != KX_STATUS_INVALID_ARGUMENT) {
        const char* why = g_plugin.last_error();
        kx_error_push(&KX_ERR_GPU_KERNEL, kx_gpu_kernel_names[Op], why && *why ? why : kx_status_to_string(status));
    }
    return status;
}

template <int... Ops>
constexpr std::array<kx_op_kernel_fn, sizeof...(Ops)> make_trampolines(std::integer_sequence<int, Ops...>) {
    return {gpu_kernel<Ops>...};
}
constexpr auto kTrampolines = make_trampolines(std::make_integer_sequence<int, KX_OP_COUNT - 1>());

// Texts for the error record; fixed buffers keep the library's exports free of
// template instantiations.
struct Text {
    char value[768];
};

struct LoadFailure {
    const kx_error_record_t* record;
    Text file;
    Text reason;
};

// The platform's shared-object loader.
#ifdef _WIN32
void* open_library(const char* file) { return reinterpret_cast<void*>(LoadLibraryA(file)); }
void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void close_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
void open_error(Text* reason) {
    std::snprintf(reason->value, sizeof(reason->value), "LoadLibrary error %lu", GetLastError());
}
bool exists(const char* file) { return GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES; }
bool own_file(Text* path) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&kx_gpu_device_create_from_index), &self))
        return false;
    const DWORD length = GetModuleFileNameA(self, path->value, sizeof(path->value));
    return length > 0 && length < sizeof(path->value);
}
#else
void* open_library(const char* file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void close_library(void* library) { dlclose(library); }
void open_error(Text* reason) {
    const char* why = dlerror();
    std::snprintf(reason->value, sizeof(reason->value), "%s", why ? why : "unknown reason");
}
bool exists(const char* file) { return access(file, F_OK) == 0; }
bool own_file(Text* path) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&kx_gpu_device_create_from_index), &info) || !info.dli_fname) return false;
    std::snprintf(path->value, sizeof(path->value), "%s", info.dli_fname);
    return true;
}
#endif

// The plug-in is built and installed beside the library, which this function is part of.
bool beside_library(Text* path) {
    Text self;
    if (!own_file(&self)) return false;
    const char* slash = std::strrchr(self.value, '/');
    const char* backslash = std::strrchr(self.value, '\\');
    if (!slash || (backslash && backslash > slash)) slash = backslash;
    if (!slash) return false;
    const int written = std::snprintf(path->value, sizeof(path->value), "%.*s%s",
                                      static_cast<int>(slash + 1 - self.value), self.value,
                                      KX_GPU_PLUGIN_DEFAULT_NAME);
    return written > 0 && static_cast<size_t>(written) < sizeof(path->value);
}

template <typename F>
bool bind(void* library, const char* suffix, F* out, Text* reason) {
    char name[96];
    std::snprintf(name, sizeof(name), "%s%s", KX_GPU_PLUGIN_SYMBOL_PREFIX, suffix);
    void* symbol = find_symbol(library, name);
    if (!symbol) {
        std::snprintf(reason->value, sizeof(reason->value), "it lacks %s", name);
        return false;
    }
    *out = reinterpret_cast<F>(symbol);
    return true;
}

bool bind_all(void* library, Plugin* plugin, kx_device_ops_t* ops, kx_op_kernel_fn* kernels, Text* reason) {
    kx_gpu_abi_version_fn abi = nullptr;
    if (!bind(library, "abi_version", &abi, reason)) return false;
    if (abi() != KX_GPU_PLUGIN_ABI_VERSION) {
        std::snprintf(reason->value, sizeof(reason->value),
                      "it implements interface version %d, the library needs %d", abi(), KX_GPU_PLUGIN_ABI_VERSION);
        return false;
    }
    const bool bound = bind(library, "device_create", &plugin->create, reason) &&
                       bind(library, "last_error", &plugin->last_error, reason) &&
                       bind(library, "list_devices", &plugin->list_devices, reason) &&
                       bind(library, "free_device_list", &plugin->free_device_list, reason) &&
                       bind(library, "device_destroy", &ops->destroy, reason) &&
                       bind(library, "buffer_create", &ops->buffer_create, reason) &&
                       bind(library, "buffer_destroy", &ops->buffer_destroy, reason) &&
                       bind(library, "buffer_write", &ops->buffer_write, reason) &&
                       bind(library, "buffer_map", &ops->buffer_map, reason) &&
                       bind(library, "buffer_unmap", &ops->buffer_unmap, reason) &&
                       bind(library, "buffer_size", &ops->buffer_size, reason);
    if (!bound) return false;
    // Kernels are optional: a missing one declines every call.
    for (int op = 0; op < KX_OP_COUNT - 1; ++op) {
        char name[96];
        std::snprintf(name, sizeof(name), "%skernel_%s", KX_GPU_PLUGIN_SYMBOL_PREFIX, kx_gpu_kernel_names[op]);
        kernels[op] = reinterpret_cast<kx_op_kernel_fn>(find_symbol(library, name));
        ops->op_kernel[op] = kernels[op] ? kTrampolines[op] : nullptr;
    }
    return true;
}

// Every entry before the listing ones, which a concurrent listing may be reading and
// which never change. Caller holds g_lock.
void install_bound(const kx_device_ops_t& bound) {
    static_assert(offsetof(kx_device_ops_t, free_device_list) + sizeof(bound.free_device_list) ==
                      sizeof(kx_device_ops_t),
                  "the listing entries close the table");
    std::memcpy(static_cast<void*>(&kx_gpu_device_ops), &bound, offsetof(kx_device_ops_t, list_devices));
}

// Caller holds g_lock.
bool load_locked(LoadFailure* failure) {
    if (g_loaded) return true;
    const char* chosen = std::getenv(KX_GPU_PLUGIN_ENV);
    const bool named = chosen && *chosen;
    Text& file = failure->file;
    std::snprintf(file.value, sizeof(file.value), "%s", named ? chosen : KX_GPU_PLUGIN_DEFAULT_NAME);
    Text beside;
    // The copy beside the library wins; its own load error (a missing GPU runtime) says
    // more than a search of the system path would.
    if (!named && beside_library(&beside) && exists(beside.value)) file = beside;
    void* library = open_library(file.value);
    if (!library) {
        failure->record = &KX_ERR_GPU_PLUGIN_LOAD;
        open_error(&failure->reason);
        return false;
    }
    Plugin plugin{};
    kx_device_ops_t ops = kx_gpu_device_ops;
    kx_op_kernel_fn kernels[KX_OP_COUNT - 1] = {};
    if (!bind_all(library, &plugin, &ops, kernels, &failure->reason)) {
        close_library(library);
        failure->record = &KX_ERR_GPU_PLUGIN_UNUSABLE;
        return false;
    }
    plugin.library = library;
    g_plugin = plugin;
    install_bound(ops);
    std::copy(kernels, kernels + KX_OP_COUNT - 1, g_kernels);
    g_loaded = true;
    return true;
}

// The listing shows the plug-in's lines when it can be loaded and nothing otherwise:
// a machine without a GPU lists its CPU as before.
kx_status_t gpu_list_devices(char*** lines, int32_t* count) {
    *lines = nullptr;
    *count = 0;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        LoadFailure ignored;
        if (!load_locked(&ignored)) return KX_STATUS_SUCCESS;
    }
    return g_plugin.list_devices(lines, count);
}

void gpu_free_device_list(char** lines, int32_t count) {
    if (lines) g_plugin.free_device_list(lines, count);
}

constexpr kx_device_ops_t make_listing_only_ops() {
    kx_device_ops_t ops{};
    ops.list_devices = gpu_list_devices;
    ops.free_device_list = gpu_free_device_list;
    return ops;
}

}  // namespace

kx_device_ops_t kx_gpu_device_ops = make_listing_only_ops();

kx_status_t kx_gpu_device_create_from_index(int32_t index, kx_device_t** out) {
    LoadFailure failure;
    bool loaded;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        loaded = load_locked(&failure);
    }
    if (!loaded) {
        kx_error_push(failure.record, failure.file.value, failure.reason.value);
        kx_error_push(&KX_ERR_BACKEND);
        kx_error_push(&KX_ERR_BACKEND);
        return KX_STATUS_RUNTIME_ERROR;
    }
    void* handle = nullptr;
    kx_status_t status = g_plugin.create(index, &handle);
    if (status != KX_STATUS_SUCCESS) {
        const char* why = g_plugin.last_error();
        kx_error_push(&KX_ERR_GPU_DEVICE, index, why && *why ? why : kx_status_to_string(status));
        kx_error_push(&KX_ERR_BACKEND);
        kx_error_push(&KX_ERR_BACKEND);
        return status;
    }
    status = kx_device_create(KX_DEVICE_KIND_CUDA, handle, out);
    if (status != KX_STATUS_SUCCESS) {
        kx_gpu_device_ops.destroy(handle);
        kx_error_push(&KX_ERR_BACKEND);
    }
    return status;
}

const char* kx_gpu_plugin_last_error() {
    const char* why = g_plugin.last_error ? g_plugin.last_error() : nullptr;
    return why ? why : "";
}

void kx_gpu_plugin_forget() {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_loaded) return;
    close_library(g_plugin.library);
    g_plugin = Plugin{};
    install_bound(make_listing_only_ops());
    g_loaded = false;
}
