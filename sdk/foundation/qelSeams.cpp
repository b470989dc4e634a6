// Stand-ins for operations whose real modules have not landed yet. Each block
// names the module that will replace it; that module deletes its block here
// when it arrives.
#include "qelErrors.h"
