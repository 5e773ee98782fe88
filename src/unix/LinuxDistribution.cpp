// Linux distribution detection from the release files under /etc.
// SPDX-License-Identifier: MIT
#include <unistd.h>

#include "UnixServiceApp.h"

namespace {

bool Exists(const char* path)
{
    return access(path, F_OK) == 0;
}

}  // namespace

bool CUnixServiceApp::DetectLinuxDistribution(eLinuxDistribution& distribution)
{
    distribution = eDistUnknown;
    if (Exists("/etc/redhat-release")) {
        if (Exists("/etc/centos-release")) {
            distribution = eDistCentOS;
        } else if (Exists("/etc/oracle-release")) {
            distribution = eDistOracle;
        } else if (Exists("/etc/fedora-release")) {
            distribution = eDistFedora;
        } else {
            distribution = eDistRedHat;
        }
    } else if (Exists("/etc/SuSE-release")) {
        distribution = eDistSuSE;
    } else if (Exists("/etc/lsb-release")) {
        distribution = eDistUbuntu;
    } else if (Exists("/etc/debian_version")) {
        distribution = eDistDebian;
    }
    return distribution != eDistUnknown;
}

const char* CUnixServiceApp::GetLinuxDistributionString(eLinuxDistribution distribution)
{
    static const char* const linuxDistributionStrings[8] = {
        "unknown", "redhat", "centos", "suse", "ubuntu", "debian", "oracle", "fedora",
    };
    int index = static_cast<int>(distribution);
    return (index >= 0 && index < 8) ? linuxDistributionStrings[index] : "unknown";
}
