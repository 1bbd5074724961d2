#!/bin/sh
# End-to-end check of the demo: runs examples/run_demo.sh (what `make demo`
# runs after building) and checks that its printed conversation holds the
# expected replies, in order, and that the host stopped cleanly.
#   check_demo.sh RUN_DEMO_SCRIPT      (AT_HOST, AT_SEND, DEMO_*_PORT from the environment)
set -u
out=$(mktemp "${TMPDIR:-/tmp}/demo_out.XXXXXX")
trap 'rm -f "$out"' EXIT

"$1" >"$out" 2>&1
rc=$?
cat "$out"
if [ "$rc" -ne 0 ]; then
    echo "check_demo: the demo exited with status $rc"
    exit 1
fi

# Each line must appear whole, after the one before it.
awk '
BEGIN {
    n = 0
    want[n++] = "> AT"
    want[n++] = "< OK"
    want[n++] = "> ATI"
    want[n++] = "< libat_stubs demo AT demo host, revision *"
    want[n++] = "< OK"
    want[n++] = "> AT+CGMI"
    want[n++] = "< libat_stubs demo"
    want[n++] = "< OK"
    want[n++] = "> AT+CG    (sent without CR: the next line completes the command)"
    want[n++] = "> MM"
    want[n++] = "< AT demo host"
    want[n++] = "< OK"
    want[n++] = "> AT+NOSUCH"
    want[n++] = "< ERROR"
    want[n++] = "at_host: udp0: \"AT+CGMM\" -> \"\\r\\nAT demo host\\r\\n\\r\\nOK\\r\\n\""
    want[n++] = "at_host: SIGTERM received, shutting down"
    want[n++] = "at_host: stopped: 1 client deregistered, reader threads joined"
    want[n++] = "demo: done"
    i = 0
}
function matches(line, pattern) {
    if (substr(pattern, length(pattern)) == "*")
        return index(line, substr(pattern, 1, length(pattern) - 1)) == 1
    return line == pattern
}
i < n && matches($0, want[i]) { i++ }
END {
    if (i < n) { printf "check_demo: missing, in this order: \"%s\"\n", want[i]; exit 1 }
    print "check_demo: all expected lines seen"
}' "$out"
