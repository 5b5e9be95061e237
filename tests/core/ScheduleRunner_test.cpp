// The schedule run without a window: the runner's steps over a stand-in transport that the test
// answers by hand, counted in ticks.
#include "engine/ScheduleRunner.h"
#include "tests/support/StandInTransport.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <set>

namespace {
using Kind = StandInTransport::Request::Kind;

class ScheduleRunnerTest : public ::testing::Test
{
protected:
    ScheduleRunnerTest() : trustRoot(MakeTempDir("ferrovane-schedule"))
    {
        ScheduleSeams seams;
        seams.selectedCount = [this] { return static_cast<int>(selected.size()); };
        seams.nextSelected = [this](int after) {
            const auto next = selected.upper_bound(after);
            return next != selected.end() ? *next : -1;
        };
        seams.showLogEntry = [this](int position, const std::string&) {
            logged.push_back(position);
        };
        seams.askTrust = [this](const ServerIdentity& server) {
            asked.push_back(server.fingerprint);
        };
        seams.runFailed = [this](const StepError& error) { errors.push_back(error.text); };
        seams.trustNotRecorded = [this](const std::string& why) { errors.push_back(why); };
        runner = std::make_unique<ScheduleRunner>(jobs, running, seams, transport, trustRoot);
    }
    ~ScheduleRunnerTest() override { RemoveTree(trustRoot); }

    void AddJob(const std::string& server, int interval, const std::string& source = "/src/x")
    {
        UploadJob job;
        job.webAddress = server;
        job.sourceFile = source;
        job.destinationFile = "/dst/" + server;
        job.intervalSeconds = job.countdown = interval;
        jobs.push_back(job);
    }

    // Ticks; with `answer` set, every file then out (of `answerOnly`, when set) is answered as that
    // tick's outcome says.
    void Ticks(int count)
    {
        for (int n = 0; n < count; ++n) {
            ++tick;
            EXPECT_FALSE(runner->TimerTick());
            Label();
            while (answer && Finish(answerOnly, !fail(tick))) {
            }
        }
    }

    void UpdateNow()
    {
        EXPECT_FALSE(runner->UpdateSelected());
        Label();
    }

    // Answers the oldest file still out of `server` (any server for ""); false when none is.
    bool Finish(const std::string& server, bool ok, FileOutcome outcome = {})
    {
        const std::vector<StandInTransport::Request> sends = transport.Sends();
        for (std::size_t n = 0; n < sends.size(); ++n) {
            if (answered.count(n) == 0 && (server.empty() || sends[n].file.webAddress == server)) {
                answered.insert(n);
                if (outcome.resultText.empty() && !outcome.error) {
                    outcome = ok ? StandInTransport::Ok() : StandInTransport::Failed();
                }
                transport.Done(sends[n].run, outcome);
                Label();
                return true;
            }
        }
        return false;
    }

    // Notes the tick at which each file went out, and closes the connections of ended runs.
    void Label()
    {
        transport.AcknowledgeCloses();
        const std::vector<StandInTransport::Request> sends = transport.Sends();
        for (std::size_t n = sentAt.size(); n < sends.size(); ++n) {
            sentAt.push_back({tick, sends[n].file.webAddress});
        }
    }

    std::vector<int> TicksOf(const std::string& server) const
    {
        std::vector<int> ticks;
        for (const auto& [at, name] : sentAt) {
            if (name == server) {
                ticks.push_back(at);
            }
        }
        return ticks;
    }

    std::string trustRoot;
    JobList jobs;
    std::int32_t running = 1;
    StandInTransport transport;
    std::unique_ptr<ScheduleRunner> runner;
    std::set<int> selected;
    int tick = 0;
    bool answer = true;
    std::string answerOnly;
    std::function<bool(int tick)> fail = [](int) { return false; };
    std::set<std::size_t> answered;
    std::vector<std::pair<int, std::string>> sentAt;
    std::vector<int> logged;
    std::vector<std::string> asked;
    std::vector<std::string> errors;
};
} // namespace

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
        {"after a success the wait starts again at 10", 20, {11}, {}, 50, {1, 11, 32, 42}},
        {"never later than the interval", 20, {}, {}, 60, {1, 11, 32, 53}},
        {"an interval of 10 or less never changes", 5, {}, {}, 20, {1, 7, 13, 19}},
        {"a failed update-now starts nothing", 3600, {1}, {5}, 20, {1, 5}},
        {"a good update-now resets nothing", 3600, {5}, {5}, 50, {1, 5, 11, 41}},
    };
    selected = {0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        jobs.clear();
        tick = 0;
        AddJob("a", c.interval);
        jobs[0].countdown = 0;
        fail = [&c](int at) { return c.okAt.count(at) == 0; };
        const std::size_t before = sentAt.size();
        while (tick < c.ticks) {
            if (c.updateAt.count(tick + 1) != 0) {
                ++tick;
                UpdateNow();
                while (Finish("a", !fail(tick))) {
                }
                --tick;
            }
            Ticks(1);
        }
        std::vector<int> runs;
        for (std::size_t n = before; n < sentAt.size(); ++n) {
            runs.push_back(sentAt[n].first);
        }
        EXPECT_EQ(runs, c.runs);
    }
}

