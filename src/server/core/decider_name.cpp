// decider_name.cpp: who an audit source stands for, as a person or a client is told it.
#include "server/core/decider_name.h"

namespace latchwork::server {
namespace {

// As decision_source_text() writes a person's decision.
constexpr std::string_view kConsole = "console:";

}  // namespace

std::string_view approver_name(std::string_view source) {
    return source.starts_with(kConsole) ? source.substr(kConsole.size()) : std::string_view();
}

std::string_view decider_name(std::string_view source) {
    return source.starts_with(kConsole) ? source.substr(kConsole.size()) : source;
}

}  // namespace latchwork::server
