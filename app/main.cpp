// vantrel rtrt: an interactive ray tracer of 250,000 spheres.
#include <SDL.h> // where SDLmain is used, it wraps this main
#include <cstdio>
#include <new>

#include "vantrel/app/shell.h"

int main(int, char**) {
    try {
        return vantrel::runShell();
    } catch (const std::bad_alloc&) {
        // One clear line and a failed status rather than an abort.
        std::puts("Out of memory");
        return 1;
    }
}
