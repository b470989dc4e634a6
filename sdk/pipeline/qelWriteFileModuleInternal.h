// "Write file": the sink that writes a chain's output to a file object. It
// never reports success for bytes it did not write, and the end of input
// (expectBytes(0) outside every scope) flushes and, when asked, closes the
// file, returning a failure of either.
#pragma once

#include "qelPipeModuleInternal.h"

struct QELFileObject;

QELPipeModule *qelWriteFileModuleCreate(QELContext *context, QELPipeModule **out, QELFileObject *file,
                                        bool close);
