// SPDX-License-Identifier: BSD-2-Clause
// The filters of -f: each row runs a filter over texts at times of a fake
// clock, through the daemon's code and through the model written from the
// man page, and both must give the row's lines. Then kplex's own examples,
// the filters refused, and the relay cycle handing each output its lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/counters.h"
#include "base/sentence_filter.h"
#include "base/settings.h"
#include "model/sentence_filter_model.h"
#include "relay/relay_cycle.h"

namespace {

struct step {
    long long at_ms;
    const char *from; // "serial" or "udp"
    std::string text, passes;
};
struct filter_row {
    const char *what, *filter;
    std::vector<step> steps;
};

void run_rows(const std::vector<filter_row> &rows)
{
    for (auto &row : rows) {
        SCOPED_TRACE(std::string(row.what) + ": " + row.filter);
        sentence_filter filter;
        char why[200];
        ASSERT_TRUE(parse_filter(row.filter, &filter, why, sizeof why)) << why;
        filter_model model;
        ASSERT_TRUE(model_parse(row.filter, &model));
        filter_state state = {};
        for (auto &s : row.steps) {
            SCOPED_TRACE(std::to_string(s.at_ms) + " ms " + s.from + " " + s.text);
            char out[8192];
            unsigned held, model_held;
            size_t n = filter_text(filter, &state, s.text.data(), s.text.size(),
                                   s.from[0] == 's' ? source_serial : source_udp, s.at_ms * 1000, out, &held);
            EXPECT_EQ(std::string(out, n), s.passes);
            EXPECT_EQ(model_filter(model, s.text, s.from, s.at_ms * 1000, &model_held), s.passes);
            EXPECT_EQ(held, model_held);
        }
    }
}

const std::string gga = "$GPGGA,1*00\n", rmc = "$GPRMC,2*00\n", gsv = "$GPGSV,3*00\n", mwv = "$IIMWV,4*00\n",
                  dbt = "$SDDBT,5*00\n", dpt = "$SDDPT,6*00\n", vdm = "!AIVDM,1,1,,B,7*00\n", pgrmz = "$PGRMZ,8*00\n";

// Part `n` of `count` of AIS message `id`.
std::string part(int count, int n, const std::string &id)
{
    return "!AIVDM," + std::to_string(count) + "," + std::to_string(n) + "," + id + ",A,p" + std::to_string(n) +
           ",0*00\n";
}

TEST(SentenceFilter, EachLineGetsWhatTheFirstMatchingRuleSays)
{
    run_rows({
        {"first match decides", "+GPGGA:-GP***", {{0, "udp", gga, gga}, {0, "udp", rmc, ""}}},
        {"first match decides", "-GP***:+GPGGA", {{0, "udp", gga, ""}}},
        {"no match passes", "-GPGSV", {{0, "udp", gga, gga}, {0, "udp", gsv, ""}, {0, "udp", vdm, vdm}}},
        {"* is any one character", "-**GSV:-AIVD*", {{0, "udp", "$GLGSV,1\n", ""}, {0, "udp", gga, gga}, {0, "udp", "!AIVDO,1\n", ""}}},
        {"letters as they are", "-gpgga", {{0, "udp", gga, gga}}},
        {"all matches lines that are no sentence", "+GP***:-all",
         {{0, "udp", "hello world\n", ""}, {0, "udp", "$GP\n" + gga, gga}}},
        {"a key matches sentences only", "-GP***:-*****", {{0, "udp", "GPGGA,1\n", "GPGGA,1\n"}, {0, "udp", "$GP\n", "$GP\n"}}},
        {"exactly five characters after $", "-GPGGA", {{0, "udp", "$GPGGA\n", ""}, {0, "udp", "$GPGG,\n", "$GPGG,\n"}}},
        {"after a TAG block", "+GPGGA:-all",
         {{0, "udp", "\\s:r1,c:1*7A\\" + gga, "\\s:r1,c:1*7A\\" + gga}, {0, "udp", "\\s:r1,c:1*7A" + gga, ""}}},
        {"a rule for one input", "-all%udp", {{0, "udp", gga, ""}, {0, "serial", gga, gga}}},
        {"a rule for one input", "+GP***%serial:-GP***", {{0, "serial", rmc, rmc}, {0, "udp", rmc, ""}}},
        {"each line of a text, in order, as it came", "-GPGSV",
         {{0, "udp", "$GPGGA,1\r\n$GPGSV,2\r\n$GPRMC,3\n", "$GPGGA,1\r\n$GPRMC,3\n"},
          {0, "udp", "$GPGSV,1\r\n$GPGSV,2\n", ""},
          {0, "udp", "$GPGSV,1\r\r\n$GPGGA,2\r\n", "$GPGGA,2\r\n"},
          // A line from the middle that ends what passes ends in one LF, as every text does.
          {0, "udp", "$GPGGA,1\r\n$GPGSV,2\n", "$GPGGA,1\n"}, {0, "udp", "$GPGGA,1\r$GPGSV,2\n", "$GPGGA,1\n"},
          {0, "udp", "$GPGGA,1\r\r\n$GPRMC,2\r$GPGSV,3\n", "$GPGGA,1\r\r\n$GPRMC,2\n"}}},
    });
}

TEST(SentenceFilter, ALimitPassesALineOnlyWhenItsTimeHasGoneSinceTheLastItPassedAndAisPartsGoTogether)
{
    run_rows({
        {"whole seconds", "~IIMWV/1",
         {{0, "serial", mwv, mwv}, {500, "serial", mwv, ""}, {999, "udp", mwv, ""}, {1000, "serial", mwv, mwv},
          {1900, "serial", mwv, ""}, {2100, "serial", mwv, mwv}, {2100, "serial", gga, gga}}},
        {"decimals", "~WIMWV/0.5:~IIMWV/.25", {{0, "udp", "$WIMWV,1\n", "$WIMWV,1\n"}, {499, "udp", "$WIMWV,1\n", ""},
          {500, "udp", "$WIMWV,1\n", "$WIMWV,1\n"}, {0, "udp", mwv, mwv}, {249, "udp", mwv, ""}, {250, "udp", mwv, mwv}}},
        {"a timer per rule", "~GPRMC/1:~GP***/1",
         {{0, "udp", rmc + gga, rmc + gga}, {500, "udp", rmc + gga, ""}, {1000, "udp", gga + rmc + gsv, gga + rmc}}},
        {"one text's lines one after the other", "~GPGSV/1", {{0, "udp", gsv + gsv + gga + gsv, gsv + gga}}},
        {"a source and a limit, either order", "~GPRMC%serial/1:~GPGGA/1%udp:-all",
         {{0, "serial", rmc + gga, rmc}, {0, "udp", rmc + gga, gga}, {500, "serial", rmc, ""}}},
        {"no limit", "~GPRMC/0", {{0, "udp", rmc + rmc, rmc + rmc}}},
        {"AIS parts go as their first went", "~AIVDM/10",
         {{0, "udp", part(2, 1, "3"), part(2, 1, "3")}, {100, "udp", part(2, 2, "3"), part(2, 2, "3")},
          {200, "udp", part(2, 1, "4"), ""}, {9999, "udp", part(2, 2, "4"), ""}, {9999, "udp", vdm, ""},
          {10000, "udp", part(3, 1, "5") + part(3, 2, "5"), part(3, 1, "5") + part(3, 2, "5")},
          {10100, "udp", "\\c:1*00\\" + part(3, 3, "5"), "\\c:1*00\\" + part(3, 3, "5")},
          {10200, "udp", part(2, 1, "6") + part(2, 2, "6"), ""},
          // Without their first, or a part between: of use to nobody.
          {30000, "udp", part(2, 2, "7"), ""}, {30000, "udp", part(3, 1, "8") + part(3, 3, "8"), part(3, 1, "8")},
          // Messages interleaved, and one without an id.
          {50000, "udp", part(2, 1, "1") + part(2, 1, "2") + part(2, 2, "1") + part(2, 2, "2"),
           part(2, 1, "1") + part(2, 2, "1")},
          {70000, "udp", part(2, 1, "") + part(2, 2, ""), part(2, 1, "") + part(2, 2, "")}}},
        {"all and lines that are no sentence", "~all/1", {{0, "udp", "note one\n", "note one\n"}, {10, "udp", gga, ""}}},
    });
}

TEST(SentenceFilter, KplexDocumentedExamplesGiveTheResultItsDocumentationStates)
{
    // The Filtering section of kplex's README, each example with the result it states.
    run_rows({
        // "To *only* allow AIS, GPS and Depth below transducer sentences ... ifilter=+GP***:+AI***:+SDDBT:-all"
        {"only GPS, AIS and depth", "+GP***:+AI***:+SDDBT:-all",
         {{0, "udp", gga + rmc + vdm + dbt, gga + rmc + vdm + dbt}, {0, "udp", mwv + dpt + pgrmz, ""}}},
        // "+GP***:+AI***:+SDDBT is pointless. It allows all sentences as it denies none."
        {"allows all, denying none", "+GP***:+AI***:+SDDBT",
         {{0, "udp", gga + mwv + dpt + pgrmz, gga + mwv + dpt + pgrmz}}},
        // "Putting "-all" at the beginning would simply deny all sentences."
        {"-all first denies all", "-all:+GP***:+AI***:+SDDBT", {{0, "udp", gga + vdm + dbt + mwv, ""}}},
        // "GP*** would match any sentences produced by a GPS talker (excluding any proprietary sentences ...)"
        {"a GPS talker, not a proprietary sentence", "-GP***", {{0, "udp", gga + gsv + pgrmz, pgrmz}}},
        // "GP***%Serial1 would match sentences with a talker id of "GP" *only* if received on ... Serial1"
        {"a source-named rule", "-GP***%serial", {{0, "serial", gga, ""}, {0, "udp", gga, gga}}},
        // "ofilter=~GPRMC/3600:-all": a data log that "appends an RMC sentence once per hour"; passed when the
        // time since the last passed "was equal to or greater than" the seconds.
        {"a limit", "~GPRMC/3600:-all",
         {{0, "serial", rmc + gga, rmc}, {1800000, "serial", rmc, ""}, {3600000, "serial", rmc, rmc},
          {3600001, "serial", rmc, ""}}},
    });
}

TEST(SentenceFilter, BadFiltersAreRefusedNamingTheOptionTheValueAndWhatIsWrong)
{
    const std::string key = "the key is five characters ('*' matches any one) or the word all";
    const std::string empty = "an empty rule", seconds = "a limit's seconds are a number, as 1 or 0.5, given once";
    std::string many = "+GPGGA";
    for (int n = 2; n <= 33; n++)
        many += ":+GPGGA";
    const struct { std::string value, why; } rows[] = {
        {"tcp+GPGGA", "not output=filter, as tcp=+GP***:-all"},
        {"lan=+GPGGA", "an unknown output (udp, tcp, serial or reports)"},
        {"udp=+GPGG", "rule 1 \"+GPGG\": " + key},
        {"udp=-GPGGA:+GPGGAA", "rule 2 \"+GPGGAA\": " + key},
        {"udp=", "rule 1 \"\": " + empty},
        {"udp=-GPGGA::-all", "rule 2 \"\": " + empty},
        {"udp=-GPGGA:", "rule 2 \"\": " + empty},
        {"udp=GPGGA", "rule 1 \"GPGGA\": a rule begins with + (allow), - (deny) or ~ (limit)"},
        {"serial=~IIMWV", "rule 1 \"~IIMWV\": a limit without its seconds (~KEY/SECONDS)"},
        {"serial=~IIMWV/", "rule 1 \"~IIMWV/\": " + seconds},
        {"serial=~IIMWV/1.x", "rule 1 \"~IIMWV/1.x\": " + seconds},
        {"serial=~IIMWV/1/2", "rule 1 \"~IIMWV/1/2\": " + seconds},
        {"serial=~IIMWV/1000000000", "rule 1 \"~IIMWV/1000000000\": " + seconds},
        {"serial=+IIMWV/1", "rule 1 \"+IIMWV/1\": only a limit (~) takes seconds"},
        {"reports=-all%gps", "rule 1 \"-all%gps\": an unknown source (%serial or %udp)"},
        {"reports=-all%udp%serial", "rule 1 \"-all%udp%serial\": a rule names one source at most"},
        {"tcp=" + many, "rule 33 \"+GPGGA\": more rules than the 32 a filter may hold"},
    };
    for (auto &row : rows) {
        std::string value = row.value;
        char program[] = "gpsfanout", option[] = "-f";
        char *argv[] = {program, option, &value[0], nullptr};
        settings_record s = default_settings;
        char why[400];
        EXPECT_FALSE(parse_settings(3, argv, &s, why, sizeof why)) << row.value;
        EXPECT_EQ(why, "-f " + row.value + ": " + row.why);
        filter_model model;
        size_t equals = row.value.find('=');
        if (equals != std::string::npos && row.why.rfind("rule ", 0) == 0) {
            EXPECT_FALSE(model_parse(row.value.substr(equals + 1), &model)) << row.value;
        }
    }
    // The same output twice; each output once is good, and kplex's forms of a rule are all taken.
    char program[] = "gpsfanout", f[] = "-f", first[] = "udp=-GPGSV", second[] = "udp=+all";
    char *twice[] = {program, f, first, f, second, nullptr};
    settings_record s = default_settings;
    char why[400];
    EXPECT_FALSE(parse_settings(5, twice, &s, why, sizeof why));
    EXPECT_STREQ(why, "-f udp=+all: a second filter for the same output");
    char a[] = "udp=-GPGSV", b[] = "tcp=+GP***:+AI***:+SDDBT:-all", c[] = "serial=~IIMWV/1",
         d[] = "reports=~GPRMC%serial/3600:-all%udp:+allAB";
    char *each[] = {program, f, a, f, b, f, c, f, d, nullptr};
    s = default_settings;
    ASSERT_TRUE(parse_settings(9, each, &s, why, sizeof why)) << why;
    EXPECT_TRUE(s.filtering);
    EXPECT_EQ(s.filters[output_udp].rule_count, 1u);
    EXPECT_EQ(s.filters[output_tcp].rule_count, 4u);
    EXPECT_EQ(s.filters[output_serial].rule[0].limit_us, 1000000);
    EXPECT_EQ(s.filters[output_reports].rule[0].source, source_serial);
    EXPECT_FALSE(default_settings.filtering);
}

// The relay cycle with a filter on every output: what each sink is handed.
std::string got_broadcast, got_reports, got_device, got_clients;
int broadcast_calls = 0;
long long fake_now_us = 0;

TEST(SentenceFilter, TheRelayHandsEachOutputItsOwnLinesAndAnOutputThatGetsNoneIsNotCalled)
{
    const settings_record saved = settings;
    const relay_sinks saved_sinks = relay_outputs;
    relay_outputs = {
        [](const char *texts, const size_t *ends, unsigned count) { got_clients.append(texts, ends[count - 1]); },
        [](const char *text, size_t length) {
            got_device.append(text, length);
            return true;
        },
        [](const char *text, size_t length) {
            broadcast_calls++;
            got_broadcast.append(text, length);
        },
        [](const char *text) { got_reports += text; }, [] { return fake_now_us; }};
    settings.daemon_mode = true;
    settings.write_serial = true;
    settings.udp_input = true;
    char why[200];
    // The same limit on two outputs: each has its own timer.
    ASSERT_TRUE(parse_filter("-GPGSV:-GPGGA", &settings.filters[output_udp], why, sizeof why));
    ASSERT_TRUE(parse_filter("~GPRMC/1:-GPGSV", &settings.filters[output_tcp], why, sizeof why));
    ASSERT_TRUE(parse_filter("~GPRMC/1:+GPGSV:-all", &settings.filters[output_serial], why, sizeof why));
    ASSERT_TRUE(parse_filter("-all%udp", &settings.filters[output_reports], why, sizeof why));
    settings.filtering = true;
    relay_cycle_reset();
    uint64_t before[filter_outputs];
    for (int o = 0; o < filter_outputs; o++)
        before[o] = counters.filtered[o].load();

    std::string unit = gsv + gga + rmc;
    relay_datagram(unit.data(), unit.size(), false);
    fake_now_us = 500000;
    relay_datagram(gsv.data(), gsv.size(), false); // nothing for the broadcast nor the clients
    relay_serial_read(rmc.data(), rmc.size());
    relay_to_clients();
    EXPECT_EQ(got_broadcast, rmc + rmc);
    EXPECT_EQ(broadcast_calls, 2);
    EXPECT_EQ(got_clients, gga + rmc);
    EXPECT_EQ(got_device, gsv + rmc + gsv);
    EXPECT_EQ(got_reports, rmc);
    const uint64_t held[filter_outputs] = {3, 3, 2, 4};
    for (int o = 0; o < filter_outputs; o++)
        EXPECT_EQ(counters.filtered[o].load() - before[o], held[o]) << output_name(static_cast<filter_output>(o));
    settings = saved;
    relay_outputs = saved_sinks;
    relay_cycle_reset();
}

} // namespace
