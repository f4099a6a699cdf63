// Start values of the process-wide variables that do not start at zero.
//
// The stub's image has no section for initialised data: such a section
// takes a 512-byte block of the file of its own, for a few handles. In the
// stub these variables are therefore defined without their start value and
// the stub's entry gives it to them before anything else runs
// (SetStartValues in shell/stub_entry.cpp); everywhere else the definition
// carries it. Write `int x ZARVEL_STARTS_AS(-1);` and add x to that list.
#pragma once

#ifdef ZARVEL_STUB
#define ZARVEL_STARTS_AS(value)
#else
#define ZARVEL_STARTS_AS(value) = (value)
#endif
