#include "batch.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

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

// The value of a line's leading "file" member, as the JSON-lines writer puts it first.
bool leading_file(const std::string& line, std::string* file) {
    const std::string head = "{\"file\": \"";
    if (line.compare(0, head.size(), head) != 0) return false;
    file->clear();
    for (size_t i = head.size(); i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') return true;
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
                if (i + 4 >= line.size()) return false;
                append_utf8(unsigned(std::stoul(line.substr(i + 1, 4), nullptr, 16)), file);
                i += 4;
                break;
            }
            default: *file += line[i];
        }
    }
    return false;
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

}  // namespace

std::set<std::string> files_in_output(const std::string& path) {
    std::set<std::string> done;
    std::ifstream in(path, std::ios::binary);
    if (!in) return done;
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const size_t complete = all.empty() || all.back() == '\n' ? all.size() : all.rfind('\n') + 1;
    if (complete < all.size() && truncate(path.c_str(), off_t(complete)) != 0)
        throw InputError(path + ": cannot remove the unfinished last line");
    std::istringstream lines(all.substr(0, complete));
    std::string line, file;
    while (std::getline(lines, line))
        if (leading_file(line, &file)) done.insert(file);
    return done;
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
    : tty_(isatty(fileno(stderr)) != 0), total_(total), start_(std::chrono::steady_clock::now()) {}

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
    std::fprintf(stderr, "\r[%s%s] %zu/%zu files, %.2f h of audio, %s left ", std::string(filled, '#').c_str(),
                 std::string(width - filled, '.').c_str(), done_, total_, audio_seconds_ / 3600.0, left.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void BatchProgress::clear() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    drawn_ = false;
}

void BatchProgress::finish() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

}  // namespace kxtool
