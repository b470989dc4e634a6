// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// and in qelSeams.h when it arrives.
#include "qelSeams.h"
#include "qelOptionListInternal.h"
#include "qelSettingsInternal.h"

#include <cstring>


// ---- keydb: stand-ins the key database calls ----

// ---- end keydb ----

