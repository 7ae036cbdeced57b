// Generated 16 kHz audio for tests, benchmarks, fuzz targets and the soak program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxtest {

// Pseudo-random 16-bit audio: noise with a slowly varying level, reproducible per seed.
std::vector<int16_t> make_test_audio(size_t samples, uint32_t seed, int32_t amplitude = 8000);

// Voiced syllables (a gliding pitch with formant-like harmonics, 3 to 5 per second)
// separated by short pauses, over low noise.
std::vector<int16_t> speech_like(size_t samples, uint32_t seed);

}  // namespace kxtest
