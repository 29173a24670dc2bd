# Shell functions for the checks that run a C host against the development collector; sourced.
# Each run has a collector of its own, on a free port, writing one report body per line.

# A bounded poll: 60 s at most, for a loaded machine.
poll_rounds=600
poll_interval=0.1
collector_pid=
collector_url=

# start_collector COLLECTOR OUT: starts it and sets collector_pid and collector_url.
start_collector() {
  local listening="$2.listening"
  "$1" --port 0 --out "$2" >"$listening" 2>&1 &
  collector_pid=$!
  collector_url=
  for _ in $(seq "$poll_rounds"); do
    collector_url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$listening" || true)
    [ -n "$collector_url" ] && break
    sleep "$poll_interval"
  done
  touch "$2"
  if [ -z "$collector_url" ]; then
    echo "the collector did not start:"
    cat "$listening"
    return 1
  fi
}

stop_collector() {
  [ -n "$collector_pid" ] || return 0
  kill "$collector_pid" 2>/dev/null || true
  wait "$collector_pid" 2>/dev/null || true
  collector_pid=
}

# has_report FILE PART...: some line of FILE holds every PART.
has_report() {
  local lines
  lines=$(cat "$1")
  shift
  for part in "$@"; do lines=$(printf '%s\n' "$lines" | grep -F -- "$part" || true); done
  [ -n "$lines" ]
}

# What the C example sends: the event, the handled error with its breadcrumb, the device report
# and the install request carrying the deep link's referral code.
c_example_reports_arrived() {
  has_report "$1" '"type":"event"' '"name":"purchase"' '"currency":"EUR"' &&
    has_report "$1" '"type":"error"' '"name":"PaymentDeclined"' '"type":"tap"' \
      '"data":{"button":"pay"}' &&
    has_report "$1" '"type":"device"' '"id":"c-example"' &&
    has_report "$1" '"referrer":"la_code=SPRING24"' '"id":"c-example"'
}

# Holds the example's standard input open until its reports arrived (or the poll gave up), so the
# device report, sent 2 s after consent, has left before the example flushes and exits.
hold_until_c_example_reports() {
  for _ in $(seq "$poll_rounds"); do
    c_example_reports_arrived "$1" && return 0
    sleep "$poll_interval"
  done
}

# run_c_example EXAMPLE COLLECTOR SCRATCH NAME: runs it with a home of its own against a fresh
# collector; fails, showing what it printed and what arrived, unless it succeeded and every
# report arrived.
run_c_example() {
  local example=$1 collector=$2 dir="$3/$4"
  mkdir -p "$dir/home"
  start_collector "$collector" "$dir/reports.jsonl"
  local status=0
  hold_until_c_example_reports "$dir/reports.jsonl" |
    HOME="$dir/home" "$example" "$collector_url" >"$dir/output" 2>&1 || status=$?
  stop_collector
  if [ "$status" -ne 0 ] || ! c_example_reports_arrived "$dir/reports.jsonl"; then
    echo "$4: the C example exited with $status; it printed:"
    cat "$dir/output"
    echo "$4: the collector received:"
    cat "$dir/reports.jsonl"
    return 1
  fi
}
