// approvers.h: who may decide on the console: names and their bearer tokens.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork::server {

class Approvers {
public:
    struct Approver {
        std::string name;
        std::string token;
    };

    Approvers() = default;
    explicit Approvers(std::vector<Approver> approvers) : approvers_(std::move(approvers)) {}
    ~Approvers();  // wipes the tokens
    Approvers(Approvers&& other) noexcept = default;
    Approvers& operator=(Approvers&& other) noexcept = default;

    // The name of the approver whose token this is. Every token is compared, each in
    // constant time, so the time taken says nothing about which one came close.
    std::optional<std::string> find(std::string_view token) const;

private:
    std::vector<Approver> approvers_;
};

// Reads `name:token` lines (blank lines and lines starting with '#' are skipped). The
// file must be a regular file that neither group nor others may access.
Result<Approvers> load_approvers(const std::string& path);

}  // namespace latchwork::server
