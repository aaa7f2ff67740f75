# Sourced by the load benchmarks (server_bench.sh, fleet_bench.sh,
# balancer_bench.sh), from the project's top folder.

# ulmar_enter_namespace TARGET... -- "$@": installs what is missing, builds
# the release targets and runs the calling script again inside a private
# network namespace; there, brings up loopback with room for the ports of
# many short conversations and as many descriptors as allowed.
ulmar_enter_namespace() {
  local targets=()
  while [ "$1" != "--" ]; do targets+=("$1"); shift; done
  shift
  if [ -z "${ULMAR_IN_NAMESPACE:-}" ]; then
    bash scripts/setup.sh >/dev/null
    cmake --preset release >/dev/null
    cmake --build --preset release --target "${targets[@]}" >/dev/null
    ULMAR_IN_NAMESPACE=1 exec unshare -n bash "$0" "$@"
  fi
  ip link set lo up
  sysctl -qw net.ipv4.ip_local_port_range="1024 65535"
  ulimit -n "$(ulimit -Hn)"
}

# ulmar_bench_release WORK [--no-sources]: the benchmarks' 5,000-file
# release BENCH under WORK (made once; a new one empties WORK); sets
# $release to its folder.
ulmar_bench_release() {
  release="$1/releases/BENCH"
  if [ ! -f "$release/.complete" ]; then
    rm -rf "$1"
    python3 bench/bench_release.py "$release" "${@:2}"
    touch "$release/.complete"
  fi
}
