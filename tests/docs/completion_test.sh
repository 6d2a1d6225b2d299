#!/bin/bash
# korvexctl's bash completion: its own property lists equal the interface
# description's, and it completes commands, options, properties, values and
# the invoice files of the directory korvex.ini names.
#   completion_test.sh SOURCE_DIR
set -u
source_dir=$1
source "$source_dir/data/completion/korvexctl"
status=0

fail() { echo "FAIL: $*"; status=1; }

for which in all writable; do
  expected=$(_korvexctl_properties_in "$source_dir/data/ch.belmor.Korvex.xml" "$which")
  [[ -n $expected ]] || fail "no $which properties read from the interface description"
  [[ $(_korvexctl_properties_known "$which") == "$expected" ]] ||
    fail "the completion's $which properties differ from data/ch.belmor.Korvex.xml"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/Belmor/korvex-ordiva" "$work/Rechnungen mit Blank" "$work/dirs/sub"
touch "$work/Rechnungen mit Blank/rg-1.xml" "$work/Rechnungen mit Blank/rg-2.xml" "$work/Rechnungen mit Blank/x.pdf"
printf '[globals]\ninputDir=%s/\nworkDir=/elsewhere/\n' "$work/Rechnungen mit Blank" \
  > "$work/config/Belmor/korvex-ordiva/korvex.ini"
export XDG_CONFIG_HOME=$work/config

# words ... | expected completions, space-separated and sorted
check() {
  local line=$1 expected=$2
  read -r -a COMP_WORDS <<< "$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _korvexctl
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
  [[ $got == "$expected" ]] || fail "'$line': got '$got', expected '$expected'"
}

check "korvexctl au" "auto autoone"
check "korvexctl --json st" "status"
check "korvexctl --q" "--queue"
check "korvexctl auto --w" "--wait"
check "korvexctl get trust" "trustCenter trustCenters"
check "korvexctl set korvex" ""                     # read only
check "korvexctl set zsr" "zsrDownFilter"
check "korvexctl set withArchive " "false true"
check "korvexctl set workDirectory $work/dirs/s" "$work/dirs/sub"
check "korvexctl get trustCenter " ""               # one property only
check "korvexctl autoone rg" "rg-1.xml rg-2.xml"
check "korvexctl -w autoone " "rg-1.xml rg-2.xml x.pdf"
check "korvexctl autoone rg-1.xml " ""              # one file only
check "korvexctl status " ""
check "korvexctl auto --ti" "--timeout"
check "korvexctl --timeout " ""                     # the seconds
check "korvexctl --timeout 3600 autoone " "rg-1.xml rg-2.xml x.pdf"
exit $status
