# Install and uninstall costs; run by run.sh inside a private mount namespace:
#   install_cases.sh BUILD_DIR ROUNDS UPPER_PARENT
# Puts an overlay over /etc (its upper layer on UPPER_PARENT's file system, so
# fsync costs what it costs there) and a tmpfs over /run, then times
# `prog -install`/`-uninstall` (script, seven links, unit and its wants link)
# against the durable floor (floor.cpp: the same files, links and syncs with
# no checks), update-rc.d and systemctl enable, interleaved.
# SPDX-License-Identifier: MIT
set -euo pipefail
build=$1 rounds=$2 parent=$3
work=$(mktemp -d "$parent/serviceapp-bench.XXXXXX")
trap 'umount /etc 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir "$work/upper" "$work/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/upper,workdir=$work/work" /etc
mount -t tmpfs tmpfs /run
# Nothing below may run unless /etc really is the overlay.
[ "$(findmnt -n -o FSTYPE /etc)" = overlay ] || { echo "overlay over /etc missing" >&2; exit 1; }

prog=$build/idle_service
driver=$build/benchdriver
units=/etc/systemd/system
[ -d $units ] || { echo "$units missing: the install rows measure the unit too" >&2; exit 1; }
# The host's tools get the same files under another name: our script and unit.
"$prog" -install >/dev/null
sed 's/benchsvc/benchupd/g' /etc/init.d/benchsvc >/etc/init.d/benchupd
sed 's/benchsvc/benchupd/g' $units/benchsvc.service >$units/benchupd.service
chmod 755 /etc/init.d/benchupd
# The floor writes the same texts under another name.
sed 's/benchsvc/benchflr/g' /etc/init.d/benchsvc >"$work/floor-script"
sed 's/benchsvc/benchflr/g' $units/benchsvc.service >"$work/floor-unit"
"$prog" -uninstall >/dev/null
floor="$build/floor"

clean_ours="rm -f /etc/init.d/benchsvc /etc/rc[0-6].d/[SK]55benchsvc $units/benchsvc.service $units/*.wants/benchsvc.service"
clean_theirs="rm -f /etc/rc[0-6].d/[SK][0-9][0-9]benchupd $units/*.wants/benchupd.service"
"$driver" time "$rounds" \
    install "$clean_ours" "$prog -install" \
    install_nofsync "$clean_ours" "$build/idle_service_nofsync -install" \
    updatercd_defaults "$clean_theirs" "/usr/sbin/update-rc.d benchupd defaults" \
    systemctl_enable "$clean_theirs" "/usr/bin/systemctl --quiet enable benchupd" \
    floor "$floor uninstall benchflr" "$floor install benchflr $work/floor-script $work/floor-unit" \
    bare "" "$build/bare"
"$driver" time "$rounds" \
    uninstall "$prog -install" "$prog -uninstall" \
    floor_uninstall "$floor install benchflr $work/floor-script $work/floor-unit" "$floor uninstall benchflr" \
    updatercd_remove "/usr/sbin/update-rc.d benchupd defaults" "/usr/sbin/update-rc.d -f benchupd remove"
