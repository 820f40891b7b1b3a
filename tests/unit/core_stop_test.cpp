#include "service/hub/core/stop.hpp"

#include "core_fixture.hpp"

namespace zembra::hub::test {
namespace {

using CoreStop = CoreFixture;

TEST_F(CoreStop, StopsOnlyTheCoreOfItsSession) {
    EXPECT_EQ(refusal(stop_core(StopParams{"ABCDEF0123456789abcdef0123456789"})),
              (Refused{CoreErrorKind::InvalidInput, "invalid Core session ID"}));
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::NotRunning);

    const std::string address = owner_socket();
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    const pid_t pid = slot_pid();
    EXPECT_EQ(stop_core(StopParams{SESSION_B}), StopOutcome::SessionMismatch);
    EXPECT_TRUE(process_exists(pid));
    EXPECT_EQ(slot_pid(), pid);

    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::Stopped);
    EXPECT_FALSE(process_exists(pid));
    EXPECT_EQ(stop_core(StopParams{SESSION_A}), StopOutcome::NotRunning);
    // The reader finds the slot empty: a stopped Core did not exit on its own.
    std::this_thread::sleep_for(1600ms);
    for (const std::string& line : log_lines())
        EXPECT_FALSE(line.starts_with("Core exited on its own")) << line;
}

TEST_F(CoreStop, KillsACoreThatIgnoresSigterm) {
    const std::string address = owner_socket();
    set_mode(address, "ignore-term\n");
    ASSERT_TRUE(start(address, SESSION_A).has_value());
    std::this_thread::sleep_for(200ms);
    const auto begin = std::chrono::steady_clock::now();
    const auto stopped = stop_core(StopParams{SESSION_A});
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(stopped, StopOutcome::Stopped);
    EXPECT_GE(took, 3s);
    EXPECT_LE(took, 4600ms);
}

TEST_F(CoreStop, AFailedReleaseIsRefusedLoggedAndKeepsTheRecord) {
    *service::lock_surviving_poison(MANAGED_CORE) = reaped_core_record(SESSION_A);
    const pid_t pid = slot_pid();
    const auto stopped = stop_core(StopParams{SESSION_A});
    EXPECT_EQ(refusal(stopped), (Refused{CoreErrorKind::StopFailed, NO_CHILD_TEXT}));
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{std::string("Helper could not stop the managed Core: ") +
                                       NO_CHILD_TEXT});
    EXPECT_EQ(slot_pid(), pid);
    service::lock_surviving_poison(MANAGED_CORE)->reset();
}

}  // namespace
}  // namespace zembra::hub::test
