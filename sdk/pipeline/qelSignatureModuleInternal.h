// The signing module "Signature": hashes the data written into it with one
// running hash per distinct hash algorithm of its signers, puts a one-pass
// signature packet per signer in front of the signed data (packet version 4
// and above, unless detached) and, at the end of input, one signature packet
// per signer behind it, in the reverse order of the one-pass packets.
//
// Two outputs: the data path (Hash Modules, then a Copy Module behind which
// the caller inserts the rest of the data path) and the signature output, a
// Join whose downstream slot the caller continues the chain at. In the
// one-pass form the caller ends the data path in an appendage of that Join
// (qelSignatureModuleJoinData), so packets and data leave in message order.
#pragma once

#include "qelByteFifoInternal.h"
#include "qelPipeModuleInternal.h"

struct QELSigSpec;

// Largest header of a signature packet: the tag octet and a five-octet
// new-format length (or a four-octet old-format one).
inline constexpr std::size_t QELSignaturePacketMaxHeader = 6;

// Returns the slot behind the Copy Module, where the rest of the data path
// goes; null for a null slot, a missing FIFO kind or failed memory (the slot
// is then unchanged).
QELPipeModule **qelSignatureModuleCreate(QELContext *context, QELPipeModule **slot, std::int32_t packetVersion,
                                         const QELFifoDescriptor *fifoKind);
// Attaches the signers of a specification chain (packet version 3 or less:
// the first only) and returns the Join's downstream slot; null at the first
// signer that fails. The specifications stay the caller's and must outlive
// the module. detached suppresses the one-pass packets.
QELPipeModule **qelSignatureModuleAddSigners(QELPipeModule *module, QELSigSpec *specs, std::uint8_t detached);
// Opens a Join appendage behind the last one and stores it in the (empty)
// slot, so that the data path ends in it; returns the Join's downstream
// slot, or null.
QELPipeModule **qelSignatureModuleJoinData(QELPipeModule *module, QELPipeModule **slot);

// The packet header of a signature body of `length` octets in `out` (room
// for QELSignaturePacketMaxHeader); returns its size. Packet version 3 or
// less: old format with a two-octet length (four octets past 65535); else
// new format with a one-, two- or five-octet length.
std::size_t qelSignaturePacketHeader(std::uint8_t *out, std::int32_t packetVersion, std::uint64_t length);
