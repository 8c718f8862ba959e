// SPDX-License-Identifier: BSD-2-Clause
#include "report/fix_extraction.h"

#include <cstring>

#include "base/text_capacity.h"
#include "report/field_split.h"
#include "report/number_text.h"

constexpr int rmc_field_count = 13; // fields 0 to 12; 10 to 12 are not used
constexpr int gga_altitude_field = 9;

static bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

const char *find_sentence(const char *text, size_t length, const char *type)
{
    constexpr size_t head = 7; // "$", talker, type, ","
    for (size_t at = 0; at + head <= length; at++) {
        // Only where a line begins: a "$" inside a line is part of its text.
        if (at > 0 && !is_line_end(text[at - 1]))
            continue;
        const char *s = text + at;
        if (s[0] == '$' && s[1] != 'P' && !is_line_end(s[1]) && !is_line_end(s[2]) &&
            memcmp(s + 3, type, 3) == 0 && s[6] == ',')
            return s;
    }
    return nullptr;
}

// Copies the first sentence of `type` in `text`, up to and including the end
// of its line (CR LF, CR or LF), into `sentence` (text_capacity bytes); ""
// when there is none. The fields are then those of that sentence alone, and
// a last field still carries the line end as it did in a text of one line.
static void copy_sentence(const char *text, const char *type, char *sentence)
{
    size_t length = strnlen(text, text_capacity - 1);
    const char *start = find_sentence(text, length, type);
    size_t kept = 0;
    if (start != nullptr) {
        size_t left = length - static_cast<size_t>(start - text);
        while (kept < left && !is_line_end(start[kept]))
            kept++;
        if (kept < left)
            kept += start[kept] == '\r' && kept + 1 < left && start[kept + 1] == '\n' ? 2 : 1;
        memcpy(sentence, start, kept);
    }
    sentence[kept] = '\0';
}

// The value of field 9 of the GGA sentence, or of the last field it has.
static float gga_altitude(const char *gga_text)
{
    char sentence[text_capacity];
    copy_sentence(gga_text, "GGA", sentence);
    char field[field_capacity] = {};
    const char *at = sentence;
    for (int i = 0; i <= gga_altitude_field && at != nullptr; i++)
        at = next_field(at, field, sizeof field, ',');
    float altitude = narrow_to_float(text_to_double(field));
    // Below sea level is reported as sea level; -0 and NaN are not below 0.
    return altitude < 0 ? 0.0f : altitude;
}

// Degrees from the first `digits` characters and minutes from the rest, as
// in "4807.038" (48 degrees 7.038 minutes) or "01131.000"; negative when the
// hemisphere field is exactly `negative_hemisphere`.
static float angle_of(const char *field, size_t digits, const char *hemisphere, const char *negative_hemisphere)
{
    int degrees = piece_to_int(field, 0, digits);
    const char *rest = strlen(field) >= digits ? field + digits : "";
    double minutes = text_to_double(rest);
    float angle = narrow_to_float(degrees + minutes / 60.0);
    return strcmp(hemisphere, negative_hemisphere) == 0 ? -angle : angle;
}

void extract_fix(const char *gga_text, const char *rmc_text, fix_values *fix)
{
    // Zero-filled, so fields the walk does not reach read as empty.
    char field[rmc_field_count][field_capacity] = {};
    char sentence[text_capacity];
    copy_sentence(rmc_text, "RMC", sentence);
    const char *at = sentence;
    for (int i = 0; i < rmc_field_count && at != nullptr; i++)
        at = next_field(at, field[i], field_capacity, ',');

    fix->hours = piece_to_int(field[1], 0, 2);
    fix->minutes = piece_to_int(field[1], 2, 2);
    fix->seconds = piece_to_int(field[1], 4, 2); // fractions of a second are ignored
    // Each piece is two characters at most, so this cannot overflow.
    fix->seconds_of_day = static_cast<float>(fix->hours * 3600 + fix->minutes * 60 + fix->seconds);
    fix->void_fix = field[2][0] == 'V';
    fix->latitude = angle_of(field[3], 2, field[4], "S");
    fix->longitude = angle_of(field[5], 3, field[6], "W");
    fix->speed = narrow_to_float(text_to_double(field[7]));
    fix->course = narrow_to_float(text_to_double(field[8]));
    fix->day = piece_to_int(field[9], 0, 2);
    fix->month = piece_to_int(field[9], 2, 2);
    fix->year = piece_to_int(field[9], 4, 2);
    fix->altitude = gga_altitude(gga_text);
}
