// What the fuzz build's `error` throws.
#pragma once

#include "keldrun.h"

struct fuzz_error {
  err code;
};
