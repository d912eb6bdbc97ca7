#!/bin/sh
# The configure-time check of BRIGHTNESS_SUPPORT_URL, value by value.
#   check-support-url.sh CMAKE cmake/SupportUrl.cmake
set -u
cmake=$1 module=$2
failed=0
# expected status (0 taken, 1 refused) and value
while IFS='|' read -r expected url; do
    "$cmake" "-DURL=$url" -P "$module" >/dev/null 2>&1
    got=$?
    [ "$got" -ne 0 ] && got=1
    if [ "$got" != "$expected" ]; then
        echo "FAIL: '$url': status $got, expected $expected"
        failed=1
    fi
done <<'TABLE'
0|
0|https://example.org/brightness/issues
0|http://panels.lan:8080/help
1|example.org
1|www.example.org/help
1|ftp://example.org
1|HTTPS://example.org
1|https://
1|https://a b
1|https://a"b
1|https://a\b
TABLE
[ "$failed" -eq 0 ] && echo "all values as expected"
exit "$failed"
