// The type library's identifiers, defined once for the whole library.
#include <initguid.h>

#include "kelbzip2_201_h.h"
