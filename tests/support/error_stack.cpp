#include "support/error_stack.h"

#include "kx_orvel.h"

std::vector<std::string> fetch_error_stack() {
    char** stack = nullptr;
    int32_t depth = 0;
    std::vector<std::string> messages;
    if (kx_get_error_stack(&stack, &depth) != KX_STATUS_SUCCESS && !stack) return messages;
    for (int32_t i = 0; i < depth; ++i) messages.emplace_back(stack[i]);
    kx_free_error_stack(stack);
    return messages;
}

std::string message_text(const std::string& framed) {
    const size_t colon = framed.find(": ");
    return colon == std::string::npos ? framed : framed.substr(colon + 2);
}
