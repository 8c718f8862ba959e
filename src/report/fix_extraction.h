// The fix read from the latest GGA and RMC texts. Pure: nothing is validated,
// empty or malformed fields give zeros (or whatever atof and atoi make of them).
#pragma once

// Knots to metres per second, as both reports convert the speed.
constexpr double metres_per_second_per_knot = 0.514444;

struct fix_values {
    int hours, minutes, seconds; // RMC field 1, pair by pair
    float seconds_of_day;        // hours * 3600 + minutes * 60 + seconds
    bool void_fix;               // RMC field 2 begins with V
    float latitude;              // degrees, north positive (RMC fields 3 and 4)
    float longitude;             // degrees, east positive (RMC fields 5 and 6)
    float speed;                 // knots (RMC field 7)
    float course;                // degrees (RMC field 8)
    int day, month, year;        // RMC field 9, pair by pair, year in two digits
    float altitude;              // metres, never below 0 (GGA field 9)
};

// Extracts the fix from the two stored texts, each read from its beginning:
// when a text holds several sentences, the fields are those of the first.
void extract_fix(const char *gga_text, const char *rmc_text, fix_values *fix);
