// Runs the built command as a subprocess and checks its exit status and both
// output streams.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Matches an output against an expected text that is literal except for the
// placeholders "{ms}" (a millisecond value with three decimals), "{n}" (a
// decimal integer), "{hex}" (a 16-digit lower-case fingerprint) and
// "{program}" (one or more rendered program lines "word+N cycles=A..B ...").
// Each placeholder consumes what it stands for and nothing more, so no
// backtracking is needed.
class OutputMatcher {
public:
    explicit OutputMatcher(std::string_view actual) : actual_(actual) {}

    bool matches(std::string_view expected) {
        while (!expected.empty()) {
            if (take_placeholder(expected, "{ms}")) {
                if (!digits() || !literal(".") || !digits(3)) {
                    return false;
                }
            } else if (take_placeholder(expected, "{n}")) {
                if (!digits()) {
                    return false;
                }
            } else if (take_placeholder(expected, "{hex}")) {
                if (!hex_digits(16)) {
                    return false;
                }
            } else if (take_placeholder(expected, "{program}")) {
                if (!program_line()) {
                    return false;
                }
                while (actual_.starts_with("word+")) {
                    if (!program_line()) {
                        return false;
                    }
                }
            } else {
                if (actual_.empty() || actual_.front() != expected.front()) {
                    return false;
                }
                actual_.remove_prefix(1);
                expected.remove_prefix(1);
            }
        }
        return actual_.empty();
    }

private:
    static bool take_placeholder(std::string_view& expected, std::string_view name) {
        if (!expected.starts_with(name)) {
            return false;
        }
        expected.remove_prefix(name.size());
        return true;
    }
    bool literal(std::string_view text) {
        if (!actual_.starts_with(text)) {
            return false;
        }
        actual_.remove_prefix(text.size());
        return true;
    }
    // At least one digit, or exactly `count` when given.
    bool digits(std::size_t count = 0) {
        std::size_t n = 0;
        while (n < actual_.size() && actual_[n] >= '0' && actual_[n] <= '9' && (count == 0 || n < count)) {
            ++n;
        }
        if (n == 0 || (count != 0 && n != count)) {
            return false;
        }
        actual_.remove_prefix(n);
        return true;
    }
    bool hex_digits(std::size_t count) {
        if (actual_.size() < count) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const char c = actual_[i];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
                return false;
            }
        }
        actual_.remove_prefix(count);
        return true;
    }
    bool program_line() {
        if (!literal("word+") || !digits() || !literal(" cycles=") || !digits() || !literal("..") || !digits() ||
            !literal(" ")) {
            return false;
        }
        const std::size_t end = actual_.find('\n');
        if (end == std::string_view::npos) {
            return false;
        }
        actual_.remove_prefix(end + 1);
        return true;
    }

    std::string_view actual_;
};

bool matches_output(const std::string& actual, std::string_view expected) {
    return OutputMatcher(actual).matches(expected);
}

// `text` with every occurrence of `from` replaced by `to`.
std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class CommandTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/vorn-tests-command-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = new fs::path(pattern);
    }
    static void TearDownTestSuite() {
        fs::remove_all(*dir_);
        delete dir_;
        dir_ = nullptr;
    }

    static fs::path path(const std::string& name) { return *dir_ / name; }

    static std::string snapshot(const std::string& name, const std::string& text) {
        write_file(path(name), text);
        return path(name).string();
    }

    // Runs the command with the given arguments; output goes to files so that
    // neither stream can block the other.
    static Outcome run(const std::vector<std::string>& words) {
        const auto out_path = path("stdout");
        const auto err_path = path("stderr");
        const pid_t child = ::fork();
        if (child == 0) {
            const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(VORN_TESTS_BINARY)};
            for (const auto& word : words) {
                argv.push_back(const_cast<char*>(word.c_str()));
            }
            argv.push_back(nullptr);
            ::unsetenv("VORN_LOG");
            ::execv(VORN_TESTS_BINARY, argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        Outcome outcome;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = read_file(out_path);
        outcome.err = read_file(err_path);
        return outcome;
    }

    static inline fs::path* dir_ = nullptr;
};

const std::string transfer = R"({"source": 0, "source_addresses": [4096, 8192, 12288], "destinations": [{"tile": 1, "address": 8192}], "words": 4, "width": "Word32"})";

std::string document(const std::string& phases) {
    return R"({"schema_version": 3, "tile_count": 1472, "phases": [)" + phases + "]}";
}

