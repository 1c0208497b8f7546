// The wording Windows gives (English system message table) for the codes this library reports,
// so both builds show the same texts whatever the message table of the machine holds.
#include "kerval/platform/common/seams_internal.h"

namespace kerval::platform::detail {
namespace {

struct ErrorText {
    uint32_t code;
    const char* text;
};

// The wording FormatMessage gives for the codes this library reports.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {183, "Cannot create a file when that file already exists."},
    {258, "The wait operation timed out."},
    {288, "Attempt to release mutex not owned by caller."},
    {298, "Too many posts were made to a semaphore."},
    {1314, "A required privilege is not held by the client."},
    {1460, "This operation returned because the timeout period expired."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10038, "An operation was attempted on something that is not a socket."},
    {10048,
     "Only one usage of each socket address (protocol/network address/port) is normally "
     "permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10056, "A connect request was made on an already connected socket."},
    {10057,
     "A request to send or receive data was disallowed because the socket is not "
     "connected and (when sending on a datagram socket using a sendto call) no address "
     "was supplied."},
    {10058,
     "A request to send or receive data was disallowed because the socket had already "
     "been shut down in that direction with a previous shutdown call."},
    {10060,
     "A connection attempt failed because the connected party did not properly respond "
     "after a period of time, or established connection failed because connected host "
     "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {11001, "No such host is known."},
};

}  // namespace

const char* windows_error_text(uint32_t code)
{
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code)
            return entry.text;
    }
    return nullptr;
}

}  // namespace kerval::platform::detail
