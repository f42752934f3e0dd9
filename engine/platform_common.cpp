// The parts of the platform table that are the same everywhere.
#include "platform.h"

#include <atomic>

namespace kelb {

std::atomic<bool> names_in_utf8{false};

namespace {
std::atomic<const platform_ops*> current{nullptr};
}

const platform_ops& platform()
{
    const platform_ops* ops = current.load(std::memory_order_acquire);
    return ops ? *ops : real_platform();
}

void use_platform(const platform_ops* ops) { current.store(ops, std::memory_order_release); }

size_t stdio_read(void* buffer, size_t count, FILE* stream) { return fread(buffer, 1, count, stream); }

size_t stdio_write(const void* buffer, size_t count, FILE* stream)
{
    return fwrite(buffer, 1, count, stream);
}

bool stdio_failed(FILE* stream) { return ferror(stream) != 0; }

bool stdio_close(FILE* stream)
{
    bool ok = fflush(stream) == 0 && !ferror(stream);
    return fclose(stream) == 0 && ok;
}

}  // namespace kelb
