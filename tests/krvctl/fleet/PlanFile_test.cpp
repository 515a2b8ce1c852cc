// Reading the plan file: the forms spreadsheets save CSV in and the JSON form read alike, every
// problem of a row named with its line, and a file that cannot be read through stops early.
// Matching against the LAN is Plan_test's.
#include "krvctl/fleet/PlanFile.h"

#include <gtest/gtest.h>

namespace krvctl {
namespace {

struct Expected {
    int line;
    std::string mac;
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> labels;
};

std::vector<std::pair<std::string, std::string>> settingsOf(const PlanRow& row) {
    std::vector<std::pair<std::string, std::string>> settings;
    for (const Setting& setting : row.settings) {
        settings.emplace_back(setting.key, setting.value);
    }
    return settings;
}

TEST(PlanFile, SpreadsheetFormsAndJsonReadAlike) {
    // Three controllers: a label with the separator in it, a clear and a label of two lines
    // with quotes, a MAC without separators, an upper-case header and a blank row between.
    const std::vector<Expected> csvRows = {
        {2,
         "02:00:00:4B:10:01",
         {{"ip", "192.0.2.21"}, {"ipscheme", "STATIC"}},
         {"Hall 1, north", ""}},
        {4, "02:00:00:4B:10:02", {{"ntpip", "-"}, {"utcclock", "now"}}, {"say \"hi\"\nagain", "b"}},
        {6, "02:00:00:4B:10:03", {{"ntpip", "192.0.2.123"}}, {"x", ""}},
    };
    const std::string libreOffice =
        "MAC,ip,ntpip,ipscheme,utcclock,location,notes\n"
        "02:00:00:4b:10:01,192.0.2.21,,static,,\"Hall 1, north\",\n"
        ",,,,,,\n"
        "02-00-00-4B-10-02,,-,,NOW,\"say \"\"hi\"\"\nagain\",b\n"
        "0200004B1003, ,192.0.2.123 ,,,x,\n";
    // Excel where the decimal comma takes the comma: ";", a byte-order mark, CRLF; a line
    // break inside a cell stays a bare LF.
    const std::string excel =
        "\xEF\xBB\xBFMAC;ip;ntpip;ipscheme;utcclock;location;notes\r\n"
        "02:00:00:4b:10:01;192.0.2.21;;static;;Hall 1, north;\r\n"
        ";;;;;;\r\n"
        "02-00-00-4B-10-02;;-;;NOW;\"say \"\"hi\"\"\nagain\";b\r\n"
        "0200004B1003; ;192.0.2.123 ;;;x;\r\n";
    const std::string json = R"([
  {"mac": "02:00:00:4b:10:01", "ip": "192.0.2.21", "ipscheme": "static",
   "location": "Hall 1, north", "notes": null},
  {"mac": "02-00-00-4B-10-02", "ntpip": "-", "utcclock": "now", "location": "say \"hi\"\nagain", "notes": "b"},
  {"mac": "0200004B1003", "ntpip": "192.0.2.123", "location": "x"}
])";
    std::vector<Expected> jsonRows = csvRows;
    jsonRows[1].line = 4;
    jsonRows[2].line = 5;

    for (const auto& [name, bytes, expected] :
         {std::tuple{"office.csv", libreOffice, csvRows}, std::tuple{"excel.CSV", excel, csvRows},
          std::tuple{"plan.json", json, jsonRows}}) {
        const PlanFile file = readPlanFile(name, bytes);
        EXPECT_TRUE(file.problems.empty()) << name << ": " << file.problems.front().problem;
        EXPECT_EQ(file.labelColumns, (std::vector<std::string>{"location", "notes"})) << name;
        ASSERT_EQ(file.rows.size(), expected.size()) << name;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(file.rows[i].line, expected[i].line) << name << " row " << i;
            EXPECT_EQ(file.rows[i].mac, expected[i].mac) << name;
            EXPECT_EQ(settingsOf(file.rows[i]), expected[i].settings) << name << " row " << i;
            EXPECT_EQ(file.rows[i].labels, expected[i].labels) << name << " row " << i;
        }
    }
}

