// conversions.h: the three argument conversions every callable uses, and their refusals.
//
// Each conversion returns false with a Python exception set when it refuses. The
// argument's name is added afterwards, by the call frame, in one place.
#pragma once

#include "python/python_api.h"

#include <cstdint>
#include <string_view>

#include "support/secret_bytes.h"

namespace latchwork {

// A str's UTF-8 text. The view borrows the str's own cached encoding, so it is
// valid as long as the str is, which for an argument is the whole call.
bool convert_text(PyObject* object, std::string_view& text);

// True or False only (and numpy's bool scalars); no general truth test.
bool convert_flag(PyObject* object, bool& flag);

// bytes, bytearray or any other sequence of ints 0..255; never a str.
bool convert_byte_sequence(PyObject* object, SecretBytes& bytes);

// Sets TypeError "'<type qualname>' object cannot be converted to '<target>'".
void raise_conversion_refusal(PyObject* object, const char* target);

// A TypeError (exactly) from converting parameter `name` becomes
// "argument '<name>': <message>", keeping the original's cause; other errors stay.
void name_argument_in_error(const char* name);

}  // namespace latchwork
