// Tempos: expiry rules, control operations, refusals, reports, the wake-up message.
#include <cstddef>

#include "kerval/tempo/tempo_internal.h"
#include "tests/tempo/tempo_helpers.h"

namespace kvtest {
namespace {

static_assert(sizeof(TempoMsg) == 4172 && offsetof(TempoMsg, lEvent) == 4 &&
              offsetof(TempoMsg, szKeyword) == 8 && offsetof(TempoMsg, aParam) == 72 &&
              offsetof(TempoMsg, lParam) == 4168);

TEST_F(TempoTest, DelaysExpireAfterWholeTicks) {
    const std::string zero = "!!!! Tempo periodique de duree 0 : T !!!!\n";
    using Case = std::tuple<uint32_t, uint8_t, int, std::vector<int>, std::string>;
    const Case cases[] = {{0, TEMPO_ONETIME, 3, {1}, ""},
                          {0, 0, 2, {1, 2}, zero + zero},
                          {1, 0, 3, {1, 2, 3}, ""},
                          {120, 0, 9, {3, 6, 9}, ""},
                          {1000, TEMPO_ONETIME, 45, {20}, ""},
                          {100, TEMPO_AUTODELETE, 6, {2}, ""}};
    for (const auto& [delay, props, n, expected, out] : cases) {
        const int32_t h = Delay("T", delay, props);
        std::vector<int> ticks;
        EXPECT_EQ(CaptureStdoutOf([&, n = n] { ticks = FiringTicks(n); }), out);
        EXPECT_EQ(ticks, expected) << delay;
        EXPECT_EQ(IsTempoRunning(h), props == 0);
        EXPECT_EQ(ObjectExist(h) == TEMPO_OBJECT, props != TEMPO_AUTODELETE);
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, DateAndCalendarTemposFollowTheClock) {
    MsgDate past{2024, 3, 10, 10, 20, 29, 0, 70, 7}, ahead{2024, 3, 10, 10, 20, 31, 99, 70, 7};
    const auto once = [this](const char* name, uint32_t type, const MsgDate* date) {
        return Made(CreateActiveTempo, name, type, date, 0u, uint8_t{TEMPO_ONETIME}, box_);
    };
    // The first previous date is the start-up reading: no calendar tempo fires at start.
    int32_t h = once("S", TEMPO_SECOND, nullptr);
    const int32_t p = once("P", TEMPO_DATE, &past), a = once("A", TEMPO_DATE, &ahead);
    EXPECT_EQ(FiringTicks(3), std::vector<int>{1});  // P, in the past
    EXPECT_TRUE(IsTempoRunning(h));
    DeleteTempo(h);
    SetClock(2024, 3, 10, 10, 20, 31);  // A's second: not yet
    EXPECT_TRUE(FiringTicks(2).empty());
    SetClock(2024, 3, 10, 10, 20, 32);
    EXPECT_EQ(FiringTicks(3), std::vector<int>{1});
    EXPECT_FALSE(IsTempoRunning(p) || IsTempoRunning(a));
    const std::tuple<uint32_t, int16_t, std::array<int, 6>, std::array<int, 6>, bool> cases[] = {
        {TEMPO_SECOND, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 59}, {2024, 3, 10, 10, 21, 0}, true},
        {TEMPO_MINUTE, 0, {2024, 3, 10, 10, 20, 58}, {2024, 3, 10, 10, 20, 59}, false},
        {TEMPO_HOUR, 0, {2024, 3, 10, 10, 59, 59}, {2024, 3, 10, 11, 0, 0}, true},
        {TEMPO_DAY, 0, {2024, 3, 10, 23, 59, 59}, {2024, 3, 11, 0, 0, 0}, true},
        {TEMPO_MONTH, 0, {2024, 3, 10, 10, 0, 0}, {2024, 2, 10, 10, 0, 0}, true},
        {TEMPO_YEAR, 0, {2023, 12, 31, 23, 59, 59}, {2024, 1, 1, 0, 0, 0}, true},
        {TEMPO_YEAR, 0, {2024, 3, 10, 10, 0, 0}, {2023, 3, 10, 10, 0, 0}, false},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 14, 59}, {2024, 3, 10, 10, 15, 0}, true},
        {TEMPO_PERIOD_MINUTE, 15, {2024, 3, 10, 10, 15, 59}, {2024, 3, 10, 10, 16, 0}, false},
    };
    for (const auto& [type, modulo, from, to, fires] : cases) {
        std::apply(SetClock, from);
        Tick();
        const MsgDate date{0, 0, 0, 0, modulo, 0, 0, 0, 0};
        h = once("C", type, &date);
        std::apply(SetClock, to);
        EXPECT_EQ(FiringTicks(2).size(), fires ? 1u : 0u) << type << " " << to[4];
        DeleteTempo(h);
    }
}

