// decider_name.h: who an audit source stands for, as a person or a client is told it.
//
// A rejection told to a waiting submitter, the console's "already decided" reply and
// its event stream all name who decided from the same source text
// (decision_source_text), so they read a person's prefix ("console:" or "chat:") here,
// once.
#pragma once

#include <string_view>

namespace latchwork::server {

// The approver's name for "console:NAME" and "chat:NAME"; empty for any other source
// (the console's page then shows no approver). The view points into `source`.
std::string_view approver_name(std::string_view source);

// The name of whoever a source stands for: the approver for "console:NAME" and
// "chat:NAME", the source text as it is otherwise ("expiry", "line:IP:PORT",
// "client:NAME"). The view points into `source`.
std::string_view decider_name(std::string_view source);

// Whoever a source stands for, as a message to people names them: an approver's or a
// client's name, a line peer's host without its port ("[::1]" for IPv6), else the
// source as it is ("expiry", "rule:NAME"). The view points into `source`.
std::string_view source_for_people(std::string_view source);

}  // namespace latchwork::server
