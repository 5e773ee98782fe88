// For analysis only: linked into a client, makes fsync and fdatasync return at once, to show what durability costs an install.
// SPDX-License-Identifier: MIT
extern "C" int fsync(int)
{
    return 0;
}

extern "C" int fdatasync(int)
{
    return 0;
}
