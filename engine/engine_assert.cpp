#include "engine_assert.h"

#include <cstdio>
#include <cstdlib>

namespace kelb {

void assertion_failed(const char* module, const char* expression)
{
    fprintf(stderr, "%s: %s\n", module, expression);
    fflush(stderr);
    abort();
}

}  // namespace kelb
