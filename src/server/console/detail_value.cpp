// detail_value.cpp: an effect's stored detail as the JSON object the console sends.
#include "server/console/detail_value.h"

#include <boost/json/parse.hpp>

namespace latchwork::server {

boost::json::value detail_value(std::string_view detail) {
    if (detail.empty()) return nullptr;
    boost::system::error_code error;
    boost::json::value parsed = boost::json::parse(detail, error);
    return error ? boost::json::value(nullptr) : parsed;
}

}  // namespace latchwork::server
