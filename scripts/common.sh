# Shell functions the scripts share; sourced from the top of the checkout.

# Prints the one optional flag a script takes, or nothing; any other
# argument is a usage error (exit 2).
# Usage: value=$(optional_flag --flag "$@")
optional_flag() {
  case "${2:-}" in
    "") ;;
    "$1") echo "$1" ;;
    *) echo "usage: $0 [$1]" >&2; return 2 ;;
  esac
}

# Configures and builds quietly: on failure, the whole output and then
# "<failure>" on standard error, and the script exits 1; otherwise only the
# lines that warn.
# Usage: quiet_build "<failure>" DIR CONFIGURE_ARG... -- BUILD_ARG...
quiet_build() {
  local failure=$1 dir=$2
  shift 2
  local configure=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    configure+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  local log
  log=$(mktemp)
  if ! { cmake -S . -B "$dir" "${configure[@]}" && cmake --build "$dir" "$@"; } >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    echo "$failure" >&2
    exit 1
  fi
  grep -E "warning" "$log" || true
  rm -f "$log"
}
