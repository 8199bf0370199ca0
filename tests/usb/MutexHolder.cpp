// A second process for the claim tests: holds the named mutex given as its
// argument, says "held" (or "refused") on stdout, and keeps it until its
// standard input closes.
#include "port/NamedMutex.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MUTEX_NAME\n", argv[0]);
        return 2;
    }
    port::NamedMutex mutex;
    const bool held = mutex.Create(argv[1]) == port::NamedMutex::Outcome::Created;
    std::printf("%s\n", held ? "held" : "refused");
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
    return held ? 0 : 1;
}
