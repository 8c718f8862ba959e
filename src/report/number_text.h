// SPDX-License-Identifier: BSD-2-Clause
// Numbers read from and written as text, always in the C locale, whatever
// the environment or another thread has set: a comma as decimal point would
// corrupt the reports that other programs parse. Pure.
#pragma once

#include <clocale>
#include <cstddef>

// The C locale, made once and kept for the life of the process.
locale_t c_numeric_locale();

// atof in the C locale: leading blanks, a sign, decimal or hexadecimal
// digits, "inf" and "nan" as atof takes them; 0 when nothing is a number.
double text_to_double(const char *text);

// atoi of at most `count` characters of `text` starting at `offset` (fewer
// when the text ends first), as if that piece were a string of its own.
// Saturates instead of overflowing.
int piece_to_int(const char *text, size_t offset, size_t count);

// The double narrowed to single precision as IEEE rounding does, without the
// undefined behaviour of casting a finite value beyond the float range.
float narrow_to_float(double value);
