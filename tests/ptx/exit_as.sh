# exit_as NAME STATUS [EXPECTED]: ends a check with its own status; given the status it was
# expected to end with (a run on planted faults), with 0 when it did and 1 when not.
exit_as() {
    local name=$1 status=$2 expect=${3:-}
    [ -n "$expect" ] || exit "$status"
    if [ "$status" -eq "$expect" ]; then
        echo "$name: ended with status $status, as expected"
        exit 0
    fi
    echo "$name: ended with status $status, expected $expect"
    exit 1
}
