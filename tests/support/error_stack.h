// Test helper: the calling thread's error stack as strings.
#pragma once

#include <string>
#include <vector>

// Fetches (and thereby clears) the calling thread's messages; empty when none.
std::vector<std::string> fetch_error_stack();

// The message text after the "a01eaf2 XXXXXXXX: " frame.
std::string message_text(const std::string& framed);
