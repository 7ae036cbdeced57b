// kx-orvel: enroll speakers from audio files and recognise them, over the C interface.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio.h"
#include "batch.h"
#include "cli.h"
#include "json.h"
#include "library.h"
#include "model_file.h"
#include "timeline.h"

#ifndef KX_ORVEL_MODEL_FROM_BIN
#define KX_ORVEL_MODEL_FROM_BIN "../share/kx_orvel/default.kx"
#endif
#ifndef KX_ORVEL_INSTALLED_MODEL
#define KX_ORVEL_INSTALLED_MODEL ""
#endif
#ifndef KX_ORVEL_SOURCE_MODEL
#define KX_ORVEL_SOURCE_MODEL ""
#endif

namespace kxtool {
namespace {

constexpr float kDefaultVoiceThreshold = 0.3f;  // sparser windows embed as well; silence stays below
constexpr float kDefaultThreshold = 0.5f;
constexpr double kDefaultEnrollSeconds = 10.0;  // speech the default --min-chunks asks for
constexpr int kRate = 16000;

// --verbose: the library's log lines, its raw error stacks and the decoder's notes.
bool g_verbose = false;

const char* kUsage =
    "usage: kx-orvel COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  enroll --out NAME.profile [--model M] [--device D] [--voice-threshold V]\n"
    "         [--min-chunks N] FILE...\n"
    "      learn one speaker from audio files (WAV, FLAC, OGG, MP3; any rate,\n"
    "      any channel count) and write the speaker profile\n"
    "  recognize --profile A.profile [--profile B.profile ...] [--threshold T]\n"
    "         [--json] [--model M] [--device D] [--voice-threshold V] FILE...\n"
    "      score every file against every profile, best match first\n"
    "      many files: --list FILE (paths, one per line), --jobs N (threads, one\n"
    "      recognizer each), --jsonl (a JSON line per file as soon as it is\n"
    "      done), --output OUT.jsonl [--resume] (skip files already in OUT;\n"
    "      those that failed are tried again unless --skip-failed)\n"
    "  timeline [--profile A.profile ...] [--hop S] [--window S] [--threshold T]\n"
    "         [--min-turn S] [--switch-cost C] [--min-pause P] [--speakers N]\n"
    "         [--json | --rttm] FILE...\n"
    "      who spoke when: embed the audio every hop (default 0.5 s), score each\n"
    "      hop by the windows within S seconds around it (default: the model's\n"
    "      window) against every profile and choose the most likely sequence of\n"
    "      speakers, \"unknown\" and \"no speech\" (a change of speaker costs C,\n"
    "      default 0.3; a turn lasts at least S, default 1.5 s; no speech shorter\n"
    "      than P, default 1 s, between stretches of one speaker is part of the\n"
    "      turn); speech no profile claims is grouped into speaker_1, speaker_2,\n"
    "      ... (N of them if given); with no profile at all, plain diarization\n"
    "  devices [--json]\n"
    "      list the hardware devices: a line \"cpu:[0-N] - ...\" means --device\n"
    "      cpu:THREADS with THREADS up to N; \"gpu:I - NAME\" means --device gpu:I\n"
    "  convert IN OUT.wav\n"
    "      write any audio file the tool reads as the 16 kHz mono 16-bit WAV that\n"
    "      the library takes (for programs that use the library directly)\n"
    "  info [--model M] [--json]\n"
    "      show the model's header values and sizes\n"
    "\n"
    "common options:\n"
    "  --model M            model file (default: the installed default model,\n"
    "                       or $KX_ORVEL_MODEL)\n"
    "  --device D           best, cpu, cpu:THREADS, gpu, gpu:INDEX (default: best)\n"
    "  --voice-threshold V  minimum mean voice probability of a window (default 0.3)\n"
    "  --verbose            on standard error: the library's log lines, its raw\n"
    "                       error stack after a failure, and the decoder's notes\n"
    "\n"
    "exit codes: 0 success (a file without speech is a result), 1 usage,\n"
    "2 input problem (missing or undecodable file, too short for the model,\n"
    "not enough speech to enroll, profile of another model), 3 library failure\n";

std::string fmt(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), format, v);
    return buf;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string profile_name(const std::string& path) {
    std::string name = base_name(path);
    const std::string ext = ".profile";
    if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
        name.resize(name.size() - ext.size());
    return name;
}

bool file_exists(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

std::string executable_dir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    std::string path(buf);
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// --model, else $KX_ORVEL_MODEL, else next to the executable, else the install's
// data directory, else the source tree this tool was built from.
std::string resolve_model(const ParsedArgs& args) {
    if (args.has("model")) {
        const std::string path = args.get("model", "");
        if (!file_exists(path)) throw InputError(path + ": model file not found");
        return path;
    }
    if (const char* env = std::getenv("KX_ORVEL_MODEL"); env && *env) {
        if (!file_exists(env)) throw InputError(std::string(env) + ": model file (from KX_ORVEL_MODEL) not found");
        return env;
    }
    std::vector<std::string> candidates;
    const std::string exe = executable_dir();
    if (!exe.empty()) {
        candidates.push_back(exe + "/default.kx");
        candidates.push_back(exe + "/" KX_ORVEL_MODEL_FROM_BIN);
    }
    candidates.push_back(KX_ORVEL_INSTALLED_MODEL);
    candidates.push_back(KX_ORVEL_SOURCE_MODEL);
    std::string looked;
    for (const std::string& c : candidates) {
        if (c.empty()) continue;
        if (file_exists(c)) return c;
        looked += "\n  " + c;
    }
    throw InputError("no model file found; pass --model or set KX_ORVEL_MODEL. Looked in:" + looked);
}

std::optional<ModelFile> try_read_model(const std::string& path) {
    try {
        return read_model_file(path);
    } catch (const std::exception&) {
        return std::nullopt;  // the library will say what is wrong with it
    }
}

// The devices listing prints "cpu:[0-N] - CPU (N threads)"; that bracket is a range,
// not a device string, so say what to type instead.
std::string device_arg(const ParsedArgs& args) {
    const std::string device = args.get("device", "best");
    const size_t open = device.find(":[");
    if (open != std::string::npos) {
        const size_t dash = device.find('-', open), close = device.find(']', open);
        const std::string top =
            dash != std::string::npos && close != std::string::npos && close > dash
                ? device.substr(dash + 1, close - dash - 1) : "N";
        throw UsageError("'" + device + "' is the range the devices listing shows; pass one value in it, such as "
                         "--device " + device.substr(0, open) + ":" + top);
    }
    return device;
}

double window_seconds(const ModelFile& m) { return m.window_frames * 512.0 / kRate; }

// ------------------------------------------------------------------ progress

class Progress {
public:
    Progress() : tty_(isatty(fileno(tool_err())) != 0) {}
    void update(float percent, const std::string& file) {
        const int whole = int(std::floor(percent));
        if (whole == last_ && file == last_file_) return;
        if (tty_) {
            const int width = 30, filled = std::min(width, whole * width / 100);
            std::fprintf(tool_err(), "\r[%s%s] %3d%%  %-40.40s", std::string(filled, '#').c_str(),
                         std::string(width - filled, '.').c_str(), whole, base_name(file).c_str());
            std::fflush(tool_err());
            drawn_ = true;
        } else if (whole != last_) {
            std::fprintf(tool_err(), "enrollment %d%%\n", whole);
        }
        last_ = whole;
        last_file_ = file;
    }
    void finish() {
        if (drawn_) std::fputc('\n', tool_err());
        drawn_ = false;
    }

private:
    bool tty_;
    bool drawn_ = false;
    int last_ = -1;
    std::string last_file_;
};

// Library log lines go to standard error, so that standard output (and --json in
// particular) holds only results.
void log_to_stderr(int32_t, const char* message, void*) { std::fprintf(tool_err(), "kx-orvel: library: %s\n", message); }

// ------------------------------------------------------------------- enroll

int cmd_enroll(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(
        argv, {{"out", "model", "device", "voice-threshold", "min-chunks"}, {}, {"verbose"}});
    if (!args.has("out")) throw UsageError("enroll needs --out NAME.profile");
    if (args.positional.empty()) throw UsageError("enroll needs at least one audio file");
    const std::string out = args.get("out", "");
    const std::string device = device_arg(args);
    const float voice_threshold = args.get_float("voice-threshold", kDefaultVoiceThreshold, 0, 1);
    const int chunks_arg = args.get_int("min-chunks", 0, 1, 1000000);  // 0: from the model
    if (args.flag("verbose")) kx_log_enable();

    const std::string model = resolve_model(args);
    const std::optional<ModelFile> info = try_read_model(model);
    int min_chunks = chunks_arg;
    if (min_chunks == 0) {
        min_chunks = 1;
        if (info && info->window_frames > 0)
            min_chunks = std::max(1, int(std::ceil(kDefaultEnrollSeconds / window_seconds(*info))));
    }

    // Read every file first, so that a bad one fails before any work.
    std::vector<Audio> audio;
    for (const std::string& path : args.positional) {
        try {
            audio.push_back(load_audio(path));
        } catch (const AudioError& e) {
            throw InputError(e.what());
        }
    }

    Profiler profiler = make_profiler(model, device, min_chunks, voice_threshold);
    if (!info) throw InputError(model + ": cannot read the model's sizes");
    const int32_t frame = kx_orvel_profiler_frame_length();
    Progress progress;
    float percent = 0;
    double seconds = 0;
    for (size_t f = 0; f < audio.size(); ++f) {
        const std::vector<int16_t>& pcm = audio[f].pcm;
        seconds += audio[f].seconds();
        for (size_t at = 0; at + size_t(frame) <= pcm.size(); at += size_t(frame)) {
            check(kx_orvel_profiler_enroll(profiler.get(), pcm.data() + at, &percent), "kx_orvel_profiler_enroll");
            progress.update(percent, args.positional[f]);
        }
        check(kx_orvel_profiler_flush(profiler.get(), &percent), "kx_orvel_profiler_flush");
        progress.update(percent, args.positional[f]);
    }
    progress.finish();

    if (percent < 100.0f) {
        const int chunks = int(std::lround(percent * min_chunks / 100.0));
        const double per_window = window_seconds(*info);
        const double more = (min_chunks - chunks) * per_window;
        throw InputError(
            "not enough speech: enrollment reached " + std::to_string(int(std::floor(percent))) + "% (" + std::to_string(chunks) +
            " of " + std::to_string(min_chunks) + " speech windows of " + fmt("%.2f", per_window) +
            " s) from " + fmt("%.1f", seconds) + " s of audio; about " + fmt("%.1f", more) +
            " s more speech is needed. Add recordings of the same speaker, or lower --min-chunks.");
    }

    int32_t size = 0;
    check(kx_orvel_profiler_export_size(profiler.get(), &size), "kx_orvel_profiler_export_size");
    std::vector<unsigned char> profile(size_t(std::max(size, 0)));
    check(kx_orvel_profiler_export(profiler.get(), profile.data()), "kx_orvel_profiler_export");

    const std::string tmp = out + ".tmp";
    {
        std::ofstream file(tmp, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(profile.data()), std::streamsize(profile.size()));
        if (!file) throw InputError(out + ": cannot write profile: " + std::strerror(errno));
    }
    if (std::rename(tmp.c_str(), out.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw InputError(out + ": cannot write profile: " + std::strerror(errno));
    }
    std::printf("%s: speaker profile of %d bytes from %zu file(s), %.1f s of audio\n", out.c_str(), size,
                audio.size(), seconds);
    return kExitOk;
}

// ---------------------------------------------------------------- recognize

struct Profile {
    std::string name;
    std::string path;
    std::vector<float> values;
};

Profile load_profile(const std::string& path, const ModelFile& model) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw InputError(path + ": cannot read profile: " + std::strerror(errno));
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t expected = size_t(model.profile_size_bytes());
    if (bytes.size() != expected)
        throw InputError(path + ": profile has " + std::to_string(bytes.size()) + " bytes but the model " +
                         model.path + " needs " + std::to_string(expected) + " (embedding size " +
                         std::to_string(model.embedding_size) +
                         "); was it enrolled with another model?");
    Profile p;
    p.path = path;
    p.name = profile_name(path);
    p.values.resize(bytes.size() / 4);
    std::memcpy(p.values.data(), bytes.data(), bytes.size());  // little-endian hosts only
    return p;
}

// Profile names label scores and segments; these would read as labels of their own.
// Labels the timeline gives itself: a profile of that name is shown by its path.
bool reserved_label(const std::string& name) {
    if (name == "unknown" || name == "no speech") return true;
    const std::string anonymous = "speaker_";
    return name.size() > anonymous.size() && name.compare(0, anonymous.size(), anonymous) == 0 &&
           std::all_of(name.begin() + long(anonymous.size()), name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::vector<Profile> load_profiles(const std::vector<std::string>& paths, const ModelFile& info) {
    std::vector<Profile> profiles;
    for (const std::string& path : paths) profiles.push_back(load_profile(path, info));
    // Two profiles with one file name: tell them apart by path.
    for (size_t i = 0; i < profiles.size(); ++i) {
        bool clash = reserved_label(profiles[i].name);
        for (size_t j = 0; j < profiles.size(); ++j) clash |= i != j && profiles[i].name == profiles[j].name;
        if (clash) profiles[i].name = profiles[i].path;
    }
    return profiles;
}

std::vector<const float*> profile_pointers(const std::vector<Profile>& profiles) {
    std::vector<const float*> pointers;
    for (const Profile& p : profiles) pointers.push_back(p.values.data());
    return pointers;
}

ModelFile model_info(const std::string& model) {
    try {
        return read_model_file(model);
    } catch (const std::exception& e) {
        throw InputError(e.what());
    }
}

int32_t min_audio_samples(kx_orvel_t* recognizer) {
    int32_t min_samples = 0;
    check(kx_orvel_process_min_audio_length_samples(recognizer, &min_samples),
          "kx_orvel_process_min_audio_length_samples");
    return min_samples;
}

// What recognize and timeline need before scoring: a recognizer (made first, so that it
// proves the model before anything else is read), the profiles and the shortest audio.
struct Scoring {
    std::string model;
    Recognizer recognizer;
    std::vector<Profile> profiles;
    std::vector<const float*> pointers;
    int32_t min_samples = 0;
};

Scoring prepare_scoring(const ParsedArgs& args, const std::string& device, float voice_threshold) {
    Scoring scoring;
    scoring.model = resolve_model(args);
    scoring.recognizer = make_recognizer(scoring.model, device, voice_threshold);
    scoring.profiles = load_profiles(args.all("profile"), model_info(scoring.model));
    scoring.pointers = profile_pointers(scoring.profiles);
    scoring.min_samples = min_audio_samples(scoring.recognizer.get());
    return scoring;
}

// The audio of one file to be scored, or why it cannot be.
std::string load_for_scoring(const std::string& path, int32_t min_samples, Audio* audio) {
    try {
        *audio = load_audio(path);
    } catch (const AudioError& e) {
        return e.what();
    }
    if (audio->pcm.size() < size_t(min_samples))
        return path + ": too short (" + fmt("%.2f", audio->seconds()) + " s; at least " +
               fmt("%.2f", min_samples / double(kRate)) + " s needed)";
    if (audio->pcm.size() > size_t(INT32_MAX)) return path + ": too long";
    return "";
}

std::string library_error_text(const LibraryError& e) {
    std::string text = plain_sentence(e) + " (" + e.what() + ")";
    for (const std::string& line : e.stack) text += "; " + line;
    return text;
}

struct FileResult {
    std::string file;
    std::string error;             // set when the file could not be scored
    bool library_failure = false;  // the error came from the library, not the file
    double seconds = 0;
    bool speech = false;
    std::vector<std::pair<size_t, float>> scores;  // (profile index, score), best first
};

FileResult score_file(kx_orvel_t* recognizer, const std::string& path, int32_t min_samples,
                      const std::vector<const float*>& pointers) {
    FileResult r;
    r.file = path;
    Audio audio;
    r.error = load_for_scoring(path, min_samples, &audio);
    r.seconds = audio.seconds();
    if (!r.error.empty()) return r;
    std::optional<std::vector<float>> scores;
    try {
        scores = score_utterance(recognizer, audio.pcm.data(), audio.pcm.size(), pointers);
    } catch (const LibraryError& e) {
        r.error = path + ": " + library_error_text(e);
        r.library_failure = true;
        return r;
    }
    if (scores) {
        r.speech = true;
        for (size_t i = 0; i < scores->size(); ++i) r.scores.emplace_back(i, (*scores)[i]);
        std::stable_sort(r.scores.begin(), r.scores.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
    }
    return r;
}

// Opens a file's JSON object; one that failed gets its error, is closed, and false comes back.
bool begin_file_object(JsonWriter& w, const std::string& file, const std::string& error, double seconds) {
    w.begin_object();
    w.key("file").value(file);
    if (!error.empty()) {
        w.key("error").value(error);
        w.end_object();
        return false;
    }
    w.key("seconds").value(seconds);
    return true;
}

void write_result(JsonWriter& w, const FileResult& r, const std::vector<Profile>& profiles, float threshold) {
    if (!begin_file_object(w, r.file, r.error, r.seconds)) return;
    w.key("speech").value(r.speech);
    w.key("best");
    if (!r.scores.empty() && r.scores[0].second >= threshold)
        w.value(profiles[r.scores[0].first].name);
    else
        w.null();
    w.key("scores").begin_array();
    for (const auto& [index, score] : r.scores) {
        w.begin_object();
        w.key("profile").value(profiles[index].name);
        w.key("path").value(profiles[index].path);
        w.key("score").value(score);
        w.key("match").value(score >= threshold);
        w.end_object();
    }
    w.end_array();
    w.end_object();
}

void print_results(const std::vector<FileResult>& results, const std::vector<Profile>& profiles, float threshold) {
    size_t width = 4;
    for (const Profile& p : profiles) width = std::max(width, p.name.size());
    for (const FileResult& r : results) {
        if (!r.error.empty()) continue;
        if (!r.speech) {
            std::printf("%s (%.2f s): no speech found\n", r.file.c_str(), r.seconds);
            continue;
        }
        std::printf("%s (%.2f s):\n", r.file.c_str(), r.seconds);
        for (const auto& [index, score] : r.scores)
            std::printf("  %-*s  %.3f  %s\n", int(width), profiles[index].name.c_str(), score,
                        score >= threshold ? "match" : "-");
    }
}

int cmd_recognize(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(
        argv, {{"profile", "model", "device", "voice-threshold", "threshold", "jobs", "list", "output"},
               {"profile", "list"},
               {"json", "jsonl", "resume", "skip-failed", "verbose"}});
    if (!args.has("profile")) throw UsageError("recognize needs at least one --profile");
    std::vector<std::string> files = args.positional;
    if (files.empty() && !args.has("list")) throw UsageError("recognize needs at least one audio file");
    const std::string device = device_arg(args);
    const float voice_threshold = args.get_float("voice-threshold", kDefaultVoiceThreshold, 0, 1);
    const float threshold = args.get_float("threshold", kDefaultThreshold, 0, 1);
    const int jobs = args.get_int("jobs", 1, 1, 1024);
    const std::string output = args.get("output", "");
    const bool resume = args.flag("resume");
    if (resume && output.empty()) throw UsageError("--resume needs --output FILE");
    const bool skip_failed = args.flag("skip-failed");
    if (skip_failed && !resume) throw UsageError("--skip-failed goes with --resume");
    const bool jsonl = args.flag("jsonl") || !output.empty();
    if (jsonl && args.flag("json")) throw UsageError("--json writes one document; --jsonl and --output write lines");
    if (args.flag("verbose")) kx_log_enable();

    Scoring scoring = prepare_scoring(args, device, voice_threshold);
    const std::string& model = scoring.model;
    Recognizer first = std::move(scoring.recognizer);
    const std::vector<Profile>& profiles = scoring.profiles;
    const std::vector<const float*>& pointers = scoring.pointers;
    const int32_t min_samples = scoring.min_samples;
    for (const std::string& list : args.all("list")) {
        const std::vector<std::string> listed = read_list_file(list);
        files.insert(files.end(), listed.begin(), listed.end());
    }
    // A path given twice is scored once: its result would only be written twice.
    std::vector<std::pair<std::string, size_t>> repeated;
    files = without_repeats(files, &repeated);
    for (const auto& [path, times] : repeated)
        std::fprintf(tool_err(), "kx-orvel: %s is given %zu times; scored once\n", path.c_str(), times);

    size_t skipped = 0, retried = 0;
    if (resume) {
        size_t unreadable = 0;
        const std::set<std::string> done = files_in_output(output, skip_failed, &retried, &unreadable);
        if (unreadable)
            std::fprintf(tool_err(), "kx-orvel: %zu line(s) of %s were not valid JSON and were dropped; their files "
                                 "are scored again\n", unreadable, output.c_str());
        const size_t before = files.size();
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [&](const std::string& f) { return done.count(normal_path(f)); }),
                    files.end());
        skipped = before - files.size();
    }
    FILE* out = stdout;
    if (!output.empty()) {
        out = std::fopen(output.c_str(), resume ? "a" : "w");
        if (!out) throw InputError(output + ": cannot write: " + std::strerror(errno));
    }

    std::vector<FileResult> results(jsonl ? 0 : files.size());
    BatchProgress progress(files.size());
    size_t failed = 0;
    bool library_failure = false;
    std::mutex first_mutex;
    std::function<std::function<FileResult(size_t)>()> make_worker = [&]() -> std::function<FileResult(size_t)> {
        // Each thread scores with a recognizer of its own; one thread takes over the first.
        std::shared_ptr<kx_orvel_t> own;
        {
            std::lock_guard<std::mutex> lock(first_mutex);
            if (first) own = std::move(first);
        }
        if (!own) own = make_recognizer(model, device, voice_threshold);
        return [&, own](size_t i) { return score_file(own.get(), files[i], min_samples, pointers); };
    };
    run_parallel<FileResult>(files.size(), jobs, make_worker, [&](size_t i, FileResult& r) {
        progress.add(r.seconds);
        if (!r.error.empty()) {
            ++failed;
            library_failure |= r.library_failure;
            progress.clear();
            std::fprintf(tool_err(), "kx-orvel: %s\n", r.error.c_str());
        }
        if (!jsonl) {
            results[i] = std::move(r);
            return;
        }
        JsonWriter w;
        write_result(w, r, profiles, threshold);
        std::fprintf(out, "%s\n", w.str().c_str());
        std::fflush(out);
    });
    progress.finish();
    if (out != stdout && std::fclose(out) != 0) throw InputError(output + ": cannot write: " + std::strerror(errno));

    if (jsonl) {
        std::fprintf(tool_err(), "kx-orvel: %zu file(s) scored, %zu failed", files.size() - failed, failed);
        if (resume)
            std::fprintf(tool_err(), ", %zu skipped (already in %s%s), %zu failed before and tried again", skipped,
                         output.c_str(), skip_failed ? ", failures included" : "", retried);
        if (!repeated.empty()) std::fprintf(tool_err(), ", %zu given more than once", repeated.size());
        std::fprintf(tool_err(), "\n");
    } else if (args.flag("json")) {
        JsonWriter w;
        w.begin_object();
        w.key("model").value(model);
        w.key("threshold").value(threshold);
        w.key("voice_threshold").value(voice_threshold);
        w.key("results").begin_array();
        for (const FileResult& r : results) write_result(w, r, profiles, threshold);
        w.end_array();
        w.end_object();
        std::printf("%s\n", w.str().c_str());
    } else {
        print_results(results, profiles, threshold);
    }
    if (library_failure) return kExitLibrary;
    return failed ? kExitInput : kExitOk;
}

// ----------------------------------------------------------------- timeline

// RTTM fields are separated by white space: keep names in one field.
std::string rttm_field(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return std::isspace(static_cast<unsigned char>(c)); },
                    '_');
    return text.empty() ? "_" : text;
}

// Recording ids of the paths: the file's name without its extension, then "-2", "-3"
// ... for other paths that would get an id already taken (a/x.wav and b/x.wav).
std::map<std::string, std::string> recording_ids(const std::vector<std::string>& paths) {
    std::map<std::string, std::string> ids;
    std::set<std::string> taken;
    for (const std::string& path : paths) {
        if (ids.count(path)) continue;
        std::string name = base_name(path);
        const size_t dot = name.find_last_of('.');
        if (dot != std::string::npos && dot > 0) name.resize(dot);
        const std::string stem = rttm_field(name);
        std::string id = stem;
        for (int n = 2; taken.count(id); ++n) id = stem + "-" + std::to_string(n);
        taken.insert(id);
        ids[path] = id;
    }
    return ids;
}

int cmd_timeline(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(
        argv, {{"profile", "model", "device", "voice-threshold", "threshold", "hop", "window", "min-turn",
                "switch-cost", "min-pause", "speakers"},
               {"profile"},
               {"json", "rttm", "verbose"}});
    if (args.positional.empty()) throw UsageError("timeline needs at least one audio file");
    if (args.flag("json") && args.flag("rttm")) throw UsageError("choose one of --json and --rttm");
    const std::string device = device_arg(args);
    const float voice_threshold = args.get_float("voice-threshold", kDefaultVoiceThreshold, 0, 1);
    TimelineOptions options;
    options.threshold = args.get_float("threshold", options.threshold, 0, 1);
    options.hop = args.get_float("hop", options.hop, 0.032f, 60.0f);
    if (args.has("window")) options.window = args.get_float("window", 0, 0.01f, 3600.0f);
    options.min_turn = args.get_float("min-turn", options.min_turn, 0, 60.0f);
    options.switch_cost = args.get_float("switch-cost", options.switch_cost, 0, 1000.0f);
    options.min_pause = args.get_float("min-pause", options.min_pause, 0, 3600.0f);
    options.speakers = args.get_int("speakers", 0, 1, 1000);
    if (args.flag("verbose")) kx_log_enable();

    const Scoring scoring = prepare_scoring(args, device, voice_threshold);
    const std::vector<Profile>& profiles = scoring.profiles;
    if (args.has("window") && std::lround(options.window * kRate) < scoring.min_samples)
        throw InputError("--window " + fmt("%g", options.window) + " s is shorter than the " +
                         fmt("%.2f", scoring.min_samples / double(kRate)) + " s the model needs");
    std::vector<std::string> names;
    for (const Profile& p : profiles) names.push_back(p.name);

    struct FileTimeline {
        std::string file, error;
        double seconds = 0;
        Timeline timeline;
    };
    std::vector<FileTimeline> timelines;
    bool input_problem = false;
    for (const std::string& path : args.positional) {
        FileTimeline t;
        t.file = path;
        Audio audio;
        t.error = load_for_scoring(path, scoring.min_samples, &audio);
        t.seconds = audio.seconds();
        if (!t.error.empty()) {
            input_problem = true;
            std::fprintf(tool_err(), "kx-orvel: %s\n", t.error.c_str());
            timelines.push_back(t);
            continue;
        }
        t.timeline = make_timeline(scoring.recognizer.get(), audio.pcm.data(), audio.pcm.size(), names,
                                   scoring.pointers, voice_threshold, options);
        timelines.push_back(t);
    }

    if (args.flag("rttm")) {
        const std::map<std::string, std::string> ids = recording_ids(args.positional);
        for (const FileTimeline& t : timelines)
            for (const Segment& s : t.timeline.segments)
                if (s.label != kNoSpeech)
                    std::printf("SPEAKER %s 1 %.3f %.3f <NA> <NA> %s <NA> <NA>\n", ids.at(t.file).c_str(),
                                s.start, s.end - s.start, rttm_field(label_name(t.timeline, s.label)).c_str());
    } else if (args.flag("json")) {
        JsonWriter w;
        w.begin_object();
        w.key("model").value(scoring.model);
        w.key("threshold").value(options.threshold);
        w.key("voice_threshold").value(voice_threshold);
        w.key("hop").value(double(hop_frames(options.hop)) * 512 / kRate);
        w.key("window").value(options.window > 0 ? double(std::lround(options.window * kRate)) / kRate
                                                 : double(scoring.min_samples) / kRate);
        w.key("min_turn").value(options.min_turn);
        w.key("switch_cost").value(options.switch_cost);
        w.key("min_pause").value(options.min_pause);
        w.key("files").begin_array();
        for (const FileTimeline& t : timelines) {
            if (!begin_file_object(w, t.file, t.error, t.seconds)) continue;
            w.key("segments").begin_array();
            for (const Segment& s : t.timeline.segments) {
                w.begin_object();
                w.key("start").value(s.start);
                w.key("end").value(s.end);
                w.key("label").value(label_name(t.timeline, s.label));
                w.key("score");
                if (s.has_score) w.value(s.score); else w.null();
                w.end_object();
            }
            w.end_array();
            w.end_object();
        }
        w.end_array();
        w.end_object();
        std::printf("%s\n", w.str().c_str());
    } else {
        for (const FileTimeline& t : timelines) {
            if (!t.error.empty()) continue;
            std::printf("%s (%.2f s, %zu windows of %.2f s every %.2f s):\n", t.file.c_str(), t.seconds,
                        t.timeline.windows, t.timeline.window_seconds, t.timeline.hop_seconds);
            std::printf("  %9s  %9s  %-20s  %s\n", "start", "end", "speaker", "score");
            for (const Segment& s : t.timeline.segments) {
                const std::string score = s.has_score ? fmt("%.3f", s.score) : "-";
                std::printf("  %9.2f  %9.2f  %-20s  %s\n", s.start, s.end, label_name(t.timeline, s.label).c_str(),
                            score.c_str());
            }
        }
    }
    return input_problem ? kExitInput : kExitOk;
}

// --------------------------------------------------------- devices and info

int cmd_devices(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(argv, {{}, {}, {"json", "verbose"}});
    if (!args.positional.empty()) throw UsageError("devices takes no files");
    if (args.flag("verbose")) kx_log_enable();
    const std::vector<std::string> devices = hardware_devices();
    if (args.flag("json")) {
        JsonWriter w;
        w.begin_object().key("devices").begin_array();
        for (const std::string& d : devices) w.value(d);
        w.end_array().end_object();
        std::printf("%s\n", w.str().c_str());
    } else {
        for (const std::string& d : devices) std::printf("%s\n", d.c_str());
    }
    return kExitOk;
}

int cmd_info(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(argv, {{"model", "device"}, {}, {"json", "verbose"}});
    if (!args.positional.empty()) throw UsageError("info takes no files");
    if (args.flag("verbose")) kx_log_enable();
    const std::string model = resolve_model(args);
    Recognizer recognizer = make_recognizer(model, device_arg(args), kDefaultVoiceThreshold);
    const int32_t min_samples = min_audio_samples(recognizer.get());
    ModelFile m;
    try {
        m = read_model_file(model);
    } catch (const std::exception& e) {
        throw InputError(e.what());
    }

    if (args.flag("json")) {
        JsonWriter w;
        w.begin_object();
        w.key("model").value(model);
        w.key("file_size").value(double(m.file_size));
        w.key("library_version").value(std::string(kx_orvel_version()));
        w.key("format").value(m.magic);
        w.key("version").value(m.version);
        w.key("window_frames").value(m.window_frames);
        w.key("lookahead_frames").value(m.lookahead_frames);
        w.key("score_thresholds").begin_array();
        for (float t : m.score_thresholds) w.value(t);
        w.end_array();
        w.key("frame_length").value(m.frame_length);
        w.key("hop_length").value(m.hop_length);
        w.key("num_bands").value(m.num_bands);
        w.key("log_floor").value(m.log_floor);
        w.key("layer_count").value(m.layer_count);
        w.key("norm_epsilon").value(m.norm_epsilon);
        w.key("layers").begin_array();
        for (int i = 0; i < m.layer_count; ++i) {
            w.begin_object();
            w.key("hidden_size").value(m.forward[size_t(i)].hidden_size);
            w.key("input_size").value(m.forward[size_t(i)].input_size);
            w.end_object();
        }
        w.end_array();
        w.key("pooled_size").value(m.pooled_size);
        w.key("projection_kind").value(m.projection_kind);
        w.key("embedding_size").value(m.embedding_size);
        w.key("parameter_count").value(double(m.parameter_count));
        w.key("profile_size_bytes").value(m.profile_size_bytes());
        w.key("min_audio_samples").value(min_samples);
        w.key("min_audio_seconds").value(min_samples / double(kRate));
        w.end_object();
        std::printf("%s\n", w.str().c_str());
        return kExitOk;
    }

    std::printf("model             %s (%lld bytes)\n", model.c_str(), (long long)m.file_size);
    std::printf("format            %s %s (library %s)\n", m.magic.c_str(), m.version.c_str(), kx_orvel_version());
    std::printf("window            %d frames (%.3f s)\n", m.window_frames, window_seconds(m));
    std::printf("look-ahead        %d frames (%.3f s)\n", m.lookahead_frames, m.lookahead_frames * 512.0 / kRate);
    std::printf("score thresholds  low %.4f, mid %.4f, high %.4f\n", double(m.score_thresholds[0]),
                double(m.score_thresholds[1]), double(m.score_thresholds[2]));
    std::printf("front end         frame %d, hop %d, %d bands, log floor %g\n", m.frame_length, m.hop_length,
                m.num_bands, double(m.log_floor));
    std::printf("network           %d bidirectional layer(s)", m.layer_count);
    for (int i = 0; i < m.layer_count; ++i)
        std::printf("%s %d->%d", i ? "," : ":", m.forward[size_t(i)].input_size, m.forward[size_t(i)].hidden_size);
    std::printf(", norm epsilon %g\n", double(m.norm_epsilon));
    std::printf("pooling           %d values, projection %s\n", m.pooled_size,
                m.projection_kind == 0 ? "none" : (std::to_string(m.pooled_size) + " -> " +
                                                   std::to_string(m.embedding_size)).c_str());
    std::printf("embedding size    %d (profile %d bytes)\n", m.embedding_size, m.profile_size_bytes());
    std::printf("parameters        %lld\n", (long long)m.parameter_count);
    std::printf("min audio length  %d samples (%.3f s)\n", min_samples, min_samples / double(kRate));
    return kExitOk;
}

int cmd_convert(const std::vector<std::string>& argv) {
    const ParsedArgs args = parse_args(argv, {{}, {}, {"verbose"}});
    if (args.positional.size() != 2) throw UsageError("convert takes an input file and an output .wav file");
    Audio audio;
    try {
        audio = load_audio(args.positional[0]);
        write_wav16(args.positional[1], audio.pcm);
    } catch (const AudioError& e) {
        throw InputError(e.what());
    }
    std::printf("%s: %.2f s of 16 kHz mono 16-bit audio\n", args.positional[1].c_str(), audio.seconds());
    return kExitOk;
}

void print_library_error(const LibraryError& e) {
    std::fprintf(tool_err(), "kx-orvel: %s\n", plain_sentence(e).c_str());
    if (!g_verbose) {
        std::fprintf(tool_err(), "kx-orvel: (--verbose shows the library's error stack)\n");
        return;
    }
    std::fprintf(tool_err(), "kx-orvel: %s\n", e.what());
    if (e.stack.empty()) std::fprintf(tool_err(), "  (the library recorded no messages)\n");
    for (const std::string& line : e.stack) std::fprintf(tool_err(), "  %s\n", line.c_str());
}

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) throw UsageError("missing command");
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("kx-orvel %s\n", kx_orvel_version());
        return kExitOk;
    }
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
    g_verbose = std::find(args.begin(), args.end(), "--verbose") != args.end();
    set_decoder_notes(g_verbose);
    kx_log_disable();
    kx_set_log_callback(log_to_stderr, nullptr);
    kx_set_sdk("kx-orvel");
    if (command == "enroll") return cmd_enroll(args);
    if (command == "recognize") return cmd_recognize(args);
    if (command == "timeline") return cmd_timeline(args);
    if (command == "devices") return cmd_devices(args);
    if (command == "info") return cmd_info(args);
    if (command == "convert") return cmd_convert(args);
    throw UsageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace kxtool

int main(int argc, char** argv) {
    using namespace kxtool;
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(tool_err(), "kx-orvel: %s\n\n%s", e.what(), kUsage);
        return kExitUsage;
    } catch (const InputError& e) {
        std::fprintf(tool_err(), "kx-orvel: %s\n", e.what());
        return kExitInput;
    } catch (const LibraryError& e) {
        print_library_error(e);
        return kExitLibrary;
    } catch (const std::exception& e) {
        std::fprintf(tool_err(), "kx-orvel: %s\n", e.what());
        return kExitLibrary;
    }
}
