// detail_edit.h: which members of a waiting effect's detail an approver may change, and whether a change keeps to them.
//
// A submitter names the editable members as JSON Pointers into its detail. An approver
// may approve with a changed detail whose every other member stays as it was.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace latchwork::server {

inline constexpr std::size_t kMaxEditable = 64;
inline constexpr std::size_t kMaxPointerBytes = 256;

// The pointers of a submit's "editable" member (its JSON text): an array of at most
// kMaxEditable strings, each a JSON Pointer of at most kMaxPointerBytes bytes.
Result<std::vector<std::string>> read_editable(std::string_view raw);

// The reference tokens of a JSON Pointer, unescaped ("/a~1b/0" gives "a/b" and "0").
std::vector<std::string> pointer_tokens(std::string_view pointer);

// The pointers as the stores keep them: a compact JSON array; empty for none.
std::string editable_text(std::span<const std::string> pointers);
// Back from editable_text (anything else: none).
std::vector<std::string> editable_from_text(std::string_view text);

// Why `edited` (canonical) may not replace `original` (canonical) when only `editable`
// may change, or nullopt when it may.
std::optional<std::string> edit_refusal(std::string_view original, std::string_view edited,
                                        std::span<const std::string> editable);

}  // namespace latchwork::server