TEST_F(TempoTest, OneTimeInactivateReactivateAndChangedDelay) {
    const int32_t once = Delay("O", 200, TEMPO_ONETIME);
    EXPECT_EQ(FiringTicks(6), std::vector<int>{4});
    ASSERT_EQ(ReactivateTempo(once), eOK);  // a full delay again
    EXPECT_EQ(FiringTicks(6), std::vector<int>{4});
    const int32_t h = Delay("P", 150);
    Tick(2);
    ASSERT_EQ(InactivateTempo(h), eOK);
    EXPECT_TRUE(
        Reports(h, "Active=no, OneTime=no, AutoDelete=no, lEvent=1002, UserInactivate=yes"));
    EXPECT_TRUE(FiringTicks(5).empty());
    ASSERT_EQ(ReactivateTempo(h), eOK);  // the count starts again
    EXPECT_EQ(FiringTicks(6), (std::vector<int>{3, 6}));
    ASSERT_EQ(ChangeTempoDelay(h, 500), eOK);  // from the next reload on
    EXPECT_EQ(FiringTicks(23), (std::vector<int>{3, 13, 23}));
}

TEST_F(TempoTest, DelaysOf2Pow31MsAndMoreRunTheirFullLength) {
    const int32_t h = Delay("L", 2147483648u + 1000u);
    Tick(3);
    EXPECT_TRUE(
        Reports(h, "Type=DELAY (eType=1)\n    Initial Delay=2147484648, Rest=2147484498\n"));
    int32_t rest = 0;
    GetInfoTempo(h, 0, nullptr, nullptr, nullptr, nullptr, &rest, nullptr, nullptr, nullptr,
                 nullptr);
    EXPECT_EQ(rest, 2147483647);  // the 32-bit field shows the largest value it can
    ASSERT_EQ(ChangeTempoDelay(h, 4294967295u), eOK);
    ASSERT_EQ(ReactivateTempo(h), eOK);
    EXPECT_TRUE(FiringTicks(1).empty());
    EXPECT_TRUE(Reports(h, "Initial Delay=4294967295, Rest=4294967245\n"));
}

// The tick never waits: a full box keeps one wake-up pending, and an auto-deleted tempo goes
// once its wake-up is delivered. A tempo wakes only its own box.
TEST_F(TempoTest, FullOrDeletedBoxes) {
    const int32_t a = Delay("A", 50, TEMPO_ONETIME, small_);
    const int32_t ad = Delay("AD", 50, TEMPO_AUTODELETE, small_);
    Tick(3);
    EXPECT_TRUE(ObjectExist(ad) == TEMPO_OBJECT && !IsTempoRunning(ad));
    EXPECT_EQ(Drain(small_).at(0).msg.hTempo, a);
    Tick();
    EXPECT_EQ(Drain(small_).at(0).msg.hTempo, ad);
    EXPECT_NE(ObjectExist(ad), TEMPO_OBJECT);
    const int32_t slow = Delay("SLOW", 100, 0, small_);
    EXPECT_EQ(slow, ad);  // the slot is free
    Delay("FAST", 50);
    Tick(8);  // SLOW expires at ticks 2, 4, 6 and 8; its box holds one message
    EXPECT_EQ(Drain(box_).size(), 8u);
    // Tick 9 brings the expiries of ticks 4..8 as one message, tick 10 its own expiry.
    for (size_t expected : {1, 1, 1, 0}) {
        EXPECT_EQ(Drain(small_).size(), expected);
        Tick();
    }
    const int32_t once = Delay("O", 100, TEMPO_ONETIME, small_);
    ASSERT_EQ(DeleteMailBox(small_), eOK);
    ASSERT_EQ(Made(CreateMailBox, "OTHER", 1), small_);  // the handle is reused
    Tick(3);
    EXPECT_TRUE(Drain(small_).empty());
    EXPECT_TRUE(IsTempoRunning(slow) && !IsTempoRunning(once));  // expiries count all the same
}

