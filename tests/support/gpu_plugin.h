// Chooses the GPU plug-in file that the next GPU device string loads.
#pragma once

#include <cstdlib>

#include "device/gpu_plugin.h"

// path null: the default lookup. Failure modes of the fake plug-in are cleared.
inline void use_gpu_plugin(const char* path) {
    kx_gpu_plugin_forget();
    if (path)
        setenv(KX_GPU_PLUGIN_ENV, path, 1);
    else
        unsetenv(KX_GPU_PLUGIN_ENV);
    unsetenv("KX_FAKE_GPU_FAIL");
    unsetenv("KX_FAKE_GPU_DEVICES");
}
