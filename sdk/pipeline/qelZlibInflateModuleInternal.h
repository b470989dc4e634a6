// The ZLIB Inflation Module: decodes one zlib stream (RFC 1950, algorithm 2
// of RFC 4880) with zlib through a 1020-byte output window, writing the
// output downstream as it comes.
#pragma once

#include "qelPipeModuleInternal.h"

// Returns the downstream slot, or null (null slot, no memory, zlib refused).
QELPipeModule **qelZlibInflateModuleCreate(QELContext *context, QELPipeModule **slot);
