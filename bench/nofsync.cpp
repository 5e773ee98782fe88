// For analysis only: linked into a client, makes fsync, fdatasync and sync_file_range return at once, to show what durability costs an install.
#include <fcntl.h>

extern "C" int fsync(int)
{
    return 0;
}

extern "C" int fdatasync(int)
{
    return 0;
}

extern "C" int sync_file_range(int, off64_t, off64_t, unsigned int)
{
    return 0;
}
