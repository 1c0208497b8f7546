// Placeholder until the demo application lands; it only proves the build and scripts work.
#include <cstdio>

int main()
{
    std::puts("kerval demo: placeholder (the demo application is not written yet)");
    return 0;
}
