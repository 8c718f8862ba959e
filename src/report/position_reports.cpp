// SPDX-License-Identifier: BSD-2-Clause
#include "report/position_reports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/messages.h"
#include "base/settings.h"
#include "base/text_capacity.h"
#include "report/fix_extraction.h"
#include "report/position_record.h"
#include "report/report_file.h"
#include "report/status_text.h"

// Where the reports go. Written before relaying starts (by main's defaults or
// a harness), read by relay_thread only.
struct report_directory_record {
    char status_path[report_path_capacity];
    char status_temporary[report_path_capacity];
    char record_path[report_path_capacity];
    char record_temporary[report_path_capacity];
    char alarm_path[report_path_capacity];
};

static report_directory_record report_directory = {
    "/tmp/nmea.status", "/tmp/nmea.status.tmp", "/tmp/sbd10.status", "/tmp/sbd10.status.tmp", "/tmp/alarm",
};

// Owned by relay_thread; no lock. Fixed buffers, so a line costs no allocation.
static char gga_store[text_capacity];                        // latest text holding a GGA sentence, "" until one comes
static char rmc_store[text_capacity];                        // latest text holding an RMC sentence, "" until one comes
static char status_buffer[status_text_capacity];             // the status file being published
static unsigned char record_buffer[position_file_size];      // the record file being published
// Whether the last failure to publish each report has been said; cleared
// when it is published again, so that a later failure is said once more.
static bool status_failure_said = false;
static bool record_failure_said = false;

static bool report_path(char *out, const char *directory, const char *name)
{
    int length = snprintf(out, report_path_capacity, "%s/%s", directory, name);
    return length > 0 && static_cast<size_t>(length) < report_path_capacity;
}

bool set_report_directory(const char *directory)
{
    report_directory_record paths;
    if (!report_path(paths.status_path, directory, "nmea.status") ||
        !report_path(paths.status_temporary, directory, "nmea.status.tmp") ||
        !report_path(paths.record_path, directory, "sbd10.status") ||
        !report_path(paths.record_temporary, directory, "sbd10.status.tmp") ||
        !report_path(paths.alarm_path, directory, "alarm"))
        return false;
    report_directory = paths;
    return true;
}

void clear_position_stores()
{
    gga_store[0] = '\0';
    rmc_store[0] = '\0';
    status_failure_said = false;
    record_failure_said = false;
}

static void keep_text(char *store, const char *text, size_t length)
{
    memcpy(store, text, length);
    store[length] = '\0';
}

// Publishes one report. A report that stays behind must be said, or its old
// fix passes for the current one; but said once, not on every RMC text.
static void publish(const char *path, const char *temporary_path, const void *bytes, size_t length,
                    bool *failure_said)
{
    int error = publish_report(path, temporary_path, bytes, length);
    count_one(error == 0 ? counters.reports : counters.reports_failed);
    if (error == 0) {
        *failure_said = false;
        return;
    }
    if (*failure_said)
        return;
    *failure_said = true;
    errno = error;
    // Reports that a run as root left in the sticky /tmp are root's, and no
    // other user may replace them: say what to do, not only what failed.
    struct stat held;
    char reason[256];
    if (error == EPERM && lstat(path, &held) == 0 && held.st_uid != geteuid())
        complain("Unable to publish %s: %s (it belongs to another user, uid %u: remove it as that user or root)\n",
                 path, strerror_r(error, reason, sizeof reason), static_cast<unsigned>(held.st_uid));
    else
        complain_errno("Unable to publish %s", path);
}

static void write_reports()
{
    fix_values fix;
    extract_fix(gga_store, rmc_store, &fix);
    // Each report stands alone: when one cannot be published, the other still is.
    size_t length = format_status_text(status_buffer, sizeof status_buffer, rmc_store, gga_store, fix);
    if (length > 0)
        publish(report_directory.status_path, report_directory.status_temporary, status_buffer, length,
                &status_failure_said);
    // The alarm is raised and cleared by another program: look at every build.
    bool alarm = access(report_directory.alarm_path, F_OK) == 0;
    position_file_bytes(fix, alarm, record_buffer);
    publish(report_directory.record_path, report_directory.record_temporary, record_buffer, sizeof record_buffer,
            &record_failure_said);
}

void update_position_reports(const char *text)
{
    size_t length = strnlen(text, text_capacity - 1);
    // Only a sentence of the type counts, not the letters anywhere: an AIS
    // payload or a TXT message must not replace the fix. Talker, checksum
    // and status are not looked at.
    if (find_sentence(text, length, "GGA") != nullptr)
        keep_text(gga_store, text, length);
    if (find_sentence(text, length, "RMC") == nullptr)
        return;
    keep_text(rmc_store, text, length);
    // No report exists until both kinds of text have been seen.
    if (gga_store[0] == '\0')
        return;
    write_reports();
}
