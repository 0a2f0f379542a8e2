// Runs the built command as a subprocess and checks its exit status and both
// output streams.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

TEST_F(CommandTest, StartUpTable) {
    const auto three = snapshot("three.json", document(phase(5) + "," + phase(1) + "," + phase(3)));
    const auto empty = snapshot("empty.json", "[3, 1472, []]");
    const std::string header_three = "snapshot=" + three + " tiles=1472 phases=";
    const std::string missing = path("missing.json").string();
    const auto old_schema = snapshot("schema2.json", "[2, 0, []]");
    const auto bad_transfer = snapshot(
        "bad-transfer.json",
        document(R"({"phase": 4, "transfers": [{"source": 0, "source_addresses": [4096, 4098], "destinations": [{"tile": 1, "address": 8192}], "words": 4, "width": "Word32"}]})"));
    const std::vector<Case> cases = {
        {"all phases", {three}, 0, header_three + "3 warmup=0 iterations=1 repeatAware=true\n", ""},
        {"phase order never matters",
         {"--phase", "5", three, "--phase", "1"},
         0,
         header_three + "2 warmup=0 iterations=1 repeatAware=true\n",
         ""},
        {"run counts and first iteration",
         {three, "--warmup", "2", "--iterations", "7", "--first-iteration-only"},
         0,
         header_three + "3 warmup=2 iterations=7 repeatAware=false\n",
         ""},
        {"no phases", {empty}, 0, "snapshot=" + empty + " tiles=1472 phases=0 warmup=0 iterations=1 repeatAware=true\n", ""},
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
         {three, "--select-widths", "--replay-cache"},
         0,
         header_three + "3 warmup=0 iterations=1 repeatAware=true\n",
         ""},
        {"missing snapshot", {}, 2, "", "*"},
    };
    for (const auto& c : cases) {
        const auto outcome = run(c.words);
        EXPECT_EQ(outcome.status, c.status) << c.name << "\n" << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.name;
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
    EXPECT_EQ(outcome.out, "snapshot=" + shown + " tiles=16 phases=0 warmup=0 iterations=1 repeatAware=true\n");

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

}  // namespace
