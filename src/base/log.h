// Diagnostics and the stored home directory.
#pragma once

// Reports an error line (printf-style, no newline) while logging is on: to the
// application's log callback, or to standard output (red; plain on Windows, after
// switching the console's output code page to UTF-8).
void kx_log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stored home directory ("" until set).
const char* kx_home_dir();
