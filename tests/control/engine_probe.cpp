// A host that knows only the public header: whether a job runs, which needs the engine, or the error.
#include "kelbzip2.h"

#include <cstdio>

int main()
{
    kelbzip2::event_loop loop;
    kelbzip2::events handlers;
    kelbzip2::KELBzip2 control(loop, handlers);
    try {
        std::puts(control.Status() ? "running" : "idle");
    } catch (const kelbzip2::engine_error& e) {
        std::printf("%d %s\n", e.number(), e.what());
    }
}
