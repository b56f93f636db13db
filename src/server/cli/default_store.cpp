// default_store.cpp: where the SQLite store lives when --store is not given.
#include "server/cli/default_store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace latchwork::server {
namespace {

std::optional<std::string> absolute_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::string(value);
}

std::optional<std::string> home_directory() {
    if (std::optional<std::string> home = absolute_variable("HOME")) return home;
    const struct passwd* entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') return std::nullopt;
    return std::string(entry->pw_dir);
}

}  // namespace

std::optional<std::string> default_store_url() {
    std::optional<std::string> state = absolute_variable("XDG_STATE_HOME");
    if (!state) {
        std::optional<std::string> home = home_directory();
        if (!home) return std::nullopt;
        state = *home + "/.local/state";
    }
    return "sqlite:" + (std::filesystem::path(*state) / "latchwork" / "gate.db").lexically_normal().string();
}

}  // namespace latchwork::server