TEST(PlanFile, TabsExcelsSeparatorLineAndWindows1252ReadAlike) {
    // The empty ip cell between two tabs must stay a cell, or ntpip would land in ip.
    const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
        {"copied cells", "mac\tip\tntpip\tsite\n02:00:00:4B:10:01\t\t192.0.2.123\tHalle Süd\n", 2,
         ""},
        {"sep line", "sep=;\r\nmac;ip;ntpip;site\r\n02:00:00:4B:10:01;;192.0.2.123;Halle Süd\r\n",
         3, ""},
        {"quoted sep line",
         "\"sep=,\"\nmac,ip,ntpip,site\n02:00:00:4B:10:01,,192.0.2.123,Halle Süd\n", 3, ""},
        {"old Excel", "mac;ip;ntpip;site\r\n02:00:00:4B:10:01;;192.0.2.123;Halle S\xFC" "d\r\n", 2,
         "read as Windows-1252"},
    };
    for (const auto& [form, bytes, line, note] : cases) {
        const PlanFile file = readPlanFile("plan.csv", bytes);
        EXPECT_TRUE(file.problems.empty()) << form << ": " << file.problems.front().problem;
        ASSERT_EQ(file.rows.size(), 1u) << form;
        EXPECT_EQ(file.rows[0].line, line) << form;
        EXPECT_EQ(settingsOf(file.rows[0]),
                  (std::vector<std::pair<std::string, std::string>>{{"ntpip", "192.0.2.123"}}))
            << form;
        EXPECT_EQ(file.rows[0].labels, std::vector<std::string>{"Halle Süd"}) << form;
        const std::string warned = file.warnings.empty() ? "" : file.warnings.front().problem;
        EXPECT_EQ(warned.find(note) != std::string::npos, !note.empty() || warned.empty())
            << form << ": " << warned;
    }
}

TEST(PlanFile, AddressesASpreadsheetMadeNumbersOfAreNamedAsSuch) {
    const PlanFile file = readPlanFile("plan.csv",
                                       "sep=;\n"
                                       "mac;ip;gateway;ntpip\n"
                                       "02:00:00:4B:10:01;10100100101;;\n"
                                       "02:00:00:4B:10:02;;1,01001E+10;\n"
                                       "02:00:00:4B:10:03;;;1.92E+11\n"
                                       "02:00:00:4B:10:04;1921682;;\n");
    ASSERT_EQ(file.problems.size(), 4u);
    for (std::size_t i = 0; i < file.problems.size(); ++i) {
        EXPECT_EQ(file.problems[i].line, static_cast<int>(i) + 3);
        EXPECT_NE(file.problems[i].problem.find("thousands separators"), std::string::npos)
            << file.problems[i].problem;
        EXPECT_NE(file.problems[i].problem.find("format the column as Text"), std::string::npos);
    }
}

TEST(PlanFile, ASiteWideSettingRisingRowByRowIsAWarningOnly) {
    const PlanFile file = readPlanFile("plan.csv",
                                       "mac,ip,ntpip,syslogip,gateway\n"
                                       "02:00:00:4B:10:01,192.0.2.21,192.0.2.124,192.0.2.9,\n"
                                       "02:00:00:4B:10:02,192.0.2.22,192.0.2.125,192.0.2.9,\n"
                                       "02:00:00:4B:10:03,192.0.2.23,192.0.2.126,192.0.2.9,\n"
                                       "02:00:00:4B:10:04,192.0.2.24,192.0.2.124,,192.0.2.1\n");
    EXPECT_TRUE(file.problems.empty());
    EXPECT_EQ(file.rows.size(), 4u);
    // The addresses rise too, as they should; only the site's NTP server is suspicious.
    ASSERT_EQ(file.warnings.size(), 1u);
    EXPECT_EQ(file.warnings[0].line, 2);
    EXPECT_NE(file.warnings[0].problem.find("ntpip rises by one from row to row on lines 2 to 4"),
              std::string::npos)
        << file.warnings[0].problem;
}

