// Lists of data copies and the wildcard byte comparison.
#include "tests/support/fixtures.h"

namespace {

// Orders by tens only, so 11 and 13 are equal keys.
uint8_t ByTens(void* first, void* second) {
    return *static_cast<const int*>(first) / 10 >= *static_cast<const int*>(second) / 10 ? 1 : 0;
}

ElementListe* Build(std::vector<int> values) {
    ElementListe* list = nullptr;
    for (int& v : values) AjoutApresListe(&list, &v, sizeof v);
    return list;
}

std::vector<int> Ints(const ElementListe* e) {
    std::vector<int> out;
    for (; e != nullptr; e = e->pNext) out.push_back(*static_cast<const int*>(e->pData));
    return out;
}

TEST(Lists, AppendAndInsertLinkCopiesWithoutMovingTheListVariable) {
    ElementListe* list = Build({1, 2});  // copies of values that are gone
    ElementListe* first = list;
    ElementListe* second = list->pNext;
    EXPECT_TRUE(second->pPrev == first && second->lSize == sizeof(int));
    int value = 0;
    ElementListe* head = InsertAvantListe(&list, &value, sizeof value);
    EXPECT_EQ(list, first);  // still on the former first
    EXPECT_TRUE(head->pPrev == nullptr && first->pPrev == head);
    InsertAvantListe(&second, &value, sizeof value);
    EXPECT_EQ(Ints(head), std::vector<int>({0, 1, 0, 2}));
    EXPECT_EQ(second->pPrev->pPrev, first);
    FreeListe(&head);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(InsertAvantListe(&head, &value, sizeof value), head);  // an empty variable
    FreeListe(&head);
}

TEST(Lists, SortIsStableAndLeavesTheSourceAlone) {
    EXPECT_EQ(TriListe(nullptr, ByTens), nullptr);
    ElementListe* source = Build({30, 11, 22, 13});
    ElementListe* sorted = TriListe(source, ByTens);
    EXPECT_EQ(Ints(sorted), std::vector<int>({11, 13, 22, 30}));
    EXPECT_EQ(sorted->pPrev, nullptr);
    EXPECT_NE(sorted->pData, source->pNext->pData);  // copies, not the source's data
    EXPECT_EQ(Ints(source), std::vector<int>({30, 11, 22, 13}));
    FreeListe(&source);
    FreeListe(&sorted);
}

TEST(Lists, FreeingAnElementOrATailLeavesNoLinkToFreedMemory) {
    ElementListe* list = Build({1, 2, 3});
    ElementListe* cursor = list->pNext;
    void* data = cursor->pData;
    FreeElementInListe(&cursor);
    std::free(data);  // the data copy stays with the caller
    EXPECT_EQ(Ints(list), std::vector<int>({1, 3}));
    EXPECT_TRUE(list->pNext == cursor && cursor->pPrev == list);  // moved to the successor
    FreeListe(&cursor);                                           // the tail of the list
    EXPECT_TRUE(cursor == nullptr && list->pNext == nullptr);
    FreeListe(&list);
    ElementListe* only = Build({4});
    data = only->pData;
    FreeElementInListe(&only);
    std::free(data);
    EXPECT_EQ(only, nullptr);
    FreeElementInListe(&only);  // nothing to free
}

// The letter A in the pattern matches any byte (only in the pattern); bytes compare as signed.
TEST(CompAscii, LetterAInThePatternMatchesAnyByte) {
    const std::tuple<const char*, const char*, int32_t, int32_t> cases[] = {
        {"abc", "xyz", 0, 0}, {"xyz", "AAA", 3, 0}, {"abc", "abd", 3, -1},
        {"abd", "aAc", 3, 1}, {"A", "a", 1, -1},    {"\xE9", "e", 1, -1}};
    for (const auto& [text, pattern, length, order] : cases)
        EXPECT_EQ(CompAscii(text, pattern, length), order) << text << " " << pattern;
}

}  // namespace
