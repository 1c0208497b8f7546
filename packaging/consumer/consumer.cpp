// Starts the installed library, sends one message through a mailbox and reads it back.
#include <kerval/kerval.h>

#include <cstdio>
#include <cstring>

int main()
{
    // 20 tasks, 20 boxes, 10 semaphores, 60 tempos, 5 of each other kind; the library keeps the
    // record's address.
    static InitOptions options = {0, 20, 20, 10, 60, 5, 5, 5, 5, 0};
    if (InitKerval(&options) != eOK)
        return 1;
    int32_t box = -1;
    if (CreateMailBox("CONSUMER_BOX", 2, &box) != eOK)
        return 2;
    const char text[] = "hello from an installed kerval";
    WriteMailBox(0, box, 1, text, sizeof text, 0);
    char read[64] = {};
    uint32_t size = 0;
    if (ReadMailBox(box, nullptr, read, &size, sizeof read, 1000, nullptr, nullptr) != eOK ||
        std::strcmp(read, text) != 0)
        return 3;
    std::printf("consumer: %s\n", read);
    return 0;
}
