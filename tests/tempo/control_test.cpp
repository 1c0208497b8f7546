// Tempo creation and its refusals, control operations, reports, the wake-up message and its
// validity test.
#include <cstddef>
#include <cstring>

#include "kerval/tempo/tempo_internal.h"
#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

static_assert(sizeof(TempoMsg) == 4172 && offsetof(TempoMsg, lEvent) == 4 &&
              offsetof(TempoMsg, szKeyword) == 8 && offsetof(TempoMsg, aParam) == 72 &&
              offsetof(TempoMsg, lParam) == 4168);

TEST_F(TempoTest, RefusalsCodesAndReports)
{
    MsgDate zero{}, negative{}, future{2030, 1, 1, 0, 0, 0, 0, 1, 2}, seen{};
    negative.nMinute = -5;
    std::vector<char> param(MAX_PARAM_TEMPO + 1, 'p');
    const std::string kw63(63, 'k'), kw64(64, 'k'), huge(5000, 'h');
    int32_t h = 7, dated = -1;
    // Creates "T"; answers the code, or -100 for a refusal that still gave a handle.
    const auto create = [&](uint32_t type, const MsgDate* date, int32_t box,
                            const std::string* kw = nullptr, int32_t size = 0) {
        const int32_t code = CreateActiveTempoWithParam(
            "T", type, date, 100, 0, box, kw ? kw->c_str() : nullptr, param.data(), size, &h);
        return code != eOK && h != -1 ? -100 : code;
    };
    const std::string out = CaptureStdoutOf([&] {
        // In order: refused creations before "D" spend no event number.
        const std::pair<int64_t, int64_t> cases[] = {
            {create(TEMPO_DELAY, nullptr, 12345), eOBJECT_NOT_EXIST},
            {create(TEMPO_DATE, nullptr, 0), eOBJECT_NOT_EXIST},  // a task, not a box
            {create(0, nullptr, box_), eINVALID_PARAM},
            {create(10, nullptr, box_), eINVALID_PARAM},
            {create(TEMPO_DATE, nullptr, box_), eINVALID_PARAM},
            {create(TEMPO_DATE, &zero, box_), eINVALID_PARAM},
            {create(TEMPO_PERIOD_MINUTE, nullptr, box_), eINVALID_PARAM},
            {create(TEMPO_PERIOD_MINUTE, &zero, box_), eINVALID_PARAM},
            {create(TEMPO_PERIOD_MINUTE, &negative, box_), eINVALID_PARAM},
            {CreateActiveTempo("D", TEMPO_DATE, &future, 0, TEMPO_ONETIME, box_, &dated), eOK},
            {CreateInactiveTempo("D", TEMPO_DELAY, nullptr, 5, 0, box_, &h), eOBJECT_EXIST},
            {h, dated},
            {CreateInactiveTempo("BOX", TEMPO_SECOND, nullptr, 0, 0, box_, &h), eOBJECT_EXIST},
            {h, box_},
            {create(TEMPO_DELAY, nullptr, box_, nullptr, MAX_PARAM_TEMPO + 1), eNOK},
            {create(TEMPO_DELAY, nullptr, box_, &kw64, 1), eNOK},
            {create(TEMPO_DELAY, nullptr, box_, &huge, MAX_PARAM_TEMPO + 1), eNOK},
            {create(TEMPO_DELAY, nullptr, box_, &kw63, MAX_PARAM_TEMPO), eOK},
            {ReactivateTempo(box_), eNOK},
            {InactivateTempo(-3), eNOK},
            {DeleteTempo(999), eOK},
            {ReactivateTempo(dated), eNOK},
            {ChangeTempoDelay(dated, 10), eINVALID_HANDLE},
            {ChangeTempoDelay(box_, 10), eINVALID_HANDLE},
            {IsTempoRunning(box_), 0},
            {GetInfoTempo(77, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr),
             eNOK},
        };
        for (size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(cases[i].first, cases[i].second) << i;
    });
    for (const std::string& line :
         {"Object " + std::to_string(box_) + " is not a tempo !", std::string("Object -3 is not"),
          std::string("Param is to long ! Tempo=<T>, Keyword=<>, lParam=<4097> "
                      "(MAX_PARAM_TEMPO=4096).\n"),
          "Keyword is to long ! Tempo=<T>, Keyword=<" + kw64 + ">\n",
          std::string("KERVAL-DeleteTempo() : Handle 999 invalid !\n"),
          std::string("INITJOB : Reactivate TEMPO_DATE tempo D forbidden !\n"),
          std::string("Tempo 77 invalid !\n")})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_LT(out.size(), 3000u) << out;  // a long keyword is quoted only in part
    EXPECT_TRUE(Reports(dated, "Tempo 'D' (handle=" + std::to_string(dated) +
                                   ")\n    hBoxToAwake='BOX' (handle=" + std::to_string(box_) +
                                   ")\n    Type=DATE (eType=2)\n    Date=2030/01/01-00:00:00:00\n"
                                   "    Properties : Active=yes, OneTime=yes, AutoDelete=no, "
                                   "lEvent=1001, UserInactivate=no\n"));
    int32_t outbox = -1, rest = -1;
    uint32_t type = 0, initial = 9, event = 0;
    uint8_t props = 0, user = 9, active = 9;
    EXPECT_EQ(GetInfoTempo(dated, 0, &outbox, &type, &seen, &initial, &rest, &props, &event, &user,
                           &active),
              eOK);
    EXPECT_EQ(
        std::vector<int64_t>({outbox, type, seen.nYear, initial, rest, props, event, user, active}),
        std::vector<int64_t>({box_, TEMPO_DATE, 2030, 0, 0, TEMPO_ONETIME, 1001, 0, 1}));
}

TEST_F(TempoTest, OneTimeInactivateReactivateAndChangedDelay)
{
    const int32_t once = Delay("O", 200, TEMPO_ONETIME);
    EXPECT_EQ(FiringTicks(6), std::vector<int>{4});
    ASSERT_EQ(ReactivateTempo(once), eOK);  // a full delay again
    EXPECT_EQ(FiringTicks(6), std::vector<int>{4});
    const int32_t h = Delay("P", 150);
    Tick(2);
    ASSERT_EQ(InactivateTempo(h), eOK);
    EXPECT_FALSE(IsTempoRunning(h));
    EXPECT_TRUE(
        Reports(h, "Active=no, OneTime=no, AutoDelete=no, lEvent=1002, UserInactivate=yes"));
    EXPECT_TRUE(FiringTicks(5).empty());
    ASSERT_EQ(ReactivateTempo(h), eOK);  // the count starts again
    EXPECT_EQ(FiringTicks(6), (std::vector<int>{3, 6}));
    ASSERT_EQ(ChangeTempoDelay(h, 500), eOK);  // from the next reload on
    EXPECT_EQ(FiringTicks(23), (std::vector<int>{3, 13, 23}));
}

TEST_F(TempoTest, WakeUpMessageFieldsAndValidity)
{
    const unsigned char param[5] = {1, 2, 3, 0, 9};
    int32_t h = -1, bare = -1;
    ASSERT_EQ(CreateActiveTempoWithParam("W", TEMPO_DELAY, nullptr, 50, 0, box_, "kw", param,
                                         sizeof param, &h),
              eOK);
    ASSERT_EQ(CreateActiveTempo("B", TEMPO_DELAY, nullptr, 50, TEMPO_ONETIME, box_, &bare), eOK);
    Tick();
    const std::vector<WakeUp> got = Drain(box_);
    ASSERT_EQ(got.size(), 2u);
    for (const WakeUp& w : got)
        EXPECT_EQ(std::vector<int64_t>({w.type, w.size, w.extra, w.sender}),
                  std::vector<int64_t>({MSG_TYPE_TEMPO, 4172, -1, HandleTaskTEMPO()}));
    EXPECT_STREQ(NameFromObject(HandleTaskTEMPO()), "_TEMPO_TASK");
    const WakeUp& w = got[0];
    EXPECT_EQ(std::vector<int64_t>({w.msg.hTempo, w.msg.lEvent, w.msg.lParam}),
              std::vector<int64_t>({h, 1001, 5}));
    EXPECT_STREQ(w.msg.szKeyword, "kw");
    EXPECT_EQ(0, std::memcmp(w.msg.aParam, param, sizeof param));
    const TempoMsg& b = got[1].msg;
    EXPECT_EQ(std::vector<int64_t>({b.hTempo, b.lEvent, b.lParam, b.szKeyword[0], b.aParam[0]}),
              std::vector<int64_t>({bare, 1002, 0, 0, 0}));
    TempoMsg forged = w.msg;
    forged.lEvent += 100;
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), h);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, nullptr), -1);
    EXPECT_EQ(IsValidTempo(w.type + 1, w.sender, &w.msg), -1);
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
    EXPECT_TRUE(Reports(Delay("A", 100), "lEvent=1999999999,"));
    EXPECT_TRUE(Reports(Delay("B", 100), "lEvent=1000,"));
    kerval::tempo::SetEventCounter(999u);  // 1000 is B's
    EXPECT_TRUE(Reports(Delay("C", 100), "lEvent=1001,"));
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
