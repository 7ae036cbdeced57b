// Logging switch, library settings and version.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "base/version.h"
#include "kx_orvel.h"

namespace {
bool g_log_enabled = true;
char g_sdk_name[32] = "c";
char g_home_dir[1024] = "";
std::mutex g_home_dir_lock;
constexpr size_t kHomeDirCapacity = sizeof(g_home_dir);
}  // namespace

void kx_log(const char* format, ...) {
    if (!g_log_enabled) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

const char* kx_home_dir() { return g_home_dir; }

extern "C" {

KX_API void kx_log_enable(void) { g_log_enabled = true; }
KX_API void kx_log_disable(void) { g_log_enabled = false; }
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
        kx_log("\033[31m[ERROR] The length of the given path is too long: %d, the maximum allowed length is %d\033[0m\n",
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
