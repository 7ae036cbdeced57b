// Minimal JSON writer for the tool's --json output.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kxtool {

class JsonWriter {
public:
    JsonWriter& begin_object() { open('{'); return *this; }
    JsonWriter& end_object() { close('}'); return *this; }
    JsonWriter& begin_array() { open('['); return *this; }
    JsonWriter& end_array() { close(']'); return *this; }

    JsonWriter& key(const std::string& k) {
        separate();
        quote(k);
        out_ += ": ";
        after_key_ = true;
        return *this;
    }
    JsonWriter& value(const std::string& s) { separate(); quote(s); return *this; }
    JsonWriter& value(const char* s) { return value(std::string(s)); }
    JsonWriter& value(bool b) { separate(); out_ += b ? "true" : "false"; return *this; }
    JsonWriter& value(int v) { separate(); out_ += std::to_string(v); return *this; }
    JsonWriter& value(double v) {
        separate();
        if (!std::isfinite(v)) {
            out_ += "null";
        } else {
            char buf[32];
            std::snprintf(buf, sizeof(buf), "%.9g", v);
            out_ += buf;
        }
        return *this;
    }
    // Shortest text that reads back as the same float.
    JsonWriter& value(float v) {
        if (!std::isfinite(v)) return null();
        char buf[32];
        for (int digits = 6; digits <= 9; ++digits) {
            std::snprintf(buf, sizeof(buf), "%.*g", digits, double(v));
            if (std::strtof(buf, nullptr) == v) break;
        }
        separate();
        out_ += buf;
        return *this;
    }
    JsonWriter& null() { separate(); out_ += "null"; return *this; }

    const std::string& str() const { return out_; }

private:
    void open(char c) {
        separate();
        out_ += c;
        first_.push_back(true);
    }
    void close(char c) {
        first_.pop_back();
        out_ += c;
    }
    // A comma before every member but the first; nothing right after a key.
    void separate() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_.empty()) {
            if (!first_.back()) out_ += ", ";
            first_.back() = false;
        }
    }
    // Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one.
    static size_t utf8_length(const std::string& s, size_t i) {
        const auto at = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
        const unsigned c = at(i);
        size_t n;
        unsigned low = 0x80, high = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0) low = 0xA0;   // no overlong forms
            if (c == 0xED) high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            return 0;
        }
        if (at(i + 1) < low || at(i + 1) > high) return 0;
        for (size_t k = 2; k < n; ++k)
            if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
        return n;
    }

    // Bytes that are not UTF-8 (a path may hold any) are written as U+DC80..U+DCFF,
    // as Python's surrogateescape does, so the document stays valid and the bytes can
    // be told back.
    void quote(const std::string& s) {
        out_ += '"';
        for (size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            char buf[8];
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    if (c < 0x20) {
                        std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                        out_ += buf;
                    } else if (c < 0x80) {
                        out_ += char(c);
                    } else if (const size_t n = utf8_length(s, i)) {
                        out_.append(s, i, n);
                        i += n - 1;
                    } else {
                        std::snprintf(buf, sizeof(buf), "\\udc%02x", c);
                        out_ += buf;
                    }
            }
        }
        out_ += '"';
    }

    std::string out_;
    std::vector<bool> first_;
    bool after_key_ = false;
};

}  // namespace kxtool