std::string phase(unsigned id) {
    return "{\"phase\": " + std::to_string(id) + ", \"transfers\": [" + transfer + "]}";
}

struct Case {
    std::string name;
    std::vector<std::string> words;
    int status;
    std::string out;
    std::string err;
};

// The start-up cases run with --footprint-only where they succeed: the phase
// run loop then adds only the storage lines, which show what was selected.
TEST_F(CommandTest, StartUpTable) {
    const auto three = snapshot("three.json", document(phase(5) + "," + phase(1) + "," + phase(3)));
    const auto empty = snapshot("empty.json", "[3, 1472, []]");
    const std::string header_three = "snapshot=" + three + " tiles=1472 phases=";
    const std::string footprints_three =
        "phase=5 estimatedMaximumRowBytes=24 footprintMs={ms}\n"
        "phase=1 estimatedMaximumRowBytes=24 footprintMs={ms}\n"
        "phase=3 estimatedMaximumRowBytes=24 footprintMs={ms}\n"
        // Three identical tables on tiles 0 and 1: the later two are shared.
        "estimatedMaximumTableBytes=48 unsharedMaximumTableBytes=72\n"
        "totalMs={ms}\n";
    const std::string missing = path("missing.json").string();
    const auto old_schema = snapshot("schema2.json", "[2, 0, []]");
    const auto bad_transfer = snapshot(
        "bad-transfer.json",
        document(R"({"phase": 4, "transfers": [{"source": 0, "source_addresses": [4096, 4098], "destinations": [{"tile": 1, "address": 8192}], "words": 4, "width": "Word32"}]})"));
    const std::vector<Case> cases = {
        {"all phases",
         {three, "--footprint-only"},
         0,
         header_three + "3 warmup=0 iterations=1 repeatAware=true\n" + footprints_three,
         ""},
        {"phase order never matters",
         {"--phase", "5", three, "--phase", "1", "--footprint-only"},
         0,
         header_three + "2 warmup=0 iterations=1 repeatAware=true\n"
                        "phase=5 estimatedMaximumRowBytes=24 footprintMs={ms}\n"
                        "phase=1 estimatedMaximumRowBytes=24 footprintMs={ms}\n"
                        "estimatedMaximumTableBytes=40 unsharedMaximumTableBytes=48\n"
                        "totalMs={ms}\n",
         ""},
        {"run counts and first iteration",
         {three, "--warmup", "2", "--iterations", "7", "--first-iteration-only", "--footprint-only"},
         0,
         header_three + "3 warmup=2 iterations=7 repeatAware=false\n" + footprints_three,
         ""},
        {"no phases",
         {empty},
         0,
         "snapshot=" + empty +
             " tiles=1472 phases=0 warmup=0 iterations=1 repeatAware=true\n"
             "estimatedMaximumTableBytes=0 unsharedMaximumTableBytes=0\n"
             "totalMs={ms}\n",
         ""},
        {"zero iterations before anything is read",
         {missing, "--iterations", "0"},
         1,
         "",
         "Error: --iterations must be nonzero\n"},
        {"open failure", {missing}, 1, "", "Error: open " + missing + "\n\nCaused by:\n    No such file or directory\n"},
        {"a directory fails while reading",
         {dir_->string()},
         1,
         "",
         "Error: parse " + dir_->string() + "\n\nCaused by:\n    Is a directory\n"},
        {"validation runs before anything is printed",
         {old_schema},
         1,
         "",
         "Error: invalid exchange-schedule snapshot: unsupported schema version 2 (expected 3)\n"},
        {"validation sees every source address, also with --first-iteration-only",
         {bad_transfer, "--first-iteration-only"},
         1,
         "",
         "Error: invalid exchange-schedule snapshot: phase 4 transfer 0 has unaligned source address 0x1002\n"},
        {"duplicate phase", {three, "--phase", "3", "--phase", "3"}, 1, "", "Error: --phase contains a duplicate phase ID\n"},
        {"smallest missing phase",
         {three, "--phase", "9", "--phase", "2"},
         1,
         "",
         "Error: snapshot does not contain phase 2\n"},
        {"replay cache alone is a usage error", {three, "--replay-cache"}, 2, "", "*"},
        {"relocation without the cache is a usage error",
         {three, "--select-widths", "--relocate-by", "0"},
         2,
         "",
         "*"},
        {"relocation at its default is fine",
         {three, "--select-widths", "--replay-cache", "--footprint-only"},
         0,
         header_three + "3 warmup=0 iterations=1 repeatAware=true\n" + footprints_three,
         ""},
        {"missing snapshot", {}, 2, "", "*"},
    };
    for (const auto& c : cases) {
        const auto outcome = run(c.words);
        EXPECT_EQ(outcome.status, c.status) << c.name << "\n" << outcome.err;
        EXPECT_TRUE(matches_output(outcome.out, c.out)) << c.name << "\n" << outcome.out;
        if (c.err == "*") {
            EXPECT_FALSE(outcome.err.empty()) << c.name;
        } else {
            EXPECT_EQ(outcome.err, c.err) << c.name;
        }
    }
}

