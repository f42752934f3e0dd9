// Broken invariants: things that cannot happen unless the platform or a
// library misbehaves. They are never turned into result codes; the engine
// names the module and the failed expression on stderr and aborts.
#pragma once

namespace kelb {

[[noreturn]] void assertion_failed(const char* module, const char* expression);

}  // namespace kelb

// The expression is always evaluated, in every build.
#define KELB_ASSERT(module, expression) \
    ((expression) ? static_cast<void>(0) : ::kelb::assertion_failed(module, #expression))