TEST(PlanFile, EveryProblemOfARowIsNamedWithItsLine) {
    const PlanFile file = readPlanFile("plan.csv",
                                       "mac,ip,gateway,ntpip,ipscheme,utcclock,notes,\n"
                                       "02:00:00:4B:10:01,192.0.2.256,192.0.2.01,,,,\n"
                                       "02:00:00:4b:10:01,,,,,,\n"
                                       "02:00:00:4B:10,,,,,,\n"
                                       ",192.0.2.5,,,,,\n"
                                       "02:00:00:4B:10:04,-,,,dhcp,,\n"
                                       "02:00:00:4B:10:05,,,,bootp,tomorrow,\n"
                                       "02:00:00:4B:10:06,,,,,,,left\n"
                                       "02:00:00:4B:10:07,,,,,,,,beyond\n");
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "ip '192.0.2.256': 256 is above 255"},
        {2, "gateway '192.0.2.01': a leading zero"},
        {3, "02:00:00:4B:10:01 is planned on line 2 already"},
        {4, "mac '02:00:00:4B:10': a MAC address is six hex octets"},
        {5, "no MAC"},
        {6, "ip '-': '-' clears only ntpip, syslogip and nameserver"},
        {7, "ipscheme 'bootp': the address scheme is STATIC or DHCP"},
        {7, "utcclock 'tomorrow': utcclock takes only now"},
        {8, "a value in column 8, which has no name in the header"},
        {9, "a value beyond the last column"},
    };
    ASSERT_EQ(file.problems.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(file.problems[i].line, expected[i].first) << expected[i].second;
        EXPECT_NE(file.problems[i].problem.find(expected[i].second), std::string::npos)
            << file.problems[i].problem;
        EXPECT_FALSE(file.problems[i].risk);
    }
    EXPECT_TRUE(file.complete);
    // The rows that can still be matched; the one with the good MAC but a bad value included.
    ASSERT_EQ(file.rows.size(), 5u);
    EXPECT_EQ(file.rows[0].line, 2);
    EXPECT_EQ(settingsOf(file.rows[1]),
              (std::vector<std::pair<std::string, std::string>>{{"ipscheme", "DHCP"}}));
}

TEST(PlanFile, AFileThatCannotBeReadThroughStopsAtItsLine) {
    const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
        {"open.csv", "mac,notes\n02:00:00:4B:10:01,ok\n02:00:00:4B:10:02,\"never\nclosed\n", 3,
         "never ends"},
        {"stray.csv", "mac,notes\r\n02:00:00:4B:10:01,\"5\" screen\"\r\n", 2, "a quote inside"},
        {"utf16.csv", std::string("\xFF\xFEm\0a\0c\0", 8), 1, "UTF-16"},
        {"empty.csv", "", 1, "the file is empty"},
        {"nomac.csv", "\n\nhost;ip\n", 3, "no column mac"},
        {"twice.csv", "mac,ip,IP\n", 1, "the column IP is named twice"},
        {"broken.json", "[\n  {\"mac\": \"02:00:00:4B:10:01\"},\n  {\"mac\" \"x\"}\n]", 3,
         "not JSON"},
        {"object.json", "{\"mac\": \"02:00:00:4B:10:01\"}", 1, "an array of objects"},
        {"nested.json", "[\n {\"mac\": \"02:00:00:4B:10:01\", \"ip\": [1]}\n]", 2,
         "a value is text"},
    };
    for (const auto& [name, bytes, line, fragment] : cases) {
        const PlanFile file = readPlanFile(name, bytes);
        ASSERT_FALSE(file.problems.empty()) << name;
        EXPECT_EQ(file.problems.front().line, line) << name;
        EXPECT_NE(file.problems.front().problem.find(fragment), std::string::npos)
            << name << ": " << file.problems.front().problem;
    }
}

}  // namespace
}  // namespace krvctl
