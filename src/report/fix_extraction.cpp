#include "report/fix_extraction.h"

#include <cstring>

#include "report/field_split.h"
#include "report/number_text.h"

constexpr int rmc_field_count = 13; // fields 0 to 12; 10 to 12 are not used
constexpr int gga_altitude_field = 9;

// The value of field 9 of the GGA text, or of the last field it has.
static float gga_altitude(const char *gga_text)
{
    char field[field_capacity] = {};
    const char *at = gga_text;
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
    const char *at = rmc_text;
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
