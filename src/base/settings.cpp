// Logging switch, library settings and version.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "base/log.h"
#include "base/version.h"
#include "kx_orvel.h"

namespace {
// Read by library code on any thread while the application may switch it.
std::atomic<bool> g_log_enabled{true};
// The application's receiver of diagnostic lines (null: standard output). Lines are
// delivered under the lock, so once kx_set_log_callback returns the old receiver and
// its user data are no longer used.
std::mutex g_log_lock;
kx_log_callback_t g_log_callback = nullptr;
void* g_log_user_data = nullptr;
char g_sdk_name[32] = "c";
char g_home_dir[1024] = "";
std::mutex g_home_dir_lock;
constexpr size_t kHomeDirCapacity = sizeof(g_home_dir);
}  // namespace

void kx_log_error(const char* format, ...) {
    if (!g_log_enabled.load(std::memory_order_relaxed)) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(g_log_lock);
    if (g_log_callback) {
        g_log_callback(KX_LOG_ERROR, line, g_log_user_data);
        return;
    }
#if defined(_WIN32)
    // Windows consoles get plain lines, in UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    std::printf("[ERROR] %s\n", line);
#else
    std::printf("\033[31m[ERROR] %s\033[0m\n", line);
#endif
    std::fflush(stdout);
}

const char* kx_home_dir() { return g_home_dir; }

extern "C" {

KX_API void kx_log_enable(void) { g_log_enabled.store(true, std::memory_order_relaxed); }
KX_API void kx_log_disable(void) { g_log_enabled.store(false, std::memory_order_relaxed); }

KX_API void kx_set_log_callback(kx_log_callback_t callback, void* user_data) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    g_log_callback = callback;
    g_log_user_data = callback ? user_data : nullptr;
}
KX_API int32_t kx_sample_rate(void) { return 16000; }
KX_API const char* kx_orvel_version(void) { return KX_ORVEL_VERSION_STRING; }

KX_API void kx_set_sdk(const char* name) {
    if (!name) return;
    std::strncpy(g_sdk_name, name, sizeof(g_sdk_name) - 1);
    g_sdk_name[sizeof(g_sdk_name) - 1] = '\0';
}

KX_API const char* kx_get_sdk(void) { return g_sdk_name; }

KX_API kx_status_t kx_set_home_dir(const char* path) {
    if (!path) return KX_STATUS_INVALID_ARGUMENT;
    const size_t length = std::strlen(path);
    if (length >= kHomeDirCapacity) {
        kx_log_error("The length of the given path is too long: %d, the maximum allowed length is %d",
                     static_cast<int>(length), static_cast<int>(kHomeDirCapacity - 1));
        return KX_STATUS_INVALID_ARGUMENT;
    }
    std::lock_guard<std::mutex> guard(g_home_dir_lock);
    std::memset(g_home_dir, 0, sizeof(g_home_dir));
    std::memcpy(g_home_dir, path, length + 1);
    return KX_STATUS_SUCCESS;
}

KX_API void kx_free(void* ptr) { std::free(ptr); }

}  // extern "C"
