// The seam through which installation reaches the host's file system.
#include "unix/SysOps.h"
