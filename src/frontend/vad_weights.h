// Trained constants of the built-in voice-activity detector (generated source:
// vad_weights.cpp is written by training/ and holds the values).
#pragma once

#include <cstdint>

constexpr int KX_VAD_UNITS = 80;
constexpr int KX_VAD_GATES = 3 * KX_VAD_UNITS;

extern const int8_t kx_vad_layer1_input_weights[KX_VAD_GATES * 80];
extern const int8_t kx_vad_layer1_input_bias[KX_VAD_GATES];
extern const int8_t kx_vad_layer1_recurrent_weights[KX_VAD_GATES * KX_VAD_UNITS];
extern const int8_t kx_vad_layer1_recurrent_bias[KX_VAD_GATES];
extern const int8_t kx_vad_layer2_input_weights[KX_VAD_GATES * KX_VAD_UNITS];
extern const int8_t kx_vad_layer2_input_bias[KX_VAD_GATES];
extern const int8_t kx_vad_layer2_recurrent_weights[KX_VAD_GATES * KX_VAD_UNITS];
extern const int8_t kx_vad_layer2_recurrent_bias[KX_VAD_GATES];
extern const int8_t kx_vad_output_weights[2 * KX_VAD_UNITS];
