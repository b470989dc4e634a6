// Stand-ins for operations whose real modules have not landed yet; each is
// defined in qelSeams.cpp under the name of the module that will fill it.
#pragma once

#include "qelErrors.h"

struct QELContext;

// Passphrase cache (future qelPassCach): drops every cached passkey.
QELStatus qelPassCachePurge(QELContext *context);
