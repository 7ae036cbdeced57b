// Audio files in any format libsndfile reads, as 16 kHz mono int16.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxtool {

struct Audio {
    std::vector<int16_t> pcm;  // 16 kHz mono
    int source_rate = 0;
    int source_channels = 0;
    std::string format;  // e.g. "WAV", "FLAC", "OGG", "MPEG"

    double seconds() const { return pcm.size() / 16000.0; }
};

struct AudioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the tool's own messages go: standard error, kept apart from the descriptor
// that decoder libraries print their notes on (see set_decoder_notes).
FILE* tool_err();

// Whether the decoders' own notes (mpg123's "Note: ..." lines) reach standard error;
// off, they go to /dev/null while a file is decoded.
void set_decoder_notes(bool shown);

// Writes 16 kHz mono 16-bit PCM WAV. Throws AudioError when it cannot.
void write_wav16(const std::string& path, const std::vector<int16_t>& pcm);

// Reads the file, averages the channels and resamples to 16 kHz with libsoxr.
// Throws AudioError when the file is missing, cannot be decoded or is empty.
Audio load_audio(const std::string& path);

}  // namespace kxtool
