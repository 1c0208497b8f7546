// Placement of objects, the name rules, the name index and generated names.
#include "tests/core/test_objects.h"

namespace {

using coretest::CreatePlain;
using Names = KernelTest;

TEST_F(Names, NameOver128CharactersIsReportedAndCut) {
    const std::string long_name(130, 'N'), cut(128, 'N');
    int32_t h = -1;
    const std::string out =
        CaptureStdoutOf([&] { EXPECT_EQ(CreatePlain(SEM_OBJECT, long_name.c_str(), &h), eOK); });
    EXPECT_EQ(out, "KERVAL : Object <" + long_name + "> is too long (len=<130 / 128>)\n" +
                       "KERVAL : \tObject Name is troncated <" + cut + "> !\n");
    EXPECT_EQ(NameFromObject(h), cut);
    EXPECT_EQ(FindObjectMirror(cut.c_str()), h);
}

TEST_F(Names, EmptyNameOrNameOfAnyExistingObjectIsRefused) {
    int32_t h = 7;
    for (const char* none : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(CreatePlain(SEM_OBJECT, none, &h), eNOK);
        EXPECT_EQ(h, -1);
        EXPECT_EQ(FindObjectMirror(none), -1);
    }
    const int32_t block = Made(CreatePlain, SHARE_OBJECT, "SAME");
    int32_t index = -1, code = -1;
    const std::string out = CaptureStdoutOf(
        [&] { code = kerval::core::CanCreateObject(SEM_OBJECT, "SAME", &h, &index); });
    EXPECT_EQ(code, eOBJECT_EXIST);
    EXPECT_EQ(h, block);  // the handle of the object holding the name
    EXPECT_THAT(out,
                HasSubstr("KERVAL-CanCreateObject : Task INITJOB : Named object <SAME> already "
                          "exist !\n"));
    EXPECT_EQ(CreatePlain(TEMPO_OBJECT, "INITJOB", &h), eOBJECT_EXIST);
    EXPECT_EQ(h, -1);
}

TEST_F(Names, DeletedHandleIsReusedAndOldNameIsNotFound) {
    const int32_t a = Made(CreatePlain, SEM_OBJECT, "A");
    EXPECT_TRUE(a == 1 && Made(CreatePlain, SEM_OBJECT, "KEEP") == 2);
    coretest::Delete(a);
    EXPECT_EQ(ObjectExist(a) + FindObjectMirror("A"), -1);
    const int32_t c = Made(CreatePlain, SHARE_OBJECT, "B");
    EXPECT_EQ(c, a);                       // lowest free slot first
    EXPECT_EQ(FindObjectMirror("A"), -1);  // never the handle of another object
    EXPECT_EQ(FindObjectMirror("B"), c);
    const int32_t d = Made(CreatePlain, SEM_OBJECT, "A");
    EXPECT_EQ(d, 3);
    EXPECT_EQ(_pxSysDescript->pxObjectTab[d].nIndex, 0);  // lowest free record first
    EXPECT_EQ(FindObjectMirror("A"), d);
}

TEST_F(Names, MirrorLookupMatchesWholeNamesInOrderAndFallsBackToTheObjectTable) {
    const int32_t task10 = Made(CreatePlain, SEM_OBJECT, "TASK10");
    const int32_t task1 = Made(CreatePlain, SEM_OBJECT, "TASK1");
    EXPECT_EQ(std::make_tuple(task1, task10, -1),
              std::make_tuple(FindObjectMirror("TASK1"), FindObjectMirror("TASK10"),
                              FindObjectMirror("TASK")));
    const int32_t block = Made(CreatePlain, SHARE_OBJECT, "BLOCK");  // kept out of the index
    EXPECT_EQ(FindObjectMirror("BLOCK"), block);
    const SysDescript* sys = _pxSysDescript;
    ASSERT_EQ(sys->nNbMirror, 3);  // in name order, shared memory left out
    const char* order[] = {"INITJOB", "TASK1", "TASK10"};
    for (int i = 0; i < 3; ++i) EXPECT_STREQ(sys->MirrorTab[i].szName, order[i]);
    InsertObjectMirror("TASK1", 9);  // replaces the entry of that name
    EXPECT_EQ(sys->nNbMirror, 3);
    EXPECT_EQ(sys->MirrorTab[1].hObject, 9);
}

// Each table filled (type 7 fills the free slots of the object table), then one more object.
TEST_F(Names, FullTablesRefuseWithTheirMessagesButTasksSilently) {
    const SysDescript* sys = _pxSysDescript;
    const std::tuple<int32_t, int32_t, int32_t, const char*> cases[] = {
        {SHARE_OBJECT, 0, sys->nNbShare, "\nimpossible de placer un objet de type 10\n"},
        {TASK_OBJECT, 1, sys->nNbTask, ""},
        {7, sys->nNbShare + sys->nNbTask, sys->nNbObject,
         "\nimpossible de placer un objet Supplementaire\n"}};
    for (const auto& [type, from, to, refusal] : cases) {
        int32_t h = -1;
        for (int32_t i = from; i < to; ++i)
            Made(CreatePlain, type, (std::to_string(type) + "_" + std::to_string(i)).c_str());
        const int32_t last = type == 7 ? SEM_OBJECT : type;
        EXPECT_EQ(CaptureStdoutOf([&] { EXPECT_EQ(CreatePlain(last, "ONE_MORE", &h), eNOK); }),
                  refusal)
            << type;
    }
}

TEST_F(Names, GeneratedNamesFollowTheCounterAndWrap) {
    char name[13];
    EXPECT_STREQ(GenerateName(name), "_O0000000002");
    EXPECT_STREQ(GenerateName(name), "_O0000000003");
    Made(CreatePlain, SEM_OBJECT, "_O0000000004");
    EXPECT_STREQ(GenerateName(name), "_O0000000005");  // a name in use is skipped
    kerval::core::SetGeneratedNameCounter(1999999999);
    EXPECT_STREQ(GenerateName(name), "_O0000000001");
}

}  // namespace
