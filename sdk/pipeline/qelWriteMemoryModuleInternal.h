// "Write memory": a sink over a caller's fixed buffer. Bytes beyond the
// buffer are dropped but counted; the owner compares the position it answers
// with the size to see that the buffer was too small.
#pragma once

#include "qelPipeModuleInternal.h"

QELPipeModule *qelWriteMemoryModuleCreate(QELContext *context, QELPipeModule **out, void *buffer,
                                          std::uint64_t size);
