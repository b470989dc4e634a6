// The File Read Module: the source that pumps a file object into a chain by
// the source protocol, in blocks of up to QELFileReadModuleBufferSize bytes
// through an inline buffer. A
// read that gives nothing ends the input only when the file reports no error;
// a read error is the pump's result.
#pragma once

#include "qelFileOpenInternal.h" // the record and its maker are declared with the file openers
#include "qelPipeModuleInternal.h"

#include <cstdio>

// Called after every piece taken downstream with (user value, bytes done,
// total); a non-zero answer stops the pump and is returned.
using QELFileReadProgressProc = QELPipeProgressProc;

// A source over a read-mode file object over a C stream (closed with the
// source when `close` is set); null on failure (the stream stays open).
QELFileReadModule *qelFileReadModuleCreateFromStream(QELContext *context, std::FILE *stream, bool close);
void qelFileReadSetProgress(QELFileReadModule *source, QELFileReadProgressProc progress, void *userValue);
// Pumps the whole file into the chain at head. A pump that stopped on a
// failure can be called again: pending bytes are offered again first and
// nothing is announced twice.
[[nodiscard]] QELStatus qelFileReadPump(QELFileReadModule *source, QELPipeModule *head);
// The bytes at the front of the input (filling the buffer first); they stay
// pending and are pumped later. A read error met here is returned by the
// pump.
const std::uint8_t *qelFileReadPeek(QELFileReadModule *source, std::uint64_t *outLength);
