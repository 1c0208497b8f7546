/*
 * kerval: a small real-time executive for applications.
 *
 * Application code runs as named tasks that exchange messages through named mailboxes, wait on
 * counting semaphores, mutexes and critical sections, arm tempos (timers) that wake them with a
 * message, talk to hosts over TCP links, write files directly or through a background task and
 * share memory blocks. Every kernel object is created by name and addressed by a small integer
 * handle: the index of its slot in one process-wide object table.
 *
 * This header is valid C99 and C++. Records are laid out field by field in the order given here;
 * applications may inspect the tables through _pxSysDescript (for example a task's xLifeSign).
 */
#ifndef KERVAL_KERVAL_H
#define KERVAL_KERVAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#if defined(KERVAL_SHARED_BUILD)
#define KV_API __declspec(dllexport)
#elif defined(KERVAL_STATIC)
#define KV_API
#else
#define KV_API __declspec(dllimport)
#endif
#else
#define KV_API __attribute__((visibility("default")))
#endif

/* A GNU attribute, so that it may follow KV_API's own attribute (clang refuses [[noreturn]]
 * there). */
#if defined(__GNUC__)
#define KV_NORETURN __attribute__((noreturn))
#elif defined(_MSC_VER)
#define KV_NORETURN __declspec(noreturn)
#else
#define KV_NORETURN
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* ------------------------------------------------------------------ codes and constants */

/* Error codes; every operation that returns a status returns one of these. */
enum {
    eOK = 0,
    eNOK = 1,
    eNO_MEMORY = 2,
    eINVALID_HANDLE = 3,
    eTIME_OVER = 4,
    eALREADY_USED = 5,
    eOBJECT_NOT_EXIST = 6,
    eTCP_UNKNOWN_HOST = 7,
    eTCP_CONNECTION_FAIL = 8,
    eBAD_DATE = 9,
    eBAD_LEN = 10,
    ePARAM_TASK_TOO_BIG = 11,
    eFILE_NOT_EXIST = 12,
    eINVALID_PARAM = 13,
    eOVERFLOW = 14,
    eBAD_CASE = 15,
    eOBJECT_EXIST = 16,
    eTCP_CONNECTION_FAIL_SOCKET = 17,
    eTCP_CONNECTION_FAIL_SOCKTOUT = 18,
    eTCP_CONNECTION_FAIL_CONNECT = 19
};

/* Object types held in an object slot. 6 and 7 are not assigned. */
enum {
    NULL_OBJECT = 0,
    MAILBOX_OBJECT = 1,
    TEMPO_OBJECT = 2,
    TASK_OBJECT = 3,
    SEM_OBJECT = 4, /* counting semaphores and mutexes */
    SOCK_OBJECT = 5,
    SECTION_OBJECT = 8,
    FILE_OBJECT = 9,
    SHARE_OBJECT = 10
};

#define WAIT_FOREVER 2000000000      /* a time-out without limit, in milliseconds */
#define KV_NAME_MAX 128              /* longest object name; longer names are cut */
#define KV_INPUT_STRING_MAX 256      /* buffer size InputString needs, terminator included */
#define KV_TASK_BUF_SIZE 1024        /* size of a task's TaskBuf */
#define KV_SHARED_TASK_BUF_SIZE 4096 /* size of TaskBuf for threads that are not tasks */
#define KV_DEFAULT_STACK_SIZE 50000

/* Tempos */
#define TEMPO_DELAY 1
#define TEMPO_DATE 2
#define TEMPO_YEAR 3
#define TEMPO_MONTH 4
#define TEMPO_DAY 5
#define TEMPO_HOUR 6
#define TEMPO_PERIOD_MINUTE 7
#define TEMPO_MINUTE 8
#define TEMPO_SECOND 9
#define TEMPO_ONETIME 0x01
#define TEMPO_AUTODELETE 0x02
#define MAX_PARAM_TEMPO 4096
#define MSG_TYPE_TEMPO 0x01000000
#define TEMPO_TICK_MS 50
#define TEMPO_KEYWORD_SIZE 64

/* Thread priorities, in the Windows values (defined here for other systems). */
#ifndef THREAD_PRIORITY_NORMAL
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#endif

