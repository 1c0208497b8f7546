// Tempo creation, control operations, reports and the validity test of wake-up messages.
#include <gtest/gtest.h>

#include <string>

#include "kerval/tempo/tempo_internal.h"
#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

uint32_t EventOf(int32_t hTempo)
{
    uint32_t event = 0;
    GetInfoTempo(hTempo, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &event, nullptr,
                 nullptr);
    return event;
}

TEST_F(TempoTest, RefusedArgumentsSpendNoEventNumberAndNamesInUseGive16)
{
    MsgDate zero{}, negative{};
    negative.nMinute = -5;
    struct Case {
        uint32_t type;
        const MsgDate* date;
        uint8_t props;
        int32_t box, code;
    } cases[] = {
        {TEMPO_DELAY, nullptr, 0, 12345, eOBJECT_NOT_EXIST},
        {TEMPO_DATE, nullptr, 0, 0, eOBJECT_NOT_EXIST},  // a task, not a box
        {0, nullptr, 0, box_, eINVALID_PARAM},
        {10, nullptr, 0, box_, eINVALID_PARAM},
        {TEMPO_DATE, &zero, 0, box_, eINVALID_PARAM},
        {TEMPO_DATE, nullptr, TEMPO_ONETIME, box_, eINVALID_PARAM},
        {TEMPO_PERIOD_MINUTE, nullptr, 0, box_, eINVALID_PARAM},
        {TEMPO_PERIOD_MINUTE, &zero, 0, box_, eINVALID_PARAM},
        {TEMPO_PERIOD_MINUTE, &negative, 0, box_, eINVALID_PARAM},
    };
    for (const Case& c : cases) {
        int32_t h = 7;
        EXPECT_EQ(CreateActiveTempo("T", c.type, c.date, 100, c.props, c.box, &h), c.code);
        EXPECT_EQ(h, -1);
    }
    const int32_t first = Delay("T", 100);
    EXPECT_EQ(EventOf(first), 1001u);
    int32_t h = -1;
    EXPECT_EQ(CreateInactiveTempo("T", TEMPO_DELAY, nullptr, 5, 0, box_, &h), eOBJECT_EXIST);
    EXPECT_EQ(h, first);
    EXPECT_EQ(CreateInactiveTempo("BOX", TEMPO_SECOND, nullptr, 0, 0, box_, &h), eOBJECT_EXIST);
    EXPECT_EQ(h, box_);
    EXPECT_EQ(EventOf(Delay("U", 100)), 1002u);
}

TEST_F(TempoTest, ParameterAndKeywordLimitsAndSafeReports)
{
    std::vector<char> param(MAX_PARAM_TEMPO + 1, 'p');
    const std::string kw63(63, 'k'), kw64(64, 'k'), huge(5000, 'h');
    const std::string kw64_report = "Keyword is to long ! Tempo=<T>, Keyword=<" + kw64 + ">";
    struct Case {
        const char* keyword;
        int32_t size, code;
        const char* report;
    } cases[] = {
        {kw63.c_str(), MAX_PARAM_TEMPO, eOK, ""},
        {nullptr, MAX_PARAM_TEMPO + 1, eNOK,
         "Param is to long ! Tempo=<T>, Keyword=<>, lParam=<4097> (MAX_PARAM_TEMPO=4096)."},
        {kw64.c_str(), 1, eNOK, kw64_report.c_str()},
        {huge.c_str(), MAX_PARAM_TEMPO + 1, eNOK, "Keyword is to long ! Tempo=<T>"},
    };
    for (const Case& c : cases) {
        int32_t h = -1, code = -1;
        const std::string out = CaptureStdoutOf([&] {
            code = CreateActiveTempoWithParam("T", TEMPO_DELAY, nullptr, 50, 0, box_, c.keyword,
                                              param.data(), c.size, &h);
        });
        EXPECT_EQ(code, c.code);
        EXPECT_NE(out.find(c.report), std::string::npos) << out;
        EXPECT_LT(out.size(), 4000u);  // a long keyword is quoted only in part
        DeleteTempo(h);
        EXPECT_EQ(ObjectExist(h), NULL_OBJECT);  // a failed creation leaves nothing
    }
}

