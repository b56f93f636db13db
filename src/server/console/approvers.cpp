// approvers.cpp: who may decide on the console: names and their bearer tokens.
#include "server/console/approvers.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "server/cli/private_file.h"
#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace latchwork::server {
namespace {

Failure refuse(const std::string& path, const std::string& reason) {
    return Failure{"approvers file " + path + ": " + reason};
}

void wipe(std::string& text) {
    if (!text.empty()) secure_wipe(text.data(), text.size());
}

}  // namespace

Approvers::~Approvers() {
    for (Approver& approver : approvers_) wipe(approver.token);
}

std::optional<std::string> Approvers::find(std::string_view token) const {
    std::optional<std::string> found;
    for (const Approver& approver : approvers_) {
        if (constant_time_equal(approver.token, token) && !found) found = approver.name;
    }
    return found;
}

Result<Approvers> load_approvers(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return refuse(path, "cannot be opened");
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return refuse(path, "cannot be examined");
    if (std::optional<std::string> problem = private_file_problem(info)) return refuse(path, *problem);
    std::vector<Approvers::Approver> approvers;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == line.size()) {
            wipe(line);
            return refuse(path, "line " + std::to_string(number) + " is not name:token");
        }
        approvers.push_back({line.substr(0, colon), line.substr(colon + 1)});
        wipe(line);
    }
    if (approvers.empty()) return refuse(path, "names no approver");
    return Approvers(std::move(approvers));
}

}  // namespace latchwork::server
