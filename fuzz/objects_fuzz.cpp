// A random sequence of creations, deletions and uses of mailboxes, semaphores and tempos,
// checked against a model: every message is read once and in order, a purge empties a box,
// semaphore units are conserved, and no handle answers for an object once it is deleted.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <deque>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

constexpr int kSlots = 3;
constexpr uint16_t kBoxCapacity = 4;

struct BoxModel {
    int32_t handle = -1;
    std::deque<int32_t> messages;
};

struct SemModel {
    int32_t handle = -1;
    uint32_t max = 0;
    uint32_t count = 0;
};

struct Model {
    std::array<BoxModel, kSlots> boxes;
    std::array<SemModel, kSlots> sems;
    std::array<int32_t, kSlots> tempos{-1, -1, -1};
    int32_t next_message = 0;
};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string NameOf(const char* kind, int slot)
{
    return std::string("FUZZ_") + kind + std::to_string(slot);
}

void BoxStep(Model& m, int op, int slot, FuzzedDataProvider& in)
{
    BoxModel& box = m.boxes[slot];
    if (box.handle < 0) {
        Check(CreateMailBox(NameOf("BOX", slot).c_str(), kBoxCapacity, &box.handle) == eOK);
        return;
    }
    int32_t value = -1;
    uint32_t size = 0;
    switch (op) {
        case 0:
            if (box.messages.size() < kBoxCapacity) {  // a full box would make the writer wait
                const int32_t sent = m.next_message++;
                Check(WriteMailBox(0, box.handle, 1, &sent, sizeof sent, 0) == eOK);
                box.messages.push_back(sent);
            }
            break;
        case 1: {
            const int32_t code =
                ReadMailBox(box.handle, nullptr, &value, &size, sizeof value, 0, nullptr, nullptr);
            Check(code == (box.messages.empty() ? eTIME_OVER : eOK));
            if (code == eOK) {
                Check(value == box.messages.front() && size == sizeof value);
                box.messages.pop_front();
            }
            break;
        }
        case 2:
            PurgeMailBox(box.handle);
            box.messages.clear();
            break;
        default:
            Check(DeleteMailBox(box.handle) == eOK);
            Check(ObjectExist(box.handle) != MAILBOX_OBJECT);
            box = BoxModel{};
    }
    (void)in;
}

void SemStep(SemModel& sem, int op, int slot, FuzzedDataProvider& in)
{
    if (sem.handle < 0) {
        sem.max = in.ConsumeIntegralInRange<uint32_t>(1, 65535);
        sem.count = in.ConsumeIntegralInRange<uint32_t>(0, sem.max);
        Check(CreateSem(NameOf("SEM", slot).c_str(), static_cast<uint16_t>(sem.max),
                        static_cast<uint16_t>(sem.count), &sem.handle) == eOK);
        return;
    }
    const auto units = in.ConsumeIntegral<uint16_t>();
    uint16_t count = 0;
    switch (op) {
        case 0: {
            const int32_t code = TakeSem(sem.handle, units, 0);
            Check((code == eOK) == (units <= sem.count));
            if (code == eOK)
                sem.count -= units;
            break;
        }
        case 1: {
            const int32_t code = FreeSem(sem.handle, units);
            Check((code == eOK) == (sem.count + units <= sem.max));
            if (code == eOK)
                sem.count += units;
            break;
        }
        case 2:
            Check(InfoSem(sem.handle, &count) == eOK && count == sem.count);
            break;
        default:
            Check(DeleteSem(sem.handle) == eOK);
            Check(ObjectExist(sem.handle) != SEM_OBJECT);
            sem = SemModel{};
    }
}

// Tempos with an hour's delay on box 0 (which may go and come back meanwhile): started,
// stopped and deleted, never firing here.
void TempoStep(Model& m, int op, int slot)
{
    int32_t& tempo = m.tempos[slot];
    BoxModel& box = m.boxes[0];
    if (tempo < 0) {
        if (box.handle >= 0)
            Check(CreateInactiveTempo(NameOf("TEMPO", slot).c_str(), TEMPO_DELAY, nullptr, 3600000,
                                      0, box.handle, &tempo) == eOK);
        return;
    }
    switch (op) {
        case 0:
            Check(ReactivateTempo(tempo) == eOK && IsTempoRunning(tempo) != 0);
            break;
        case 1:
            Check(InactivateTempo(tempo) == eOK && IsTempoRunning(tempo) == 0);
            break;
        default:
            Check(DeleteTempo(tempo) == eOK);
            Check(ObjectExist(tempo) != TEMPO_OBJECT);
            tempo = -1;
    }
}

void DeleteAll(Model& m)
{
    for (int32_t& tempo : m.tempos) {
        if (tempo >= 0)
            DeleteTempo(tempo);
    }
    for (BoxModel& box : m.boxes) {
        if (box.handle >= 0)
            DeleteMailBox(box.handle);
    }
    for (SemModel& sem : m.sems) {
        if (sem.handle >= 0)
            DeleteSem(sem.handle);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kvfuzz::StartLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Model model;
    for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
        const auto kind = in.ConsumeIntegralInRange<int>(0, 2);
        const auto op = in.ConsumeIntegralInRange<int>(0, 3);
        const auto slot = in.ConsumeIntegralInRange<int>(0, kSlots - 1);
        if (kind == 0)
            BoxStep(model, op, slot, in);
        else if (kind == 1)
            SemStep(model.sems[slot], op, slot, in);
        else
            TempoStep(model, op, slot);
    }
    DeleteAll(model);
    return 0;
}
