// Constant-time index of the object table: which slots and records are free (two-level
// bitmaps answering the lowest free one), which slot in use holds a name (hash map), and which
// handle owns a type record. The tables themselves stay the reference: every candidate the
// index gives is checked against the record's bUsed.
#include <atomic>
#include <bit>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kerval/core/alloc.h"
#include "kerval/core/internal.h"

namespace kerval::core::index {
namespace {

// Set bits are free positions; `summary` has a bit per word of `words` that has a free bit.
class FreeBitmap {
public:
    void Reset(int32_t count)
    {
        count_ = count;
        words_.assign((static_cast<size_t>(count) + 63) / 64, ~uint64_t{0});
        if (count % 64 != 0 && !words_.empty())
            words_.back() = (uint64_t{1} << (count % 64)) - 1;
        summary_.assign((words_.size() + 63) / 64, 0);
        for (size_t w = 0; w < words_.size(); ++w)
            UpdateSummary(w);
    }
    void SetFree(int32_t pos, bool free)
    {
        if (pos < 0 || pos >= count_)
            return;
        const size_t w = static_cast<size_t>(pos) / 64;
        const uint64_t bit = uint64_t{1} << (pos % 64);
        words_[w] = free ? (words_[w] | bit) : (words_[w] & ~bit);
        UpdateSummary(w);
    }
    int32_t Lowest() const
    {
        for (size_t s = 0; s < summary_.size(); ++s) {
            if (summary_[s] == 0)
                continue;
            const size_t w = s * 64 + static_cast<size_t>(std::countr_zero(summary_[s]));
            return static_cast<int32_t>(w * 64 + static_cast<size_t>(std::countr_zero(words_[w])));
        }
        return -1;
    }

private:
    void UpdateSummary(size_t w)
    {
        const uint64_t bit = uint64_t{1} << (w % 64);
        uint64_t& s = summary_[w / 64];
        s = words_[w] != 0 ? (s | bit) : (s & ~bit);
    }
    int32_t count_ = 0;
    std::vector<uint64_t, Allocator<uint64_t>> words_;
    std::vector<uint64_t, Allocator<uint64_t>> summary_;
};

constexpr int kTypeCount = SHARE_OBJECT + 1;

using NameMap =
    std::unordered_map<std::string_view, int32_t, std::hash<std::string_view>, std::equal_to<>,
                       Allocator<std::pair<const std::string_view, int32_t>>>;

struct Index {
    FreeBitmap free_slots;
    FreeBitmap free_records[kTypeCount];
    // Keys view the slot's own szName, which stays put while the slot is in use. Its buckets
    // and one node per slot are made at the start, so that publishing a name never allocates.
    NameMap by_name;
    std::vector<NameMap::node_type, Allocator<NameMap::node_type>> spare_nodes;
    std::unique_ptr<std::atomic<int32_t>[], FreeBlock> handle_of_record[kTypeCount];
    int32_t record_capacity[kTypeCount] = {};
};

void Fill(Index& built, const SysDescript* sys)
{
    const auto slots = static_cast<size_t>(sys->nNbObject);
    built.free_slots.Reset(sys->nNbObject);
    built.by_name.reserve(slots);
    built.spare_nodes.reserve(slots);
    while (built.spare_nodes.size() < slots) {
        built.by_name.emplace(std::string_view(), -1);
        built.spare_nodes.push_back(built.by_name.extract(built.by_name.begin()));
    }
    for (int32_t t = 0; t < kTypeCount; ++t) {
        if (!IsKnownType(t))
            continue;
        const int32_t capacity = TableOf(sys, t).capacity;
        built.free_records[t].Reset(capacity);
        built.record_capacity[t] = capacity;
        built.handle_of_record[t].reset(
            NewArray<std::atomic<int32_t>>(static_cast<size_t>(capacity)));
        if (!built.handle_of_record[t])
            throw std::bad_alloc();
        for (int32_t i = 0; i < capacity; ++i)
            built.handle_of_record[t][i] = -1;
    }
}

struct DeleteIndex {
    void operator()(Index* index) const { Delete(index); }
};
std::unique_ptr<Index, DeleteIndex> g_index;
std::shared_mutex g_lock;

}  // namespace

bool Build(const SysDescript* sys)
{
    std::unique_ptr<Index, void (*)(Index*)> built(New<Index>(), Delete<Index>);
    if (!built || !Grown([&] { Fill(*built, sys); }))
        return false;
    std::unique_lock guard(g_lock);
    g_index.reset(built.release());
    return true;
}

void Drop()
{
    std::unique_lock guard(g_lock);
    g_index.reset();
}

int32_t LowestFreeSlot(const SysDescript* sys)
{
    if (!g_index)
        return -1;
    for (;;) {
        const int32_t h = g_index->free_slots.Lowest();
        if (h < 0)
            return -1;
        if (LoadFlag(sys->pxObjectTab[h].bUsed) == 0)
            return h;
        g_index->free_slots.SetFree(h, false);  // taken behind the index's back
    }
}

int32_t LowestFreeRecord(const SysDescript* sys, int32_t eObjectType)
{
    if (!g_index || !IsKnownType(eObjectType))
        return -1;
    const TypeTable table = TableOf(sys, eObjectType);
    FreeBitmap& bits = g_index->free_records[eObjectType];
    for (;;) {
        const int32_t i = bits.Lowest();
        if (i < 0)
            return -1;
        if (LoadFlag(*table.UsedFlag(i)) == 0)
            return i;
        bits.SetFree(i, false);
    }
}

int32_t HandleOfName(const char* pszName)
{
    if (!g_index || pszName == nullptr)
        return -1;
    const auto found = g_index->by_name.find(std::string_view(pszName));
    return found == g_index->by_name.end() ? -1 : found->second;
}

int32_t HandleOfRecord(int32_t eObjectType, int32_t lIndex)
{
    if (!g_index || !IsKnownType(eObjectType))
        return -1;
    if (lIndex < 0 || lIndex >= g_index->record_capacity[eObjectType])
        return -1;
    return g_index->handle_of_record[eObjectType][lIndex].load(std::memory_order_acquire);
}

void OnPublish(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName)
{
    if (!g_index)
        return;
    g_index->free_slots.SetFree(hObject, false);
    Index& index = *g_index;
    if (index.by_name.find(std::string_view(pszName)) == index.by_name.end() &&
        !index.spare_nodes.empty()) {  // keeps an older holder
        NameMap::node_type node = std::move(index.spare_nodes.back());
        index.spare_nodes.pop_back();
        node.key() = std::string_view(pszName);
        node.mapped() = hObject;
        index.by_name.insert(std::move(node));
    }
    if (HandleOfRecord(eObjectType, lIndex) != -1 || !IsKnownType(eObjectType))
        return;
    if (lIndex < 0 || lIndex >= g_index->record_capacity[eObjectType])
        return;
    g_index->free_records[eObjectType].SetFree(lIndex, false);
    g_index->handle_of_record[eObjectType][lIndex].store(hObject, std::memory_order_release);
}

void OnRelease(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName)
{
    if (!g_index)
        return;
    const auto found = g_index->by_name.find(std::string_view(pszName));
    if (found != g_index->by_name.end() && found->second == hObject)
        g_index->spare_nodes.push_back(g_index->by_name.extract(found));
    g_index->free_slots.SetFree(hObject, true);
    if (HandleOfRecord(eObjectType, lIndex) == hObject) {
        g_index->handle_of_record[eObjectType][lIndex].store(-1, std::memory_order_release);
    }
}

void OnRecordFree(int32_t eObjectType, int32_t lIndex)
{
    if (!g_index || !IsKnownType(eObjectType))
        return;
    g_index->free_records[eObjectType].SetFree(lIndex, true);
}

void LockShared()
{
    g_lock.lock_shared();
}
void UnlockShared()
{
    g_lock.unlock_shared();
}
void LockExclusive()
{
    g_lock.lock();
}
void UnlockExclusive()
{
    g_lock.unlock();
}

}  // namespace kerval::core::index
