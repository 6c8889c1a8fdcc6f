# Loopback port helpers, sourced by the archive script and the benchmarks.

# True when something accepts connections on the loopback port.
port_open() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A TCP port that nothing listens on right now, on any address. The caller
# still has to cope with losing a race for it.
free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_open "$port" && continue
    if command -v ss >/dev/null 2>&1 && ss -Htln "sport = :$port" 2>/dev/null | grep -q .; then
      continue
    fi
    echo "$port"
    return 0
  done
  echo "no free port found" >&2
  return 1
}
