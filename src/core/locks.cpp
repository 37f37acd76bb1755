#include "core/locks.h"

CoreLock gBurstLock;
CoreLock gConfigLock;
CoreLock gWatchSetLock;
