// The descriptor built at start-up and the read-only queries on the object table.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kerval/core/internal.h"
#include "tests/core/test_objects.h"
#include "tests/support/fixtures.h"

namespace {

using kvtest::CaptureStdoutOf;

const std::string kLegend =
    "\nLes differents type d'objets:\nNULL_OBJECT\t= 0\nMAILBOX_OBJECT\t= 1\nTEMPO_OBJECT\t= "
    "2\nTASK_OBJECT\t= 3\nSEM_OBJECT\t= 4\nSOCK_OBJECT\t= 5\nSECTION_OBJECT\t= 8\nFILE_OBJECT\t= "
    "9\nSHARE_OBJECT\t= 10\n\nNombre d'objets prevu 142\n";

TEST(BeforeStart, QueriesAnswerNoObject)
{
    EXPECT_EQ(_InternalCurrentTaskHandle(__FILE__, __LINE__), -1);
    EXPECT_EQ(ObjectExist(0), 0);
    EXPECT_STREQ(NameFromObject(0), "");
}

TEST(StartUp, RefusedOptionsBuildNoDescriptor)
{
    InitOptions options = kvtest::MinimalOptions();
    options.NbMaxTempo = 59;
    EXPECT_EQ(kvtest::StartKerval(options), eNOK);
    EXPECT_EQ(_pxSysDescript, nullptr);
    EXPECT_EQ(ObjectExist(0), 0);
}

class Descriptor : public kvtest::KervalTest {};

TEST_F(Descriptor, StartingThreadIsTaskInitjobAtHandleZero)
{
    const SysDescript* sys = _pxSysDescript;
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(sys->lStatus, 1u);
    EXPECT_EQ(sys->nNbObject, 142);
    EXPECT_EQ(sys->nNbTask, 24);
    EXPECT_EQ(sys->nNbMirror, 1);
    EXPECT_STREQ(sys->MirrorTab[0].szName, "INITJOB");
    EXPECT_EQ(sys->hSysSemOwner, -1);
    EXPECT_EQ(sys->hSctKerval, -1);
    EXPECT_EQ(ObjectExist(0), TASK_OBJECT);
    EXPECT_STREQ(NameFromObject(0), "INITJOB");
    EXPECT_EQ(_InternalCurrentTaskHandle(__FILE__, __LINE__), 0);
    EXPECT_STREQ(CurrentTaskName(), "INITJOB");
    EXPECT_EQ(CurrentTaskBox(), -1);
    EXPECT_EQ(TaskBuf(), sys->pxTaskTab[0].szTaskBuf);
    EXPECT_EQ(kerval::core::HandleFromIndex(0, TASK_OBJECT), 0);
    EXPECT_EQ(kerval::core::HandleFromIndex(-1, TASK_OBJECT), -1);
    EXPECT_EQ(sys->xInitOptions->NbMaxObject, 142);
}

TEST_F(Descriptor, FreeTablesHoldTheirInitialValues)
{
    const SysDescript* sys = _pxSysDescript;
    EXPECT_EQ(sys->pxObjectTab[1].nIndex, -1);
    EXPECT_EQ(sys->MirrorTab[1].hObject, -1);
    EXPECT_EQ(sys->pxTaskTab[1].lPriority, 255);
    EXPECT_EQ(sys->pxTaskTab[1].hMainBox, -1);
    EXPECT_EQ(sys->pxMailBoxTab[0].lReserved1, -1);
    EXPECT_EQ(sys->pxTempoTab[0].xDate.nYear, -1);
    EXPECT_EQ(sys->pxTempoTab[0].hBoxToAwake, -1);
    EXPECT_EQ(sys->pxSockTab[0].sSocket, -1);
    EXPECT_EQ(sys->pxShareTab[0].hMute, -1);
}

TEST_F(Descriptor, BadHandlesAndUnassignedTypesDesignateNoObject)
{
    SysDescript* sys = _pxSysDescript;
    EXPECT_EQ(ObjectExist(-1), 0);
    EXPECT_EQ(ObjectExist(sys->nNbObject), 0);
    EXPECT_EQ(ObjectExist(1), 0);
    EXPECT_STREQ(NameFromObject(-1), "");
    EXPECT_STREQ(NameFromObject(sys->nNbObject), "");
    int32_t h = -1;
    ASSERT_EQ(coretest::CreatePlain(7, "SEVEN", &h), eOK);
    EXPECT_EQ(ObjectExist(h), 0);
    EXPECT_STREQ(NameFromObject(h), "SEVEN");
    ASSERT_EQ(coretest::CreatePlain(SEM_OBJECT, "SEM", &h), eOK);
    EXPECT_EQ(ObjectExist(h), SEM_OBJECT);
    sys->pxObjectTab[h].nIndex = sys->nNbSem;  // out of its table
    EXPECT_EQ(ObjectExist(h), 0);
}

TEST_F(Descriptor, ThreadThatIsNoTaskGetsTheSharedAnswers)
{
    int32_t handle = 0;
    std::string name;
    int32_t box = 0;
    char* buffer = nullptr;
    std::thread other([&] {
        handle = _InternalCurrentTaskHandle(__FILE__, __LINE__);
        name = CurrentTaskName();
        box = CurrentTaskBox();
        buffer = TaskBuf();
    });
    other.join();
    EXPECT_EQ(handle, -1);
    EXPECT_EQ(name, "unkn.OBJ.");
    EXPECT_EQ(box, -1);
    EXPECT_NE(buffer, _pxSysDescript->pxTaskTab[0].szTaskBuf);
    buffer[KV_SHARED_TASK_BUF_SIZE - 1] = 'x';  // the shared buffer holds 4096 bytes
}

TEST_F(Descriptor, StaleBindingOfADeletedTaskGivesMinusOne)
{
    kerval::core::BindCurrentThread(5);               // a handle that is no task of this thread
    EXPECT_EQ(kerval::core::CurrentTaskHandle(), 0);  // the starting thread stays INITJOB
    std::thread other([] {
        kerval::core::BindCurrentThread(0);  // INITJOB's thread id is not this one's
        EXPECT_EQ(kerval::core::CurrentTaskHandle(), -1);
        EXPECT_EQ(kerval::core::CurrentTask(), nullptr);
    });
    other.join();
}

TEST_F(Descriptor, ListingOfAllObjectsIsExact)
{
    int32_t h = -1;
    ASSERT_EQ(coretest::CreatePlain(SHARE_OBJECT, "BLOCK", &h), eOK);
    int32_t result = -1;
    const std::string out = CaptureStdoutOf([&] { result = DebugListeObjet(0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, kLegend +
                       "\nListe de tous les objets\nN:\ttype:\tNom:\n00-00\t3\tINITJOB"
                       "\n01-00\t10\tBLOCK\nnombre d'objets utilises 2\n\n");
}

TEST_F(Descriptor, ListingOfOneTypeIsExact)
{
    int32_t result = -1;
    std::string out = CaptureStdoutOf([&] { result = DebugListeObjet(TASK_OBJECT); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, kLegend +
                       "\nListe des objets de type\t3\nN:\ttype:\tNom:\n00-00\t3\tINITJOB"
                       "\nnombre d'objets utilises 1\n\n");
    out = CaptureStdoutOf([&] { result = DebugListeObjet(TEMPO_OBJECT); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, kLegend +
                       "\nListe des objets de type\t2\nN:\ttype:\tNom:"
                       "\nAucun objet de type 2 n'a ete trouve\nnombre d'objets utilises 0\n\n");
}

TEST_F(Descriptor, ListingOfAnUnknownTypeListsNothing)
{
    int32_t result = -1;
    const std::string out = CaptureStdoutOf([&] { result = DebugListeObjet(7); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, kLegend + "\nType d'objet inconnu !!!\nnombre d'objets utilises 0\n\n");
}

TEST_F(Descriptor, ListingOfAnEmptyTableSaysSo)
{
    coretest::Delete(0);
    int32_t result = -1;
    const std::string out = CaptureStdoutOf([&] { result = DebugListeObjet(0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, kLegend +
                       "\nListe de tous les objets\nN:\ttype:\tNom:"
                       "\nAucun objet n'a ete trouve\nnombre d'objets utilises 0\n\n");
}

TEST(ReallocObject, GrowsNeverShrinks)
{
    void* table = nullptr;
    int16_t capacity = 0;
    EXPECT_EQ(kerval::core::ReallocObject(&table, 8, &capacity, 4), 0);
    EXPECT_EQ(capacity, 4);
    EXPECT_EQ(kerval::core::ReallocObject(&table, 8, &capacity, 4), 0);
    EXPECT_EQ(kerval::core::ReallocObject(&table, 8, &capacity, 3), 1);
    EXPECT_EQ(capacity, 4);
    std::free(table);
}

}  // namespace
