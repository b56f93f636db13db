// grant.cpp: new grant ids, and a grant as JSON.
#include "server/core/grant.h"

#include <boost/json/parse.hpp>

#include <random>

namespace latchwork::server {

std::string new_grant_id() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t bits = generator();
    std::string id(12, '0');
    for (char& c : id) {
        c = kHex[bits & 15];
        bits >>= 4;
    }
    return id;
}

boost::json::object grant_json(const Grant& grant) {
    boost::system::error_code error;
    boost::json::value detail = boost::json::parse(grant.detail, error);
    if (error) detail = boost::json::object();
    return boost::json::object{{"id", grant.id},
                               {"rule", grant.rule},
                               {"effect", grant.effect},
                               {"run", grant.run.empty() ? boost::json::value(nullptr) : boost::json::value(grant.run)},
                               {"detail", std::move(detail)},
                               {"granted_by", grant.granted_by},
                               {"granted_at", grant.granted_at_ms},
                               {"expires_at", grant.expires_at_ms}};
}

}  // namespace latchwork::server
