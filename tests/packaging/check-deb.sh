#!/usr/bin/env bash
# Builds the .deb of the command-line tools into a temporary folder and checks it without
# installing it: control data, file list, lintian, the extracted programs and their manual pages.
#   check-deb.sh BUILD_DIR VERSION PROGRAM...
set -euo pipefail
build=$1 version=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-deb: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$work/out/quorvel-tools_${version}_amd64.deb
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work/out")"

[ "$(dpkg-deb --field "$deb" Package Version Architecture)" = "Package: quorvel-tools
Version: $version
Architecture: amd64" ] || fail "control data: $(dpkg-deb --field "$deb")"
# Versioned dependencies of the shared libraries, as dpkg-shlibdeps writes them.
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libcurl4 libsodium23; do
    grep -Eq "(^|, )$library \(>= [0-9]" <<<"$depends" || fail "Depends lacks $library: $depends"
done

expected="-rw-r--r-- root/root ./usr/share/doc/quorvel-tools/copyright"
expected+=$'\n'"-rw-r--r-- root/root ./usr/share/doc/quorvel-tools/changelog.gz"
for program in "$@"; do
    expected+=$'\n'"-rwxr-xr-x root/root ./usr/bin/$program"
    expected+=$'\n'"-rw-r--r-- root/root ./usr/share/man/man1/$program.1.gz"
done
contents=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort)
[ "$contents" = "$(sort <<<"$expected")" ] || fail "contents:"$'\n'"$contents"

echo "lintian:"
lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"

dpkg-deb -x "$deb" "$work/root"
changelog=$(zcat "$work/root/usr/share/doc/quorvel-tools/changelog.gz" | head -n 1)
[[ $changelog == "quorvel-tools ($version) "* ]] || fail "the changelog's newest entry: $changelog"
for program in "$@"; do
    bin=$work/root/usr/bin/$program
    page=$work/root/usr/share/man/man1/$program.1.gz
    "$bin" --version >"$work/version" || fail "$program --version fails"
    grep -qx "$program $version" "$work/version" || fail "$program --version: $(cat "$work/version")"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man $program: $warnings"
    # Every option and every status line that --help names is described in the page.
    source=$(zcat "$page" | sed 's/\\-/-/g')
    "$bin" --help >"$work/help" || fail "$program --help fails"
    while read -r item; do
        grep -qF -- "$item" <<<"$source" || fail "$program: the manual page lacks $item"
    done < <(grep -oE -- '--[a-z][a-z-]*|Quorvel: [a-z][a-z ]*[a-z]' "$work/help" | sort -u)
    # ... and its synopsis and options name no option that --help does not.
    while read -r item; do
        grep -qE -- "(^|[^a-z-])$item([^a-z-]|\$)" "$work/help" || fail "$program: --help lacks $item"
    done < <(awk '/^\.SH/ { keep = $2 == "SYNOPSIS" || $2 == "OPTIONS" } keep' <<<"$source" |
        grep -oE -- '(^|[^a-z-])--?[a-z][a-z-]*' | sed 's/^[^-]*//' | sort -u)
done
echo "check-deb: $(basename "$deb") is good"