TEST_F(TempoTest, BadHandlesAndWrongTypes)
{
    MsgDate date{2030, 1, 1, 0, 0, 0, 0, 1, 2};
    int32_t dated = -1;
    ASSERT_EQ(CreateActiveTempo("D", TEMPO_DATE, &date, 0, TEMPO_ONETIME, box_, &dated), eOK);
    const std::string out = CaptureStdoutOf([&] {
        EXPECT_EQ(ReactivateTempo(box_), eNOK);
        EXPECT_EQ(InactivateTempo(-3), eNOK);
        EXPECT_EQ(DeleteTempo(999), eOK);
        EXPECT_EQ(ReactivateTempo(dated), eNOK);
        EXPECT_EQ(GetInfoTempo(77, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
                  eNOK);
        EXPECT_EQ(GetInfoTempo(77, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
                  eNOK);
    });
    for (const std::string& line :
         {"Object " + std::to_string(box_) + " is not a tempo !", std::string("Object -3 is not"),
          std::string("KERVAL-DeleteTempo() : Handle 999 invalid !\n"),
          std::string(" : Reactivate TEMPO_DATE tempo D forbidden !\n"),
          std::string("Tempo 77 invalid !\n")})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_EQ(out.find("Tempo 77 invalid !\n"), out.rfind("Tempo 77 invalid !\n"));
    EXPECT_EQ(ChangeTempoDelay(dated, 10), eINVALID_HANDLE);
    EXPECT_EQ(ChangeTempoDelay(box_, 10), eINVALID_HANDLE);
    EXPECT_FALSE(IsTempoRunning(box_));
}

TEST_F(TempoTest, GetInfoTempoValuesAndReport)
{
    int32_t delay = -1, dated = -1, period = -1, outbox = -1, rest = 0;
    MsgDate date{2030, 12, 31, 23, 59, 58, 7, 365, 2}, modulo{}, seen{};
    modulo.nMinute = 15;
    ASSERT_EQ(CreateInactiveTempo("DL", TEMPO_DELAY, nullptr, 300, TEMPO_AUTODELETE, box_, &delay),
              eOK);
    ASSERT_EQ(CreateActiveTempo("DT", TEMPO_DATE, &date, 0, TEMPO_ONETIME, box_, &dated), eOK);
    ASSERT_EQ(CreateActiveTempo("PM", TEMPO_PERIOD_MINUTE, &modulo, 0, 0, box_, &period), eOK);
    uint32_t type = 0, initial = 0, event = 0;
    uint8_t props = 0, user = 9, active = 9;
    EXPECT_EQ(GetInfoTempo(delay, 0, &outbox, &type, &seen, &initial, &rest, &props, &event, &user,
                           &active),
              eOK);
    EXPECT_EQ(std::vector<int64_t>({outbox, type, initial, rest, props, event, user, active}),
              std::vector<int64_t>({box_, TEMPO_DELAY, 300, 300, TEMPO_AUTODELETE, 1001, 0, 0}));
    GetInfoTempo(period, 0, nullptr, nullptr, &seen, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr);
    EXPECT_EQ(seen.nMinute, 15);
    EXPECT_EQ(seen.nYear + seen.nHour, 0);
    EXPECT_EQ(Info(delay), "Tempo 'DL' (handle=" + std::to_string(delay) +
                               ")\n    hBoxToAwake='BOX' (handle=" + std::to_string(box_) +
                               ")\n    Type=DELAY (eType=1)\n    Initial Delay=300, Rest=300\n"
                               "    Properties : Active=no, OneTime=no, AutoDelete=yes, "
                               "lEvent=1001, UserInactivate=no\n");
    EXPECT_NE(Info(dated).find("    Type=DATE (eType=2)\n    Date=2030/12/31-23:59:58:07\n    "
                               "Properties : Active=yes, OneTime=yes, AutoDelete=no, lEvent=1002"),
              std::string::npos);
    EXPECT_NE(Info(period).find("Type=PERIOD_MINUTE (eType=7)\n    Minute Modulo=15\n"),
              std::string::npos);
}

TEST_F(TempoTest, IsValidTempoRefusesForgedStaleAndInactivatedMessages)
{
    const int32_t h = Delay("T", 50);
    Tick();
    const std::vector<WakeUp> got = Drain(box_);
    ASSERT_EQ(got.size(), 1u);
    const WakeUp& w = got[0];
    TempoMsg forged = w.msg, moved = w.msg;
    forged.lEvent += 1;
    moved.hTempo = box_;  // a wrong handle with a live event still names the right tempo
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), h);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &moved), h);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, nullptr), -1);
    EXPECT_EQ(IsValidTempo(w.type + 1, w.sender, &w.msg), -1);
    EXPECT_EQ(IsValidTempo(w.type, -1, &w.msg), -1);
    EXPECT_EQ(IsValidTempo(w.type, 0, &w.msg), -1);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &forged), -1);
    ASSERT_EQ(InactivateTempo(h), eOK);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), -1);
    ASSERT_EQ(ReactivateTempo(h), eOK);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), h);
    DeleteTempo(h);
    EXPECT_EQ(Delay("T", 50), h);  // same handle, new event
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), -1);
}

TEST_F(TempoTest, EventNumbersWrapAndSkipNumbersInUse)
{
    kerval::tempo::SetEventCounter(1999999998u);
    EXPECT_EQ(EventOf(Delay("A", 100)), 1999999999u);
    EXPECT_EQ(EventOf(Delay("B", 100)), 1000u);
    kerval::tempo::SetEventCounter(999u);  // 1000 is B's
    EXPECT_EQ(EventOf(Delay("C", 100)), 1001u);
}

TEST_F(TempoTest, ServiceTaskAndBoxExist)
{
    const int32_t task = HandleTaskTEMPO();
    EXPECT_STREQ(NameFromObject(task), "_TEMPO_TASK");
    EXPECT_EQ(GetPriority(task), 1);
    EXPECT_EQ(ObjectExist(FindObjectMirror("_TEMPO_BOX")), MAILBOX_OBJECT);
    EXPECT_EQ(kerval::tempo::StartService(), 0);  // already running
}

// The old forms wait 1000 ms per warning: one case for all three.
TEST_F(TempoTest, OldFormsWarnWaitAndAct)
{
    int32_t h1 = -1, h2 = -1;
    const std::string out = CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTempo("O1", TEMPO_DELAY, nullptr, 50, 0, box_, &h1), eOK);
        EXPECT_EQ(ActivateTempo("O2", TEMPO_DELAY, nullptr, 50, 0, box_, &h2), eOK);
        EXPECT_EQ(AbortTempo(h1), eOK);
    });
    const auto warning = [](const char* old, const char* instead) {
        return std::string("\n!\n\t!     ") + old + "()......        utiliser plutot >>>>>  " +
               instead + "() !\n\n";
    };
    const std::string activate = warning("ActivateTempo", "CreateActiveTempo");
    EXPECT_EQ(out, warning("CreateTempo", "CreateActiveTempo") + activate + activate +
                       warning("AbortTempo", "InactivateTempo"));
    EXPECT_FALSE(IsTempoRunning(h1));
    EXPECT_TRUE(IsTempoRunning(h2));
}

}  // namespace
}  // namespace kvtest
