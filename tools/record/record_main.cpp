// SPDX-License-Identifier: BSD-2-Clause
// gpsfanout-record: prints the daemon's 12-byte position record in words.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "record/record_decode.h"

static int usage(const char *program, FILE *to, int status)
{
    fprintf(to,
            "Usage: %s [record file, default /tmp/sbd10.status]\n"
            "  -h, --help  print this text\n",
            program);
    return status;
}

int main(int argc, char **argv)
{
    static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
        if (option == 'h')
            return usage(argv[0], stdout, 0);
        return usage(argv[0], stderr, 1); // getopt has said what was wrong
    }
    if (argc - optind > 1) {
        fprintf(stderr, "%s: one record file at most, not %d\n", argv[0], argc - optind);
        return usage(argv[0], stderr, 1);
    }
    const char *path = optind < argc ? argv[optind] : "/tmp/sbd10.status";
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], path, strerror(errno));
        return 2;
    }
    uint8_t bytes[record_file_size + 1];
    size_t got = fread(bytes, 1, sizeof bytes, file);
    fclose(file);
    if (got != record_file_size) {
        fprintf(stderr, "%s: %s: %zu bytes, not %zu\n", argv[0], path, got, record_file_size);
        return 2;
    }
    record_fields r = decode_position_record(bytes);
    int minutes = static_cast<int>(record_seconds_of_day(r)) / 60;
    printf("time:      %02d:%02d UTC (2-minute steps; field %u)\n", minutes / 60 % 24, minutes % 60, r.time);
    printf("latitude:  %.5f deg (field %u)\n", record_latitude(r), r.latitude);
    printf("longitude: %.5f deg (field %u)\n", record_longitude(r), r.longitude);
    printf("course:    %u deg (5-degree steps; field %u)\n", r.course * 5, r.course);
    printf("speed:     %u m/s\n", r.speed);
    printf("altitude:  %u m (5-metre steps; field %u)\n", r.altitude * 5, r.altitude);
    printf("alarm:     %s\n", r.alarm ? "on" : "off");
    printf("sum:       %s\n", r.sum_ok ? "ok" : "BAD");
    return r.sum_ok ? 0 : 3;
}
