// The Copy Module: passes everything to its downstream module unchanged. It
// holds a fixed place in a chain behind which other modules can be inserted.
#pragma once

#include "qelPipeModuleInternal.h"

// Returns the downstream slot, or null for a null slot or failed memory.
QELPipeModule **qelCopyModuleCreate(QELContext *context, QELPipeModule **slot);
