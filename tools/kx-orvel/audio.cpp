#include "audio.h"

#include <sndfile.h>
#include <soxr.h>

#include <cmath>
#include <memory>

namespace kxtool {
namespace {

constexpr int kRate = 16000;

struct SndCloser {
    void operator()(SNDFILE* f) const { sf_close(f); }
};

std::string major_format_name(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.extension)
        return info.extension;
    return "unknown";
}

int16_t to_int16(float x) {
    const float v = std::nearbyint(x * 32768.0f);
    if (v > 32767.0f) return 32767;
    if (v < -32768.0f) return -32768;
    return static_cast<int16_t>(v);
}

}  // namespace

Audio load_audio(const std::string& path) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) throw AudioError(path + ": cannot read audio: " + sf_strerror(nullptr));
    if (info.channels < 1 || info.samplerate < 1) throw AudioError(path + ": audio has no channels");

    Audio audio;
    audio.source_rate = info.samplerate;
    audio.source_channels = info.channels;
    audio.format = major_format_name(info.format);

    // Mono mix in float; frame counts of compressed formats can be estimates, so
    // read until the decoder stops.
    std::vector<float> mono;
    if (info.frames > 0 && info.frames < (int64_t(1) << 31)) mono.reserve(size_t(info.frames));
    std::vector<float> block(size_t(4096) * info.channels);
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), block.data(), 4096);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c) sum += block[size_t(i) * info.channels + c];
            mono.push_back(sum / float(info.channels));
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR)
        throw AudioError(path + ": cannot decode audio: " + sf_strerror(file.get()));
    if (mono.empty()) throw AudioError(path + ": audio file holds no samples");

    std::vector<float> resampled;
    if (info.samplerate == kRate) {
        resampled.swap(mono);
    } else {
        const double ratio = double(kRate) / info.samplerate;
        resampled.resize(size_t(std::ceil(mono.size() * ratio)) + 16);
        size_t done = 0;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t err = soxr_oneshot(info.samplerate, kRate, 1, mono.data(), mono.size(), nullptr,
                                        resampled.data(), resampled.size(), &done, &io, &quality, nullptr);
        if (err) throw AudioError(path + ": cannot resample audio: " + err);
        resampled.resize(done);
    }

    audio.pcm.resize(resampled.size());
    for (size_t i = 0; i < resampled.size(); ++i) audio.pcm[i] = to_int16(resampled[i]);
    return audio;
}

}  // namespace kxtool