/* An operating-system handle kept in a record (a thread, a semaphore, a mutex). */
typedef void* KvHandle;
#define KV_INVALID_HANDLE ((KvHandle)(intptr_t)-1)
/* A socket kept in a record; -1 when none. */
typedef intptr_t KvSocket;

/* ------------------------------------------------------------------ shared records */

/* A date: nine signed 16-bit fields, nothing else. */
typedef struct MsgDate {
    int16_t nYear;      /* with century; wildcard 0 */
    int16_t nMonth;     /* 1..12; wildcard 13 */
    int16_t nDay;       /* 1..31; wildcard 32 */
    int16_t nHour;      /* 0..23; wildcard 25 */
    int16_t nMinute;    /* 0..59; wildcard 60 */
    int16_t nSecond;    /* 0..59; wildcard 60 */
    int16_t nHundredth; /* 0..99; wildcard 100 */
    int16_t nDayOfYear; /* 1..366; wildcard 367 */
    int16_t nDayOfWeek; /* 1 Monday..7 Sunday; wildcard 8 */
} MsgDate;

/* A task function: its argument is always null and its result is ignored. */
typedef uint32_t (*PFN_TASK)(void* pParam);
/* The application's start function handed to InitApplication. */
typedef int32_t (*PFN_START)(void);
/* List ordering, given the pData of two elements (the one being placed first): 1 when the first
 * belongs after the second, else 0. */
typedef uint8_t (*PFN_COMPARE)(void* pFirst, void* pSecond);

/* A lock of the library's own (the system lock, the trace lock, a critical section). */
typedef struct KvCriticalSection {
    void* pLock;
} KvCriticalSection;

/* Start-up options, filled by the application and completed by InitParamSystem. */
typedef struct InitOptions {
    uint8_t bTraceConsole; /* 1 opens the trace console */
    int32_t NbMaxTask;
    int32_t NbMaxMailBox;
    int32_t NbMaxSem;
    int32_t NbMaxTempo;
    int32_t NbMaxSock;
    int32_t NbMaxSection;
    int32_t NbMaxFile;
    int32_t NbMaxShare;
    int32_t NbMaxObject; /* computed: the sum of the eight counts */
} InitOptions;

/* One slot of the object table; its index is the object's handle. */
typedef struct ObjectSlot {
    uint8_t bUsed;
    char szName[KV_NAME_MAX + 1];
    int32_t eObjectType;
    int32_t nIndex; /* index of the record in its type's table; -1 when free */
} ObjectSlot;

/* One entry of the name index MirrorTab, sorted by name. */
typedef struct MirrorEntry {
    char szName[KV_NAME_MAX + 1];
    int32_t hObject;
} MirrorEntry;

/* The first fatal error of the process. */
typedef struct FirstFatal {
    char szTask[129];
    MsgDate xFatalDate;
    uint32_t lError;
    char szError[260];
    int16_t nLine;
    char szSrcPath[261];
    char szProc[41];
    char szComment[82];
} FirstFatal;

/* A task. */
typedef struct TaskDescript {
    uint8_t bUsed;
    int32_t hMainBox; /* main mailbox, -1 for none */
    char szTaskBuf[KV_TASK_BUF_SIZE];
    void* pParam; /* private copy of the parameter block */
    uint32_t lParamSize;
    MsgDate xLifeSign; /* application date at the last sign of life */
    uint32_t lStackSize;
    KvHandle hThread;  /* KV_INVALID_HANDLE in a record never used */
    int32_t lPriority; /* 255 in a record never used */
    PFN_TASK pfnTask;
    uint32_t lThreadId;
    int32_t bSuspended; /* 1 while suspended through ActiveTask/SuspendTask */
    KvHandle hWakeSem;  /* wakes the task when it waits on a counting semaphore */
} TaskDescript;

/* One entry of the application's default-task table. */
typedef struct DefTask {
    int32_t lId;
    const char* pszTaskName;
    PFN_TASK pfnTask;
    uint8_t bPriority;
    const char* pszBoxName; /* null or empty for none */
    uint16_t nBoxSize;
    uint32_t lStackSize;
    int32_t hTask; /* written by CreateAllDefTask */
    const char* pszParam;
} DefTask;

