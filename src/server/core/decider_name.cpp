// decider_name.cpp: who an audit source stands for, as a person or a client is told it.
#include "server/core/decider_name.h"

#include <optional>

namespace latchwork::server {
namespace {

// As decision_source_text() writes a person's decision: from the console's page or
// API, or from a button in a chat message.
constexpr std::string_view kConsole = "console:";
constexpr std::string_view kChat = "chat:";
constexpr std::string_view kClient = "client:";
constexpr std::string_view kLine = "line:";

// The name after a person's door, or nullopt for any other source.
std::optional<std::string_view> person(std::string_view source) {
    for (std::string_view door : {kConsole, kChat}) {
        if (source.starts_with(door)) return source.substr(door.size());
    }
    return std::nullopt;
}

}  // namespace

std::string_view approver_name(std::string_view source) { return person(source).value_or(std::string_view()); }

std::string_view decider_name(std::string_view source) { return person(source).value_or(source); }

std::string_view source_for_people(std::string_view source) {
    if (source.starts_with(kClient)) return source.substr(kClient.size());
    if (source.starts_with(kLine)) {
        const std::string_view peer = source.substr(kLine.size());
        const std::size_t port = peer.rfind(':');
        return port == std::string_view::npos ? peer : peer.substr(0, port);
    }
    return decider_name(source);
}

}  // namespace latchwork::server
