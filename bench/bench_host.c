/* bench_host LIBRARY COMMAND SOURCE TARGET LEVEL [THREADS]
 *
 * The smallest host: loads the engine, starts one job through interface1 and
 * polls for its end the way the control does. Plain C, so that its own
 * footprint is no larger than the bzip2 tool's and the memory the benchmark
 * sees is the job's. The exit code is the job's result (0 for success). */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef int32_t (*entry_point)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);

static int32_t call(entry_point entry, const char* command, uintptr_t a2, const void* a3, const void* a4)
{
    return entry((uintptr_t)command, a2, (uintptr_t)a3, (uintptr_t)a4);
}

int main(int argc, char** argv)
{
    if (argc != 6 && argc != 7) {
        fprintf(stderr, "usage: %s LIBRARY COMMAND SOURCE TARGET LEVEL [THREADS]\n", argv[0]);
        return 255;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 255;
    }
    entry_point entry = (entry_point)dlsym(library, "interface1");
    if (!entry)
        return 255;
    int level = atoi(argv[5]);
    char mode[4] = {'w', (char)('0' + level), 0};
    const struct timespec poll = {0, 2000000};

    call(entry, "setlevel", (uintptr_t)level, NULL, NULL);
    if (argc == 7)
        call(entry, "setthreads", (uintptr_t)atoi(argv[6]), NULL, NULL);
    call(entry, "status", 1, NULL, NULL);
    if (call(entry, argv[2], (uintptr_t)argv[3], argv[4], mode) != 1)
        return 255;
    while (call(entry, "thestatus", 0, NULL, NULL) != 0)
        nanosleep(&poll, NULL);
    int32_t result = call(entry, "intreturn", 0, NULL, NULL);
    dlclose(library);
    return result >= 0 && result < 255 ? result : 254;
}