/* One line of the thread time report. */
typedef struct InfoThread {
    char szName[132];
    int32_t lThreadId;
    uint32_t lKernelMs;
    uint32_t lUserMs;
} InfoThread;

/* One queued mailbox message. */
typedef struct BoxMessage {
    struct BoxMessage* pPrev;
    struct BoxMessage* pNext;
    void* pData; /* null when lSize is 0 */
    int32_t lType;
    int32_t lSize;
    int32_t hSender;
    int32_t lExtra;
} BoxMessage;

/* A mailbox. */
typedef struct BoxDescript {
    uint8_t bUsed;
    uint16_t nMaxMsg; /* capacity, 1..65535 */
    uint16_t nNbMsg;  /* messages queued */
    int32_t lReserved1;
    int32_t lReserved2;
    KvHandle hSem; /* one unit per message a reader may take */
    BoxMessage* pFirstMsg;
    KvHandle hMutex; /* guards the queue */
} BoxDescript;

/* One entry of a counting semaphore's queue of waiting tasks. */
typedef struct WaitingTask {
    uint16_t nState; /* 1 queued, 0 free */
    TaskDescript* pTask;
    uint16_t nRequested;
} WaitingTask;

/* A counting semaphore, or a mutex (bIsMute 1). */
typedef struct SemDescript {
    uint8_t bUsed;
    KvHandle hMutex;
    uint16_t nMaxCount;
    uint16_t nCount;
    WaitingTask* ptWaitingTask;
    uint16_t nNbWaiting;
    int16_t nHead;
    int16_t nTail;
    int16_t* ptsNextChain;
    int16_t* ptsPrevChain;
    uint16_t nFreeHead;
    int16_t* ptsFreeChain;
    uint8_t bIsMute;
} SemDescript;

/* A critical section. */
typedef struct SectionDescript {
    uint8_t bUsed;
    KvCriticalSection xCritSec;
    int32_t nSavedPriority;
    uint32_t dwOwnerThreadId; /* all bits set when free */
    int32_t nEnterCount;
} SectionDescript;

/* A tempo. */
typedef struct TempoDescript {
    uint8_t bUsed;
    uint8_t bActive;
    uint32_t eType;
    MsgDate xDate;
    uint32_t lInitialDelay;
    int32_t lRest;
    uint8_t bProperties;
    int32_t hBoxToAwake;
    uint32_t lEvent;
    uint8_t bUserInactivate;
    char szKeyword[TEMPO_KEYWORD_SIZE];
    void* pParam;
    int32_t lParam;
} TempoDescript;

/* The payload of a tempo's wake-up message (type MSG_TYPE_TEMPO), 4172 bytes. */
typedef struct TempoMsg {
    int32_t hTempo;
    uint32_t lEvent;
    char szKeyword[TEMPO_KEYWORD_SIZE];
    uint8_t aParam[MAX_PARAM_TEMPO];
    int32_t lParam;
} TempoMsg;

/* A TCP link. */
typedef struct TcpLinkRec {
    uint8_t bUsed;
    char szHostName[20];
    char szAuxName[19];
    uint32_t lTimeout;
    uint32_t lLinger;
    KvSocket sSocket; /* -1 when free */
    int32_t hMute1;
    int32_t hMute2;
} TcpLinkRec;

/* A binary file. */
typedef struct BinFileRec {
    uint8_t bUsed;
    char szPath[263];
    FILE* pStream;
    int32_t bOpen;
} BinFileRec;

/* A shared memory block. */
typedef struct ShareDescript {
    uint8_t bUsed;
    uint32_t lSize;
    void* pData;
    int32_t hMute; /* the block's mutex, named "$" + the block's name */
} ShareDescript;

/* State of the trace console. */
typedef struct ConsoleState {
    KvHandle hOutput;
    int16_t nColumn;
    int16_t nLine;
    uint16_t nNewestAttribute; /* 76 */
    uint16_t nOlderAttribute;  /* 6 */
} ConsoleState;