TEST_F(CommandTest, ReaderErrorsAppearUnderTheParseContext) {
    std::string text = document(phase(7));
    const auto words = text.find(R"("words": 4, )");
    text.erase(words, std::string(R"("words": 4, )").size());
    const auto brace = text.find("\"Word32\"}") + std::string("\"Word32\"").size();
    const auto broken = snapshot("no-words.json", text);
    const auto outcome = run({broken});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Error: parse " + broken + "\n\nCaused by:\n    missing field `words` at line 1 column " +
                               std::to_string(brace + 1) + "\n");
}

TEST_F(CommandTest, PathsThatAreNotUtf8AreShownWithReplacementCharacters) {
    const auto odd = snapshot("odd\xFF.json", "[3, 16, []]");
    const auto shown = path("odd\xEF\xBF\xBD.json").string();
    const auto outcome = run({odd});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(matches_output(outcome.out, "snapshot=" + shown +
                                                " tiles=16 phases=0 warmup=0 iterations=1 repeatAware=true\n"
                                                "estimatedMaximumTableBytes=0 unsharedMaximumTableBytes=0\n"
                                                "totalMs={ms}\n"))
        << outcome.out;

    const auto gone = path("gone\xFE.json").string();
    const auto failed = run({gone});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "Error: open " + path("gone\xEF\xBF\xBD.json").string() +
                              "\n\nCaused by:\n    No such file or directory\n");
}

TEST_F(CommandTest, HelpListsEveryOptionWithItsText) {
    const auto outcome = run({"--help"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    const std::vector<std::string> expected = {
        "Replay and validate production exchange scheduling without VORN hardware",
        "SNAPSHOT",
        "JSON snapshot written by vorn-trivial-test --export-exchange-schedule",
        "--phase PHASES",
        "Restrict the benchmark to these physical exchange phase IDs",
        "--footprint-only",
        "Report storage estimates without running the scheduler",
        "--warmup WARMUP",
        "Untimed scheduler/codegen runs before measurement",
        "--iterations ITERATIONS",
        "Timed scheduler/codegen runs per selected phase",
        "--first-iteration-only",
        "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe scheduler behavior "
        "used before Repeat-aware memory-element hazard checking",
        "--select-widths",
        "Include the production comparison of ordinary and paired transfers",
        "--replay-cache",
        "Populate the production recipe cache before timing, then measure replay",
        "--relocate-by RELOCATE_BY",
        "Relocate every source/destination by this many bytes after cache warmup",
        "--dump-tile DUMP_TILE",
        "Decode the generated exchange program for this logical tile",
        "--version",
    };
    for (const auto& text : expected) {
        EXPECT_NE(outcome.out.find(text), std::string::npos) << text << "\n" << outcome.out;
    }
    const auto version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vorn-tests 0.1.0\n");
}

// A 16-tile snapshot with a phase without transfers (every tile gets the
// one-word RETURN program) and a phase with one transfer from tile 0 to tiles
// 1 and 5.
const std::string run_loop_snapshot =
    R"({"schema_version": 3, "tile_count": 16, "phases": [)"
    R"({"phase": 4, "transfers": []},)"
    R"({"phase": 7, "transfers": [{"source": 0, "source_addresses": [4096, 8192],)"
    R"( "destinations": [{"tile": 1, "address": 8192}, {"tile": 5, "address": 12288}], "words": 4, "width": "Word32"}]}]})";

// The figures after the fixed ones up to the timing fields, which every
// report line of a scheduled phase carries, are the scheduler's: they are
// checked for shape here and for consistency in the tests below.
const std::string scheduled_figures =
    "initialHorizonCycles={n} horizonCycles={n} endpointLowerBoundCycles={n} lowerBoundGapCycles={n} "
    "neighborhoodImprovements={n} rowWords={n} maximumRowWords={n}";
const std::string timing_figures =
    "scheduleCodegenMinMs={ms} scheduleCodegenMedianMs={ms} scheduleCodegenP95Ms={ms} scheduleCodegenMaxMs={ms} "
    "validationMedianMs={ms}";

// The line of the output that starts with the prefix (without its line feed),
// empty when there is none.
std::string line_starting(const std::string& out, const std::string& prefix) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(prefix)) {
            return line;
        }
    }
    return {};
}

