#include "service/hub/core/managed_core.hpp"

#include "core_fixture.hpp"
#include "support/process.hpp"

namespace zembra::hub::test {
namespace {

using zembra::test::ChildBehaviour;
using zembra::test::fork_child;

using ManagedCoreTest = CoreFixture;

TEST_F(ManagedCoreTest, ReleasingAnEmptySlotSucceedsAtOnce) {
    CoreSlot slot;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(release_managed_core(slot).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5ms);
}

TEST_F(ManagedCoreTest, ReleaseEscalatesOnlyAsFarAsNeeded) {
    struct Case {
        const char* name;
        ChildBehaviour child;
        std::chrono::milliseconds at_least, at_most;
    };
    static constexpr Case CASES[] = {
        {"exits on SIGTERM", ChildBehaviour::ExitsOnTerm, 0ms, 500ms},
        {"ignores SIGTERM", ChildBehaviour::IgnoresTerm, 3000ms, 3500ms},
        {"exited before the release", ChildBehaviour::AlreadyExited, 0ms, 100ms},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        for (const bool with_pidfd : {true, false}) {
            SCOPED_TRACE(with_pidfd ? "process descriptor" : "process id");
            const pid_t pid = fork_child(c.child);
            CoreSlot slot = ManagedCore{SESSION_A, with_pidfd ? service::ChildProcess(pid)
                                                              : service::ChildProcess(pid, {})};
            const auto begin = std::chrono::steady_clock::now();
            const Result<void> released = release_managed_core(slot);
            const auto took = std::chrono::steady_clock::now() - begin;
            EXPECT_TRUE(released.has_value());
            EXPECT_FALSE(slot.has_value());
            EXPECT_GE(took, c.at_least);
            EXPECT_LE(took, c.at_most);
            EXPECT_FALSE(process_exists(pid));
        }
    }
}

TEST_F(ManagedCoreTest, AFailedReleaseKeepsTheRecord) {
    CoreSlot slot = reaped_core_record(SESSION_A);
    const pid_t pid = slot->child.pid();
    const Result<void> released = release_managed_core(slot);
    ASSERT_FALSE(released.has_value());
    EXPECT_EQ(released.error().text(), NO_CHILD_TEXT);
    ASSERT_TRUE(slot.has_value());
    EXPECT_EQ(slot->child.pid(), pid);
}

}  // namespace
}  // namespace zembra::hub::test
