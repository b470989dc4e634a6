// The File Header Module: puts the marker packet (RFC 4880 section 5.8) in
// front of a message that begins with a new-format packet of a tag that
// older readers would not expect there.
#pragma once

#include "qelPipeModuleInternal.h"

QELPipeModule **qelFileHeaderModuleCreate(QELContext *context, QELPipeModule **slot);