/* The system descriptor: every table of the library. */
typedef struct SysDescript {
    uint32_t lStatus;      /* 1 built, 2 a fatal error was recorded */
    uint32_t lJobPriority; /* low 8 bits of the starting thread's priority */
    FirstFatal xFirstFatal;
    int16_t nNbObject;
    ObjectSlot* pxObjectTab;
    int16_t nNbMirror;
    MirrorEntry* MirrorTab;
    int16_t nNbTask;
    TaskDescript* pxTaskTab;
    int16_t nNbMailBox;
    BoxDescript* pxMailBoxTab;
    int16_t nNbTempo;
    TempoDescript* pxTempoTab;
    int16_t nNbSem;
    SemDescript* pxSemTab;
    int16_t nNbSock;
    TcpLinkRec* pxSockTab;
    int16_t nNbSection;
    SectionDescript* pxSectionTab;
    int16_t nNbFile;
    BinFileRec* pxFileTab;
    int16_t nNbShare;
    ShareDescript* pxShareTab;
    int32_t hSctKerval;
    KvCriticalSection _selSemHeart; /* the system lock */
    int32_t hSysSemOwner;
    int16_t nSysSemDepth;
    int32_t lSysSemPriority;
    KvCriticalSection _selSemTrace; /* the trace lock */
    MsgDate xAppDate;
    int16_t nNbDefTask;
    DefTask* pxDefTaskTab;
    uint8_t bAppMustStop;
    int32_t hStdoutMux;
    ConsoleState xConsole;
    InitOptions* xInitOptions;
} SysDescript;

/* One row of a code/text table handed to _ApplicativErrorComment. */
typedef struct ErrorComment {
    uint32_t lCode;
    const char* pszText;
} ErrorComment;

/* One element of a doubly linked list; a list is the address of its first element. */
typedef struct ElementListe {
    void* pData; /* the element's own copy */
    uint32_t lSize;
    struct ElementListe* pPrev;
    struct ElementListe* pNext;
} ElementListe;

/* The system descriptor; null until InitKerval has built it. */
extern KV_API SysDescript* _pxSysDescript;

/* ------------------------------------------------------------------ start-up */

KV_API int32_t InitApplication(InitOptions* pxOptions, PFN_START pfnStart);
KV_API int32_t InitKerval(InitOptions* pxOptions);
KV_API int32_t InitParamSystem(uint8_t bTraceConsole, int32_t lNbTask, int32_t lNbMailBox,
                               int32_t lNbSem, int32_t lNbTempo, int32_t lNbSock,
                               int32_t lNbSection, int32_t lNbFile, int32_t lNbShare,
                               InitOptions* pxOptions);
KV_API int32_t EvaluateMemSize(InitOptions* pxOptions);

/* ------------------------------------------------------------------ objects and names */

KV_API int32_t ObjectExist(int32_t hObject);
KV_API char* NameFromObject(int32_t hObject);
KV_API int32_t _InternalCurrentTaskHandle(const char* pszFile, int32_t lLine);
KV_API char* CurrentTaskName(void);
KV_API int32_t CurrentTaskBox(void);
KV_API char* TaskBuf(void);
KV_API int32_t DebugListeObjet(int32_t eObjectType);
KV_API void InsertObjectMirror(const char* pszName, int32_t hObject);
KV_API int32_t FindObjectMirror(const char* pszName);
KV_API char* GenerateName(char* pszBuffer);

/* ------------------------------------------------------------------ tasks */

KV_API int32_t CreateTask(const char* pszName, int32_t lPriority, PFN_TASK pfnTask,
                          const void* pParam, uint32_t lParamSize, uint32_t lStackSize,
                          int32_t* phTask);
KV_API void RecoverTaskParam(int32_t hTask, void* pDest, uint32_t lMaxSize);
/* Deletes a task: suspends it, deletes its main mailbox, frees its record and parameter copy and
 * ends its thread (the thread's stack is freed). A task may delete itself: everything is freed,
 * the system lock released, and the call then ends the calling thread (it does not return).
 * A task blocked writing to a full box still has its message delivered (see WriteMailBox). */
KV_API int32_t DeleteTask(int32_t hTask);
KV_API void ActiveTask(int32_t hTask, uint8_t bActivate);
KV_API int32_t SuspendTask(int32_t hTask);
KV_API int32_t GetPriority(int32_t hTask);
KV_API int32_t GetJobPriority(void);

