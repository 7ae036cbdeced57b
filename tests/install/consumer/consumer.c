/* An outside program built against the installed library. */
#include <stdio.h>

#include <kx_orvel.h>

int main(int argc, char** argv) {
    char** devices = NULL;
    int32_t count = 0;
    printf("version %s\n", kx_orvel_version());
    if (kx_orvel_list_hardware_devices(&devices, &count) != KX_STATUS_SUCCESS || count < 1) return 1;
    printf("device %s\n", devices[0]);
    kx_orvel_free_hardware_devices(devices, count);
    if (argc > 1) {
        kx_orvel_t* recognizer = NULL;
        int32_t samples = 0;
        kx_log_disable();
        if (kx_orvel_init(argv[1], "best", 0.5f, &recognizer) != KX_STATUS_SUCCESS) return 2;
        if (kx_orvel_process_min_audio_length_samples(recognizer, &samples) != KX_STATUS_SUCCESS) return 3;
        printf("min samples %d\n", samples);
        kx_orvel_delete(recognizer);
    }
    return 0;
}
