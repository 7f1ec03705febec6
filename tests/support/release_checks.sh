# Shared by the release checks in tests/release (sourced): steps, failures and waits, each with
# its bound, and a bash completion run outside an interactive shell.

step() { echo "-- $*"; }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_eq <actual> <expected> <what>
expect_eq() {
  [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"
  echo "ok: $3 is '$2'"
}

# wait_for_file <file> <seconds> <what> [log to show on failure]
wait_for_file() {
  local file=$1 bound=$2 what=$3 log=${4:-}
  local i
  for ((i = 0; i < bound * 10; i++)); do
    [ -s "$file" ] && return 0
    sleep 0.1
  done
  [ -z "$log" ] || cat "$log" >&2
  fail "waited $bound s for $what"
}

# complete_words <completion script> <word>...: what bash completion offers for the last word.
complete_words() {
  local script=$1
  shift
  bash --norc -c '
    source "$0"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    func=$(complete -p "$1" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    echo "${COMPREPLY[*]}"' "$script" "$@"
}
