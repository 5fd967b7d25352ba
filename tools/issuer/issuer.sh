# issuer.sh: starts and stops the stand-in issuer (issuer.js) from a shell script, for the demo
# and the test scripts. Source it; it defines functions only, and takes suite_stop from
# tests/lib.sh.
#
#   cv_issuer_start STATE_DIR [ISSUER FLAGS...]
#                       starts it on a free port of 127.0.0.1 and waits for its ready line;
#                       sets CV_ISSUER_URL (its base URL) and CV_ISSUER_PID. Its events go to
#                       STATE_DIR/issuer.log.
#   cv_issuer_stop      stops the issuer that cv_issuer_start started
#   cv_issuer_call PATH [JSON]
#                       one test control call (POST with JSON, GET without); prints the answer

CV_ISSUER_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../../tests/lib.sh
source "$CV_ISSUER_DIR/../../tests/lib.sh" # suite_stop

cv_issuer_start() {
    local state="$1"
    shift
    mkdir -p "$state"
    local fifo="$state/issuer.ready"
    rm -f "$fifo"
    mkfifo "$fifo"
    node "$CV_ISSUER_DIR/issuer.js" --log "$@" >"$fifo" 2>>"$state/issuer.log" &
    CV_ISSUER_PID=$!
    # Its one stdout line says it listens; end of file instead means it died. The bound only
    # ends a start that hangs.
    CV_ISSUER_URL=""
    read -r -t 120 CV_ISSUER_URL <"$fifo" || true
    rm -f "$fifo"
    case "$CV_ISSUER_URL" in
        http://127.0.0.1:*) return 0 ;;
    esac
    echo "issuer.sh: the stand-in issuer did not start; see $state/issuer.log" >&2
    cv_issuer_stop
    return 1
}

cv_issuer_stop() {
    suite_stop "${CV_ISSUER_PID:-}"
    CV_ISSUER_PID=""
}

cv_issuer_call() {
    if [ $# -ge 2 ]; then
        curl -sS -X POST -H 'Content-Type: application/json' --data-binary "$2" "$CV_ISSUER_URL$1"
    else
        curl -sS "$CV_ISSUER_URL$1"
    fi
}
