# Sourced: points Wine at a throwaway sandbox so nothing touches a real
# profile. Usage: source scripts/wine-sandbox.sh DIR
#
# DIR/home is HOME, holding Desktop, Documents and Downloads *before* the
# prefix is made (Wine links the prefix's known folders to them only if they
# exist; otherwise all three would point at HOME itself). DIR/prefix is the
# WINEPREFIX. winebrowser is disabled so nothing the agent "opens" reaches the
# host's browser, and winemenubuilder so a Start-menu shortcut the installer
# writes stays a file in the prefix instead of becoming a host menu entry.
vg_sandbox=${1:?sandbox folder}
mkdir -p "$vg_sandbox"; vg_sandbox=$(cd "$vg_sandbox" && pwd)
mkdir -p "$vg_sandbox/home/Desktop" "$vg_sandbox/home/Documents" "$vg_sandbox/home/Downloads" "$vg_sandbox/tmp"
export HOME="$vg_sandbox/home"
export WINEPREFIX="$vg_sandbox/prefix"
export WINEDLLOVERRIDES="winebrowser.exe=d;winemenubuilder.exe=d;mscoree,mshtml="
export WINEDEBUG=-all
export TMPDIR="$vg_sandbox/tmp"
export XDG_CONFIG_HOME="$vg_sandbox/home/.config"
export XDG_DATA_HOME="$vg_sandbox/home/.local/share"
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
fi
# Where the agent keeps its data inside this prefix (as root the user is root).
export VG_WINE_USER_DIR="$WINEPREFIX/drive_c/users/$(id -un)"
