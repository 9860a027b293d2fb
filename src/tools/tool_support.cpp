#include "tools/tool_support.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvr::tools {

Progress::Progress(std::FILE* err, std::string label, uint64_t total)
    : err_(err), label_(std::move(label)), total_(total),
      shown_(err != nullptr && total > 0 && ::isatty(::fileno(err)) == 1) {}

void Progress::update(uint64_t done_so_far) {
    if (!shown_)
        return;
    const uint64_t done_now = done_so_far < total_ ? done_so_far : total_;
    const int percent = static_cast<int>(done_now * 100 / total_);
    if (percent == last_percent_)
        return;
    last_percent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(err_, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent);
    std::fflush(err_);
}

void Progress::done() {
    if (!shown_ || last_percent_ < 0)
        return;
    std::fprintf(err_, "\r%*s\r", static_cast<int>(label_.size()) + 48, "");
    std::fflush(err_);
    last_percent_ = -1;
}

PendingFile::PendingFile(std::string final_path) : final_path_(std::move(final_path)) {
    const size_t slash = final_path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : final_path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? final_path_ : final_path_.substr(slash + 1);
    temp_path_ = dir + "." + name + ".kvr-" + std::to_string(::getpid()) + ".tmp";
}

PendingFile::~PendingFile() {
    if (!committed_)
        std::remove(temp_path_.c_str());
}

bool PendingFile::commit(std::string* reason) {
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    committed_ = true;
    return true;
}

std::string escape_bytes(const unsigned char* bytes, size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char b = bytes[i];
        if (b == '\\') {
            text += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 15];
        }
    }
    return text;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool unescape_text(const std::string& text, std::vector<unsigned char>* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(static_cast<unsigned char>(text[i]));
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out->push_back('\\');
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x' && hex_digit(text[i + 2]) >= 0 &&
            hex_digit(text[i + 3]) >= 0) {
            out->push_back(static_cast<unsigned char>(hex_digit(text[i + 2]) * 16 +
                                                      hex_digit(text[i + 3])));
            i += 3;
            continue;
        }
        return false;
    }
    return true;
}

std::string hex_bytes(const unsigned char* bytes, size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0 && i % 4 == 0)
            text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

bool parse_number(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace kvr::tools
