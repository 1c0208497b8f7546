// Placement of objects, the name rules, the name index and generated names.
#include <gtest/gtest.h>

#include <string>

#include "kerval/core/internal.h"
#include "tests/core/test_objects.h"
#include "tests/support/fixtures.h"

namespace {

using coretest::CreatePlain;
using kvtest::CaptureStdoutOf;

class Names : public kvtest::KervalTest {};

std::string Numbered(const char* prefix, int32_t i)
{
    std::string name(prefix);
    name += std::to_string(i);
    return name;
}

TEST_F(Names, NameOver128CharactersIsReportedAndCut)
{
    const std::string long_name(130, 'N');
    const std::string cut(128, 'N');
    int32_t h = -1;
    int32_t code = -1;
    const std::string out =
        CaptureStdoutOf([&] { code = CreatePlain(SEM_OBJECT, long_name.c_str(), &h); });
    ASSERT_EQ(code, eOK);
    EXPECT_EQ(out, "KERVAL : Object <" + long_name + "> is too long (len=<130 / 128>)\n" +
                       "KERVAL : \tObject Name is troncated <" + cut + "> !\n");
    EXPECT_EQ(NameFromObject(h), cut);
    EXPECT_EQ(FindObjectMirror(cut.c_str()), h);
}

TEST_F(Names, NullOrEmptyNameIsRefused)
{
    int32_t h = 7;
    EXPECT_EQ(CreatePlain(SEM_OBJECT, "", &h), eNOK);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(CreatePlain(SEM_OBJECT, nullptr, &h), eNOK);
    EXPECT_EQ(FindObjectMirror(""), -1);
    EXPECT_EQ(FindObjectMirror(nullptr), -1);
    EXPECT_EQ(kerval::core::CheckObjectName(nullptr), 1);
}

TEST_F(Names, NameOfAnyExistingObjectIsRefusedWithItsHandle)
{
    int32_t block = -1;
    ASSERT_EQ(CreatePlain(SHARE_OBJECT, "SAME", &block), eOK);
    int32_t h = -1;
    int32_t index = -1;
    int32_t code = -1;
    const std::string out = CaptureStdoutOf(
        [&] { code = kerval::core::CanCreateObject(SEM_OBJECT, "SAME", &h, &index); });
    EXPECT_EQ(code, eOBJECT_EXIST);
    EXPECT_EQ(h, block);
    EXPECT_NE(out.find("KERVAL-CanCreateObject : Task INITJOB : Named object <SAME> already "
                       "exist !\n"),
              std::string::npos);
    EXPECT_EQ(CreatePlain(TEMPO_OBJECT, "INITJOB", &h), eOBJECT_EXIST);
    EXPECT_EQ(h, -1);
}

TEST_F(Names, DeletedHandleIsReusedAndOldNameIsNotFound)
{
    int32_t a = -1;
    int32_t b = -1;
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "A", &a), eOK);
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "KEEP", &b), eOK);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    coretest::Delete(a);
    EXPECT_EQ(ObjectExist(a), 0);
    EXPECT_EQ(FindObjectMirror("A"), -1);
    int32_t c = -1;
    ASSERT_EQ(CreatePlain(SHARE_OBJECT, "B", &c), eOK);
    EXPECT_EQ(c, a);                       // lowest free slot first
    EXPECT_EQ(FindObjectMirror("A"), -1);  // never the handle of another object
    EXPECT_EQ(FindObjectMirror("B"), c);
    EXPECT_EQ(_pxSysDescript->pxSemTab[0].bUsed, 0);  // the record was freed too
    int32_t d = -1;
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "A", &d), eOK);
    EXPECT_EQ(d, 3);
    EXPECT_EQ(_pxSysDescript->pxObjectTab[d].nIndex, 0);  // lowest free record first
    EXPECT_EQ(FindObjectMirror("A"), d);
}

