# Fails when a tracked source file's head comment lacks the licence line SPDX-License-Identifier: MIT.
# SPDX-License-Identifier: MIT
set -euo pipefail
. .ci/lib.sh
ensure_packages git
bash .ci/add-spdx.sh --check
