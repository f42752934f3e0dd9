// The one table of result codes and their messages. Hosts compare these
// texts, so they stay exactly as published, slips and trailing spaces included.
#pragma once

#include <cstdint>

namespace kelb {

constexpr int32_t code_invalid_level = 1;
constexpr int32_t code_same_names = 2;
constexpr int32_t code_input_empty = 3;
constexpr int32_t code_output_empty = 4;
constexpr int32_t code_already_running = 7;
constexpr int32_t code_unexpected = 255;

// The message of a code in the table; null for any other code.
const char16_t* result_message(int32_t code);

}  // namespace kelb
