#!/bin/sh
# The guest's scenario scripts, as far as a look without the guest can judge:
# - each is valid sh;
# - no wait_for polls a test whose operands are taken once, when wait_for is
#   called ("wait_for 5 test "$(count)" -gt 3" looks once and never waits):
#   the operand must come from a function that wait_for calls each time.
# Usage: check-scripts.sh GUEST_DIR
set -u
dir=$1
failed=0
for f in "$dir"/*.sh "$dir"/init; do
    sh -n "$f" || { echo "FAIL $f: syntax error"; failed=1; }
    if grep -nE 'wait_for +[0-9]+ +(test|\[) +[^|;&]*\$\(' "$f"; then
        echo "FAIL $f: wait_for polls a command substitution made once, above"
        failed=1
    fi
done
[ "$failed" = 0 ] && echo "the guest's scripts: valid, and every wait_for polls anew"
exit "$failed"
