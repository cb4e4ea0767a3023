# Sourced by the Windows shell tests: `reg_run ARGS...` runs wine's `reg` and
# prints its output without carriage returns. wine's `reg` now and then fails
# to start under load ("Application could not be started"): it is asked
# again, up to three times.
reg_run() {
  local out status
  for _ in 1 2 3; do
    out=$(wine reg "$@" 2>/dev/null)
    status=$?
    grep -q 'Application could not be started' <<<"$out" || break
    sleep 1
  done
  tr -d '\r' <<<"$out"
  return $status
}