KV_API int32_t CreateAllDefTask(DefTask* pxTab, uint16_t nNb);
KV_API const char* DefTaskName(int32_t lId);
KV_API const char* DefTaskBoxName(int32_t lId);
KV_API int32_t DefTaskHandle(int32_t lId);
KV_API int32_t DefTaskBoxHandle(int32_t lId);
KV_API int32_t HandleInDefTaskId(int32_t hTask);
KV_API int32_t DeleteAllDefTask(void);
KV_API int32_t CreateSynchroDefaultTask(uint16_t nNb);
KV_API void SynchroWithDefaultTask(void);
KV_API void WaitSynchroAllDefaultTask(uint16_t nNb);

KV_API int32_t WriteToTask(int32_t hSender, int32_t hTask, int32_t lType, const void* pData,
                           uint32_t lSize, int32_t lExtra);
KV_API int32_t ReadFromTask(int32_t hTask, int32_t* plType, void* pBuffer, uint32_t* plSize,
                            int32_t lBufSize, int32_t lTimeOut, int32_t* plExtra,
                            int32_t* phSender);
KV_API int32_t SetTaskMainMailBox(int32_t hTask, int32_t hBox);
KV_API int32_t GetTaskMainMailBox(int32_t hTask);
/* UpdateLifeSign: the caller's xLifeSign takes the application date. A task blocked without limit
 * (WAIT_FOREVER, a full box, a mutex or section, WaitAlways) shows a life sign at most 5000 ms old
 * unless it is suspended; it blocks without time-out meanwhile. */
KV_API void UpdateLifeSign(void);
KV_API int32_t WaitTime(uint32_t lMs);
KV_API KV_NORETURN void WaitAlways(void);

KV_API void DisplayInfoThread(void);
KV_API int32_t PrintInfoThread(void);

/* ------------------------------------------------------------------ mailboxes */

KV_API int32_t CreateMailBox(const char* pszName, uint16_t nMaxMsg, int32_t* phBox);
KV_API int32_t DeleteMailBox(int32_t hBox);
/* Appends a copy of the data to the box and signals it. On a full box the message is queued at
 * once and the writer waits for room; if the writer's task is deleted during that wait, the
 * message stays queued and is delivered in its place, and every later message stays readable. */
KV_API int32_t WriteMailBox(int32_t hSender, int32_t hBox, int32_t lType, const void* pData,
                            uint32_t lSize, int32_t lExtra);
KV_API int32_t ReadMailBox(int32_t hBox, int32_t* plType, void* pBuffer, uint32_t* plSize,
                           int32_t lBufSize, int32_t lTimeOut, int32_t* plExtra, int32_t* phSender);
KV_API int32_t PurgeMailBox(int32_t hBox);

/* ------------------------------------------------------------ semaphores, mutexes, sections */
/* TakeSem: only a task may wait (another thread gets 1 at once); a caller that finds enough units
 * takes them ahead of the queue; waiters are served in arrival order; -1 waits one 5000 ms slice.
 * A release that lands as a wait times out is kept: the waiter returns 0 with the units.
 * Deleting a semaphore, mutex or section wakes its waiters with 1; later calls on it give 1.
 * A deleted task leaves any semaphore queue and gives back units handed to it and not taken.
 * TakeMute: waits until owned (the time-out is not used). A mutex whose owner ended while holding
 * it goes to the next taker, which gets 0 and a warning report "Mutex %d abandoned ...".
 * FreeMute by a thread that does not own the mutex: fatal report, result 1. */

KV_API int32_t CreateSem(const char* pszName, uint16_t nMax, uint16_t nInitial, int32_t* phSem);
KV_API int32_t TakeSem(int32_t hSem, uint16_t nCount, int32_t lTimeOut);
KV_API int32_t FreeSem(int32_t hSem, uint16_t nCount);
KV_API int32_t InfoSem(int32_t hSem, uint16_t* pnCount);
KV_API int32_t DeleteSem(int32_t hSem);
KV_API int32_t CreateMute(const char* pszName, uint16_t nValue, int32_t* phMute);
KV_API int32_t TakeMute(int32_t hMute, int32_t lTimeOut);
KV_API int32_t FreeMute(int32_t hMute);
KV_API int32_t DeleteMute(int32_t hMute);
KV_API int32_t CreateCriticalSec(const char* pszName, int32_t* phSection);
KV_API int32_t EnterCriticalSec(int32_t hSection);
KV_API int32_t LeaveCriticalSec(int32_t hSection);
KV_API int32_t DeleteCriticalSec(int32_t hSection);

