// The Join Module: several inputs, one downstream stream. Every input is a
// module of its own (the head of a chain of its own); the bytes of the first
// input go downstream first, then those of the next input along the order,
// and an input that is not yet due holds its bytes in a FIFO.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

// The first input of a new join in *slot, which takes the module found
// there as downstream; returns the downstream slot, or null.
QELPipeModule **qelJoinModuleInsert(QELContext *context, QELPipeModule **slot, const QELFifoDescriptor *fifoKind);
// A new input ("Join Module"), active or not, with its own FIFO; null on
// failure.
QELPipeModule *qelJoinModuleCreate(QELContext *context, bool active, const QELFifoDescriptor *fifoKind);
// A further input of the same join ("Join Module Appendage"), placed in the
// output order right after `input`; null for a null input or failed memory.
QELPipeModule *qelJoinAppendageCreate(QELPipeModule *input);
