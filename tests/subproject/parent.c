/* The application's program: links the vendored library through its target. */
#include <stdio.h>
#include <string.h>

#include <kx_orvel.h>

int main(void) {
    printf("kx_orvel %s\n", kx_orvel_version());
    return strcmp(kx_orvel_version(), "3.0.0") == 0 ? 0 : 1;
}