/* ------------------------------------------------------------------ tempos */

KV_API int32_t CreateActiveTempoWithParam(const char* pszName, uint32_t eType,
                                          const MsgDate* pxDate, uint32_t lDelay,
                                          uint8_t bProperties, int32_t hBox, const char* pszKeyword,
                                          const void* pParam, int32_t lParamSize, int32_t* phTempo);
KV_API int32_t CreateActiveTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                                 uint32_t lDelay, uint8_t bProperties, int32_t hBox,
                                 int32_t* phTempo);
KV_API int32_t CreateInactiveTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                                   uint32_t lDelay, uint8_t bProperties, int32_t hBox,
                                   int32_t* phTempo);
KV_API int32_t ActivateTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                             uint32_t lDelay, uint8_t bProperties, int32_t hBox, int32_t* phTempo);
KV_API int32_t CreateTempo(const char* pszName, uint32_t eType, const MsgDate* pxDate,
                           uint32_t lDelay, uint8_t bProperties, int32_t hBox, int32_t* phTempo);
KV_API int32_t ReactivateTempo(int32_t hTempo);
KV_API int32_t InactivateTempo(int32_t hTempo);
KV_API int32_t AbortTempo(int32_t hTempo);
KV_API int32_t DeleteTempo(int32_t hTempo);
KV_API int32_t ChangeTempoDelay(int32_t hTempo, uint32_t lDelay);
KV_API int IsTempoRunning(int32_t hTempo);
KV_API int32_t IsValidTempo(int32_t lType, int32_t hSender, const void* pPayload);
KV_API int32_t GetInfoTempo(int32_t hTempo, uint8_t bDisplay, int32_t* phBox, uint32_t* peType,
                            MsgDate* pxDate, uint32_t* plInitialDelay, int32_t* plRest,
                            uint8_t* pbProperties, uint32_t* plEvent, uint8_t* pbUserInactivate,
                            uint8_t* pbActive);
KV_API int32_t HandleTaskTEMPO(void);

/* ------------------------------------------------------------------ TCP links */

/* Connects a named TCP link to pszHost (a dotted IPv4 address, or a name looked up in full; the
 * record keeps its first 19 characters) at nPort. The name is taken from the start, so a
 * second creation under it during the connect answers eOBJECT_EXIST. The connect waits at most
 * about 21 s, as Windows' own does. lTimeout (ms, 0: no limit) is the socket's send and receive
 * time-out; lLinger is used when the link is closed (see DeleteTcpLink). *phLink (may be null)
 * is -1 unless eOK. Results: eOK; eTCP_UNKNOWN_HOST (also for a null host);
 * eTCP_CONNECTION_FAIL_SOCKET, _CONNECT, _SOCKTOUT; eNOK for a bad name or a full table;
 * eOBJECT_EXIST. A failure reserves nothing. */
KV_API int32_t CreateTcpLink(const char* pszName, const char* pszHost, uint16_t nPort,
                             uint32_t lReserved, uint32_t lTimeout, uint32_t lLinger,
                             int32_t* phLink);
/* Send or receive exactly lSize bytes. Only calls that time out spend the budget of ten
 * time-outs; a transfer that moved every byte answers eOK. Results: eOK; eINVALID_HANDLE for a
 * handle that is not a link, or when the link is deleted during the transfer (which wakes it);
 * eNOK for a null buffer or a socket error ("send failed." / "recv failed." traced);
 * eTIME_OVER when the budget is spent or, for a receive, at once when the peer has closed. */
