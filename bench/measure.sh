# Shared by the benchmark scripts (sourced, not run).
#
# measure TIMEFILE LOGFILE COMMAND...: runs COMMAND under /usr/bin/time with
# its output in LOGFILE and sets: status (its exit status), wall (seconds),
# user and sys (CPU seconds), cpu (user + sys), rss (peak resident KB),
# share (CPU share, e.g. "98%") and faults (minor page faults).
measure() {
    local timefile=$1 logfile=$2 start end
    shift 2
    status=0
    start=$(date +%s%N)
    /usr/bin/time -v -o "$timefile" "$@" >"$logfile" 2>&1 || status=$?
    end=$(date +%s%N)
    wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    user=$(awk -F': ' '/User time/ { print $2 }' "$timefile")
    sys=$(awk -F': ' '/System time/ { print $2 }' "$timefile")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$timefile")
    share=$(awk -F': ' '/Percent of CPU/ { print $2 }' "$timefile")
    faults=$(awk -F': ' '/Minor/ { print $2 }' "$timefile")
    rss=${rss:-0} share=${share:-0%} user=${user:-0} sys=${sys:-0}
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
}

# smaller A B: true when the number A is smaller than B, or B is empty.
smaller() {
    [[ -z $2 ]] || awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'
}
