// Command-line options: flags, glued values, their checks and messages, the folder step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "TestSupport.h"
#include "main.h"

using namespace korvatest;

namespace {

struct Parsed {
    int result;
    std::string out;
};

Parsed Parse(std::vector<std::string> args, const char* program = "korva2csv") {
    ResetGlobals();
    std::vector<char*> argv{(char*)program};
    for (std::string& arg : args) argv.push_back(arg.data());
    testing::internal::CaptureStdout();
    int result = ProcessCommandLine((int)argv.size(), argv.data());
    return {result, testing::internal::GetCapturedStdout()};
}

// What -? prints: the separator line and the help table (their bytes are pinned by the
// driver tests).
class Options : public testing::Test {
protected:
    static void SetUpTestSuite() { help = Parse({"-?"}).out; }
    static std::string Help(int n) {  // help line n, 1 to 13
        size_t start = 0;
        for (int i = 0; i < n; i++) start = help.find('\n', start) + 1;
        return help.substr(start, help.find('\n', start) + 1 - start);
    }
    static inline std::string help;
};

}  // namespace

TEST_F(Options, AcceptsBothPrefixesAnyCaseGluedValuesAndRepeats) {
    Parsed p = Parse({"-e", "/E", "data", "/tmp", "-lxyz", "-d005es17329:_MN___1", "-p99:99:99",
                      "-Odata", "-F/var/log/", "-Ifirst", "-I/in/second"});
    EXPECT_EQ(p.result, 2);
    EXPECT_EQ(p.out, Help(6) + Help(6) + Help(5) + Help(3) +
                         "\tOption -D, String = 005es17329:_MN___1\n"
                         "\tOption -P, String = 99:99:99\n\tOption -O, String = data\n"
                         "\tOption -F, String = /var/log/\n\tOption -I, String = first\n"
                         "\tOption -I, String = /in/second\n");
    EXPECT_STREQ(szCmdLine, "E E T L ");
    EXPECT_EQ(bWRITEELEMENTS + bWRITETRAPS + bWRITELANES + bDEVICE + bPERIOD, 5);
    EXPECT_EQ(bLISTALLELEMENTS + bCONVERTMETA + bINCLUDEMETERS, 0);
    EXPECT_STREQ(szTargetFolder, "data/");
    EXPECT_STREQ(szLogFolder, "/var/log/");
    EXPECT_STREQ(szSourceFolder, "/in/second/");
}

TEST_F(Options, RefusesBadValuesAndCodesWithTheirMessages) {
    const std::string badD = "     E Illegal 'D' syntax -- too long, too short, or missing ':'!\n";
    const std::string badP = "     E Illegal 'P' syntax -- too long, too short, or missing ':'!\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-D005es17329:_MN___"}, "     E Illegal syntax -- no 'D' string!\n" + Help(13)},
        {{"-D005es17329:_MN___1x"},
         "\tOption -D, String = 005es17329:_MN___1x\n" + badD + Help(13)},
        {{"-D005es17329-_MN___1"}, "\tOption -D, String = 005es17329-_MN___1\n" + badD + Help(13)},
        {{"-D" + std::string(40, 'd')},
         "\tOption -D, String = " + std::string(31, 'd') + "\n" + badD + Help(13)},
        {{"-P7"}, "     E Illegal syntax -- no 'P' string!\n" + Help(12)},
        {{"-P07:30"}, "\tOption -P, String = 07:30\n" + badP + Help(12)},
        {{"-P07-30-20"}, "\tOption -P, String = 07-30-20\n" + badP + Help(12)},
        {{"-P07:30:20:00"}, "\tOption -P, String = 07:30:20:00\n" + badP + Help(12)},
        {{"-I/"}, "     E Illegal syntax -- no 'I' string!\n" + Help(9)},
        {{"-F" + std::string(4095, 'f')},
         "     E Illegal 'F' folder -- longer than 4094 characters!\n" + Help(11)},
        {{"-E", "-x", "-L"},
         Help(6) + "     E Illegal option code = X\n" + help.substr(help.find('\n') + 1)},
    };
    for (const auto& [args, out] : cases) {
        Parsed p = Parse(args);
        EXPECT_EQ(p.result, 0) << args[0];
        EXPECT_EQ(p.out, out) << args[0];
        EXPECT_EQ(bDEVICE + bPERIOD + bWRITELANES, 0) << args[0];
        EXPECT_STREQ(szLogFolder, "") << args[0];
    }
    EXPECT_EQ(Parse({"-"}).result, 0);
}

TEST_F(Options, HelpEndsTheParseBeforeTheFolderStep) {
    Parsed p = Parse({"-E", "-?", "-x"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.out, Help(6) + help);
    EXPECT_STREQ(szSourceFolder, "");
}

TEST_F(Options, NoArgumentsSetOnlyTheElementReportAndCurrentFolders) {
    Parsed p = Parse({}, "/usr/bin/korva2csv");
    EXPECT_EQ(p.result, 2);
    EXPECT_EQ(p.out,
              "Usage: /usr/bin/korva2csv /? for help\n"
              "Using defaults, processing files in current folder, only printing Element Data.\n");
    EXPECT_EQ(bWRITEELEMENTS, 1);
    EXPECT_EQ(bWRITELANES + bWRITETRAPS + bLISTALLELEMENTS + bCONVERTMETA + bPERIOD + bDEVICE, 0);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const char* folder : {szSourceFolder, szTargetFolder, szLogFolder})
        EXPECT_EQ(folder, std::string(cwd) + "/");
    Parse({"-I/data/in"});
    EXPECT_EQ(bWRITEELEMENTS, 0);  // only a call without arguments sets a default report
}

TEST_F(Options, FieldsTakeA4094CharacterFolderAndListFifteenFlags) {
    std::vector<std::string> args(15, "-A");
    args.push_back("-M");  // takes effect, but szCmdLine has no room left for it
    args.push_back("-O" + std::string(4094, 'o'));
    EXPECT_EQ(Parse(args).result, 2);
    EXPECT_EQ(szTargetFolder, std::string(4094, 'o') + "/");
    EXPECT_EQ(szCmdLine, std::string("A A A A A A A A A A A A A A A "));
    EXPECT_EQ(bCONVERTMETA, 1);
}
