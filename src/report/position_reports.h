// SPDX-License-Identifier: BSD-2-Clause
// Position reporting: every relayed text passes through here. The latest
// texts holding a GGA and an RMC sentence are kept; every RMC text, once a
// GGA text has been seen, rewrites the status file and the compact position
// record. A report that cannot be published is said once on standard error,
// and again only after it has been published since.
#pragma once

#include <cstddef>

// Keeps the position reports current.
// Runs on relay_thread only.
void update_position_reports(const char *text);

// Room for a report file's path.
constexpr size_t report_path_capacity = 256;

// Points the report files ("nmea.status", "sbd10.status") and the alarm file
// ("alarm") at another directory than "/tmp", for a test or a fuzz harness.
// Call it before any text is relayed. Returns false, changing nothing, when
// the paths would not fit.
bool set_report_directory(const char *directory);

// Forgets the stored texts and what has been said, as at start-up, so that a
// harness can start over.
void clear_position_stores();
