#include "batch.h"

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "audio.h"
#include "cli.h"

namespace kxtool {
namespace {

void append_utf8(unsigned code, std::string* out) {
    if (code < 0x80) {
        *out += char(code);
    } else if (code < 0x800) {
        *out += char(0xC0 | (code >> 6));
        *out += char(0x80 | (code & 0x3F));
    } else {
        *out += char(0xE0 | (code >> 12));
        *out += char(0x80 | ((code >> 6) & 0x3F));
        *out += char(0x80 | (code & 0x3F));
    }
}

// Four hex digits at text[at], or false.
bool hex4(const std::string& text, size_t at, unsigned* code) {
    if (at + 4 > text.size()) return false;
    *code = 0;
    for (size_t k = at; k < at + 4; ++k) {
        const char c = text[k];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        *code = *code * 16 + unsigned(digit);
    }
    return true;
}

// The value of a line's leading "file" member, as the JSON-lines writer puts it first;
// *end is where the value's closing quote is. False for a line the writer did not write.
bool leading_file(const std::string& line, std::string* file, size_t* end) {
    const std::string head = "{\"file\": \"";
    if (line.compare(0, head.size(), head) != 0) return false;
    file->clear();
    for (size_t i = head.size(); i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            *end = i;
            return true;
        }
        if (c != '\\') {
            *file += c;
            continue;
        }
        if (++i >= line.size()) return false;
        switch (line[i]) {
            case 'n': *file += '\n'; break;
            case 'r': *file += '\r'; break;
            case 't': *file += '\t'; break;
            case 'b': *file += '\b'; break;
            case 'f': *file += '\f'; break;
            case 'u': {
                unsigned code = 0;
                if (!hex4(line, i + 1, &code)) return false;
                // U+DC80..U+DCFF stand for bytes that were not UTF-8 (see JsonWriter).
                if (code >= 0xDC80 && code <= 0xDCFF)
                    *file += char(code - 0xDC00);
                else
                    append_utf8(code, file);
                i += 4;
                break;
            }
            default: *file += line[i];
        }
    }
    return false;
}

bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

std::string clock_text(double seconds) {
    const long s = long(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof(buf), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof(buf), "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// A recursive-descent check of one JSON value at text[*at]; depth bounds the nesting.
bool json_value(const std::string& t, size_t* at, int depth);

void skip_space(const std::string& t, size_t* at) {
    while (*at < t.size() && (t[*at] == ' ' || t[*at] == '\t' || t[*at] == '\r' || t[*at] == '\n')) ++*at;
}

bool json_string(const std::string& t, size_t* at) {
    if (*at >= t.size() || t[*at] != '"') return false;
    for (size_t i = *at + 1; i < t.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(t[i]);
        if (c < 0x20) return false;
        if (c == '"') {
            *at = i + 1;
            return true;
        }
        if (c != '\\') continue;
        if (++i >= t.size()) return false;
        unsigned code = 0;
        if (t[i] == 'u') {
            if (!hex4(t, i + 1, &code)) return false;
            i += 4;
        } else if (std::string("\"\\/bfnrt").find(t[i]) == std::string::npos) {
            return false;
        }
    }
    return false;
}

bool json_number(const std::string& t, size_t* at) {
    const size_t start = *at;
    if (*at < t.size() && t[*at] == '-') ++*at;
    const auto digits = [&] {
        const size_t from = *at;
        while (*at < t.size() && t[*at] >= '0' && t[*at] <= '9') ++*at;
        return *at > from;
    };
    if (!digits()) return false;
    if (*at < t.size() && t[*at] == '.' && (++*at, !digits())) return false;
    if (*at < t.size() && (t[*at] == 'e' || t[*at] == 'E')) {
        ++*at;
        if (*at < t.size() && (t[*at] == '+' || t[*at] == '-')) ++*at;
        if (!digits()) return false;
    }
    return *at > start;
}

bool json_members(const std::string& t, size_t* at, int depth, char close, bool keyed) {
    ++*at;
    skip_space(t, at);
    if (*at < t.size() && t[*at] == close) return ++*at, true;
    for (;;) {
        if (keyed) {
            skip_space(t, at);
            if (!json_string(t, at)) return false;
            skip_space(t, at);
            if (*at >= t.size() || t[(*at)++] != ':') return false;
        }
        if (!json_value(t, at, depth + 1)) return false;
        skip_space(t, at);
        if (*at >= t.size()) return false;
        const char c = t[(*at)++];
        if (c == close) return true;
        if (c != ',') return false;
    }
}

bool json_value(const std::string& t, size_t* at, int depth) {
    if (depth > 64) return false;
    skip_space(t, at);
    if (*at >= t.size()) return false;
    const char c = t[*at];
    if (c == '{') return json_members(t, at, depth, '}', true);
    if (c == '[') return json_members(t, at, depth, ']', false);
    if (c == '"') return json_string(t, at);
    for (const char* word : {"true", "false", "null"})
        if (t.compare(*at, std::strlen(word), word) == 0) return *at += std::strlen(word), true;
    return json_number(t, at);
}

}  // namespace

bool valid_json(const std::string& text) {
    size_t at = 0;
    if (!json_value(text, &at, 0)) return false;
    skip_space(text, &at);
    return at == text.size();
}

std::string normal_path(const std::string& path) {
    if (path.empty()) return path;
    std::string out = path[0] == '/' ? "/" : "";
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") {
            if (!out.empty() && out.back() != '/') out += '/';
            out += part;
        }
        at = slash + 1;
    }
    return out.empty() ? "." : out;
}

