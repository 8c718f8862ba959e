// SPDX-License-Identifier: BSD-2-Clause
// The filters of -f as gpsfanout(8) states them under Filters, written a
// second time from the page alone, plainly and with strings:
// which filters are refused, and which lines of a text each output gets.
// The unit rows and the relay-cycle fuzz target hold the daemon to it.
#pragma once

#include <map>
#include <string>
#include <vector>

struct filter_model {
    struct rule {
        char action;        // '+', '-' or '~'
        std::string key;    // "all" or five characters
        std::string source; // "", "serial" or "udp"
        long long limit_us;
        bool passed = false; // the limit's timer
        long long last_us = 0;
        struct message { int count, next; bool passing; };
        std::map<std::string, message> messages; // by message id, "" for none
    };
    std::vector<rule> rules;
};

// Reads a filter as the page writes it; false when the page refuses it.
bool model_parse(const std::string &text, filter_model *out);

// The lines of `text` (from "serial" or "udp", at now_us) that pass, in
// order, as they came; *held counts the others.
std::string model_filter(filter_model &m, const std::string &text, const std::string &source, long long now_us,
                         unsigned *held);
