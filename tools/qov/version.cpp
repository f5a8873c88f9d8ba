// version.cpp - the product's version as qov prints it.  Kept apart so that
// a new version compiles this file only.

#include "brevik_version.h"
#include "qov.h"

namespace qov {

const char* Version() { return BREVIK_VERSION; }

}  // namespace qov
