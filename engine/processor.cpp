#include "processor.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kelb {

namespace {
const char unavailable[] = "Unavailable";
char vendor_buffer[256];
char brand_buffer[256];

void store_word(char* at, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}
}  // namespace

// Instead of catching an invalid-instruction fault, ask the processor first
// whether it has CPUID at all (the EFLAGS ID bit on 32-bit x86).
int cpuid_query(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    int failed = 1;
#if defined(__i386__) || defined(__x86_64__)
    if (__get_cpuid_max(0, nullptr) != 0) {
        __cpuid(leaf, a, b, c, d);
        failed = 0;
    }
#else
    (void)leaf;
#endif
    *eax = a;
    *ebx = b;
    *ecx = c;
    *edx = d;
    return failed;
}

const char* cpu_vendor_string(cpuid_fn query)
{
    memset(vendor_buffer, 0, sizeof vendor_buffer);
    uint32_t a, b, c, d;
    if (query(0, &a, &b, &c, &d) == 1) {
        memcpy(vendor_buffer, unavailable, sizeof unavailable);
        return vendor_buffer;
    }
    store_word(vendor_buffer, b);
    store_word(vendor_buffer + 4, d);
    store_word(vendor_buffer + 8, c);
    return vendor_buffer;
}

const char* cpu_brand_string(cpuid_fn query)
{
    memset(brand_buffer, 0, sizeof brand_buffer);
    uint32_t a, b, c, d;
    if (query(0x80000000u, &a, &b, &c, &d) == 1 || a < 0x80000004u) {
        memcpy(brand_buffer, unavailable, sizeof unavailable);
        return brand_buffer;
    }
    for (uint32_t i = 0; i < 3; ++i) {
        if (query(0x80000002u + i, &a, &b, &c, &d) == 1) {
            memcpy(brand_buffer, unavailable, sizeof unavailable);
            return brand_buffer;
        }
        store_word(brand_buffer + 16 * i, a);
        store_word(brand_buffer + 16 * i + 4, b);
        store_word(brand_buffer + 16 * i + 8, c);
        store_word(brand_buffer + 16 * i + 12, d);
    }
    return brand_buffer;
}

void trim_right_spaces(char* text)
{
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ')
        text[--length] = '\0';
}

void trim_left_spaces(char* text)
{
    size_t length = strlen(text);
    if (length == 0)
        return;
    size_t skip = strspn(text, " ");
    memmove(text, text + skip, length - skip);
    memset(text + length - skip, 0, skip);
}

void copy_cpu_answer(const char* text, char* buffer)
{
    // Emptiness is judged before trimming: all spaces gives "", not "Unavailable".
    if (text[0] == '\0')
        memcpy(buffer, unavailable, sizeof unavailable);
    else
        memcpy(buffer, text, strlen(text) + 1);
    trim_right_spaces(buffer);
    trim_left_spaces(buffer);
}

}  // namespace kelb
