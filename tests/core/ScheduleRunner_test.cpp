// The schedule run without a window: the runner's steps with stand-in seams and a stand-in
// transfer, counted in ticks.
#include "engine/ScheduleRunner.h"

#include <gtest/gtest.h>
#include <set>
#include <stdexcept>

namespace {
class ScheduleRunnerTest : public ::testing::Test
{
protected:
    ScheduleRunnerTest()
    {
        ScheduleSeams seams;
        // "Update now selected items" runs the first job.
        seams.selectedCount = [] { return 1; };
        seams.nextSelected = [](int after) { return after < 0 ? 0 : -1; };
        seams.showLogEntry = [this](int position, const std::string&) {
            logged.push_back(position);
        };
        seams.dispatchEvents = [this] {
            if (duringDispatch) {
                duringDispatch();
            }
        };
        runner = std::make_unique<ScheduleRunner>(jobs, running, seams, "/nonexistent");
        runner->SetTransfer([this](const UploadJob& job, const std::string&, const std::string&,
                                   std::string& resultText, std::int32_t& success,
                                   const TransferProgress&) {
            sent.push_back({tick, job.webAddress});
            if (duringTransfer) {
                duringTransfer();
            }
            success = fail(tick) ? 0 : 1;
            resultText = success != 0 ? "Ok.\r\n" : "Could not connect.\r\n";
        });
    }

    void AddJob(const std::string& server, int interval)
    {
        UploadJob job;
        job.webAddress = server;
        job.sourceFile = "/src/" + server;
        job.destinationFile = "/dst/" + server;
        job.intervalSeconds = job.countdown = interval;
        jobs.push_back(job);
    }

    void Ticks(int count)
    {
        for (int n = 0; n < count; ++n) {
            ++tick;
            EXPECT_FALSE(runner->TimerTick());
        }
    }

    std::vector<int> TicksOf(const std::string& server) const
    {
        std::vector<int> ticks;
        for (const auto& [at, name] : sent) {
            if (name == server) {
                ticks.push_back(at);
            }
        }
        return ticks;
    }

    JobList jobs;
    std::int32_t running = 1;
    std::unique_ptr<ScheduleRunner> runner;
    int tick = 0;
    std::vector<std::pair<int, std::string>> sent;
    std::vector<int> logged;
    std::function<bool(int tick)> fail = [](int) { return false; };
    std::function<void()> duringTransfer;
    std::function<void()> duringDispatch;
};
} // namespace

TEST_F(ScheduleRunnerTest, TicksMetDuringARunAreDroppedAndTheOutcomeIsRecorded)
{
    AddJob("a", 1);
    // Ticks handled while the file goes out or while the log dispatches are dropped.
    duringTransfer = [this] { EXPECT_FALSE(runner->TimerTick()); };
    duringDispatch = [this] { EXPECT_FALSE(runner->TimerTick()); };
    fail = [](int at) { return at == 2; };
    Ticks(4);
    EXPECT_EQ(TicksOf("a"), (std::vector<int>{2, 4}));
    EXPECT_EQ(logged, (std::vector<int>{0, 0}));
    EXPECT_FALSE(jobs[0].lastRun.failed);
    EXPECT_EQ(jobs[0].lastRun.text, "Ok.\r\n");
    EXPECT_FALSE(runner->Busy());
}

TEST_F(ScheduleRunnerTest, WhatEscapesARunEndsTheStepAsItsError)
{
    AddJob("a", 0);
    AddJob("b", 0);
    duringTransfer = [] { throw std::runtime_error("session failed"); };
    ++tick;
    const std::optional<StepError> error = runner->TimerTick();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text, "session failed");
    EXPECT_FALSE(error->outOfMemory);
    EXPECT_EQ(TicksOf("b"), std::vector<int>{});
    // The guard is down again: the next tick runs.
    duringTransfer = nullptr;
    Ticks(1);
    EXPECT_EQ(TicksOf("b"), std::vector<int>{2});
}

// A failed scheduled run brings its job back 10, 30, 90... ticks on, never later than its
// interval would; a success puts it back on its interval; "Update now" runs count for nothing.
TEST_F(ScheduleRunnerTest, AFailedJobIsTriedAgainSoon)
{
    const struct
    {
        const char* name;
        int interval;
        std::set<int> okAt;     // ticks whose runs succeed; all others fail
        std::set<int> updateAt; // ticks before which "Update now" runs the job
        int ticks;
        std::vector<int> runs;
    } cases[] = {
        {"failures wait 10, 30, 90", 3600, {}, {}, 140, {1, 11, 41, 131}},
        {"a success returns to the interval", 3600, {11}, {}, 3620, {1, 11, 3612}},
        {"never later than the interval", 20, {}, {}, 60, {1, 11, 32, 53}},
        {"an interval of 10 or less never changes", 5, {}, {}, 20, {1, 7, 13, 19}},
        {"a failed update-now starts nothing", 3600, {1}, {5}, 20, {1, 5}},
        {"a good update-now resets nothing", 3600, {5}, {5}, 50, {1, 5, 11, 41}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        jobs.clear();
        sent.clear();
        tick = 0;
        AddJob("a", c.interval);
        jobs[0].countdown = 0;
        fail = [&c](int at) { return c.okAt.count(at) == 0; };
        while (tick < c.ticks) {
            if (c.updateAt.count(tick + 1) != 0) {
                ++tick;
                EXPECT_FALSE(runner->UpdateSelected());
                --tick;
            }
            Ticks(1);
        }
        EXPECT_EQ(TicksOf("a"), c.runs);
    }
}