TEST_F(TempoTest, RefusalsCodesAndReports) {
    MsgDate zero{}, negative{0, 0, 0, 0, -5, 0, 0, 0, 0}, future{2030, 1, 1, 0, 0, 0, 0, 1, 2};
    std::vector<char> param(MAX_PARAM_TEMPO + 1, 'p');
    const std::string kw63(63, 'k'), kw64(64, 'k'), huge(5000, 'h');
    int32_t h = 7, dated = -1;
    // Creates "T"; answers the code, or -100 for a refusal that still gave a handle.
    const auto create = [&](uint32_t type, const MsgDate* date, int32_t box,
                            const char* kw = nullptr, int32_t size = 0) {
        const int32_t code =
            CreateActiveTempoWithParam("T", type, date, 100, 0, box, kw, param.data(), size, &h);
        return code != eOK && h != -1 ? -100 : code;
    };
    const std::string out = CaptureStdoutOf([&] {
        // In order: refused creations before "D" spend no event number. Handle 0 is a task.
        const std::pair<int64_t, int64_t> cases[] = {
            {create(TEMPO_DELAY, nullptr, 12345), eOBJECT_NOT_EXIST},
            {create(TEMPO_DATE, nullptr, 0), eOBJECT_NOT_EXIST},
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
            {create(TEMPO_DELAY, nullptr, box_, kw64.c_str(), 1), eNOK},
            {create(TEMPO_DELAY, nullptr, box_, huge.c_str(), MAX_PARAM_TEMPO + 1), eNOK},
            {create(TEMPO_DELAY, nullptr, box_, kw63.c_str(), MAX_PARAM_TEMPO), eOK},
            {ReactivateTempo(box_), eNOK},
            {InactivateTempo(-3), eNOK},
            {DeleteTempo(999), eOK},
            {ReactivateTempo(dated), eNOK},
            {ChangeTempoDelay(dated, 10), eINVALID_HANDLE},
            {ChangeTempoDelay(box_, 10), eINVALID_HANDLE},
            {IsTempoRunning(box_), 0},
            {GetInfoTempo(77, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0), eNOK}};
        for (size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(cases[i].first, cases[i].second) << i;
    });
    for (const std::string& line : std::vector<std::string>{
             "Object " + std::to_string(box_) + " is not a tempo !", "Object -3 is not a tempo !",
             "Param is to long ! Tempo=<T>, Keyword=<>, lParam=<4097> (MAX_PARAM_TEMPO=4096).\n",
             "Keyword is to long ! Tempo=<T>, Keyword=<" + kw64 + ">\n",
             "KERVAL-DeleteTempo() : Handle 999 invalid !\n",
             "INITJOB : Reactivate TEMPO_DATE tempo D forbidden !\n", "Tempo 77 invalid !\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_LT(out.size(), 3000u) << out;  // a long keyword is quoted only in part
    EXPECT_TRUE(Reports(dated, "Tempo 'D' (handle=" + std::to_string(dated) +
                                   ")\n    hBoxToAwake='BOX' (handle=" + std::to_string(box_) +
                                   ")\n    Type=DATE (eType=2)\n    Date=2030/01/01-00:00:00:00\n"
                                   "    Properties : Active=yes, OneTime=yes, AutoDelete=no, "
                                   "lEvent=1001, UserInactivate=no\n"));
    kerval::tempo::SetEventCounter(1999999998u);  // the counter wraps and skips numbers in use
    EXPECT_TRUE(Reports(Delay("A", 100), "lEvent=1999999999,"));
    EXPECT_TRUE(Reports(Delay("B", 100), "lEvent=1000,"));
    kerval::tempo::SetEventCounter(999u);  // 1000 is B's, 1001 D's
    EXPECT_TRUE(Reports(Delay("C", 100), "lEvent=1002,"));
}

TEST_F(TempoTest, WakeUpMessageFieldsAndValidity) {
    const unsigned char param[5] = {1, 2, 3, 0, 9};
    const int32_t h = Made(CreateActiveTempoWithParam, "W", TEMPO_DELAY, nullptr, 50u, uint8_t{0},
                           box_, "kw", param, int32_t{sizeof param});
    Tick();
    const WakeUp w = Drain(box_).at(0);
    EXPECT_EQ(std::vector<int64_t>({w.type, w.size, w.extra, w.sender}),
              std::vector<int64_t>({MSG_TYPE_TEMPO, 4172, -1, HandleTaskTEMPO()}));
    EXPECT_EQ(std::vector<int64_t>({w.msg.hTempo, w.msg.lEvent, w.msg.lParam}),
              std::vector<int64_t>({h, 1001, 5}));
    EXPECT_STREQ(w.msg.szKeyword, "kw");
    EXPECT_EQ(0, std::memcmp(w.msg.aParam, param, sizeof param));
    TempoMsg forged = w.msg;
    forged.lEvent += 100;
    EXPECT_EQ(IsValidTempo(w.type, w.sender, &w.msg), h);
    EXPECT_EQ(IsValidTempo(w.type, w.sender, nullptr), -1);
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

// The old forms wait 1000 ms per warning: one case for all three.
TEST_F(TempoTest, OldFormsWarnWaitAndAct) {
    int32_t h1 = -1, h2 = -1;
    const std::string out = CaptureStdoutOf([&] {
        EXPECT_EQ(CreateTempo("O1", TEMPO_DELAY, nullptr, 50, 0, box_, &h1), eOK);
        EXPECT_EQ(ActivateTempo("O2", TEMPO_DELAY, nullptr, 50, 0, box_, &h2), eOK);
        EXPECT_EQ(AbortTempo(h1), eOK);
    });
    const std::string head = "\n!\n\t!     ", arrow = "()......        utiliser plutot >>>>>  ";
    const std::string activate = head + "ActivateTempo" + arrow + "CreateActiveTempo() !\n\n";
    EXPECT_EQ(out, head + "CreateTempo" + arrow + "CreateActiveTempo() !\n\n" + activate +
                       activate + head + "AbortTempo" + arrow + "InactivateTempo() !\n\n");
    EXPECT_TRUE(!IsTempoRunning(h1) && IsTempoRunning(h2));
}

}  // namespace
}  // namespace kvtest
