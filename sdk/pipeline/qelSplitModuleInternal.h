// The Split module: every byte goes to each of its (one or two) outputs, in
// output order; annotations go to output 0 only, and an announcement reaches
// output 1 only outside every scope.
#pragma once

#include "qelPipeModuleInternal.h"

inline constexpr std::size_t QELSplitPiece = 8192;

// Output 0 is the module found in *slot; returns output 0's slot, or null.
QELPipeModule **qelSplitModuleCreate(QELContext *context, QELPipeModule **slot);
// The (empty) slot of output 1; null when the split has two outputs already
// or still owes an output bytes.
QELPipeModule **qelSplitAddOutput(QELPipeModule *split);
