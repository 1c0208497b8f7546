// Lists of data copies and the wildcard byte comparison.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kerval/kerval.h"

namespace {

struct Keyed {
    int key;
    int order;
};

uint8_t Ascending(const void* first, const void* second)
{
    return static_cast<const Keyed*>(first)->key >= static_cast<const Keyed*>(second)->key ? 1 : 0;
}

int Int(const ElementListe* e)
{
    return *static_cast<const int*>(e->pData);
}

TEST(Lists, AppendStoresFirstThenLinksAtTheEndWithCopies)
{
    ElementListe* list = nullptr;
    int value = 1;
    ElementListe* first = AjoutApresListe(&list, &value, sizeof value);
    EXPECT_EQ(list, first);
    value = 2;
    ElementListe* second = AjoutApresListe(&list, &value, sizeof value);
    EXPECT_EQ(list, first);
    EXPECT_EQ(first->pNext, second);
    EXPECT_EQ(second->pPrev, first);
    EXPECT_EQ(Int(first), 1);  // the element owns a copy
    EXPECT_EQ(second->lSize, sizeof value);
    FreeListe(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(Lists, InsertBeforeFirstKeepsTheVariableOnTheFormerFirst)
{
    ElementListe* list = nullptr;
    int values[] = {1, 2, 0};
    AjoutApresListe(&list, &values[0], sizeof(int));
    AjoutApresListe(&list, &values[1], sizeof(int));
    ElementListe* former = list;
    ElementListe* added = InsertAvantListe(&list, &values[2], sizeof(int));
    EXPECT_EQ(list, former);
    EXPECT_EQ(former->pPrev, added);
    EXPECT_EQ(added->pPrev, nullptr);
    EXPECT_EQ(added->pNext, former);
    ElementListe* middle = former->pNext;
    ElementListe* inside = InsertAvantListe(&middle, &values[0], sizeof(int));
    EXPECT_EQ(former->pNext, inside);
    EXPECT_EQ(inside->pNext, middle);
    ElementListe* head = added;
    FreeListe(&head);
}

TEST(Lists, InsertIntoAnEmptyVariableStoresTheElement)
{
    ElementListe* list = nullptr;
    int v = 4;
    EXPECT_EQ(InsertAvantListe(&list, &v, sizeof v), list);
    FreeListe(&list);
}

TEST(Lists, SortIsStableAndLeavesTheSourceAlone)
{
    ElementListe* source = nullptr;
    const Keyed keys[] = {{3, 0}, {1, 1}, {2, 2}, {1, 3}};
    for (const Keyed& k : keys)
        AjoutApresListe(&source, &k, sizeof k);
    ElementListe* sorted = TriListe(source, Ascending);
    std::vector<Keyed> got;
    for (ElementListe* e = sorted; e != nullptr; e = e->pNext) {
        got.push_back(*static_cast<const Keyed*>(e->pData));
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].order, 1);
    EXPECT_EQ(got[1].order, 3);
    EXPECT_EQ(got[2].key, 2);
    EXPECT_EQ(got[3].key, 3);
    EXPECT_EQ(sorted->pPrev, nullptr);
    EXPECT_EQ(static_cast<const Keyed*>(source->pData)->key, 3);
    FreeListe(&source);
    FreeListe(&sorted);
}

TEST(Lists, SortOfEmptyAndSingleLists)
{
    EXPECT_EQ(TriListe(nullptr, Ascending), nullptr);
    ElementListe* one = nullptr;
    const Keyed k{5, 0};
    AjoutApresListe(&one, &k, sizeof k);
    ElementListe* copy = TriListe(one, Ascending);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, one);
    EXPECT_NE(copy->pData, one->pData);
    EXPECT_EQ(copy->pNext, nullptr);
    FreeListe(&one);
    FreeListe(&copy);
}

TEST(Lists, FreeingAnElementUnlinksItAndMovesToItsSuccessor)
{
    ElementListe* list = nullptr;
    int v[] = {1, 2, 3};
    for (int& x : v)
        AjoutApresListe(&list, &x, sizeof x);
    ElementListe* middle = list->pNext;
    void* data = middle->pData;
    ElementListe* cursor = middle;
    FreeElementInListe(&cursor);
    std::free(data);  // the data copy stays with the caller
    EXPECT_EQ(Int(cursor), 3);
    EXPECT_EQ(list->pNext, cursor);
    EXPECT_EQ(cursor->pPrev, list);
    ElementListe* only = nullptr;
    AjoutApresListe(&only, &v[0], sizeof(int));
    data = only->pData;
    FreeElementInListe(&only);
    std::free(data);
    EXPECT_EQ(only, nullptr);
    ElementListe* none = nullptr;
    FreeElementInListe(&none);
    FreeListe(&list);
}

TEST(Lists, FreeingTheTailOfAListCutsItFromItsHead)
{
    ElementListe* list = nullptr;
    int v[] = {1, 2, 3};
    for (int& x : v)
        AjoutApresListe(&list, &x, sizeof x);
    ElementListe* tail = list->pNext;
    FreeListe(&tail);
    EXPECT_EQ(tail, nullptr);
    EXPECT_EQ(list->pNext, nullptr);  // no link to freed memory remains
    FreeListe(&list);
}

TEST(CompAscii, LetterAInThePatternMatchesAnyByte)
{
    EXPECT_EQ(CompAscii("abc", "xyz", 0), 0);
    EXPECT_EQ(CompAscii("xyz", "AAA", 3), 0);
    EXPECT_EQ(CompAscii("abc", "abd", 3), -1);
    EXPECT_EQ(CompAscii("abd", "aAc", 3), 1);
    EXPECT_EQ(CompAscii("A", "a", 1), -1);  // A is a wildcard only in the pattern
    const char accented[] = {static_cast<char>(0xE9), 0};
    EXPECT_EQ(CompAscii(accented, "e", 1), -1);  // bytes compare as signed values
}

}  // namespace
