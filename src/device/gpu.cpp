// GPU device kind: finds and binds the plug-in library at run time, creates its devices
// and lists its lines after the CPU's.
#include "device/gpu_plugin.h"

#ifdef _WIN32
#include <windows.h>
#include <cwchar>
#else
#include <dlfcn.h>
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

// The platform's shared-object loader. The plug-in is loaded only by an absolute path:
// a bare or relative name would be searched for in the working directory and the
// search path, where anyone may have planted a file of that name.
#ifdef _WIN32
// Paths travel as UTF-16 to the loader (an install folder may have any name) and as
// UTF-8 in records.
struct NativePath {
    wchar_t value[768];
};
bool to_utf8(const wchar_t* wide, Text* out) {
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, out->value, sizeof(out->value), nullptr, nullptr) > 0;
}
bool absolute(const wchar_t* path) {
    const bool drive = path[0] && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool unc = (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
    return drive || unc;
}
// The environment's choice; false when unset or empty.
bool chosen_file(NativePath* path) {
    const wchar_t* chosen = _wgetenv(L"" KX_GPU_PLUGIN_ENV);
    if (!chosen || !*chosen || std::wcslen(chosen) >= sizeof(path->value) / sizeof(wchar_t)) return false;
    std::wcscpy(path->value, chosen);
    return true;
}
bool beside_library(NativePath* path) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&kx_gpu_device_create_from_index), &self))
        return false;
    const DWORD capacity = sizeof(path->value) / sizeof(wchar_t);
    const DWORD length = GetModuleFileNameW(self, path->value, capacity);
    if (length == 0 || length >= capacity) return false;
    wchar_t* slash = std::wcsrchr(path->value, L'\\');
    wchar_t* forward = std::wcsrchr(path->value, L'/');
    if (!slash || (forward && forward > slash)) slash = forward;
    if (!slash) return false;
    const wchar_t name[] = L"" KX_GPU_PLUGIN_DEFAULT_NAME;
    if (static_cast<size_t>(slash + 1 - path->value) + sizeof(name) / sizeof(wchar_t) > capacity) return false;
    std::wcscpy(slash + 1, name);
    return true;
}
void* open_library(const NativePath& file) {
    // Its own folder for the DLLs it imports, then System32: never the working
    // directory or PATH.
    return reinterpret_cast<void*>(
        LoadLibraryExW(file.value, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}
void* find_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void close_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
void open_error(Text* reason) {
    std::snprintf(reason->value, sizeof(reason->value), "LoadLibrary error %lu", GetLastError());
}
#else
struct NativePath {
    char value[768];
};
bool to_utf8(const char* path, Text* out) {
    std::snprintf(out->value, sizeof(out->value), "%s", path);
    return true;
}
bool absolute(const char* path) { return path[0] == '/'; }
bool chosen_file(NativePath* path) {
    const char* chosen = std::getenv(KX_GPU_PLUGIN_ENV);
    if (!chosen || !*chosen) return false;
    std::snprintf(path->value, sizeof(path->value), "%s", chosen);
    return true;
}
// The file that holds this code. The loader reports it as it was named when loaded,
// which is relative for a program started by a relative path; the kernel's map of the
// process names every file absolutely.
bool own_file(NativePath* path) {
    const void* address = reinterpret_cast<const void*>(&kx_gpu_device_create_from_index);
    Dl_info info{};
    if (dladdr(address, &info) && info.dli_fname && info.dli_fname[0] == '/') {
        std::snprintf(path->value, sizeof(path->value), "%s", info.dli_fname);
        return true;
    }
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (!maps) return false;
    bool found = false;
    char line[1024];
    while (!found && std::fgets(line, sizeof(line), maps)) {
        unsigned long long start = 0, end = 0;
        int name_at = 0;
        if (std::sscanf(line, "%llx-%llx %*s %*s %*s %*s %n", &start, &end, &name_at) < 2 || name_at <= 0) continue;
        const auto at = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address));
        if (at < start || at >= end || line[name_at] != '/') continue;
        line[std::strcspn(line, "\n")] = '\0';
        std::snprintf(path->value, sizeof(path->value), "%s", line + name_at);
        found = true;
    }
    std::fclose(maps);
    return found;
}
bool beside_library(NativePath* path) {
    NativePath self;
    if (!own_file(&self)) return false;
    const char* slash = std::strrchr(self.value, '/');
    const int written = std::snprintf(path->value, sizeof(path->value), "%.*s%s",
                                      static_cast<int>(slash + 1 - self.value), self.value,
                                      KX_GPU_PLUGIN_DEFAULT_NAME);
    return written > 0 && static_cast<size_t>(written) < sizeof(path->value);
}
void* open_library(const NativePath& file) { return dlopen(file.value, RTLD_NOW | RTLD_LOCAL); }
void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void close_library(void* library) { dlclose(library); }
void open_error(Text* reason) {
    const char* why = dlerror();
    std::snprintf(reason->value, sizeof(reason->value), "%s", why ? why : "unknown reason");
}
#endif

// The file to load: the environment's choice when it is an absolute path, else the
// file beside the library. False with the failure filled in otherwise.
bool plugin_file(NativePath* file, LoadFailure* failure) {
    failure->record = &KX_ERR_GPU_PLUGIN_LOAD;
    if (chosen_file(file)) {
        to_utf8(file->value, &failure->file);
        if (absolute(file->value)) return true;
        std::snprintf(failure->reason.value, sizeof(failure->reason.value),
                      "%s must be an absolute path, so that no other file of that name is loaded", KX_GPU_PLUGIN_ENV);
        return false;
    }
    std::snprintf(failure->file.value, sizeof(failure->file.value), "%s", KX_GPU_PLUGIN_DEFAULT_NAME);
    if (!beside_library(file)) {
        std::snprintf(failure->reason.value, sizeof(failure->reason.value),
                      "the library's own folder is unknown; set %s to the plug-in's absolute path", KX_GPU_PLUGIN_ENV);
        return false;
    }
    to_utf8(file->value, &failure->file);
    return true;
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
    NativePath file;
    if (!plugin_file(&file, failure)) return false;
    void* library = open_library(file);
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
