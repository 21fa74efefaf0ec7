# The options of scripts/run.sh and scripts/run-host.sh, read by both (sourced, not run), so
# that run.sh answers --help and refuses a wrong option before it installs or builds anything.
#   run_options "$@"   sets run_port, run_password (empty: as stored) and run_trace (0 or 1);
#                      prints the usage and exits on --help (0) or a wrong option (1)

run_usage() {
    cat <<'USAGE'
usage: run.sh [--port N] [--password TEXT] [--trace]
       run-host.sh BUILD-DIR [--port N] [--password TEXT] [--trace]

Runs the plug-in in the reference host under Wine: it prints every event as it arrives, one
line each, and takes the host's commands as input lines (config, learn [TEXT], restart, stop;
Ctrl+D or Ctrl+C stops too). run.sh installs what is missing and builds first.

  --port N          listen on TCP port N (1 to 65535) from now on
  --password TEXT   the clients' password from now on (1 to 199 bytes)
  --trace           also print the server's trace lines
  --help            show this text

--port and --password are stored in the plug-in's settings in the Wine prefix (WINEPREFIX,
~/.wine-sendrel by default) as its settings dialog stores them: the dialog shows them, and
later runs keep them. Without them the stored settings count (first run: port 1024,
password ChgThisPw, every address allowed).
USAGE
}

run_options() {
    run_port=
    run_password=
    run_trace=0
    while [ $# -gt 0 ]; do
        case "$1" in
        -h | --help)
            run_usage
            exit 0
            ;;
        --trace) run_trace=1 ;;
        --port | --password)
            if [ $# -lt 2 ] || [ -z "$2" ]; then
                echo "run: $1 needs a value (see --help)" >&2
                exit 1
            fi
            if [ "$1" = --port ]; then
                run_port=$2
            else
                run_password=$2
            fi
            shift
            ;;
        *)
            echo "run: unknown option $1 (see --help)" >&2
            exit 1
            ;;
        esac
        shift
    done
    if [ -n "$run_port" ] && ! { [[ "$run_port" =~ ^[0-9]{1,5}$ ]] &&
        [ "$((10#$run_port))" -ge 1 ] && [ "$((10#$run_port))" -le 65535 ]; }; then
        echo "run: not a port number (1 to 65535): $run_port" >&2
        exit 1
    fi
    # The plug-in keeps 199 bytes of a setting's text.
    if [ -n "$run_password" ] && [ "$(printf %s "$run_password" | wc -c)" -gt 199 ]; then
        echo "run: the password is longer than 199 bytes" >&2
        exit 1
    fi
}