std::set<std::string> files_in_output(const std::string& path, bool keep_failed, size_t* retried,
                                      size_t* unreadable) {
    *retried = 0;
    *unreadable = 0;
    std::set<std::string> done;
    std::ifstream in(path, std::ios::binary);
    if (!in) return done;
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    const std::string all = text.str();
    const size_t complete = all.empty() || all.back() == '\n' ? all.size() : all.rfind('\n') + 1;
    std::istringstream lines(all.substr(0, complete));
    std::string line, file, kept;
    const std::string failure = ", \"error\": ";
    while (std::getline(lines, line)) {
        if (!valid_json(line)) {
            ++*unreadable;
            continue;
        }
        size_t end = 0;
        const bool named = leading_file(line, &file, &end);
        if (named && !keep_failed && line.compare(end + 1, failure.size(), failure) == 0) {
            ++*retried;
            continue;
        }
        if (named) done.insert(normal_path(file));
        kept += line;
        kept += '\n';
    }
    if (kept.size() == all.size()) return done;
    // What stays, written beside and then put in place, so that a stop leaves one or the other.
    const std::string fresh = path + ".resume";
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    out << kept;
    out.close();
    if (!out || !replace_file(fresh, path)) {
        std::remove(fresh.c_str());
        throw InputError(path + ": cannot remove the unfinished last line, the unreadable lines and the failed "
                         "files' lines");
    }
    return done;
}

std::vector<std::string> without_repeats(const std::vector<std::string>& paths,
                                         std::vector<std::pair<std::string, size_t>>* repeated) {
    std::map<std::string, size_t> seen;
    std::vector<std::string> unique;
    for (const std::string& p : paths)
        if (seen[normal_path(p)]++ == 0) unique.push_back(p);
    repeated->clear();
    for (const std::string& p : unique)
        if (seen[normal_path(p)] > 1) repeated->emplace_back(p, seen[normal_path(p)]);
    return unique;
}

std::vector<std::string> read_list_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw InputError(path + ": cannot read the list of files");
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) out.push_back(line);
    }
    return out;
}

BatchProgress::BatchProgress(size_t total)
    : tty_(isatty(fileno(tool_err())) != 0), total_(total), start_(std::chrono::steady_clock::now()) {}

void BatchProgress::add(double audio_seconds) {
    ++done_;
    audio_seconds_ += audio_seconds;
    const auto now = std::chrono::steady_clock::now();
    if (tty_ && (done_ == total_ || now - last_draw_ > std::chrono::milliseconds(200))) {
        last_draw_ = now;
        draw();
    }
}

void BatchProgress::draw() {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const int width = 24;
    const int filled = total_ ? int(done_ * width / total_) : width;
    std::string left = "--:--";
    if (done_ > 0) left = clock_text(elapsed / double(done_) * double(total_ - done_));
    std::fprintf(tool_err(), "\r[%s%s] %zu/%zu files, %.2f h of audio, %s left ", std::string(filled, '#').c_str(),
                 std::string(width - filled, '.').c_str(), done_, total_, audio_seconds_ / 3600.0, left.c_str());
    std::fflush(tool_err());
    drawn_ = true;
}

void BatchProgress::clear() {
    if (!drawn_) return;
    std::fprintf(tool_err(), "\r\033[K");
    drawn_ = false;
}

void BatchProgress::finish() {
    if (drawn_) std::fputc('\n', tool_err());
    drawn_ = false;
}

}  // namespace kxtool