KV_API int32_t SendTcpLink(int32_t hLink, const void* pBuffer, uint32_t lSize);
KV_API int32_t RecvTcpLink(int32_t hLink, void* pBuffer, uint32_t lSize);
/* eOK for a TCP link, eNOK otherwise; nothing else happens. */
KV_API int32_t SuspendTcpLink(int32_t hLink, int32_t lFlag);
/* Frees the link at once and hands its socket to the TCP task, which closes it once the last
 * transfer on it has left: lLinger below 100 closes with linger off (queued output is still
 * delivered), from 100 with linger on for lLinger / 100 seconds; unread input is dropped first
 * so the close is orderly. Always eOK (a handle that is not a link is ignored). */
KV_API int32_t DeleteTcpLink(int32_t hLink);
/* The link's socket, or -1 when the handle is not a TCP link. */
KV_API KvSocket SocketFromHandle(int32_t hLink);

/* ------------------------------------------------------------------ files */

/* Binary file objects. Null texts or buffers, a path over 262 characters (259 for the Slow
 * requests), a mode over 9 characters or one the C runtime would refuse (r, w or a, then at most
 * one '+' and one of 'b' or 't') answer eINVALID_PARAM before anything is opened; texts are never
 * cut. A failed reopen, seek, read or write deletes the object. CloseBinFile first lets the store
 * task perform the requests already queued for the object, and answers eNOK when the stream's
 * last buffered bytes could not be written. SlowWriteBinFile posts chunks of 2048 bytes, the
 * first where the caller asked and each later one right after the previous, and stops at the
 * first failed post, whose code it answers. */
KV_API int32_t OpenBinFile(const char* pszName, const char* pszPath, const char* pszMode,
                           int32_t* phFile);
KV_API int32_t ReadBinFile(int32_t hFile, int32_t lOffset, int32_t lOrigin, void* pBuffer,
                           uint32_t lSize);
KV_API int32_t WriteBinFile(int32_t hFile, int32_t lOffset, int32_t lOrigin, const void* pBuffer,
                            uint32_t lSize, uint8_t bFlush);
KV_API int32_t CloseBinFile(int32_t hFile, uint8_t bDelete);
KV_API int32_t SlowOpenBinFile(const char* pszName, const char* pszPath, const char* pszMode);
KV_API int32_t SlowWriteBinFile(const char* pszName, int32_t lOffset, int32_t lOrigin,
                                const void* pBuffer, uint32_t lSize, uint8_t bFlush);
KV_API int32_t SlowCloseBinFile(const char* pszName);
KV_API int32_t HandleFromFile(const char* pszPath);
KV_API const char* FileNameFromHandle(int32_t hFile);

KV_API int32_t FileCopy(const char* pszSource, const char* pszDest);
KV_API int32_t FileExist(const char* pszPath);
KV_API int32_t RenameFile(const char* pszOld, const char* pszNew);
KV_API MsgDate* FileDate(const char* pszPath, MsgDate* pxDate);

/* ------------------------------------------------------------------ shared memory */
/* Copies move exactly the block's size (another size gives eBAD_LEN); a null buffer gives 1. A
 * copy waiting on the block's mutex while the block is deleted copies nothing and gives 1. */

KV_API int32_t CreateShareMem(const char* pszName, uint32_t lSize, int32_t* phShare);
KV_API int32_t WriteShareMem(int32_t hShare, const void* pSource, uint32_t lSize);
KV_API int32_t ReadShareMem(int32_t hShare, void* pDest, uint32_t lSize);
KV_API int32_t DeleteShareMem(int32_t hShare);
KV_API void* PointOnShare(int32_t hShare);

/* ------------------------------------------------------------------ dates and time */

KV_API int InitDate(MsgDate* pxDate);
KV_API int Bisextile(int16_t nYear);
KV_API int16_t JulianDay(int16_t nYear, int16_t nMonth, int16_t nDay);
KV_API int ConvJulCal(int16_t nYear, int16_t nDayOfYear, uint16_t* pnMonth, uint16_t* pnDay);
KV_API void DayOfWeekAndYear(uint16_t nYear, uint16_t nMonth, uint16_t nDay, uint16_t* pnDayOfYear,
                             uint16_t* pnDayOfWeek);
KV_API void AddDayToDate(MsgDate* pxDate, uint16_t nDays);
KV_API void AddHourToDate(MsgDate* pxDate, uint16_t nHours);
KV_API void Year2ToYear4(int16_t* pnYear);
KV_API void Year4ToYear2(int16_t* pnYear);
KV_API int LiteralDayToEnum(const char* pszName, uint16_t* pnValue);
KV_API int LiteralMonthToEnum(const char* pszName, uint16_t* pnValue);
KV_API int IsDate(const MsgDate* pxDate);
KV_API int64_t MsgDateToSecond(const MsgDate* pxDate);

