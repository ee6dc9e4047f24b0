// Command-line options: flags, glued values, their checks and messages, the folder step.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "main.h"

using namespace korvatest;

namespace {

const std::string kHelp =
    "Command separators - / upper or lower case are equivalent for any valid command. "
    "(-X, /X, -x, or /x )\n"
    "\tReport -A  Output Contents - detectors, stations, speed loops, traps, metered lanes with "
    "lane count\n"
    "\tOption -C  Include Ramp Meter Lanes\n"
    "\tReport -L  Output Lane Data\n"
    "\tOption -S  Include Speed detector Data (Lanes with S in the 17th character)\n"
    "\tReport -T  Output Trap Data (virtual speed detectors made from 2 detectors in a lane)\n"
    "\tReport -E  Output Element Data (Lane data merged with virtual Trap data)\n"
    "\tOption -R  Include Lane or Trap data by row first (device) then column (time)\n"
    "\tReport -M  Output metadata files (.LST)\n"
    "\tOption -I[\"path\"] Input folder (-I\"c:\\examplefolder\"  -location of the binary data "
    "files (.DAT))\n"
    "\tOption -O[\"path\"] Output folder (-O\"c:\\examplefolder\"  -location to write reports)\n"
    "\tOption -F[\"path\"] Log file folder (-F\"c:\\examplefolder\"  -location to write log "
    "files)\n"
    "\tOption -P[\"timeperiod\"] Output a single time period (-P\"00:00:00\" (:20, :40))\n"
    "\tOption -D[\"device\"] Output a single device dataset (-D\"005es17329:_MN___1\")\n";

// Line n of the help, 1 to 13 for the options A C L S T E R M I O F P D.
std::string Help(int n) {
    size_t start = 0;
    for (int i = 0; i < n; i++) start = kHelp.find('\n', start) + 1;
    return kHelp.substr(start, kHelp.find('\n', start) + 1 - start);
}

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

}  // namespace

TEST(Options, AcceptBothPrefixesAnyCaseGluedValuesAndRepeats) {
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
    EXPECT_EQ(szTargetFolder + std::string(szLogFolder) + szSourceFolder,
              "data//var/log//in/second/");
}

// Each refusal prints, in this order: the echo of a value it could store, the error, and the
// option's help line (the whole table for an unknown code); the parse stops there. Help itself
// ends the parse too, before the folder step.
TEST(Options, RefuseBadValuesAndCodesWithTheirMessagesInOrder) {
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
         Help(6) + "     E Illegal option code = X\n" + kHelp.substr(kHelp.find('\n') + 1)},
    };
    for (const auto& [args, out] : cases) {
        Parsed p = Parse(args);
        EXPECT_EQ(p.out, out) << args[0];
        EXPECT_TRUE(p.result == 0 && bDEVICE + bPERIOD + bWRITELANES == 0 && !szLogFolder[0])
            << args[0];
    }
    EXPECT_EQ(Parse({"-"}).result, 0);
    Parsed help = Parse({"-E", "-?", "-x"});
    EXPECT_EQ(help.result, 1);
    EXPECT_EQ(help.out, Help(6) + kHelp);
    EXPECT_STREQ(szSourceFolder, "");
}

TEST(Options, NoArgumentsSetOnlyTheElementReportAndCurrentFolders) {
    Parsed p = Parse({}, "/usr/bin/korva2csv");
    EXPECT_EQ(p.result, 2);
    EXPECT_EQ(p.out,
              "Usage: /usr/bin/korva2csv /? for help\n"
              "Using defaults, processing files in current folder, only printing Element Data.\n");
    EXPECT_EQ(bWRITEELEMENTS, 1);
    EXPECT_EQ(bWRITELANES + bWRITETRAPS + bLISTALLELEMENTS + bCONVERTMETA + bPERIOD + bDEVICE, 0);
    std::string cwd = std::filesystem::current_path().string() + "/";
    EXPECT_EQ(szSourceFolder + std::string(szTargetFolder) + szLogFolder, cwd + cwd + cwd);
    Parse({"-I/data/in"});
    EXPECT_EQ(bWRITEELEMENTS, 0);  // only a call without arguments sets a default report
}

TEST(Options, FieldsTakeA4094CharacterFolderAndListFifteenFlags) {
    std::vector<std::string> args(15, "-A");
    args.push_back("-M");  // takes effect, but szCmdLine has no room left for it
    args.push_back("-O" + std::string(4094, 'o'));
    EXPECT_EQ(Parse(args).result, 2);
    EXPECT_EQ(szTargetFolder, std::string(4094, 'o') + "/");
    EXPECT_EQ(szCmdLine, std::string("A A A A A A A A A A A A A A A "));
    EXPECT_EQ(bCONVERTMETA, 1);
}
