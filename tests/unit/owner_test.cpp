#include "service/linux/owner.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

namespace zembra::service {
namespace {

TEST(ParseOwnerId, Table) {
    struct Case {
        const char* text;
        std::uint32_t id;  // 0: the parse fails
        const char* message;
        const char* cause;
    };
    constexpr Case cases[] = {
        {"1000", 1000, nullptr, nullptr},
        {"  1000 \n", 1000, nullptr, nullptr},
        {"\t\u00A01000\u3000\r\n", 1000, nullptr, nullptr},
        {"+1000", 1000, nullptr, nullptr},
        {"0001000", 1000, nullptr, nullptr},
        {"4294967295", 4294967295u, nullptr, nullptr},
        {"0", 0, "expected a non-root ID", nullptr},
        {"+0", 0, "expected a non-root ID", nullptr},
        {"000", 0, "expected a non-root ID", nullptr},
        {"-1", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"1e3", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"+", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"-", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"++1", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"10 00", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"\u00A0", 0, "expected an unsigned ID", "cannot parse integer from empty string"},
        {"4294967296", 0, "expected an unsigned ID", "number too large to fit in target type"},
        // Scanning left to right, the first problem decides.
        {"99999999999x", 0, "expected an unsigned ID", "number too large to fit in target type"},
        {"4294967295x", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"1x99999999999", 0, "expected an unsigned ID", "invalid digit found in string"},
        {"", 0, "expected an unsigned ID", "cannot parse integer from empty string"},
        {" \t\n", 0, "expected an unsigned ID", "cannot parse integer from empty string"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const Result<std::uint32_t> id = parse_owner_id(c.text);
        if (c.id != 0) {
            ASSERT_TRUE(id) << id.error().text();
            EXPECT_EQ(*id, c.id);
            continue;
        }
        ASSERT_FALSE(id);
        EXPECT_EQ(id.error().text(), c.message);
        const std::vector<std::string> causes =
            c.cause ? std::vector<std::string>{c.cause} : std::vector<std::string>{};
        EXPECT_EQ(id.error().causes(), causes);
    }
}

// Sets the owner variables for one test and removes them afterwards.
class OwnerEnvironment : public testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        ::unsetenv(OWNER_UID_VARIABLE);
        ::unsetenv(OWNER_GID_VARIABLE);
    }
    static void set(const char* name, const char* value) {
        if (value != nullptr) ::setenv(name, value, 1);
    }
};

TEST_F(OwnerEnvironment, ReadsBothIdsAndReportsTheFirstFailure) {
    struct Case {
        const char* uid;  // nullptr: unset
        const char* gid;
        const char* message;  // nullptr: success with ids 1000 and 1001
        std::vector<std::string> causes;
    };
    const Case cases[] = {
        {" 1000\n", "+1001", nullptr, {}},
        {nullptr,
         nullptr,
         "MORVIK_HELPER_OWNER_UID is not set",
         {"environment variable not found"}},
        {"1000", nullptr, "MORVIK_HELPER_OWNER_GID is not set", {"environment variable not found"}},
        {"\xff",
         "1001",
         "MORVIK_HELPER_OWNER_UID is not set",
         {"environment variable was not valid unicode"}},
        {"abc",
         "x",
         "MORVIK_HELPER_OWNER_UID is not a usable ID",
         {"expected an unsigned ID", "invalid digit found in string"}},
        {"1000", "0", "MORVIK_HELPER_OWNER_GID is not a usable ID", {"expected a non-root ID"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message ? c.message : "success");
        clear();
        set(OWNER_UID_VARIABLE, c.uid);
        set(OWNER_GID_VARIABLE, c.gid);
        const Result<OwnerIds> owner = owner_from_env();
        if (c.message == nullptr) {
            ASSERT_TRUE(owner) << owner.error().text();
            EXPECT_EQ(owner->uid, 1000u);
            EXPECT_EQ(owner->gid, 1001u);
            continue;
        }
        ASSERT_FALSE(owner);
        EXPECT_EQ(owner.error().text(), c.message);
        EXPECT_EQ(owner.error().causes(), c.causes);
    }
}

}  // namespace
}  // namespace zembra::service
