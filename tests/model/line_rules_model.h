// SPDX-License-Identifier: BSD-2-Clause
// The line rules as gpsfanout(8) states them under Input, written a second
// time from the page alone, plainly and with strings: what the daemon's
// line assembly must give, piece by piece. The fuzz target and the unit
// rows hold the daemon to it; when the page changes, this changes with it.
#pragma once

#include <string>
#include <vector>

struct line_rules_model {
    bool joins = true;      // UDP datagrams; false for serial reads
    std::string head;       // held for the rest of its line
    bool rest_lost = false; // a head was dropped: its rest is dropped too
    bool ended_cr = false;  // the last piece ended with a CR
    bool ended_own = false; // the last piece ended with a whole sentence relayed without its line end
    unsigned long drops = 0;
    std::vector<std::string> relayed;
};

// Takes one datagram or serial read; `cut` when the receive cut it.
void model_take(line_rules_model &m, std::string piece, bool cut);
