// The fuzz build's `error`: it throws instead of ending the process, so that
// an input the program rejects ends one execution and the fuzzer goes on.
// Linked in place of the program's own error.cpp.
#include "error_throw.h"

void error(err code) {
  throw fuzz_error{code};
}
