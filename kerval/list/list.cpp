// Doubly linked lists of data copies, a stable insertion sort, and a byte comparison with a
// wildcard letter. A list is the address of its first element; nothing here locks.
#include <cstring>

#include "kerval/core/alloc.h"
#include "kerval/kerval.h"

namespace {

// A new unlinked element holding its own copy of the data; null when memory runs out.
ElementListe* MakeElement(const void* pData, uint32_t lSize)
{
    auto* element = static_cast<ElementListe*>(kerval::core::Alloc(sizeof(ElementListe)));
    if (element == nullptr)
        return nullptr;
    void* copy = kerval::core::Alloc(lSize == 0 ? 1 : lSize);
    if (copy == nullptr) {
        kerval::core::Free(element);
        return nullptr;
    }
    if (lSize > 0 && pData != nullptr)
        std::memcpy(copy, pData, lSize);
    *element = ElementListe{copy, lSize, nullptr, nullptr};
    return element;
}

ElementListe* LastOf(ElementListe* element)
{
    while (element->pNext != nullptr)
        element = element->pNext;
    return element;
}

ElementListe* FirstOf(ElementListe* element)
{
    while (element->pPrev != nullptr)
        element = element->pPrev;
    return element;
}

// Places a copy of the source element in the sorted list `sorted` (its first element);
// answers false when the copy could not be made.
bool PlaceSorted(ElementListe*& sorted, const ElementListe* source, PFN_COMPARE pfnCompare)
{
    if (sorted == nullptr)
        return AjoutApresListe(&sorted, source->pData, source->lSize) != nullptr;
    ElementListe* cursor = sorted;
    while (pfnCompare(source->pData, cursor->pData) == 1 && cursor->pNext != nullptr) {
        cursor = cursor->pNext;
    }
    ElementListe* placed = nullptr;
    if (pfnCompare(source->pData, cursor->pData) == 0) {
        placed = InsertAvantListe(&cursor, source->pData, source->lSize);
    } else {
        placed = AjoutApresListe(&cursor, source->pData, source->lSize);
    }
    sorted = FirstOf(sorted);
    return placed != nullptr;
}

}  // namespace

ElementListe* AjoutApresListe(ElementListe** ppList, const void* pData, uint32_t lSize)
{
    if (ppList == nullptr)
        return nullptr;
    ElementListe* element = MakeElement(pData, lSize);
    if (element == nullptr)
        return nullptr;
    if (*ppList == nullptr) {
        *ppList = element;
        return element;
    }
    ElementListe* last = LastOf(*ppList);
    last->pNext = element;
    element->pPrev = last;
    return element;
}

ElementListe* InsertAvantListe(ElementListe** ppElement, const void* pData, uint32_t lSize)
{
    if (ppElement == nullptr)
        return nullptr;
    ElementListe* element = MakeElement(pData, lSize);
    if (element == nullptr)
        return nullptr;
    ElementListe* next = *ppElement;
    if (next == nullptr) {
        *ppElement = element;
        return element;
    }
    element->pPrev = next->pPrev;
    element->pNext = next;
    if (next->pPrev != nullptr)
        next->pPrev->pNext = element;
    next->pPrev = element;
    return element;
}

ElementListe* TriListe(ElementListe* pList, PFN_COMPARE pfnCompare)
{
    if (pfnCompare == nullptr)
        return nullptr;
    ElementListe* sorted = nullptr;
    for (const ElementListe* source = pList; source != nullptr; source = source->pNext) {
        if (!PlaceSorted(sorted, source, pfnCompare)) {
            FreeListe(&sorted);  // out of memory: no partial copy is handed back
            return nullptr;
        }
    }
    return sorted;
}

void FreeListe(ElementListe** ppList)
{
    if (ppList == nullptr)
        return;
    ElementListe* element = *ppList;
    if (element != nullptr && element->pPrev != nullptr)
        element->pPrev->pNext = nullptr;
    while (element != nullptr) {
        ElementListe* next = element->pNext;
        kerval::core::Free(element->pData);
        kerval::core::Free(element);
        element = next;
    }
    *ppList = nullptr;
}

void FreeElementInListe(ElementListe** ppElement)
{
    if (ppElement == nullptr || *ppElement == nullptr)
        return;
    ElementListe* element = *ppElement;
    if (element->pPrev != nullptr)
        element->pPrev->pNext = element->pNext;
    if (element->pNext != nullptr)
        element->pNext->pPrev = element->pPrev;
    *ppElement = element->pNext;
    kerval::core::Free(element);
}

int16_t CompAscii(const void* pA, const void* pB, uint16_t nLen)
{
    const auto* a = static_cast<const signed char*>(pA);
    const auto* b = static_cast<const signed char*>(pB);
    for (uint16_t i = 0; i < nLen; ++i) {
        if (b[i] == 'A')
            continue;
        if (a[i] < b[i])
            return -1;
        if (a[i] > b[i])
            return 1;
    }
    return 0;
}
