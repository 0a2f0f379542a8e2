// The command as a user runs it: a subprocess with its exit status, standard
// output and standard error.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// CTest runs tests in parallel processes: the process id keeps their files apart.
std::string temp_path(const std::string& name) {
    return testing::TempDir() + "vorn-snapgen-" + std::to_string(::getpid()) + "-" + name;
}

RunResult run_command(const std::string& arguments) {
    const std::string out = temp_path("stdout");
    const std::string err = temp_path("stderr");
    const std::string command =
        std::string(VORN_SNAPGEN_BINARY) + " " + arguments + " >'" + out + "' 2>'" + err + "'";
    const int raw = std::system(command.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

struct CliCase {
    const char* name;
    const char* arguments;
    int status;
    const char* out;  // a part of standard output, "" for none expected
    const char* err;  // a part of standard error, "" for none expected
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CliCase& c, std::ostream* os) { *os << c.arguments; }


class Command : public testing::TestWithParam<CliCase> {};

TEST_P(Command, ExitsWithItsStatus) {
    const CliCase& c = GetParam();
    const RunResult result = run_command(c.arguments);
    EXPECT_EQ(result.status, c.status) << result.err;
    if (*c.out == '\0') {
        EXPECT_EQ(result.out, "");
    } else {
        EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
    }
    if (*c.err == '\0') {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Command,
    testing::Values(
        CliCase{"Help", "--help", 0, "--family FAMILY REQUIRED", ""},
        CliCase{"HelpNamesEveryOption", "--help", 0, "--first-phase ID", ""},
        CliCase{"Version", "--version", 0, "0.1.0", ""},
        CliCase{"FamilyMissing", "", 2, "", "--family is required"},
        CliCase{"UnknownFamily", "--family ring", 2, "", "--family: unknown family 'ring'"},
        CliCase{"UnknownOption", "--family halo --colour", 2, "", "colour"},
        CliCase{"TilesZero", "--family halo --tiles 0", 2, "", "--tiles"},
        CliCase{"TilesAboveQ480", "--family halo --tiles 1473", 2, "", "--tiles"},
        CliCase{"TilesNotANumber", "--family halo --tiles many", 2, "", "--tiles"},
        CliCase{"WordsZero", "--family halo --words 0", 2, "", "--words: '0' is not a count"},
        CliCase{"WordsReversed", "--family halo --words 9-3", 2, "", "--words: '9-3'"},
        CliCase{"WordsAboveLimit", "--family halo --words 4149", 2, "", "--words"},
        CliCase{"RepeatsAboveLimit", "--family mixed --repeats 17", 2, "", "--repeats"},
        CliCase{"FanoutTooWide", "--family broadcast --tiles 8 --fanout 8", 2, "",
                "--fanout must lie within 1..7"},
        CliCase{"BadGrid", "--family halo --grid 40", 2, "", "--grid: '40' is not a grid"},
        CliCase{"GridTooLarge", "--family halo --grid 40x40", 2, "", "--grid 40x40 must hold"},
        CliCase{"BadLayout", "--family halo --layout pretty", 2, "", "--layout: unknown layout 'pretty'"},
        CliCase{"PairedAbove100", "--family mixed --paired 101", 2, "", "--paired"},
        CliCase{"PhaseIdsOverflow", "--family halo --first-phase 4294967295 --phases 2", 2, "", "--first-phase"},
        CliCase{"UnwritableOutput", "--family halo --output /nonexistent-dir/out.json", 1, "",
                "Error: cannot create /nonexistent-dir/out.json"},
        CliCase{"FullDevice", "--family halo --output /dev/full", 1, "", "Error: cannot write /dev/full"},
        CliCase{"SmallSnapshot", "--family all-to-all --tiles 4 --transfers 1 --words 4", 0,
                R"({"schema_version":3,"tile_count":4,"phases":[{"phase":0,"transfers":[{"source":0,)", ""}),
    [](const testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

TEST(Command, GivenTwiceIsAUsageError) {
    // CLI11 names the option in its own words; the status is what matters.
    const RunResult result = run_command("--family halo --tiles 4 --tiles 8");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err, "");
}

TEST(Command, SameSeedSameBytes) {
    const RunResult first = run_command("--family mixed --tiles 64 --transfers 300 --seed 42");
    const RunResult second = run_command("--family mixed --tiles 64 --transfers 300 --seed 42");
    const RunResult other = run_command("--family mixed --tiles 64 --transfers 300 --seed 43");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(first.out == second.out);
    EXPECT_TRUE(first.out != other.out);
    EXPECT_EQ(first.out.back(), '\n');
}

TEST(Command, WritesTheOutputFileAsStandardOutputWould) {
    const std::string path = temp_path("out.json");
    std::remove(path.c_str());
    const RunResult to_file = run_command("--family broadcast --phases 2 --layout phase-lines --output '" + path + "'");
    ASSERT_EQ(to_file.status, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    const RunResult to_stdout = run_command("--family broadcast --phases 2 --layout phase-lines");
    EXPECT_TRUE(read_file(path) == to_stdout.out);
    // Header line, two phase lines, closing line.
    std::size_t lines = 0;
    for (const char c : to_stdout.out) {
        lines += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, 4U);
}

TEST(Examples, AreWhatTheirRecordedCommandsWrite) {
    // The commands recorded in tools/vorn-snapgen/README.md.
    const std::string examples = std::string(VORN_SOURCE_DIR) + "/examples/";
    const RunResult mixed = run_command("--family mixed --phases 4 --transfers 500 --seed 2024");
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    // Compared whole; printing a few hundred KiB on a mismatch helps nobody.
    EXPECT_TRUE(mixed.out == read_file(examples + "mixed.json")) << "examples/mixed.json differs";
    const RunResult small = run_command(
        "--family mixed --tiles 16 --phases 2 --transfers 5 --words 8-32 --fanout 2-4 --paired 50 --seed 7 "
        "--layout phase-lines");
    ASSERT_EQ(small.status, 0) << small.err;
    EXPECT_EQ(small.out, read_file(examples + "small.json"));
}

}  // namespace
