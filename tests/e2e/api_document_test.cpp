// The table of error answers in docs/api.md, read from the document and compared with what the
// running helper answers: every row the helper can produce is produced, every answer produced
// here must be a row, so the document cannot drift from the code.
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/api_fixture.hpp"
#include "support/core_address.hpp"
#include "support/core_slot_hold.hpp"
#include "support/install_sandbox.hpp"

namespace zembra::test {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view TABLE_HEADING = "## Error answers";

// One row: status, code, message and details as the client sees them.
using Answer = std::tuple<int, std::string, std::string, std::string>;

// The text of a cell's first `code span`; empty when it has none.
std::string code_span(const std::string& cell) {
    const std::size_t open = cell.find('`');
    if (open == std::string::npos) return "";
    return cell.substr(open + 1, cell.find('`', open + 1) - open - 1);
}

std::vector<std::string> cells_of(const std::string& row) {
    std::vector<std::string> cells;
    std::istringstream in(row.substr(1));  // after the leading "|"
    for (std::string cell; std::getline(in, cell, '|');)
        cells.push_back(cell);
    return cells;
}

// The rows of the first table under TABLE_HEADING.
std::vector<Answer> documented_answers() {
    std::istringstream document(read_file(std::string(ZEMBRA_SOURCE_DIR) + "/docs/api.md"));
    std::string line;
    while (std::getline(document, line) && line != TABLE_HEADING) {
    }
    while (std::getline(document, line) && !line.starts_with('|')) {
    }
    std::getline(document, line);  // the separator under the header row
    std::vector<Answer> answers;
    while (std::getline(document, line) && line.starts_with('|')) {
        const std::vector<std::string> cells = cells_of(line);
        if (cells.size() < 4) {
            ADD_FAILURE() << "row with too few cells: " << line;
            continue;
        }
        answers.emplace_back(std::stoi(cells[0]), code_span(cells[1]), code_span(cells[2]),
                             code_span(cells[3]));
    }
    return answers;
}

std::string body_of(const Answer& answer) {
    const auto& [status, code, message, details] = answer;
    std::string body = error_json(code, message);
    if (!details.empty()) body.insert(body.size() - 1, ",\"details\":" + details);
    return body;
}

// What the helper is set up with before it is asked.
enum class CoreSetup {
    DemoCore,
    OtherCore,
    NoCore,
    CoreNotExecutable,
    CoreWritableByGroup,
    DirectoryWritableByGroup,
    CoreSlotQueueFull,
};

// Where the document has the helper: the answers that name a path are compared with the
// helper's own directory put in its place.
constexpr std::string_view DOCUMENTED_DIRECTORY = "/usr/lib/zembra-helper";

struct Produced {
    Answer answer;
    CoreSetup setup;
    CurlRequest request;
};

CurlRequest start(const std::string& address) {
    return {.method = "POST", .target = "/start", .body = start_json(address, SESSION_ID)};
}

CurlRequest stop(const std::string& body) {
    return {.method = "POST", .target = "/stop", .body = body};
}

const std::string CORE_ADDRESS = "/tmp/MorvikSocket_1.sock";
const std::string REGULAR_FILE_ADDRESS = "/tmp/MorvikSocket_2.sock";
const std::string MISSING_ADDRESS = "/tmp/MorvikSocket_3.sock";
const std::string NO_SUCH_FILE = "No such file or directory (os error 2)";
const std::string INVALID = "invalidRequest";

const std::vector<Produced>& produced_answers() {
    static const std::vector<Produced> answers = {
        {{400, INVALID, "invalid request header", ""},
         CoreSetup::DemoCore,
         {.target = "/logs", .headers = {"Host: local\x80host"}}},
        {{403, INVALID, "browser origins and non-local hosts are not allowed", ""},
         CoreSetup::DemoCore,
         {.target = "/logs", .headers = {"Origin: null"}}},
        {{404, "notFound", "Helper endpoint not found", ""}, CoreSetup::DemoCore, {.target = "/"}},
        {{405, INVALID, "Helper endpoint does not accept this method", ""},
         CoreSetup::DemoCore,
         {.method = "POST", .target = "/logs"}},
        {{400, INVALID, "invalid ping query", ""}, CoreSetup::DemoCore, {.target = "/ping?x=1"}},
        {{409, "coreSha256Mismatch", "Core SHA256 mismatch", ""},
         CoreSetup::DemoCore,
         {.target = ping_target(std::string(64, '0'))}},
        {{411, INVALID, "request body length is required", ""},
         CoreSetup::DemoCore,
         {.method = "POST", .target = "/stop", .body = "{}", .unknown_length = true}},
        {{413, INVALID, "request body exceeds 4096 bytes", ""},
         CoreSetup::DemoCore,
         stop(std::string(4097, ' '))},
        {{500, "internalError", "unhandled Helper request rejection", ""},
         CoreSetup::DemoCore,
         {.method = "POST",
          .target = "/start",
          .body = start_json(CORE_ADDRESS, SESSION_ID),
          .content_type = "text/plain"}},
        {{400, INVALID, "invalid JSON request body", ""}, CoreSetup::DemoCore, stop("[]")},
        {{400, INVALID, "invalid Core address", ""}, CoreSetup::DemoCore, start("/tmp/x.sock")},
        {{400, INVALID, "invalid Core session ID", ""},
         CoreSetup::DemoCore,
         stop(stop_json("0123456789ABCDEF0123456789ABCDEF"))},
        {{400, INVALID, NO_SUCH_FILE, ""}, CoreSetup::DemoCore, start(MISSING_ADDRESS)},
        {{400, INVALID, "Core address is not a socket owned by the Helper owner", ""},
         CoreSetup::DemoCore,
         start(REGULAR_FILE_ADDRESS)},
        {{409, "coreVerificationFailed", NO_SUCH_FILE, ""}, CoreSetup::NoCore, start(CORE_ADDRESS)},
        {{409, "coreVerificationFailed", "Core executable SHA256 mismatch", ""},
         CoreSetup::OtherCore,
         start(CORE_ADDRESS)},
        {{500, "processLaunchFailed", "Permission denied (os error 13)", "{\"osError\":13}"},
         CoreSetup::CoreNotExecutable,
         start(CORE_ADDRESS)},
        {{409, "coreVerificationFailed",
          "/usr/lib/zembra-helper/MorvikCore must be a regular file owned by root and not "
          "writable by group or others",
          ""},
         CoreSetup::CoreWritableByGroup,
         start(CORE_ADDRESS)},
        {{409, "coreVerificationFailed",
          "/usr/lib/zembra-helper must be a directory owned by root and not writable by group or "
          "others",
          ""},
         CoreSetup::DirectoryWritableByGroup,
         start(CORE_ADDRESS)},
        {{503, "helperBusy", "the Helper is busy with other Core requests", ""},
         CoreSetup::CoreSlotQueueFull,
         start(CORE_ADDRESS)},
    };
    return answers;
}

// Rows no request to a running helper of this build can bring about, and why.
const std::map<std::string, std::string> UNPRODUCED = {
    {"MORVIK_HELPER_OWNER_UID is not set", "the service checks its owner variables at start"},
    {"the Helper is shutting down", "only between the end of the drain and the exit"},
    {"Core did not exit after termination", "needs a Core that survives SIGKILL"},
    {"Core start task failed: …", "needs the blocking work itself to fail"},
    {"Core stop task failed: …", "needs the blocking work itself to fail"},
    {"Core did not start in time", "needs the Core's process stopped between fork and exec"},
};

ServiceOptions options_for(CoreSetup setup) {
    ServiceOptions options;
    if (setup == CoreSetup::OtherCore) options.core_file = "/bin/true";
    return options;
}

// What it returns keeps the setup in place while the helper is asked.
std::unique_ptr<CoreSlotHold> prepare_core(CoreSetup setup, const HelperService& helper,
                                           const CoreAddress& address) {
    if (setup == CoreSetup::CoreSlotQueueFull) {
        auto hold =
            std::make_unique<CoreSlotHold>(helper.socket_path(), address, std::string(SESSION_ID));
        hold->fill_queue();
        return hold;
    }
    const fs::path directory = fs::path(helper.executable()).parent_path();
    const fs::path core = directory / "MorvikCore";
    if (setup == CoreSetup::NoCore) fs::remove(core);
    if (setup == CoreSetup::CoreNotExecutable) fs::permissions(core, static_cast<fs::perms>(0644));
    if (setup == CoreSetup::CoreWritableByGroup)
        fs::permissions(core, static_cast<fs::perms>(0775));
    if (setup == CoreSetup::DirectoryWritableByGroup)
        fs::permissions(directory, static_cast<fs::perms>(0775));
    return nullptr;
}

// `body` with the helper's directory written as the document writes it.
std::string as_documented(std::string body, const HelperService& helper) {
    const std::string directory = fs::path(helper.executable()).parent_path().string();
    if (const std::size_t at = body.find(directory); at != std::string::npos)
        body.replace(at, directory.size(), DOCUMENTED_DIRECTORY);
    return body;
}

TEST(ApiDocument, ErrorTableIsWhatTheHelperAnswers) {
    const std::vector<Answer> documented = documented_answers();
    ASSERT_FALSE(documented.empty()) << "no table under \"" << TABLE_HEADING << "\"";

    for (const Answer& row : documented) {
        SCOPED_TRACE(body_of(row));
        const bool produced = std::ranges::any_of(
            produced_answers(), [&](const Produced& p) { return p.answer == row; });
        EXPECT_TRUE(produced || UNPRODUCED.contains(std::get<2>(row))) << "a row nothing checks";
        EXPECT_EQ(std::ranges::count(documented, row), 1) << "a row given twice";
    }

    const CoreAddress address(1);
    write_file(REGULAR_FILE_ADDRESS, "");
    for (const CoreSetup setup :
         {CoreSetup::DemoCore, CoreSetup::OtherCore, CoreSetup::NoCore,
          CoreSetup::CoreNotExecutable, CoreSetup::CoreWritableByGroup,
          CoreSetup::DirectoryWritableByGroup, CoreSetup::CoreSlotQueueFull}) {
        HelperService helper(options_for(setup));
        const std::unique_ptr<CoreSlotHold> hold = prepare_core(setup, helper, address);
        for (const Produced& p : produced_answers()) {
            if (p.setup != setup) continue;
            SCOPED_TRACE(body_of(p.answer));
            EXPECT_TRUE(std::ranges::find(documented, p.answer) != documented.end())
                << "an answer docs/api.md does not list";
            const HttpAnswer answer = curl_exchange(Protocol::Http1, p.request);
            EXPECT_EQ(answer.status, std::get<0>(p.answer));
            EXPECT_EQ(as_documented(answer.body, helper), body_of(p.answer));
        }
        if (hold) {
            EXPECT_EQ(hold->release(), 200);
        }
        expect_clean_exit(helper);
    }
}

}  // namespace
}  // namespace zembra::test
