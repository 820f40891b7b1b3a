#include "service/hub/api/refusals.hpp"

#include <cerrno>
#include <set>
#include <utility>

#include <gtest/gtest.h>

namespace zembra::hub {
namespace {

std::string header(const http::Response& response, std::string_view name) {
    const std::string* value = response.field(name);
    return value ? *value : "<absent>";
}

constexpr Rejection ALL_REJECTIONS[] = {
    Rejection::NotFound,
    Rejection::ForbiddenClient,
    Rejection::InvalidQuery,
    Rejection::BodyDeserializeError,
    Rejection::PayloadTooLarge,
    Rejection::LengthRequired,
    Rejection::InvalidHeader,
    Rejection::MethodNotAllowed,
    Rejection::UnsupportedMediaType,
};

// The exact answers live in the end-to-end refusal table; these are the rules every row keeps.
TEST(HandleRejection, EveryCauseHasItsOwnJsonAnswer) {
    std::set<std::pair<unsigned, std::string>> answers;
    for (const Rejection cause : ALL_REJECTIONS) {
        SCOPED_TRACE(static_cast<int>(cause));
        const http::Response response = handle_rejection(cause);
        EXPECT_TRUE(answers.emplace(response.status, std::string(response.body.view())).second)
            << "answered like another cause: " << response.body;
        EXPECT_EQ(header(response, "content-type"), "application/json");
        EXPECT_TRUE(response.body.view().starts_with(R"({"code":")")) << response.body;
    }
}

TEST(HandleRejection, ClientCausesAre4xx) {
    for (const Rejection cause : ALL_REJECTIONS) {
        SCOPED_TRACE(static_cast<int>(cause));
        const unsigned status = handle_rejection(cause).status;
        // The one 500 among them is part of the contract: clients know it by that status.
        if (cause == Rejection::UnsupportedMediaType) {
            EXPECT_EQ(status, 500u);
        } else {
            EXPECT_GE(status, 400u);
            EXPECT_LT(status, 500u);
        }
    }
}

TEST(HandleRejection, ClosesOnlyWhereABodyIsLeftUnread) {
    for (const Rejection cause : ALL_REJECTIONS) {
        SCOPED_TRACE(static_cast<int>(cause));
        // A body that failed to parse has been read in full: the connection stays usable.
        if (cause == Rejection::BodyDeserializeError) {
            EXPECT_EQ(header(handle_rejection(cause), "connection"), "<absent>");
        }
    }
    // A declared body too large to read, and a foreign client's request, are left unread.
    for (const Rejection cause : {Rejection::PayloadTooLarge, Rejection::ForbiddenClient})
        EXPECT_EQ(header(handle_rejection(cause), "connection"), "close");
}

// The Core errors no end-to-end run can produce, byte for byte; and an OS error number shows
// only where the answer promises one.
TEST(CoreErrorResponse, AnswersTheKindsTheHelperCannotBeMadeToHit) {
    struct Case {
        const char* name;
        CoreError error;
        unsigned status;
        std::string_view body;
    };
    const Case cases[] = {
        {.name = "stop failed with an OS error",
         .error = {CoreErrorKind::StopFailed, Error::os(ECHILD)},
         .status = 500,
         .body = R"j({"code":"coreStopFailed","message":"No child processes (os error 10)"})j"},
        {.name = "helper stopping",
         .error = {CoreErrorKind::HelperStopping, Error("the Helper is shutting down")},
         .status = 503,
         .body = R"j({"code":"helperStopping","message":"the Helper is shutting down"})j"},
        {.name = "capture failed with an OS error",
         .error = {CoreErrorKind::CaptureFailed,
                   Error::os(EAGAIN).context("start the Core stderr reader")},
         .status = 500,
         .body =
             R"j({"code":"internalError","message":"Core start task failed: start the Core stderr reader"})j"},
        {.name = "launch failed under context",
         .error = {CoreErrorKind::LaunchFailed, Error::os(EACCES).context("spawn")},
         .status = 500,
         .body = R"j({"code":"processLaunchFailed","message":"spawn","details":{"osError":13}})j"},
        {.name = "launch failed without an OS error",
         .error = {CoreErrorKind::LaunchFailed, Error("Core did not start in time")},
         .status = 500,
         .body = R"j({"code":"processLaunchFailed","message":"Core did not start in time"})j"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const http::Response response = core_error_response(c.error);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(header(response, "content-type"), "application/json");
    }
}

}  // namespace
}  // namespace zembra::hub
