// The standard-CSV dialect (--clean): the legacy reports' rows and values under one header of
// lower-case names, ISO 8601 times, no count lines, and fields quoted where they must be.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace korvatest;

namespace {

// The lines of every report the run left in folder, by file name.
std::vector<std::pair<std::string, std::vector<std::string>>> Reports(const std::string& folder) {
    std::vector<std::pair<std::string, std::vector<std::string>>> reports;
    for (const std::string& name : ListDir(folder))
        if (name.find("CSVLog") != 0) reports.push_back({name, Lines(ReadFile(folder + name))});
    return reports;
}

// A clean time "2021-05-01 07:30:20" written back as the legacy report writes it.
std::string LegacyTimes(const std::string& line, bool trailingBlank) {
    static const std::regex iso("(\\d{4})-(\\d{2})-(\\d{2}) (\\d{2}:\\d{2}:\\d{2})");
    return std::regex_replace(line, iso, trailingBlank ? "$2/$3/$1 $4 " : "$2/$3/$1 $4");
}

}  // namespace

TEST(Clean, ReportsHoldTheLegacyRowsUnderLowerCaseNames) {
    TempDir in, legacy, clean;
    std::string sample = KORVA_SAMPLE_BIN + (" -n 30 -p 40 -d 1 --faults " + in.path);
    ASSERT_EQ(std::system((sample + " >/dev/null").c_str()), 0);
    for (const char* option : {"-E", "-M"}) {
        std::vector<std::string> args = {option, "-L", "-T", "-A", "-S", "-C", "-I" + in.path};
        std::vector<std::string> cleanArgs = args;
        cleanArgs.push_back("--clean");
        args.push_back("-O" + legacy.path), args.push_back("-F" + legacy.path);
        cleanArgs.push_back("-O" + clean.path), cleanArgs.push_back("-F" + clean.path);
        ASSERT_EQ(RunKorva(args, legacy.path).status, 0);
        ASSERT_EQ(RunKorva(cleanArgs, clean.path).status, 0);
    }
    auto before = Reports(legacy.path), after = Reports(clean.path);
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(after.size(), before.size());
    const std::regex header("[a-z][a-z0-9_]*(,[a-z][a-z0-9_]*)*");
    for (size_t r = 0; r < before.size(); r++) {
        const auto& [name, lines] = after[r];
        std::vector<std::string> rows = before[r].second;
        ASSERT_EQ(name, before[r].first);
        EXPECT_TRUE(std::regex_match(lines[0], header)) << name << ": " << lines[0];
        if (name.find("Content") != std::string::npos)  // no count lines above and below
            rows = std::vector<std::string>(rows.begin() + 1, rows.end() - 1);
        ASSERT_EQ(lines.size(), rows.size()) << name;
        for (size_t i = 1; i < lines.size(); i++) {
            EXPECT_EQ(lines[i].back() == ' ', false) << name << " row " << i;
            EXPECT_EQ(LegacyTimes(lines[i], name.find("Element") != std::string::npos), rows[i])
                << name << " row " << i;
        }
    }
}

TEST(Clean, FieldsWithACommaOrAQuoteAreQuoted) {
    TempDir in, out;
    const std::string name = "0010W,\"042:L0002_1";  // index 16 '_': an ordinary lane
    WriteFile(in / "Q.DAT", BuildDataFile({1, {{name, DEVICE_LOOP, LoopEntry(0, 1, 12, 0, 3)}}}));
    WriteFile(in / "Q.LST", "Cabinet list - 12/06/2026\n" +
                                CabinetLine({"417es,2970", "A\"1", "12", "I-5", "N", "12.5", "Main",
                                             "2", "8", "4", "2", "0", "ON"}) +
                                "\n");
    const std::string quoted = "\"0010W,\"\"042:L0002_1\"";
    for (const char* option : {"-E", "-M"})
        ASSERT_EQ(
            RunKorva({option, "-A", "--clean", "-I" + in.path, "-O" + out.path, "-F" + out.path},
                     out.path)
                .status,
            0);
    EXPECT_EQ(
        Lines(ReadFile(out / "KORVA20Sec_Element_05012021.csv"))[1],
        quoted + ",1,3,1.0,12,0,1,3,3,100,0.0,0.0,0,0,0,0,0,0,0,6,61.0,12,2021-05-01 00:00:00");
    EXPECT_EQ(ReadFile(out / "KORVA20Sec_Content_05012021.csv"),
              "name,num_lanes\n" + quoted + ",1\n");
    EXPECT_EQ(Lines(ReadFile(out / "RMDC_12_06_2026.CSV"))[1],
              "\"417es,2970\",\"A\"\"1\",12,I-5,N,12.5,Main,2,8,4,2,0,ON");
}
