// The portable half of longfile: the mode table, sizes and percentages.
#include "longfile.h"

#include "debug_trace.h"
#include "platform.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace kelb {

namespace {
std::atomic<const longfile_ops*> current{nullptr};
}

const longfile_ops& longfile_platform()
{
    const longfile_ops* ops = current.load(std::memory_order_acquire);
    return ops ? *ops : real_longfile_platform();
}

void use_longfile_platform(const longfile_ops* ops) { current.store(ops, std::memory_order_release); }

longfile_handle longfile_open(const char* name, const char* mode)
{
    if (!mode)
        return nullptr;
    const longfile_ops& os = longfile_platform();
    // Only the exact "rb+" reads and writes; "r+" and the like read only.
    if (strcmp(mode, "rb+") == 0) {
        debug_trace("Usando rb+\n");
        return os.create(name, longfile_generic_read | longfile_generic_write,
                         longfile_share_read | longfile_share_write, longfile_open_existing);
    }
    switch (mode[0]) {
    case 'a':  // writes an existing file from its start; nothing uses it
        return os.create(name, longfile_generic_write, longfile_share_read, longfile_open_existing);
    case 'r':
        return os.create(name, longfile_generic_read, longfile_share_read | longfile_share_write,
                         longfile_open_existing);
    case 'w':
        return os.create(name, longfile_generic_write, longfile_share_read, longfile_create_always);
    default:
        return nullptr;
    }
}

// A handle that will not close may have lost the last data written through
// it. That is the job's failure to report, not a reason to end the host's
// process: the broken invariant is named on the debugger channel instead.
bool longfile_close(longfile_handle hFile)
{
    if (longfile_platform().close(hFile))
        return true;
    platform().debug_output("longfile: CloseHandle (hFile)\n");
    return false;
}

uint32_t longfile_read(void* buffer, uint32_t count, longfile_handle file)
{
    uint32_t transferred = 0;
    return longfile_platform().read(file, buffer, count, &transferred) ? transferred : 0;
}

bool longfile_read_some(void* buffer, uint32_t count, longfile_handle file, uint32_t* transferred)
{
    *transferred = 0;
    return longfile_platform().read(file, buffer, count, transferred);
}

uint32_t longfile_write(const void* buffer, uint32_t count, longfile_handle file)
{
    uint32_t transferred = 0;
    return longfile_platform().write(file, buffer, count, &transferred) ? transferred : 0;
}

uint64_t longfile_handle_size(longfile_handle file)
{
    uint64_t size = 0;
    return longfile_platform().size(file, &size) ? size : 0;
}

uint64_t longfile_size(const char* name)
{
    const longfile_ops& os = longfile_platform();
    longfile_handle file = os.create(name, longfile_generic_read,
                                     longfile_share_read | longfile_share_write, longfile_open_existing);
    if (!file)
        return 0;
    uint64_t size = longfile_handle_size(file);
    os.close(file);  // read-only: nothing can be lost here
    return size;
}

bool longfile_get_times(longfile_handle file, longfile_times* times)
{
    return longfile_platform().get_times(file, times);
}

bool longfile_set_times(longfile_handle file, const longfile_times& times)
{
    return longfile_platform().set_times(file, &times);
}

uint64_t longfile_now() { return longfile_platform().now(); }

namespace {
constexpr uint64_t filetime_unix_epoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME units
constexpr uint64_t filetime_per_second = 10000000;
}

uint64_t filetime_from_unix(int64_t seconds, int64_t nanoseconds)
{
    // In unsigned steps, each checked against the room that is left.
    int64_t carry = nanoseconds / 1000000000;
    nanoseconds %= 1000000000;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000;
        --carry;
    }
    if (carry > 0 && seconds > INT64_MAX - carry)
        return UINT64_MAX;
    if (carry < 0 && seconds < INT64_MIN - carry)
        return 0;
    seconds += carry;
    const uint64_t ticks = static_cast<uint64_t>(nanoseconds) / 100;
    const uint64_t epoch_seconds = filetime_unix_epoch / filetime_per_second;
    if (seconds < 0) {
        uint64_t back = 0 - static_cast<uint64_t>(seconds);
        if (back > epoch_seconds)
            return 0;
        return filetime_unix_epoch - back * filetime_per_second + ticks;
    }
    uint64_t ahead = static_cast<uint64_t>(seconds);
    if (ahead > (UINT64_MAX - filetime_unix_epoch - ticks) / filetime_per_second)
        return UINT64_MAX;
    return filetime_unix_epoch + ahead * filetime_per_second + ticks;
}

void unix_from_filetime(uint64_t filetime, int64_t* seconds, int64_t* nanoseconds)
{
    // Every 64-bit FILETIME fits in 64-bit seconds; unsigned until divided.
    if (filetime >= filetime_unix_epoch) {
        *seconds = static_cast<int64_t>((filetime - filetime_unix_epoch) / filetime_per_second);
        *nanoseconds = static_cast<int64_t>((filetime - filetime_unix_epoch) % filetime_per_second) * 100;
        return;
    }
    uint64_t back = filetime_unix_epoch - filetime;
    *seconds = -static_cast<int64_t>(back / filetime_per_second);
    *nanoseconds = -static_cast<int64_t>(back % filetime_per_second) * 100;
    if (*nanoseconds < 0) {
        *nanoseconds += 1000000000;
        --*seconds;
    }
}

int32_t percent_of_64(uint64_t total, uint64_t done)
{
    if (total == 0 || done == 0)
        return 0;
    // The order matters: (97, 97) is 99, because 100 / 97 is rounded first.
    double percent = 100.0 / static_cast<double>(static_cast<int64_t>(total)) *
                     static_cast<double>(static_cast<int64_t>(done));
    // Beyond 64 bits the x86 conversion yields 0x8000000000000000, whose low
    // half is 0; give that without relying on undefined behaviour.
    if (!(percent > -9223372036854775808.0 && percent < 9223372036854775808.0))
        return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(percent))));
}

}  // namespace kelb
