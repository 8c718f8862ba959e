// SPDX-License-Identifier: BSD-2-Clause
// The daemon's reporting step as a whole, writing into a scratch directory.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "base/settings.h"
#include "record/record_decode.h"
#include "report/position_reports.h"
#include "reference.h"
#include "report_scratch.h"

namespace {

struct UpdatePositionReports : testing::Test {
    scratch_directory scratch;
    void SetUp() override
    {
        ASSERT_FALSE(scratch.path.empty());
        ASSERT_TRUE(set_report_directory(scratch.path.c_str()));
        clear_position_stores();
        settings.daemon_mode = true; // no echo in the test's output
    }
    void TearDown() override
    {
        set_report_directory("/tmp");
        clear_position_stores();
        settings = default_settings;
    }
    std::string file(const std::string &name) { return read_whole(scratch.at(name)); }
};

TEST_F(UpdatePositionReports, TheFirstRmcTextAfterAGgaTextWritesBothAndEachRecordLooksForTheAlarmFile)
{
    update_position_reports(example_rmc.c_str());
    update_position_reports("$GPGSV,3,1,11,03,03,111,00*74\n");
    update_position_reports(example_gga.c_str());
    EXPECT_EQ(scratch.listing(), names{});
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(file("nmea.status"), example_status);
    EXPECT_EQ(file("sbd10.status"), example_record);
    EXPECT_EQ(scratch.listing(), (names{"nmea.status", "sbd10.status"}));

    ASSERT_TRUE(write_whole(scratch.at("alarm"), ""));
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(file("sbd10.status"), alarm_record);
    ASSERT_EQ(unlink(scratch.at("alarm").c_str()), 0);
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(file("sbd10.status"), example_record);
}

TEST_F(UpdatePositionReports, TheLatestTextsAreUsedAndAnOldGgaStillGivesTheAltitude)
{
    update_position_reports(example_gga.c_str());
    update_position_reports(example_rmc.c_str());
    update_position_reports("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\n");
    const std::string later = "$GPRMC,235959,V,4807.038,S,01131.000,W,000.0,000.0,311299,,*00\n";
    update_position_reports(later.c_str());
    EXPECT_EQ(file("nmea.status"), "NMEA: " + later + "NMEA: " + example_gga +
                                       "Status: VOID\nDate(day/mon/yr): 31/12/99\nTime(hh:mm:ss): 23:59:59\n"
                                       "Lat(deg): -48.1173\nLon(deg): -11.5167\nCourse(deg): 0\nSpeed(m/s): 0\n"
                                       "Alt(m): 545.4\n");
    const std::string record = file("sbd10.status");
    ASSERT_EQ(record.size(), 12u);
    EXPECT_EQ(decode_position_record(reinterpret_cast<const uint8_t *>(record.data())).time, 720u); // 23:59:59
}

TEST_F(UpdatePositionReports, ATextIsStoredForEachSentenceItHoldsAndLookAlikesAreNotStored)
{
    // Both sentences in one text: stored twice, the fix of each reported.
    const std::string both = example_gga.substr(0, example_gga.size() - 1) + "\r\n" + example_rmc;
    update_position_reports(both.c_str());
    EXPECT_EQ(file("nmea.status"), "NMEA: " + both + "NMEA: " + both + example_lines);
    EXPECT_EQ(file("sbd10.status"), example_record);
    ASSERT_EQ(unlink(scratch.at("sbd10.status").c_str()), 0);
    for (const char *look_alike : {"!AIVDM,1,1,,A,13aGRMC,GGA,0*4E\n", "$GPTXT,01,01,02,RMC and GGA*00\n",
                                   "$PGRMC,1,2,3\n", "$GPTXT,01,01,02,$GPGGA,1,2,3,4,5,6,7,8,9,M\n"})
        update_position_reports(look_alike);
    EXPECT_EQ(scratch.listing(), names{"nmea.status"}); // nothing was rewritten
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(file("nmea.status"), "NMEA: " + example_rmc + "NMEA: " + both + example_lines);
    EXPECT_EQ(file("sbd10.status"), example_record);
}

TEST_F(UpdatePositionReports, AReportThatCannotBePublishedIsSaidOnceUntilItIsPublishedAgain)
{
    auto failure = [&](const std::string &name) {
        return "Unable to publish " + scratch.at(name) + ": No such file or directory\n";
    };
    settings.daemon_mode = false; // standard error only, nothing to the system log
    ASSERT_TRUE(set_report_directory(scratch.at("missing").c_str()));
    testing::internal::CaptureStderr();
    update_position_reports(example_gga.c_str());
    update_position_reports(example_rmc.c_str());
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              failure("missing/nmea.status") + failure("missing/sbd10.status"));
    EXPECT_EQ(scratch.listing(), names{});
    // Reporting resumes, unsaid, once it can write again; a later failure is said again.
    ASSERT_EQ(mkdir(scratch.at("missing").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(file("missing/sbd10.status"), example_record);
    ASSERT_TRUE(set_report_directory(scratch.at("gone").c_str()));
    update_position_reports(example_rmc.c_str());
    update_position_reports(example_rmc.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), failure("gone/nmea.status") + failure("gone/sbd10.status"));
}

TEST(ReportDirectory, APathThatDoesNotFitIsRefusedAndChangesNothing)
{
    EXPECT_FALSE(set_report_directory(std::string(report_path_capacity, 'd').c_str()));
    EXPECT_TRUE(set_report_directory("/tmp"));
}

} // namespace
