// pending_table.cpp: the waiting effects as `latchwork-gate pending` prints them.
#include "server/approve/pending_table.h"

#include <boost/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>
#include <vector>

#include "server/core/written_json.h"

namespace latchwork::server {
namespace json = boost::json;

namespace {

constexpr std::size_t kColumns = 6;
// Ids and keys may be long; a cell longer than this ends in "..." (see the console for all).
constexpr std::array<std::size_t, kColumns> kWidths = {24, 32, 8, 20, 20, 60};
constexpr std::array<std::string_view, kColumns> kHeads = {"RUN", "EFFECT", "STATE",
                                                            "WAITING SINCE", "DEADLINE", "DETAIL"};

using Row = std::array<std::string, kColumns>;

// Printed width: UTF-8 continuation bytes take no column.
std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Cut to `width` columns; a cut never splits a UTF-8 sequence.
std::string cut(std::string text, std::size_t width) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // one row per effect
    }
    if (columns(text) <= width) return text;
    std::size_t end = 0;
    for (std::size_t kept = 0; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;
        if (kept++ == width - 3) break;
    }
    return text.substr(0, end) + "...";
}

std::string text_of(const json::value* value) {
    if (value == nullptr || value->is_null()) return "-";
    if (const json::string* text = value->if_string()) return std::string(*text);
    return written_form(*value);  // 19.99, not 1.999E1
}

// "2026-12-09 23:41:07Z": to the second, which is all a person reading a table needs.
std::string time_of(const json::value* value) {
    if (value == nullptr || !value->is_number()) return "-";
    const std::time_t seconds = static_cast<std::time_t>(value->to_number<std::int64_t>() / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%SZ", &parts);
    return text;
}

}  // namespace

std::string pending_table(const json::array& items) {
    std::vector<Row> rows;
    rows.push_back(Row{});
    std::ranges::transform(kHeads, rows.back().begin(), [](std::string_view head) { return std::string(head); });
    for (const json::value& item : items) {
        const json::object* effect = item.if_object();
        if (effect == nullptr) continue;
        Row row{text_of(effect->if_contains("run_id")),    text_of(effect->if_contains("effect_key")),
                text_of(effect->if_contains("state")),     time_of(effect->if_contains("held_at")),
                time_of(effect->if_contains("deadline")), text_of(effect->if_contains("detail"))};
        for (std::size_t i = 0; i < kColumns; ++i) row[i] = cut(std::move(row[i]), kWidths[i]);
        rows.push_back(std::move(row));
    }
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], columns(row[i]));
    }
    std::string out;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kColumns; ++i) {
            line += row[i];
            if (i + 1 < kColumns) line += std::string(widths[i] - columns(row[i]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

}  // namespace latchwork::server
