// approvers.h: who may use the console: names, bearer tokens and what each may do.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork::server {

// An approver decides; a viewer reads everything an approver reads and decides nothing.
enum class ConsoleRole { approver, viewer };

std::string_view console_role_name(ConsoleRole role);

// Who made a console call, once their token was found.
struct ConsoleUser {
    std::string name;
    ConsoleRole role = ConsoleRole::approver;
};

class Approvers {
public:
    struct Approver {
        std::string name;
        std::string token;
        ConsoleRole role = ConsoleRole::approver;
        std::string chat_user;  // the chat platform's user id (chat=), empty when none
        std::string email;      // where e-mail reaches them (email=), empty when none
    };

    Approvers() = default;
    explicit Approvers(std::vector<Approver> approvers) : approvers_(std::move(approvers)) {}
    ~Approvers();  // wipes the tokens
    Approvers(Approvers&& other) noexcept = default;
    Approvers& operator=(Approvers&& other) noexcept = default;

    // The user whose token this is. Every token is compared, each in constant time,
    // so the time taken says nothing about which one came close.
    std::optional<ConsoleUser> find(std::string_view token) const;

    // The names of those who may decide (viewers left out).
    std::set<std::string, std::less<>> approver_names() const;

    // The user the chat platform knows by `chat_user` (the file's chat=), if any.
    std::optional<ConsoleUser> find_chat_user(std::string_view chat_user) const;

    const std::vector<Approver>& all() const noexcept { return approvers_; }

private:
    std::vector<Approver> approvers_;
};

// Reads `name:token` lines, approvers, and `name:token:viewer` lines, viewers (blank
// lines and lines starting with '#' are skipped; any other role word is refused with
// its line). After the role, a fourth field may name where else the user is reached:
// `ada:TOKEN:approver:chat=U024BE7LH,email=ada@example.com` (any other key is refused
// with its line). The file must be a regular file that neither group nor others may
// access.
Result<Approvers> load_approvers(const std::string& path);

// The approver names of such a file, for what names approvers (a rules file).
Result<std::set<std::string, std::less<>>> load_approver_names(const std::string& path);

}  // namespace latchwork::server
