#!/bin/sh
# The box's update-rc.d: links an init script into the start order at boot
# (/etc/rcS.d/SNNname) and the stop order at the end (/etc/rc0.d/KNNname).
#
#   update-rc.d [-f] NAME defaults [START [STOP]]   start 20, stop 20 unless given
#   update-rc.d [-f] NAME remove
# Exit status 1 when /etc/init.d/NAME is missing (defaults) or, without -f,
# still there (remove); 2 on a usage error.
force=false
[ "$1" != -f ] || { force=true; shift; }
name=$1 action=$2
usage() { echo "usage: update-rc.d [-f] NAME defaults [START [STOP]] | remove" >&2; exit 2; }
[ -n "$name" ] || usage
case $action in
    defaults)
        [ -f "/etc/init.d/$name" ] || { echo "update-rc.d: /etc/init.d/$name missing" >&2; exit 1; }
        start=${3:-20} stop=${4:-${3:-20}}
        mkdir -p /etc/rcS.d /etc/rc0.d
        # Already linked: left as it is.
        ls /etc/rcS.d/S??"$name" > /dev/null 2>&1 ||
            ln -s "../init.d/$name" "/etc/rcS.d/S$start$name"
        ls /etc/rc0.d/K??"$name" > /dev/null 2>&1 ||
            ln -s "../init.d/$name" "/etc/rc0.d/K$stop$name"
        ;;
    remove)
        if [ -f "/etc/init.d/$name" ] && ! $force; then
            echo "update-rc.d: /etc/init.d/$name exists (use -f)" >&2
            exit 1
        fi
        rm -f /etc/rcS.d/S??"$name" /etc/rc0.d/K??"$name"
        ;;
    *) usage ;;
esac
