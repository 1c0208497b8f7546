// Library start-up: options, memory estimate, descriptor, locks, trace console, then the
// library's own objects (its lock, the three service tasks, the console mutex) and the banner.
#include <cstdio>

#include "kerval/core/core.h"
#include "kerval/core/internal.h"
#include "kerval/error/report.h"
#include "kerval/file/store_service.h"
#include "kerval/tcp/tcp_service.h"
#include "kerval/tempo/tempo_service.h"

namespace kerval::core {
namespace {

constexpr const char* kInitProc = "KERVAL-InitKerval()";

// Refuses a start when another process holds the library, naming it.
bool ProcessMayStart()
{
    uint32_t holder = 0;
    if (platform::single_process_check(&holder))
        return true;
    char text[80];
    std::snprintf(text, sizeof text, "the library is already held by process %lu",
                  static_cast<unsigned long>(holder));
    ErreurApp(eNOK, kInitProc, text);
    return false;
}

bool CountsAccepted(int32_t task, int32_t box, int32_t sem, int32_t tempo, int32_t sock,
                    int32_t section, int32_t file, int32_t share)
{
    return task >= 20 && box >= task && sem >= 10 && tempo >= 60 && sock >= 5 && section >= 5 &&
           file >= 5 && share >= 5;
}

// A service task of the library and the mailbox it creates for itself.
// A service of the library: starts its task unless a task of that name exists, and returns
// once the task's mailbox is open, so that nothing posted right after start-up is lost.
struct Service {
    int32_t (*start)();
    const char* failure;
};

int32_t StartServiceTasks()
{
    static const Service kServices[] = {
        {tempo::StartService, "CreateTask(TEMPO_TASKNAME) echoue !"},
        {file::StartService, "CreateTask(STORE_TASKNAME) echoue !"},
        {tcp::StartService, "CreateTask(TCP_TASKNAME) echoue !"},
    };
    for (const Service& service : kServices) {
        const int32_t code = service.start();
        if (code != eOK) {
            KV_REPORT(code, kInitProc, service.failure, 1);
            return code;
        }
    }
    return eOK;
}

// Creates the library's own objects; eOK, or the code of the first creation that failed (its
// fatal report made; the start-up fails even when the application is resumed after it).
int32_t CreateLibraryObjects(SysDescript* sys)
{
    int32_t code = CreateCriticalSec("SCT_KERVAL", &sys->hSctKerval);
    if (code != eOK) {
        KV_REPORT(code, kInitProc, "CreateCriticalSec(SCT_KERVAL) echoue !", 1);
        return code;
    }
    code = StartServiceTasks();
    if (code != eOK)
        return code;
    // Published atomically: DisplayDebug reads it from any thread without a lock.
    int32_t hMute = -1;
    code = CreateMute("_STDOUT_MUX", 1, &hMute);
    if (code != eOK) {
        KV_REPORT(code, kInitProc, "CreateMute( STDOUT_MUTEX_NAME) echoue !", 1);
        return code;
    }
    StoreInt(sys->hStdoutMux, hMute);
    return eOK;
}

// Writes "----- InitKerval() at <date> -----" to the trace log; answers the date read's code.
int32_t TraceStartBanner()
{
    MsgDate now{};
    const int32_t code = ReadAppDateTime(&now);
    if (code != eOK)
        KV_REPORT(code, kInitProc, "ReadAppDateTime() echoue !", 0);
    char date_text[64] = {};
    DateToChar(&now, date_text, "%04hd/%02hd/%02hd-%02hd:%02hd:%02hd:%02hd");
    char banner[96];
    const int length =
        std::snprintf(banner, sizeof banner, "----- InitKerval() at %s -----", date_text);
    AddTrace(banner, length, 0);
    return code;
}

void ClearOptions(InitOptions* o)
{
    o->bTraceConsole = 0;
    o->NbMaxTask = o->NbMaxMailBox = o->NbMaxSem = o->NbMaxTempo = -1;
    o->NbMaxSock = o->NbMaxSection = o->NbMaxFile = o->NbMaxShare = o->NbMaxObject = -1;
}

}  // namespace

int32_t CreateTraceConsole()
{
    SysDescript* sys = _pxSysDescript;
    if (sys == nullptr || !platform::console_open("KERVAL - Trace Console"))
        return 0;
    ConsoleState& console = sys->xConsole;
    console.nColumn = 0;
    console.nLine = 0;
    console.nNewestAttribute = 76;
    console.nOlderAttribute = 6;
    return 1;
}

}  // namespace kerval::core

using namespace kerval::core;