// The key=value fields of a line, in order; words without "=" are skipped.
std::vector<std::pair<std::string, std::string>> fields(const std::string& line) {
    std::vector<std::pair<std::string, std::string>> result;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        if (const auto equals = word.find('='); equals != std::string::npos) {
            result.emplace_back(word.substr(0, equals), word.substr(equals + 1));
        }
    }
    return result;
}

std::string field(const std::string& line, const std::string& key) {
    for (const auto& [name, value] : fields(line)) {
        if (name == key) {
            return value;
        }
    }
    ADD_FAILURE() << "no " << key << " in " << line;
    return "0";
}

std::uint64_t number(const std::string& line, const std::string& key) { return std::stoull(field(line, key)); }

// The report line without its timing fields, which differ from run to run.
std::string without_timings(const std::string& line) {
    std::string result;
    std::size_t at = 0;
    for (std::size_t key = line.find("Ms="); key != std::string::npos; key = line.find("Ms=", at)) {
        result.append(line, at, key + 3 - at);
        at = key + 3;
        while (at < line.size() && line[at] != ' ') {
            ++at;
        }
    }
    result.append(line, at, std::string::npos);
    return result;
}

TEST_F(CommandTest, RunLoopPrintsEveryLineInOrder) {
    const auto file = snapshot("run-loop.json", run_loop_snapshot);
    const auto outcome = run({file, "--iterations", "3", "--warmup", "2", "--dump-tile", "0"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    const std::string expected =
        "snapshot=" + file + " tiles=16 phases=2 warmup=2 iterations=3 repeatAware=true\n" +
        "phase=4 estimatedMaximumRowBytes=8 footprintMs={ms}\n" +
        // The dump of a tile without activities: its header and the RETURN.
        "phase=4 logicalTile=0\n" +
        "word+0 cycles=0..0 Return\n" +
        "\n" +
        "phase=4 transfers=0 destinations=0 initialHorizonCycles=0 horizonCycles=0 endpointLowerBoundCycles=0 "
        "lowerBoundGapCycles=0 neighborhoodImprovements=0 rowWords=16 maximumRowWords=1 " +
        timing_figures + " reused=false rowFingerprint={hex} invariants=PASS\n" +
        "phase=7 estimatedMaximumRowBytes=24 footprintMs={ms}\n" +
        "phase=7 logicalTile=0 transfer=0 Send cycles={n}..{n} memoryEnd={n} address=0x1000 words=4\n" +
        "phase=7 logicalTile=0\n" +
        "{program}" +
        "\n" +
        "phase=7 transfers=1 destinations=2 " + scheduled_figures + " " + timing_figures +
        " reused=false rowFingerprint={hex} invariants=PASS\n" +
        "estimatedMaximumTableBytes=32 unsharedMaximumTableBytes=32\n" +
        "totalMs={ms}\n";
    EXPECT_TRUE(matches_output(outcome.out, expected)) << outcome.out;

    // Sixteen one-word RETURN programs.
    EXPECT_EQ(field(line_starting(outcome.out, "phase=4 transfers="), "rowFingerprint"), "b04a1e281601f8a0");

    const auto report = line_starting(outcome.out, "phase=7 transfers=");
    const auto horizon = number(report, "horizonCycles");
    const auto lower = number(report, "endpointLowerBoundCycles");
    EXPECT_EQ(number(report, "lowerBoundGapCycles"), horizon >= lower ? horizon - lower : 0) << report;
    EXPECT_LE(number(report, "maximumRowWords"), number(report, "rowWords")) << report;
    // The statistics come from the sorted durations.
    const auto ms = [&](const std::string& key) { return std::stod(field(report, key)); };
    EXPECT_LE(ms("scheduleCodegenMinMs"), ms("scheduleCodegenMedianMs")) << report;
    EXPECT_LE(ms("scheduleCodegenMedianMs"), ms("scheduleCodegenP95Ms")) << report;
    EXPECT_LE(ms("scheduleCodegenP95Ms"), ms("scheduleCodegenMaxMs")) << report;

    const auto send = line_starting(outcome.out, "phase=7 logicalTile=0 transfer=");
    const std::size_t cycles_at = send.find(" cycles=");
    const std::size_t dots = send.find("..", cycles_at);
    ASSERT_NE(cycles_at, std::string::npos) << send;
    ASSERT_NE(dots, std::string::npos) << send;
    const std::uint64_t start = std::stoull(send.substr(cycles_at + 8));
    const std::uint64_t completion = std::stoull(send.substr(dots + 2));
    const std::uint64_t memory_end = number(send, "memoryEnd");
    EXPECT_LE(start, completion) << send;
    EXPECT_LE(completion, memory_end) << send;
    EXPECT_LE(memory_end, horizon) << send;
}

TEST_F(CommandTest, ReportLineDescribesTheLastRunWhateverTheRunCounts) {
    const auto file = snapshot("run-counts.json", run_loop_snapshot);
    const auto single = run({file, "--phase", "7"});
    const auto many = run({file, "--phase", "7", "--warmup", "3", "--iterations", "5", "--dump-tile", "5"});
    ASSERT_EQ(single.status, 0) << single.err;
    ASSERT_EQ(many.status, 0) << many.err;
    const auto single_report = line_starting(single.out, "phase=7 transfers=");
    ASSERT_FALSE(single_report.empty()) << single.out;
    EXPECT_EQ(without_timings(line_starting(many.out, "phase=7 transfers=")), without_timings(single_report));
    // Only phase 7 was selected: its footprint line is the only one.
    EXPECT_TRUE(line_starting(single.out, "phase=4").empty()) << single.out;
    EXPECT_TRUE(matches_output(single.out, "snapshot=" + file +
                                               " tiles=16 phases=1 warmup=0 iterations=1 repeatAware=true\n"
                                               "phase=7 estimatedMaximumRowBytes=24 footprintMs={ms}\n" +
                                               single_report +
                                               "\n"
                                               "estimatedMaximumTableBytes=24 unsharedMaximumTableBytes=24\n"
                                               "totalMs={ms}\n"))
        << single.out;
    // The receiving tile's dump: its one activity and its program.
    EXPECT_TRUE(matches_output(
        line_starting(many.out, "phase=7 logicalTile=5 transfer=") + "\n",
        "phase=7 logicalTile=5 transfer=0 Receive cycles={n}..{n} memoryEnd={n} address=0x3000 words=4\n"))
        << many.out;
}

struct RunCase {
    std::string name;
    std::vector<std::string> options;
    int status;
    std::string out;  // after the header line, a pattern of output_pattern
    std::string err;
};

TEST_F(CommandTest, RunLoopTable) {
    const auto file = snapshot("run-table.json", run_loop_snapshot);
    const std::string footprint4 = "phase=4 estimatedMaximumRowBytes=8 footprintMs={ms}\n";
    const std::string footprint7 = "phase=7 estimatedMaximumRowBytes=24 footprintMs={ms}\n";
    const std::string storage = "estimatedMaximumTableBytes=32 unsharedMaximumTableBytes=32\n";
    const std::string report4 =
        "phase=4 transfers=0 destinations=0 initialHorizonCycles=0 horizonCycles=0 endpointLowerBoundCycles=0 "
        "lowerBoundGapCycles=0 neighborhoodImprovements=0 rowWords=16 maximumRowWords=1 " +
        timing_figures + " reused=false rowFingerprint=b04a1e281601f8a0 invariants=PASS\n";
    const std::string report7 = "phase=7 transfers=1 destinations=2 " + scheduled_figures + " " + timing_figures +
                                " reused=false rowFingerprint={hex} invariants=PASS\n";
    const std::vector<RunCase> cases = {
        {"footprints only, no report line",
         {"--footprint-only", "--iterations", "4", "--dump-tile", "99"},
         0,
         footprint4 + footprint7 + storage + "totalMs={ms}\n",
         ""},
        {"every phase", {"--iterations", "2"}, 0, footprint4 + report4 + footprint7 + report7 + storage + "totalMs={ms}\n", ""},
        {"first iteration only", {"--first-iteration-only"}, 0,
         footprint4 + report4 + footprint7 + report7 + storage + "totalMs={ms}\n", ""},
        {"last tile of a phase without transfers",
         {"--phase", "4", "--dump-tile", "15"},
         0,
         footprint4 + "phase=4 logicalTile=15\nword+0 cycles=0..0 Return\n\n" + report4 +
             "estimatedMaximumTableBytes=8 unsharedMaximumTableBytes=8\ntotalMs={ms}\n",
         ""},
        {"dump tile out of range after the first footprint line",
         {"--dump-tile", "16", "--iterations", "3", "--warmup", "1"},
         1,
         footprint4,
         "Error: logical tile 16 is out of range\n"},
        {"largest iteration count reaches the first run",
         {"--dump-tile", "16", "--iterations", "18446744073709551615"},
         1,
         footprint4,
         "Error: logical tile 16 is out of range\n"},
        {"largest dump tile",
         {"--dump-tile", "18446744073709551615"},
         1,
         footprint4,
         "Error: logical tile 18446744073709551615 is out of range\n"},
        {"width selection starts afresh in every run",
         {"--select-widths", "--phase", "7", "--warmup", "1", "--iterations", "2"},
         0,
         footprint7 + "phase=7 transfers=1 destinations=2 " + scheduled_figures + " " + timing_figures +
             " reused=false rowFingerprint={hex} invariants=PASS\n"
             "estimatedMaximumTableBytes=24 unsharedMaximumTableBytes=24\ntotalMs={ms}\n",
         ""},
        {"replayed runs report reuse",
         {"--select-widths", "--replay-cache", "--phase", "7", "--iterations", "2"},
         0,
         footprint7 + "phase=7 transfers=1 destinations=2 " + scheduled_figures + " " + timing_figures +
             " reused=true rowFingerprint={hex} invariants=PASS\n"
             "estimatedMaximumTableBytes=24 unsharedMaximumTableBytes=24\ntotalMs={ms}\n",
         ""},
        {"relocated phase replays",
         {"--select-widths", "--replay-cache", "--relocate-by", "65536", "--phase", "7", "--dump-tile", "0", "--warmup",
          "1"},
         0,
         footprint7 + "phase=7 logicalTile=0 transfer=0 Send cycles={n}..{n} memoryEnd={n} address=0x11000 words=4\n" +
             "phase=7 logicalTile=0\n{program}\n" + "phase=7 transfers=1 destinations=2 " + scheduled_figures + " " +
             timing_figures +
             " reused=true rowFingerprint={hex} invariants=PASS\n"
             "estimatedMaximumTableBytes=24 unsharedMaximumTableBytes=24\ntotalMs={ms}\n",
         ""},
        {"relocation overflow after the footprint line",
         {"--select-widths", "--replay-cache", "--relocate-by", "4294963200"},
         1,
         // The phase without transfers has no address to move; it replays.
         footprint4 + replace_all(report4, "reused=false", "reused=true") + footprint7,
         "Error: relocated address overflow\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words{file};
        words.insert(words.end(), c.options.begin(), c.options.end());
        const auto outcome = run(words);
        EXPECT_EQ(outcome.status, c.status) << c.name << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, c.err) << c.name;
        const auto header_end = outcome.out.find('\n');
        ASSERT_NE(header_end, std::string::npos) << c.name;
        EXPECT_TRUE(outcome.out.starts_with("snapshot=" + file + " tiles=16 phases=")) << c.name << "\n" << outcome.out;
        EXPECT_TRUE(matches_output(outcome.out.substr(header_end + 1), c.out)) << c.name << "\n" << outcome.out;
    }
}

// A scheduling failure ends the run with the scheduler's error, bare, after
// the lines printed so far. The recipe cache accepts ordinary transfers only,
// and the bundled small example has a paired one in its first phase.
TEST_F(CommandTest, SchedulingErrorsEndTheRunAfterTheLinesSoFar) {
    const std::string small = std::string(VORN_SOURCE_DIR) + "/examples/small.json";
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--select-widths"}, std::vector<std::string>{"--select-widths", "--replay-cache"}}) {
        std::vector<std::string> words{small};
        words.insert(words.end(), options.begin(), options.end());
        const auto outcome = run(words);
        EXPECT_EQ(outcome.status, 1) << options.back();
        EXPECT_TRUE(matches_output(outcome.out, "snapshot=" + small +
                                                    " tiles=16 phases=2 warmup=0 iterations=1 repeatAware=true\n"
                                                    "phase=0 estimatedMaximumRowBytes=40 footprintMs={ms}\n"))
            << options.back() << "\n" << outcome.out;
        EXPECT_EQ(outcome.err,
                  "Error: invalid exchange-schedule snapshot: width selection requires an ordinary-transfer capture\n")
            << options.back();
    }
}

}  // namespace
