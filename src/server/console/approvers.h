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

private:
    std::vector<Approver> approvers_;
};

// Reads `name:token` lines, approvers, and `name:token:viewer` lines, viewers (blank
// lines and lines starting with '#' are skipped; any other role word is refused with
// its line). The file must be a regular file that neither group nor others may access.
Result<Approvers> load_approvers(const std::string& path);

// The approver names of such a file, for what names approvers (a rules file).
Result<std::set<std::string, std::less<>>> load_approver_names(const std::string& path);

}  // namespace latchwork::server
