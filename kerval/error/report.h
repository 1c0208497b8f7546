// Internal helpers for the library's own error reports.
#pragma once

#include <cstddef>

#include "kerval/kerval.h"

namespace kerval::error {

// The library's code/text table: the 20 codes eOK..eTCP_CONNECTION_FAIL_CONNECT by name.
extern const ErrorComment ErrorTable[20];
constexpr int16_t kErrorTableRows = 20;

// The text of one of the library's codes ("undocumented error" when unknown).
inline const char* CodeText(int32_t code)
{
    return _ApplicativErrorComment(static_cast<uint32_t>(code), kErrorTableRows, ErrorTable);
}

// Writes the system's text for a system error code into buffer (nSize bytes) and answers it.
char* SystemErrorText(uint32_t lSysError, char* pszBuffer, uint16_t nSize);

// The file name of a source path: what follows its last slash or backslash (the whole path
// without one). Written into pszOut, nOutSize bytes, cut to fit; answers pszOut.
char* ExtractFileName(const char* pszPath, char* pszOut, size_t nOutSize);
// The directory of a source path: what precedes its last slash or backslash ("" without one);
// a bare drive such as E: becomes E:\. (backslash, dot). Written into pszOut, nOutSize bytes,
// cut to fit; answers pszOut.
char* _Kerval_ExtractFilePath(const char* pszPath, char* pszOut, size_t nOutSize);

// Copies a report into the application's mailbox "BOX_USRINTF" (type 1, text with its NUL).
void SendErrorToUsrIntf(const char* pszText);

}  // namespace kerval::error

// A report from a library operation: code, its text, procedure, comment, this source position.
#define KV_REPORT(code, proc, comment, fatal)                                                    \
    KervalErreur((code), ::kerval::error::CodeText(code), (proc), (comment), __FILE__, __LINE__, \
                 (fatal))
// A report after a failed system call, with the system error code.
#define KV_CHECK(proc, syserr, fatal) ErrorCheck(__LINE__, __FILE__, (proc), (syserr), (fatal))
