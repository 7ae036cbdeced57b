#include "audio.h"

#include <sndfile.h>
#include <soxr.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

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

bool g_decoder_notes = false;
std::mutex g_quiet_mutex;
int g_quiet_users = 0;
int g_saved_stderr = -1;

// Standard error goes to /dev/null while any thread decodes (libmpg123 prints there).
class QuietDecoder {
public:
    QuietDecoder() {
        if (g_decoder_notes) return;
        tool_err();  // the tool's own stream is a copy of the real descriptor
        std::lock_guard<std::mutex> lock(g_quiet_mutex);
        if (g_quiet_users++ == 0) {
            std::fflush(stderr);
            g_saved_stderr = dup(2);
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 2);
                close(null);
            }
        }
        active_ = true;
    }
    ~QuietDecoder() {
        if (!active_) return;
        std::lock_guard<std::mutex> lock(g_quiet_mutex);
        if (--g_quiet_users == 0 && g_saved_stderr >= 0) {
            std::fflush(stderr);
            dup2(g_saved_stderr, 2);
            close(g_saved_stderr);
            g_saved_stderr = -1;
        }
    }
    QuietDecoder(const QuietDecoder&) = delete;
    QuietDecoder& operator=(const QuietDecoder&) = delete;

private:
    bool active_ = false;
};

}  // namespace

FILE* tool_err() {
    static FILE* const err = [] {
        const int fd = dup(2);
        FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (!f) return stderr;
        setvbuf(f, nullptr, _IONBF, 0);
        return f;
    }();
    return err;
}

void set_decoder_notes(bool shown) { g_decoder_notes = shown; }

void write_wav16(const std::string& path, const std::vector<int16_t>& pcm) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::unique_ptr<SNDFILE, SndCloser> file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) throw AudioError(path + ": cannot write: " + sf_strerror(nullptr));
    if (sf_write_short(file.get(), pcm.data(), sf_count_t(pcm.size())) != sf_count_t(pcm.size()))
        throw AudioError(path + ": cannot write: " + sf_strerror(file.get()));
}

Audio load_audio(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) throw AudioError(path + ": cannot read: " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw AudioError(path + ": is a folder, not an audio file");
    if (access(path.c_str(), R_OK) != 0) throw AudioError(path + ": cannot read: " + std::strerror(errno));
    QuietDecoder quiet;
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    // libsndfile says "does not exist" for any file it cannot make sense of.
    if (!file) throw AudioError(path + ": cannot decode: not an audio format the tool reads (WAV, FLAC, OGG, MP3, ...), or damaged");
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