TEST_F(Names, MirrorLookupMatchesWholeNamesOnly)
{
    int32_t task1 = -1;
    int32_t task10 = -1;
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "TASK10", &task10), eOK);
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "TASK1", &task1), eOK);
    EXPECT_EQ(FindObjectMirror("TASK1"), task1);
    EXPECT_EQ(FindObjectMirror("TASK10"), task10);
    EXPECT_EQ(FindObjectMirror("TASK"), -1);
    const SysDescript* sys = _pxSysDescript;
    ASSERT_EQ(sys->nNbMirror, 3);
    EXPECT_STREQ(sys->MirrorTab[0].szName, "INITJOB");
    EXPECT_STREQ(sys->MirrorTab[1].szName, "TASK1");
    EXPECT_STREQ(sys->MirrorTab[2].szName, "TASK10");
}

TEST_F(Names, UnregisteredTypesAreFoundThroughTheObjectTable)
{
    int32_t block = -1;
    ASSERT_EQ(CreatePlain(SHARE_OBJECT, "BLOCK", &block), eOK);
    EXPECT_EQ(_pxSysDescript->nNbMirror, 1);
    EXPECT_EQ(FindObjectMirror("BLOCK"), block);
}

TEST_F(Names, MirrorInsertKeepsOrderAndReplacesAnExistingName)
{
    InsertObjectMirror("b", 5);
    InsertObjectMirror("a", 6);
    InsertObjectMirror("b", 7);
    const SysDescript* sys = _pxSysDescript;
    ASSERT_EQ(sys->nNbMirror, 3);
    EXPECT_STREQ(sys->MirrorTab[0].szName, "INITJOB");
    EXPECT_STREQ(sys->MirrorTab[1].szName, "a");
    EXPECT_EQ(sys->MirrorTab[2].hObject, 7);
    EXPECT_EQ(FindObjectMirror("b"), -1);  // slot 7 is free
}

TEST_F(Names, FullObjectTableRefusesWithItsMessage)
{
    const int32_t free_slots = _pxSysDescript->nNbObject - 1;
    for (int32_t i = 0; i < free_slots; ++i) {
        int32_t h = -1;
        ASSERT_EQ(CreatePlain(7, Numbered("X", i).c_str(), &h), eOK);
    }
    int32_t h = -1;
    int32_t code = -1;
    const std::string out = CaptureStdoutOf([&] { code = CreatePlain(SEM_OBJECT, "LAST", &h); });
    EXPECT_EQ(code, eNOK);
    EXPECT_EQ(out, "\nimpossible de placer un objet Supplementaire\n");
}

TEST_F(Names, FullTypeTableRefusesWithItsMessageButTasksSilently)
{
    for (int32_t i = 0; i < _pxSysDescript->nNbShare; ++i) {
        int32_t h = -1;
        ASSERT_EQ(CreatePlain(SHARE_OBJECT, Numbered("S", i).c_str(), &h), eOK);
    }
    int32_t h = -1;
    int32_t code = -1;
    std::string out = CaptureStdoutOf([&] { code = CreatePlain(SHARE_OBJECT, "ONE_MORE", &h); });
    EXPECT_EQ(code, eNOK);
    EXPECT_EQ(out, "\nimpossible de placer un objet de type 10\n");
    for (int32_t i = 1; i < _pxSysDescript->nNbTask; ++i) {
        ASSERT_EQ(CreatePlain(TASK_OBJECT, Numbered("T", i).c_str(), &h), eOK);
    }
    out = CaptureStdoutOf([&] { code = CreatePlain(TASK_OBJECT, "ONE_MORE", &h); });
    EXPECT_EQ(code, eNOK);
    EXPECT_EQ(out, "");
}

TEST_F(Names, GeneratedNamesFollowTheCounterAndWrap)
{
    char name[13];
    EXPECT_STREQ(GenerateName(name), "_O0000000002");
    EXPECT_STREQ(GenerateName(name), "_O0000000003");
    int32_t h = -1;
    ASSERT_EQ(CreatePlain(SEM_OBJECT, "_O0000000004", &h), eOK);
    EXPECT_STREQ(GenerateName(name), "_O0000000005");  // a name in use is skipped
    kerval::core::SetGeneratedNameCounter(1999999999);
    EXPECT_STREQ(GenerateName(name), "_O0000000001");
}

}  // namespace
