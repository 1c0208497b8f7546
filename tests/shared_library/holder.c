/* Starts the shared library and reports InitKerval's answer. Written in C99 against the public
 * header only, so it also proves that the header serves C callers.
 *   holder          starts the library; exits 0 when the start was accepted
 *   holder parent   starts it, then runs "holder child" while holding it; exits 0 when the
 *                   child was refused
 *   holder child    exits 0 when its start was refused (another process holds the library) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kerval/kerval.h"

static int32_t start_library(void) {
    static InitOptions options;
    memset(&options, 0, sizeof options);
    options.NbMaxTask = 20;
    options.NbMaxMailBox = 20;
    options.NbMaxSem = 10;
    options.NbMaxTempo = 60;
    options.NbMaxSock = options.NbMaxSection = options.NbMaxFile = options.NbMaxShare = 5;
    return InitKerval(&options);
}

static int run_child(const char* self) {
    char command[4096];
    if (snprintf(command, sizeof command, "\"%s\" child", self) >= (int)sizeof command) return 20;
    fflush(stdout);
    return system(command) == 0 ? 0 : 21;
}

int main(int argc, char** argv) {
    const char* role = argc > 1 ? argv[1] : "";
    const int32_t code = start_library();
    printf("%s: InitKerval answered %d\n", role[0] ? role : "holder", (int)code);
    if (strcmp(role, "child") == 0) return code == eNOK ? 0 : 12;
    if (code != eOK) return 10;
    return strcmp(role, "parent") == 0 ? run_child(argv[0]) : 0;
}
