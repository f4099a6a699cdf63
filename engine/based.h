// Addressing a process-wide structure through a register.
//
// On i686 every access to a global names its absolute address: four bytes
// in the instruction and a base relocation in the image. A function that
// touches many fields of one global structure does better to load its
// address into a register once and reach the fields by a one-byte offset.
// The compiler folds a known address back into every access, so the empty
// assembly statement hides it: from there on the pointer is an ordinary
// value in a register. It emits no instruction and changes no behaviour.
#pragma once

template <typename T>
inline T* Based(T* object) {
#if defined(__GNUC__)
  __asm__("" : "+r"(object));
#endif
  return object;
}

// A value the compiler may not fold into a constant of the program, through
// the same empty statement.
template <typename T>
inline T Opaque(T value) {
#if defined(__GNUC__)
  __asm__("" : "+r"(value));
#endif
  return value;
}
