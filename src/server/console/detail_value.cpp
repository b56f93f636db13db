// detail_value.cpp: an effect's stored detail as the JSON object the console sends.
#include "server/console/detail_value.h"

#include <boost/json/parse.hpp>

#include "server/core/written_json.h"

namespace latchwork::server {

boost::json::value detail_value(std::string_view detail) {
    if (detail.empty()) return nullptr;
    boost::system::error_code error;
    (void)boost::json::parse(detail, error);
    return error ? boost::json::value(nullptr) : written_json(detail);
}

}  // namespace latchwork::server
