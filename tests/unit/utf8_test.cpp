#include "utf8.hpp"

#include <gtest/gtest.h>

namespace zembra {
namespace {

#define FFFD "\xEF\xBF\xBD"

TEST(Utf8, ValidityAndLossyConversion) {
    struct Case {
        const char* bytes;
        const char* lossy;  // equal to bytes exactly when they are valid
    };
    constexpr Case cases[] = {
        {"plain ascii", "plain ascii"},
        {"z\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "z\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"a\xff"
         "b",
         "a" FFFD "b"},
        {"\xe2\x82", FFFD},                         // truncated: one maximal subpart
        {"\xe2\x82x", FFFD "x"},                    //
        {"\xf0\x9f\x98", FFFD},                     //
        {"\xc0\xaf", FFFD FFFD},                    // overlong lead byte
        {"\xf0\x80\x80", FFFD FFFD FFFD},           // overlong: second byte out of range
        {"\xed\xa0\x80", FFFD FFFD FFFD},           // surrogate
        {"\xf4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
        {"\x80\xbf", FFFD FFFD},                    // lone continuation bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(lossy_utf8(c.bytes), c.lossy);
        EXPECT_EQ(is_valid_utf8(c.bytes), std::string_view(c.bytes) == c.lossy);
    }
}

}  // namespace
}  // namespace zembra
