// Test-facing switches of the stand-in host; a real daemon has none of them.
#pragma once

#include <cstdint>

// The plugin type that processor bases record at construction; 1 unless a
// test sets another value to exercise a factory's type check.
void qd_test_set_processor_type(uint8_t type);
uint8_t qd_test_get_processor_type();
