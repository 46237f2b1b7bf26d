# Reads ctest's Testing/Temporary/LastTest.log and prints, for every test
# that did not pass, its status and the telling lines of its output (failed
# checks and assertions, else its last lines). A CI log is often seen only
# by its head and tail; this puts the reasons into the tail.
#   awk -v max=20 -f ctest-failures.awk LastTest.log
BEGIN { if (max == "") max = 20 }
/^[0-9]+\/[0-9]+ Testing: / { name = $0; sub(/^[0-9]+\/[0-9]+ Testing: /, "", name); n = 0; inout = 0; next }
/^Output:$/ { inout = 1; getline; next }
/^<end of output>$/ { inout = 0; next }
inout { lines[n++] = $0; next }
/^Test time = / { time = $0; sub(/^Test time = +/, "", time); next }
/^Test (Passed|Failed|Not Run)|^Test not run|^Exception|^\*\*\*/ {
    if ($0 ~ /^Test Passed/) next
    printf "=== %s: %s after %s\n", name, $0, time
    shown = 0
    for (i = 0; i < n && shown < max; i++) {
        if (lines[i] ~ /wine-run\.sh:|FAIL|Failure|Expected|Which is|Actual:|Value of:|unexpected|differs|not in release|[Tt]imed? ?out|rror/) {
            print "    " lines[i]; shown++
        }
    }
    if (shown == 0) {
        if (n == 0) print "    (no output)"
        for (i = (n > max ? n - max : 0); i < n; i++) print "    " lines[i]
    }
}
