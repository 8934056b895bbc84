// The run-time values behind {PID}, {RANDOM}, {TIME_US} and {TIME}.
//
// Each is fixed once per launcher run and handed down through its value
// variable, so that a child expanding the same template reaches the same path.
#ifndef ZOVARI_PATHS_RUNTIME_VALUES_H
#define ZOVARI_PATHS_RUNTIME_VALUES_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// Eight bytes from xorshift32, seeded from the performance counter, an
// address and the process id.
void fill_random_bytes(unsigned char bytes[8]);

// Seeds xorshift32 with seed (0 taken as 1) and draws eight bytes.
void xorshift_random_bytes(uint32_t seed, unsigned char bytes[8]);

// The eight bytes as 11 characters of unpadded base64url and a NUL.
void encode_random_text(const unsigned char bytes[8], wchar_t text[12]);

// Append the token's value at output (capacity units from output's start).
// Each aborts when the value does not fit; {PID} also when the inherited
// "ZOVARI_ONEFILE_PARENT" holds anything but decimal digits.
void append_pid_value(wchar_t* output, size_t capacity);
void append_random_value(wchar_t* output, size_t capacity);
void append_time_us_value(wchar_t* output, size_t capacity);
void append_time_value(wchar_t* output, size_t capacity);

#endif
