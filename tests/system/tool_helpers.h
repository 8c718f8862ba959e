// Running the project's own tools (the replay tool, the record reader) from
// system tests, and waiting for the files the daemon writes.
#pragma once

#include <string>
#include <vector>

#include "sandbox.h"

struct tool_run {
    int status = -1; // exit status, or -1 when it did not end in time or was killed
    std::string out, err;
};

// Runs `program` with `args` to its end (at most timeout_ms) and collects
// what it printed.
tool_run run_tool(const std::string &program, const std::vector<std::string> &args, int timeout_ms = patience_ms);

// Waits until the file at `path` holds exactly `size` bytes (any size when
// `size` is -1); returns its contents, or false on timeout.
bool wait_for_file(const std::string &path, long size, std::string *contents, int timeout_ms = patience_ms);

// Writes `text` to `path`; false on failure.
bool write_file(const std::string &path, const std::string &text);

// The first `count` lines (each with its CR LF) of the committed sample trip.
std::string sample_lines(int count);
