// Known-answer tests of triple DES in ECB, CBC and CFB, run by the FIPS
// self-test driver as self-test kind 1.
#pragma once

#include "qelErrors.h"

struct QELMemoryMgr;

// 0 when every check passes, else QELError_SelfTestFailed.
[[nodiscard]] QELStatus qelCipherSelfTest();

// The same run over the given manager, which the run's context takes over and
// frees (on every path). The self-test makes a heap manager of its own for
// this, so the registered global manager is never handed to a context that
// would free it.
[[nodiscard]] QELStatus qelCipherSelfTestWithMemoryMgr(QELMemoryMgr *mgr);