int32_t InitParamSystem(uint8_t bTraceConsole, int32_t lNbTask, int32_t lNbMailBox, int32_t lNbSem,
                        int32_t lNbTempo, int32_t lNbSock, int32_t lNbSection, int32_t lNbFile,
                        int32_t lNbShare, InitOptions* pxOptions)
{
    if (pxOptions == nullptr)
        return 1;
    ClearOptions(pxOptions);
    if (!CountsAccepted(lNbTask, lNbMailBox, lNbSem, lNbTempo, lNbSock, lNbSection, lNbFile,
                        lNbShare)) {
        std::printf("%d %s Un des param\xE8tres n'est pas suffisant !", 1, "InitParamSystem()");
        std::fflush(stdout);
        return 1;
    }
    InitOptions& o = *pxOptions;
    o.bTraceConsole = bTraceConsole;
    o.NbMaxTask = lNbTask + 4;
    o.NbMaxMailBox = lNbMailBox + 3;
    o.NbMaxSem = lNbSem + 4;
    o.NbMaxTempo = lNbTempo;
    o.NbMaxSock = lNbSock;
    o.NbMaxSection = lNbSection + 1;
    o.NbMaxFile = lNbFile;
    o.NbMaxShare = lNbShare;
    o.NbMaxObject = o.NbMaxTask + o.NbMaxMailBox + o.NbMaxSem + o.NbMaxTempo + o.NbMaxSock +
                    o.NbMaxSection + o.NbMaxFile + o.NbMaxShare;
    return 0;
}

int32_t EvaluateMemSize(InitOptions* pxOptions)
{
    if (pxOptions == nullptr)
        return 0;
    const InitOptions& o = *pxOptions;
    const long sem_term =
        static_cast<long>(o.NbMaxSem) * static_cast<long>(sizeof(SemDescript) + 1100);
    long total = static_cast<long>(o.NbMaxObject) *
                     static_cast<long>(sizeof(ObjectSlot) + sizeof(MirrorEntry)) +
                 static_cast<long>(o.NbMaxTask) * static_cast<long>(sizeof(TaskDescript)) +
                 static_cast<long>(sizeof(SysDescript)) +
                 static_cast<long>(o.NbMaxMailBox) * static_cast<long>(sizeof(BoxDescript)) +
                 static_cast<long>(o.NbMaxTempo) * static_cast<long>(sizeof(TempoDescript)) +
                 sem_term + static_cast<long>(o.NbMaxSock) * static_cast<long>(sizeof(TcpLinkRec)) +
                 static_cast<long>(o.NbMaxSection) * static_cast<long>(sizeof(SectionDescript)) +
                 static_cast<long>(o.NbMaxFile) * static_cast<long>(sizeof(BinFileRec)) +
                 static_cast<long>(o.NbMaxShare) * static_cast<long>(sizeof(ShareDescript));
    total += static_cast<long>(sizeof(DefTask) + sizeof(InitOptions));
    std::printf(
        "\nKERVAL : taille requise en memoire pour les objets =<%ld>octets\n\tdont %ld pour la "
        "table des semaphores.\n",
        total, sem_term);
    std::fflush(stdout);
    return 0;
}

namespace kerval::core {

int32_t StartKernel(InitOptions* pxOptions)
{
    if (pxOptions == nullptr)
        return ErreurApp(eNOK, kInitProc, "no options record");
    if (_pxSysDescript != nullptr)
        return ErreurApp(eNOK, kInitProc, "library already started");
    if (!ProcessMayStart())
        return eNOK;
    kerval::platform::put_environment("TZ = GMT");
    if (!kerval::platform::net_startup())
        return eNOK;
    InitOptions& o = *pxOptions;
    if (InitParamSystem(o.bTraceConsole, o.NbMaxTask, o.NbMaxMailBox, o.NbMaxSem, o.NbMaxTempo,
                        o.NbMaxSock, o.NbMaxSection, o.NbMaxFile, o.NbMaxShare, pxOptions) != 0) {
        return ErreurApp(eNOK, kInitProc, "InitParamSystem() fails");
    }
    EvaluateMemSize(pxOptions);
    if (CreateSysDescript(pxOptions) != 0) {
        return ErreurApp(eNOK, kInitProc, "CreateSysDescript() fails");
    }
    SysDescript* sys = _pxSysDescript;
    sys->xInitOptions = pxOptions;
    CreateSysSem(&sys->_selSemHeart);
    CreateSysSem(&sys->_selSemTrace);
    if (o.bTraceConsole == 1 && CreateTraceConsole() == 0) {
        const uint32_t error = kerval::platform::last_error();
        kerval::platform::net_cleanup();
        KV_CHECK(kInitProc, error, 1);
    }
    return eOK;
}

}  // namespace kerval::core

int32_t InitKerval(InitOptions* pxOptions)
{
    if (kerval::core::StartKernel(pxOptions) != eOK)
        return eNOK;
    if (kerval::core::CreateLibraryObjects(_pxSysDescript) != eOK)
        return eNOK;
    return kerval::core::TraceStartBanner();
}

extern "C" KV_API int32_t InitApplication(InitOptions* pxOptions, PFN_START pfnStart)
{
    const int32_t code = InitKerval(pxOptions);
    if (code != eOK) {
        static const char kFailed[] = "InitApplication failed";
        AddTrace(kFailed, static_cast<int32_t>(sizeof kFailed - 1), 0);
    } else if (pfnStart != nullptr) {
        pfnStart();
    }
    return code;
}
