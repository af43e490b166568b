#include <cstdio>

extern "C" int traceOneSphere();

int main() {
    if (traceOneSphere() != 1) {
        std::puts("the plug-in's ray missed its sphere");
        return 1;
    }
    return 0;
}
