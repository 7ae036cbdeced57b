// Diagnostics to standard output and the stored home directory.
#pragma once

// Writes a printf-style line to standard output while logging is on.
void kx_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stored home directory ("" until set).
const char* kx_home_dir();
