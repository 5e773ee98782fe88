# Fails when the library's binary interface (types, layouts, vtables, exported
# symbols) differs from the baseline in abi/.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" abigail-tools binutils
bash abi/check.sh
