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
    void quote(const std::string& s) {
        out_ += '"';
        for (unsigned char c : s) {
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    if (c < 0x20) {
                        char buf[8];
                        std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                        out_ += buf;
                    } else {
                        out_ += char(c);
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
