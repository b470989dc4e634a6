// FIPS internals: the API entry guard that every public SDK operation passes
// first, and the latch of self-test failures.
#pragma once

#include "qelFIPS.h"

// 0 to go on, or the refusal: in FIPS mode QELError_SelfTestsNotExecuted
// while the SDK is started and the self-tests have not been started, and the
// latched self-test failure afterwards. The file name and line only say who
// asked. In a service-client process pending key-database change
// notifications are applied on the way.
[[nodiscard]] QELStatus qelAPIGate(const char *file, int line);

// In FIPS mode keeps the first failure reported; otherwise does nothing.
void qelFIPSLatchError(QELStatus status);
