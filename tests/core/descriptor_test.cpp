// The descriptor built at start-up and the read-only queries on the object table.
#include "tests/core/test_objects.h"

namespace {

using Descriptor = KernelTest;

TEST_F(Descriptor, StartingThreadIsInitjobAndOtherThreadsGetTheSharedAnswers) {
    const SysDescript* sys = _pxSysDescript;
    EXPECT_EQ(sys->lStatus, 1u);
    EXPECT_EQ(std::make_tuple(TASK_OBJECT, 0, -1, std::string("INITJOB|INITJOB")),
              std::make_tuple(ObjectExist(0), _InternalCurrentTaskHandle(__FILE__, __LINE__),
                              CurrentTaskBox(),
                              std::string(NameFromObject(0)) + "|" + CurrentTaskName()));
    EXPECT_EQ(TaskBuf(), sys->pxTaskTab[0].szTaskBuf);
    kerval::core::BindCurrentThread(5);               // a handle that is no task of this thread
    EXPECT_EQ(kerval::core::CurrentTaskHandle(), 0);  // the starting thread stays INITJOB
    std::thread other([] {
        EXPECT_EQ(_InternalCurrentTaskHandle(__FILE__, __LINE__), -1);
        EXPECT_STREQ(CurrentTaskName(), "unkn.OBJ.");
        EXPECT_EQ(CurrentTaskBox(), -1);
        EXPECT_NE(TaskBuf(), _pxSysDescript->pxTaskTab[0].szTaskBuf);
        TaskBuf()[KV_SHARED_TASK_BUF_SIZE - 1] = 'x';  // the shared buffer holds 4096 bytes
        kerval::core::BindCurrentThread(0);            // INITJOB's thread id is not this one's
        EXPECT_EQ(kerval::core::CurrentTaskHandle(), -1);
        EXPECT_EQ(kerval::core::CurrentTask(), nullptr);
    });
    other.join();
}

TEST_F(Descriptor, FreeSlotsAndBadHandlesDesignateNoObject) {
    SysDescript* sys = _pxSysDescript;
    for (int32_t h : {-1, int32_t{sys->nNbObject}, 1}) {
        EXPECT_EQ(ObjectExist(h), 0) << h;
        EXPECT_STREQ(NameFromObject(h), "") << h;
    }
    int32_t h = Made(coretest::CreatePlain, 7, "SEVEN");
    EXPECT_EQ(std::string(NameFromObject(h)) + std::to_string(ObjectExist(h)), "SEVEN0");
    h = Made(coretest::CreatePlain, SEM_OBJECT, "SEM");
    EXPECT_EQ(ObjectExist(h), SEM_OBJECT);
    sys->pxObjectTab[h].nIndex = sys->nNbSem;  // out of its table
    EXPECT_EQ(ObjectExist(h), 0);
}

TEST_F(Descriptor, ListingsAreExact) {
    const std::string legend =
        "\nLes differents type d'objets:\nNULL_OBJECT\t= 0\nMAILBOX_OBJECT\t= 1\nTEMPO_OBJECT\t= "
        "2\nTASK_OBJECT\t= 3\nSEM_OBJECT\t= 4\nSOCK_OBJECT\t= 5\nSECTION_OBJECT\t= 8\nFILE_OBJECT"
        "\t= 9\nSHARE_OBJECT\t= 10\n\nNombre d'objets prevu 142\n";
    const std::string all = "\nListe de tous les objets\nN:\ttype:\tNom:";
    const std::string initjob = "\n00-00\t3\tINITJOB";
    const std::tuple<int32_t, int32_t, std::string> listings[] = {
        {0, 0, all + initjob + "\n01-00\t10\tBLOCK\nnombre d'objets utilises 2\n\n"},
        {TASK_OBJECT, 0,
         "\nListe des objets de type\t3\nN:\ttype:\tNom:" + initjob +
             "\nnombre d'objets utilises 1\n\n"},
        {TEMPO_OBJECT, 1,
         "\nListe des objets de type\t2\nN:\ttype:\tNom:\nAucun objet de type 2 n'a ete "
         "trouve\nnombre d'objets utilises 0\n\n"},
        {7, 1, "\nType d'objet inconnu !!!\nnombre d'objets utilises 0\n\n"},
        {0, 1, all + "\nAucun objet n'a ete trouve\nnombre d'objets utilises 0\n\n"},
    };
    const int32_t h = Made(coretest::CreatePlain, SHARE_OBJECT, "BLOCK");
    for (const auto& [type, answer, body] : listings) {
        if (&body == &std::get<2>(listings[4])) coretest::Delete(h), coretest::Delete(0);  // empty
        int32_t result = -1;
        EXPECT_EQ(CaptureStdoutOf([&, t = type] { result = DebugListeObjet(t); }), legend + body);
        EXPECT_EQ(result, answer) << type;
    }
}

}  // namespace
