// The parts of the control's platform table that are the same everywhere.
#include "control_platform.h"

#include <atomic>

namespace kelb {

namespace {
std::atomic<const control_platform_ops*> current{nullptr};
}

const control_platform_ops& control_platform()
{
    const control_platform_ops* ops = current.load(std::memory_order_acquire);
    return ops ? *ops : real_control_platform();
}

void use_control_platform(const control_platform_ops* ops) { current.store(ops, std::memory_order_release); }

}  // namespace kelb
