// SPDX-License-Identifier: BSD-2-Clause
// What the tests of every layer take as given: the daemon's default ports, and the worked example of the
// reports (an RMC and a GGA as relayed, the status lines after the two NMEA lines, the 12 record bytes).
#pragma once

#include <string>

constexpr int udp_in_port = 10101;  // where sentences come in
constexpr int broadcast_port = 11101; // where they are broadcast
constexpr int tcp_port = 11102;     // where clients connect

const std::string example_rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\n";
const std::string example_gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
const std::string example_lines = "Status: ACTIVE\n"
                                  "Date(day/mon/yr): 23/3/94\n"
                                  "Time(hh:mm:ss): 12:35:19\n"
                                  "Lat(deg): 48.1173\n"
                                  "Lon(deg): 11.5167\n"
                                  "Course(deg): 84.4\n"
                                  "Speed(m/s): 11.5235\n"
                                  "Alt(m): 545.4\n";
// The status file of the example: both texts as relayed, then the fix.
const std::string example_status = "NMEA: " + example_rmc + "NMEA: " + example_gga + example_lines;
const std::string example_record = "\x11\x05\xF0\x91\x5E\xB1\x1B\x5F\x30\x6D\x03\xBD";
// The same fix with the alarm file present: byte 0 and the sum differ.
const std::string alarm_record = "\x31\x05\xF0\x91\x5E\xB1\x1B\x5F\x30\x6D\x03\xDD";
