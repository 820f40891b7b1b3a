// The configure step as a packager runs it, in a scratch build directory: the Core digest given
// as text, taken from a Core file, or both, and what each produces.
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/install_sandbox.hpp"
#include "support/process.hpp"

namespace zembra::test {
namespace {

const std::string SCRATCH = ZEMBRA_CONFIGURE_SCRATCH;
const std::string CORE_FILE = "/tmp/packager/MorvikCore";

// CMake wraps its error messages; compare them with single blanks.
std::string collapse_whitespace(const std::string& text) {
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

// Each run starts from an unset digest and Core file; the cache is kept for speed.
ProcessResult configure(const std::vector<std::string>& settings) {
    std::vector<std::string> argv = {"cmake", "-S",    ZEMBRA_SOURCE_DIR,
                                     "-B",    SCRATCH, "-UMORVIK_CORE_*"};
    argv.insert(argv.end(), settings.begin(), settings.end());
    return run_process(argv);
}

ProcessResult build_digest() {
    return run_process({"cmake", "--build", SCRATCH, "--target", "core_digest"});
}

// The digest the configured build would compile in.
std::string compiled_digest() {
    const std::string source = read_file(SCRATCH + "/generated/core_digest.cpp");
    std::smatch digest;
    EXPECT_TRUE(std::regex_search(source, digest, std::regex("\"([0-9a-f]{64})\"")));
    return digest[1];
}

std::string sha256_of(const std::string& path) {
    const ProcessResult sum = run_process({"sha256sum", path});
    EXPECT_TRUE(sum.exited_with(0)) << sum.err;
    return sum.out.substr(0, 64);
}

class CoreDigestConfigure : public testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(std::filesystem::path(CORE_FILE).parent_path());
        write_file(CORE_FILE, "the Core a packager ships\n", 0755);
    }
};

TEST_F(CoreDigestConfigure, DigestTextOrFileAndWhatEachProduces) {
    const std::string file_digest = sha256_of(CORE_FILE);
    const std::string other_digest(64, 'b');
    const std::string form_error =
        "MORVIK_CORE_SHA256 must be exactly 64 lower-case hexadecimal characters";
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        // A configure that must fail names this; one that succeeds compiles `digest` in.
        std::optional<std::string> error;
        std::string digest = {};
    };
    const Case cases[] = {
        {"valid digest", {"-DMORVIK_CORE_SHA256=" + other_digest}, std::nullopt, other_digest},
        {"upper-case digest", {"-DMORVIK_CORE_SHA256=" + std::string(64, 'B')}, form_error},
        {"63 characters", {"-DMORVIK_CORE_SHA256=" + std::string(63, 'b')}, form_error},
        {"65 characters", {"-DMORVIK_CORE_SHA256=" + std::string(65, 'b')}, form_error},
        {"Core file", {"-DMORVIK_CORE_FILE=" + CORE_FILE}, std::nullopt, file_digest},
        {"Core file and its digest",
         {"-DMORVIK_CORE_FILE=" + CORE_FILE, "-DMORVIK_CORE_SHA256=" + file_digest},
         std::nullopt,
         file_digest},
        {"mismatching pair",
         {"-DMORVIK_CORE_FILE=" + CORE_FILE, "-DMORVIK_CORE_SHA256=" + other_digest},
         "MORVIK_CORE_SHA256 (" + other_digest + ") does not match MORVIK_CORE_FILE (" + CORE_FILE +
             "), whose SHA-256 is " + file_digest},
        {"missing Core file",
         {"-DMORVIK_CORE_FILE=/tmp/packager/nothing"},
         "MORVIK_CORE_FILE must name the MorvikCore to ship; \"/tmp/packager/nothing\" is not a "
         "file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult configured = configure(c.settings);
        if (c.error) {
            EXPECT_TRUE(configured.exited_with(1));
            EXPECT_NE(collapse_whitespace(configured.err).find(*c.error), std::string::npos)
                << configured.err;
            continue;
        }
        ASSERT_TRUE(configured.exited_with(0)) << configured.out << configured.err;
        const ProcessResult built = build_digest();
        ASSERT_TRUE(built.exited_with(0)) << built.out << built.err;
        EXPECT_EQ(compiled_digest(), c.digest);
    }
}

TEST_F(CoreDigestConfigure, BuildNoticesAChangedCoreFile) {
    ASSERT_TRUE(configure({"-DMORVIK_CORE_FILE=" + CORE_FILE}).exited_with(0));
    ASSERT_TRUE(build_digest().exited_with(0));
    write_file(CORE_FILE, "a new Core\n", 0755);
    ASSERT_TRUE(build_digest().exited_with(0));
    EXPECT_EQ(compiled_digest(), sha256_of(CORE_FILE));

    // Given its digest too, a file that changed after the configure stops the build.
    const std::string digest = sha256_of(CORE_FILE);
    ASSERT_TRUE(configure({"-DMORVIK_CORE_FILE=" + CORE_FILE, "-DMORVIK_CORE_SHA256=" + digest})
                    .exited_with(0));
    write_file(CORE_FILE, "yet another Core\n", 0755);
    const ProcessResult built = build_digest();
    EXPECT_FALSE(built.exited_with(0));
    EXPECT_NE(collapse_whitespace(built.out + built.err)
                  .find("MORVIK_CORE_SHA256 (" + digest + ") does not match MORVIK_CORE_FILE"),
              std::string::npos)
        << built.out << built.err;
}

}  // namespace
}  // namespace zembra::test
