// The service's descriptors: the open-file limit raised at start, and the share of it that
// connections may take.
#include "service/linux/open_files.hpp"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "http/limits.hpp"

namespace zembra::service {
namespace {

TEST(OpenFiles, SoftLimitIsRaisedToTheHardLimit) {
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    ASSERT_GT(original.rlim_max, 64u);
    rlimit lowered = original;
    lowered.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

    EXPECT_EQ(raise_open_file_limit(), original.rlim_max);
    // What the programs the helper starts get back.
    EXPECT_EQ(initial_open_file_limit().rlim_cur, 64u);
    EXPECT_EQ(initial_open_file_limit().rlim_max, original.rlim_max);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, original.rlim_max);
    EXPECT_EQ(raise_open_file_limit(), original.rlim_max) << "already raised";
    ::setrlimit(RLIMIT_NOFILE, &original);
}

TEST(OpenFiles, ConnectionsLeaveTheReserveFree) {
    struct Case {
        rlim_t open_files;
        std::size_t cap;
    };
    const Case cases[] = {
        {524288, http::MAX_CONNECTIONS},
        {1024, http::MAX_CONNECTIONS},
        {DESCRIPTOR_RESERVE + http::MAX_CONNECTIONS, http::MAX_CONNECTIONS},
        {DESCRIPTOR_RESERVE + 20, 20},
        {DESCRIPTOR_RESERVE + 1, MIN_CONNECTIONS},
        {16, MIN_CONNECTIONS},
        {0, MIN_CONNECTIONS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.open_files);
        EXPECT_EQ(connection_cap(c.open_files), c.cap);
    }
}

}  // namespace
}  // namespace zembra::service
