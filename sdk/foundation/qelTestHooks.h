// Test-only switches. Production code reads them; only tests set them.
#pragma once

// Key database commit: when set to n, the n-th ring rename from then on
// fails as if the platform refused it (then the switch is 0 again).
extern int qelTestHookFailRingRename;
