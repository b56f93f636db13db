// unicode_tables.h: the Unicode properties the client consults (tables are generated).
#pragma once

namespace latchwork {

// The White_Space property: what is trimmed from both ends of a reply line.
bool is_white_space(char32_t c) noexcept;

// Whether a quoted reply line writes c as a \u{...} escape: control, format,
// surrogate, private-use, unassigned and separator characters (the ASCII space
// excepted) and grapheme-extending marks.
bool needs_quoted_escape(char32_t c) noexcept;

}  // namespace latchwork
