#pragma once

#define KX_ORVEL_VERSION_STRING "3.0.0"

// Writes a printf-style line to standard output while logging is on.
void kx_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stored home directory ("" until set).
const char* kx_home_dir();
