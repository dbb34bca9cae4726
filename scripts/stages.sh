# Runs a table of stages side by side, each in the background with its own log, and reports each
# as it ends: its line (seconds, when it ran, CPU seconds) and a failing one's whole log. Sourced
# by test.sh, not run.
#
# The table is the array `stages`, one row a stage: "name|command|waits for|priority". The command
# is a shell function or command line; a stage that waits for another starts when that one ends
# well, and fails at once when it failed; priority "low" runs it reniced, for the stages nobody
# waits for, so that the ones that wait on a unit in real time wake on time.

declare -A stage_log=() stage_pid=() stage_reported=() stage_command=() stage_after=()
declare -A stage_priority=()
stage_order=()

stage_line() {  # name, exit code, seconds, started at, CPU seconds
  local result=passed
  [ "$2" -eq 0 ] || result=FAILED
  printf '%-32s %-7s %5d s   from %4d s to %4d s, CPU %4d s\n' "$1" "$result" "$3" "$4" \
    $(($4 + $3)) "${5:-0}"
}

# Starts a stage: its output goes to its log; when it ends, a result file beside the log holds
# its exit code, its seconds, when it started (seconds after `stages_began`) and the CPU seconds
# its processes took.
start_stage() {  # name, command, priority
  local name=$1 command=$2 priority=$3 log
  log="$logs/$(tr -c 'A-Za-z0-9' '-' <<<"$name" | sed 's/-*$//').log"
  stage_log[$name]=$log
  (
    [ "$priority" != low ] || renice -n 10 -p "$BASHPID" >/dev/null
    start=$(date +%s)
    TIMEFORMAT='%U %S'
    { time (eval "$command" >"$log" 2>&1 </dev/null); } 2>"$log.times"
    rc=$?
    read -r user system <"$log.times"
    cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%d", u + s }')
    echo "$rc $(($(date +%s) - start)) $((start - stages_began)) $cpu" >"$log.result"
  ) &
  stage_pid[$name]=$!
}

# A stage that cannot run because the one it waits for failed: it fails at once, saying why.
fail_stage() {  # name, why
  start_stage "$1" "echo 'not run: $2'; false" ""
}

# Reads the table, starts what waits for nothing, and reports each stage as it ends, starting or
# failing those that wait for it, until every stage has ended.
run_stages() {
  local row name command after priority rc seconds at cpu open waiting
  for row in "${stages[@]}"; do
    IFS='|' read -r name command after priority <<<"$row"
    stage_order+=("$name")
    stage_command[$name]=$command
    stage_after[$name]=$after
    stage_priority[$name]=$priority
    [ -n "$after" ] || start_stage "$name" "$command" "$priority"
  done
  while :; do
    open=0
    for name in "${stage_order[@]}"; do
      [ -z "${stage_reported[$name]:-}" ] || continue
      open=1
      [ -n "${stage_log[$name]:-}" ] && [ -s "${stage_log[$name]}.result" ] || continue
      wait "${stage_pid[$name]}" 2>/dev/null
      read -r rc seconds at cpu <"${stage_log[$name]}.result"
      stage_reported[$name]=1
      stage_line "$name" "$rc" "$seconds" "$at" "$cpu"
      if [ "$rc" -ne 0 ]; then
        echo "---- $name: ${stage_log[$name]}"
        cat "${stage_log[$name]}"
        echo "---- end of $name"
      fi
      for waiting in "${stage_order[@]}"; do
        [ "${stage_after[$waiting]}" = "$name" ] || continue
        if [ "$rc" -eq 0 ]; then
          start_stage "$waiting" "${stage_command[$waiting]}" "${stage_priority[$waiting]}"
        else
          fail_stage "$waiting" "$name failed"
        fi
      done
    done
    [ "$open" -eq 1 ] || break
    sleep 1
  done
}

stop_stages() {
  local name
  for name in "${!stage_pid[@]}"; do kill "${stage_pid[$name]}" 2>/dev/null; done
}

# The summary: one line per stage in the table's order, then "N passed, M failed". False when
# any failed.
stages_summary() {
  local name rc seconds at cpu passed=0 failed=0
  for name in "${stage_order[@]}"; do
    read -r rc seconds at cpu <"${stage_log[$name]}.result"
    stage_line "$name" "$rc" "$seconds" "$at" "$cpu"
    if [ "$rc" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  done
  stages_passed=$passed
  stages_failed=$failed
  [ "$failed" -eq 0 ]
}
