/* The public header must compile as strict C99 and link against the library. */
#include <stdio.h>
#include <string.h>

#include "kx_orvel.h"

int main(void) {
    char** lines = NULL;
    int32_t count = 0;
    char** stack = NULL;
    int32_t depth = 0;
    if (strcmp(kx_orvel_version(), "3.0.0") != 0) return 1;
    if (kx_sample_rate() != 16000) return 2;
    if (strcmp(kx_status_to_string(KX_STATUS_INVALID_STATE), "INVALID_STATE") != 0) return 3;
    /* The CPU line comes first; a GPU plug-in beside the library may add lines. */
    if (kx_orvel_list_hardware_devices(&lines, &count) != KX_STATUS_SUCCESS || count < 1) return 4;
    if (strncmp(lines[0], "cpu:[0-", 7) != 0) return 5;
    kx_orvel_free_hardware_devices(lines, count);
    if (kx_orvel_list_hardware_devices(NULL, &count) != KX_STATUS_INVALID_ARGUMENT) return 6;
    if (kx_get_error_stack(&stack, &depth) != KX_STATUS_SUCCESS || depth != 1) return 7;
    if (strstr(stack[0], "hardware_devices") == NULL) return 8;
    kx_free_error_stack(stack);
    puts("C99 header test passed");
    return 0;
}
