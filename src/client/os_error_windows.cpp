// os_error_windows.cpp: the texts of operating-system and resolver errors (Windows).
#ifdef _WIN32

#include <windows.h>

#include <cstring>
#include <memory>

#include "client/os_error.h"

namespace latchwork {
namespace {

struct LocalFreeDeleter {
    void operator()(wchar_t* text) const noexcept { LocalFree(text); }
};

std::string to_utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
    }
    return utf8;
}

// The system's message for the code in the user's language, as FormatMessageW gives
// it (it ends in a line break, removed below); empty when there is none.
std::string system_message(DWORD code) {
    wchar_t* raw = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
    const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
    if (length == 0 || raw == nullptr) {
        return {};
    }
    return to_utf8(raw, static_cast<int>(length));
}

void trim_trailing_white_space(std::string& text) {
    while (!text.empty() && std::strchr(" \t\n\v\f\r", text.back()) != nullptr) {
        text.pop_back();
    }
}

}  // namespace

std::string os_error_text(int errnum) {
    std::string text = system_message(static_cast<DWORD>(errnum));
    trim_trailing_white_space(text);
    if (text.empty()) {
        text = "Unknown error " + std::to_string(errnum);
    }
    text += " (os error ";
    text += std::to_string(errnum);
    text += ')';
    return text;
}

std::string resolver_error_text(int gai_code, int /*saved_errno: POSIX only*/) {
    return os_error_text(gai_code);
}

}  // namespace latchwork

#endif  // _WIN32
