// slow_init.cpp: an extension whose entry point, while ZT_SLOW_INIT_FDS names
// two descriptors "ENTERED GATE", writes a byte to ENTERED and then waits for
// one on GATE: a load held under way for as long as a test needs.
#include <zelt.h> // ZL_API

#include <cstdio>   // sscanf
#include <cstdlib>  // getenv
#include <unistd.h> // read, write

extern "C" ZL_API void Init_slow_init(void) {
    int entered = -1, gate = -1;
    const char *fds = std::getenv("ZT_SLOW_INIT_FDS");
    if (!fds || std::sscanf(fds, "%d %d", &entered, &gate) != 2) return;
    char byte = 'i';
    if (::write(entered, &byte, 1) != 1) return;
    (void)::read(gate, &byte, 1);
}