// A turn that comes while the job's run still goes is skipped and its count-down starts again;
// "Update now" of a running job starts nothing either.
TEST_F(ScheduleRunnerTest, AJobWhoseRunStillGoesIsNeverStartedTwice)
{
    AddJob("slow", 1);
    AddJob("quick", 1);
    answerOnly = "quick";
    jobs[0].countdown = 0;
    selected = {0};
    Ticks(4); // slow's turns at 3 and 5 find its run going; quick runs at 2 and 4
    UpdateNow();
    Ticks(1);
    EXPECT_EQ(jobs[0].runState, UploadJob::RunState::Running);
    EXPECT_TRUE(Finish("slow", true));
    EXPECT_EQ(jobs[0].runState, UploadJob::RunState::Idle);
    Ticks(2);
    EXPECT_EQ(TicksOf("slow"), (std::vector<int>{1, 7}));
    EXPECT_EQ(TicksOf("quick"), (std::vector<int>{2, 4, 6}));
}

// Jobs of one server (host in any case, and port) go one after another in the order their turns
// came; a job of another server never waits for them.
TEST_F(ScheduleRunnerTest, OneServerTakesOneRunAtATime)
{
    AddJob("ftp://s", 0);
    AddJob("t", 0);
    AddJob("ftpes://S", 0);
    AddJob("s", 0);
    answer = false;
    Ticks(1);
    EXPECT_EQ(TicksOf("ftp://s"), std::vector<int>{1});
    EXPECT_EQ(TicksOf("t"), std::vector<int>{1});
    EXPECT_TRUE(TicksOf("ftpes://S").empty());
    EXPECT_EQ(jobs[2].runState, UploadJob::RunState::Waiting);
    EXPECT_EQ(runner->ActiveRuns(), 4u);

    Finish("ftp://s", true);
    EXPECT_EQ(TicksOf("ftpes://S"), std::vector<int>{1});
    EXPECT_TRUE(TicksOf("s").empty());
    Finish("ftpes://S", true);
    EXPECT_EQ(TicksOf("s"), std::vector<int>{1});
}

// Rows that move or go while a run waits for its file never hand its outcome to another job; a
// deleted job's run ends after the file it has out.
TEST_F(ScheduleRunnerTest, ARunFollowsItsJobWhileRowsMoveAndEndsWhenItGoes)
{
    AddJob("a", 9);
    AddJob("b", 0, "/src/*");
    AddJob("c", 9);
    answer = false;
    Ticks(1);
    ASSERT_EQ(transport.requests.size(), 1u);
    transport.Listed(transport.requests[0].run,
                     {{"/src/1", "1"}, {"/src/2", "2"}, {"/src/3", "3"}});
    jobs.erase(jobs.begin()); // a row above it goes
    Finish("b", true);
    EXPECT_EQ(logged, std::vector<int>{0});
    EXPECT_EQ(jobs[0].lastRun.text, "Ok.\r\n");
    EXPECT_EQ(jobs[1].lastRun.when, 0);
    ASSERT_EQ(transport.Sends().size(), 2u);
    EXPECT_EQ(transport.Sends()[1].file.remotePath, "/dst/2");

    jobs.erase(jobs.begin()); // its own row goes while the second file is out
    Finish("b", true);
    EXPECT_EQ(logged, (std::vector<int>{0, -1}));
    EXPECT_EQ(transport.Sends().size(), 2u);
    EXPECT_EQ(transport.requests.back().kind, Kind::Close);
    EXPECT_EQ(runner->ActiveRuns(), 0u);
}

// The question about a server that could not be verified waits for the user while the schedule
// goes on; a yes records the server and sends the same file once more.
TEST_F(ScheduleRunnerTest, AnOpenTrustQuestionHoldsUpNothingElse)
{
    AddJob("ftps://127.0.0.1", 3600);
    AddJob("other", 1);
    selected = {0};
    UpdateNow();
    FileOutcome unverified = StandInTransport::Failed("not verified\r\n");
    unverified.untrusted = ServerIdentity{};
    unverified.untrusted->host = "127.0.0.1";
    unverified.untrusted->port = 990;
    unverified.untrusted->fingerprint = "AB:CD";
    unverified.untrusted->subject = "CN=test";
    Finish("ftps://127.0.0.1", false, unverified);
    EXPECT_EQ(asked, std::vector<std::string>{"AB:CD"});

    Ticks(4);
    UpdateNow();
    EXPECT_EQ(TicksOf("other"), (std::vector<int>{2, 4}));
    EXPECT_EQ(TicksOf("ftps://127.0.0.1"), std::vector<int>{0});
    EXPECT_EQ(logged, (std::vector<int>{1, 1}));

    runner->TrustAnswered(true);
    Label();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(TicksOf("ftps://127.0.0.1"), (std::vector<int>{0, 4}));
    EXPECT_TRUE(Finish("ftps://127.0.0.1", true));
    EXPECT_EQ(jobs[0].lastRun.text, "Ok.\r\n");
    EXPECT_EQ(asked.size(), 1u);
}

// A run that no transfer could even begin ends without an entry and frees its server; after the
// program's end nothing goes out and no answer counts.
TEST_F(ScheduleRunnerTest, AnErrorEndsItsRunAndAnAbandonEndsThemAll)
{
    AddJob("s", 0);
    AddJob("s", 0);
    AddJob("t", 0);
    answer = false;
    Ticks(1);
    FileOutcome broken;
    broken.error = "Could not open an FTP client session.";
    Finish("s", false, broken);
    EXPECT_EQ(errors, std::vector<std::string>{"Could not open an FTP client session."});
    EXPECT_TRUE(logged.empty());
    EXPECT_EQ(TicksOf("s"), (std::vector<int>{1, 1}));

    runner->Abandon();
    Ticks(1);
    Finish("s", true);
    Finish("t", true);
    EXPECT_TRUE(logged.empty());
    EXPECT_EQ(transport.Sends().size(), 3u);
    EXPECT_EQ(runner->ActiveRuns(), 0u);
}
