// Baseline for start-up and install cost: a C++ program that links the C++ runtime and returns.
// SPDX-License-Identifier: MIT
int main()
{
    return 0;
}
