// The key-material reader: finds the RFC 4880 packet streams in an input
// (armored blocks, also several and with text around them, or binary
// packets) and gathers their packets for the key import. Text outside the
// blocks is skipped; a damaged armor line or checksum fails the read. Its
// one call, qelKeyIOCollectKeyMaterial, is declared with the key import.
#pragma once

#include "qelKeyIOImportInternal.h"
