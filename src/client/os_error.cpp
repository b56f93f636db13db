// os_error.cpp: the texts of operating-system and resolver errors in failure messages (POSIX).
#ifndef _WIN32

#include "client/os_error.h"

#include <netdb.h>

#include <cstring>

namespace latchwork {
namespace {

// strerror_r comes in two shapes: the XSI one returns an int and fills the buffer,
// the GNU one returns the text, which may or may not be in the buffer. Overloading
// on the return type picks the right reading for whichever the C library declares.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

void trim_trailing_white_space(std::string& text) {
    while (!text.empty() && std::strchr(" \t\n\v\f\r", text.back()) != nullptr) {
        text.pop_back();
    }
}

}  // namespace

std::string os_error_text(int errnum) {
    char buffer[256] = {};
    const char* description = strerror_text(strerror_r(errnum, buffer, sizeof buffer), buffer);
    std::string text = description != nullptr && *description != '\0'
                           ? std::string(description)
                           : "Unknown error " + std::to_string(errnum);
    trim_trailing_white_space(text);
    text += " (os error ";
    text += std::to_string(errnum);
    text += ')';
    return text;
}

std::string resolver_error_text(int gai_code, int saved_errno) {
    if (gai_code == EAI_SYSTEM) {
        return os_error_text(saved_errno);
    }
    std::string text = gai_strerror(gai_code);
    trim_trailing_white_space(text);
    return text;
}

}  // namespace latchwork

#endif  // !_WIN32
