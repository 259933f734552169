// Two device indexes driven from two threads at once, built with ThreadSanitizer: each thread
// opens its own simulated supply by path (K7340_COM1 and K7340_COM2, set before the threads
// start) and runs the calls a poll and a heartbeat make. A data race in the library makes
// ThreadSanitizer fail the run; a failed call fails it too.
#include "k7340.h"
#include "sim_process.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

static const int ROUNDS = 200;

static int Session(int index, int *failures) {
    int code = K7340_OpenDevice(index, index);
    for (int i = 0; i < ROUNDS && code == K7340_OK; i++) {
        double value = 0;
        int flags = 0;
        code = K7340_SetWD(index, 1000);
        if (code == K7340_OK)
            code = K7340_SetVoltage(index, i % 2 ? 1000.0 : 0.0);
        if (code == K7340_OK)
            code = K7340_ReadMeter(index, i % 3, &value);
        if (code == K7340_OK)
            code = K7340_GetStatusFlags(index, &flags);
        if (code == K7340_OK && i % 50 == 0)
            code = K7340_GetFaultFlags(index, &flags);
    }
    if (code == K7340_OK)
        code = K7340_SetVoltage(index, 0.0);
    if (code == K7340_OK)
        code = K7340_SetWD(index, 0);
    K7340_CloseDevice(index); // -1 after a failed open: nothing to close
    if (code != K7340_OK)
        ++*failures;
    return code;
}

int main() {
    ScopedSim first, second;
    if (StartSim(&first.sim) != 0 || StartSim(&second.sim) != 0)
        return 1;
    setenv("K7340_COM1", first.sim.link, 1);
    setenv("K7340_COM2", second.sim.link, 1);
    int failures[2] = {0, 0};
    int codes[2] = {0, 0};
    std::thread other([&] { codes[1] = Session(1, &failures[1]); });
    codes[0] = Session(0, &failures[0]);
    other.join();
    if (failures[0] || failures[1]) {
        fprintf(stderr, "library_threads_test: codes %d and %d\n", codes[0], codes[1]);
        return 1;
    }
    printf("library_threads_test: two slots, %d rounds each, no failure\n", ROUNDS);
    return 0;
}
