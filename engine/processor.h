// Processor identification with the CPUID instruction.
#pragma once

#include <cstdint>

namespace kelb {

// Runs CPUID for one leaf. Returns 0 when it ran, 1 when the processor has
// no CPUID; the four registers are written (as zeroes) either way.
int cpuid_query(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx);
using cpuid_fn = int (*)(uint32_t, uint32_t*, uint32_t*, uint32_t*, uint32_t*);

// The vendor text (12 characters) and the brand string (up to 48), each in
// a buffer of its own that the next call of the same routine overwrites.
const char* cpu_vendor_string(cpuid_fn query = cpuid_query);
const char* cpu_brand_string(cpuid_fn query = cpuid_query);

void trim_right_spaces(char* text);
void trim_left_spaces(char* text);

// What "getcpuname" and "getbrandstring" write into the caller's buffer.
void copy_cpu_answer(const char* text, char* buffer);

}  // namespace kelb