KV_API int16_t CompareDateField(int16_t nField1, int16_t nField2);
KV_API int InfOrEgal(const MsgDate* pxDate, const MsgDate* pxPattern);
KV_API int SupOrEgal(const MsgDate* pxDate, const MsgDate* pxPattern);
KV_API int IsInInterval(const MsgDate* pxDate, const MsgDate* pxInterval);
KV_API int16_t FinalInitialDate(const MsgDate* pxDate1, const MsgDate* pxDate2);

KV_API char* DateToChar(const MsgDate* pxDate, char* pszOut, const char* pszFormat);
KV_API void CharToDate(const char* pszText, const char* pszFormat, MsgDate* pxDate);
KV_API char* StrDateCour(char* pszOut);

KV_API int32_t ReadAppDateTime(MsgDate* pxDate);
KV_API int32_t WriteAppDateTime(MsgDate* pxDate);
KV_API void ForceToVirtualDate(MsgDate* pxDate);
KV_API void GetOffsetSinceStart(int64_t* pxCounter);
KV_API double GetAbsoluteMsSinceStart(void);
KV_API int IsTimeOutOver(const int64_t* pxStart, const int64_t* pxFrequency, uint32_t lLimitMs);

/* ------------------------------------------------------------------ errors, trace, console */

KV_API void KervalErreur(int32_t lError, const char* pszErrorText, const char* pszProc,
                         const char* pszComment, const char* pszFile, int32_t lLine,
                         uint8_t bFatal);
KV_API void ErrorCheck(int32_t lLine, const char* pszFile, const char* pszProc, uint32_t lSysError,
                       uint32_t lFatal);
KV_API const char* _ApplicativErrorComment(uint32_t lCode, int16_t nNbRows,
                                           const ErrorComment* pxTable);
KV_API int32_t ErreurApp(int32_t lCode, const char* pszProc, const char* pszText);
KV_API int32_t FmtError(const char* pszFile, int16_t nLine, const char* pszText);

KV_API void AddTrace(const void* pData, int32_t lSize, uint8_t bDataMode);
KV_API void DisplayDebug(const char* pszText, uint8_t bPrint);
KV_API void DisplayTraceDebug(const char* pszText, uint8_t bPrint);

KV_API void PrintTrameDebug(const void* pFrame, int32_t lSize, FILE* pStream, uint8_t bPrint);
KV_API char* FmtBinaire(uint8_t ucValue, char* pszOut);
KV_API uint8_t BCC(int32_t lSize, const void* pFrame);
KV_API int32_t InputChar(void);
/* pszBuffer must hold KV_INPUT_STRING_MAX bytes; a longer line is cut and the rest consumed. */
KV_API char* InputString(char* pszBuffer);
KV_API int16_t InputMenuChoice(void);

/* ------------------------------------------------------------------ stop and shutdown */

KV_API void ApplicationMustStop(void);
KV_API uint8_t HasApplicationToStop(void);
KV_API KV_NORETURN void StopJob(void);
KV_API void SuspendApplication(int32_t hTask);
KV_API int32_t StopProcedure(uint32_t lFlags);

/* ------------------------------------------------------------------ lists */

/* The list operations copy the data; when an element or its copy cannot be allocated, nothing
 * is linked and they return null. */
KV_API ElementListe* AjoutApresListe(ElementListe** ppList, const void* pData, uint32_t lSize);
KV_API ElementListe* InsertAvantListe(ElementListe** ppElement, const void* pData, uint32_t lSize);
KV_API ElementListe* TriListe(ElementListe* pList, PFN_COMPARE pfnCompare);
KV_API void FreeListe(ElementListe** ppList);
KV_API void FreeElementInListe(ElementListe** ppElement);
KV_API int16_t CompAscii(const void* pA, const void* pB, uint16_t nLen);

#if defined(__cplusplus)
}
#endif

#endif /* KERVAL_KERVAL_H */
