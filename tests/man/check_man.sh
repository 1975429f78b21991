#!/bin/sh
# Each program's man page names every option its --help names, and renders without
# complaint where man is installed.
#   check_man.sh MAN_DIR PROGRAM_DIR
set -u
man_dir=$1 program_dir=$2 status=0
for program in vkoc vkod vkodiff vkopatch; do
  page="$man_dir/$program.1"
  [ -f "$page" ] || { echo "no man page for $program"; status=1; continue; }
  # roff writes a dash as \-
  plain=$(sed 's/\\-/-/g' "$page")
  if [ -x "$program_dir/$program" ] && [ "$program" != vkoc ]; then
    for option in $("$program_dir/$program" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
      printf '%s\n' "$plain" | grep -qF -- "$option" || { echo "$page does not name $option"; status=1; }
    done
  fi
  if command -v man >/dev/null 2>&1; then
    errors=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)
    [ -z "$errors" ] || { echo "$page: $errors"; status=1; }
  fi
done
exit $status
