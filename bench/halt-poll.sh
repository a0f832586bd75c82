# Sourced by the benches: the guest halt polling of a KVM guest (the
# haltpoll cpuidle driver), how long an idle vCPU polls before it halts.
# At 0, the wake-up of a halted vCPU is an exit to the hypervisor and an
# interrupt back, tens of microseconds that a lock-step block pays twice,
# whatever the server. BENCH_HALT_POLL_NS sets it for the run, for every
# server alike, and the run puts it back; each bench prints the setting,
# since figures from runs with different ones do not compare.
halt_poll_file=/sys/module/haltpoll/parameters/guest_halt_poll_ns
halt_poll_old=""

halt_poll_set() {
  [ -n "${BENCH_HALT_POLL_NS:-}" ] || return 0
  if [ ! -w "$halt_poll_file" ]; then
    echo "BENCH_HALT_POLL_NS: this machine has no guest halt polling to set" >&2
    return 0
  fi
  halt_poll_old=$(cat "$halt_poll_file")
  echo "$BENCH_HALT_POLL_NS" > "$halt_poll_file"
}

halt_poll_restore() {
  [ -z "$halt_poll_old" ] || echo "$halt_poll_old" > "$halt_poll_file"
  halt_poll_old=""
}

halt_poll_describe() {
  local driver
  driver=$(cat /sys/devices/system/cpu/cpuidle/current_driver 2>/dev/null || echo none)
  if [ -r "$halt_poll_file" ] && [ "$driver" = haltpoll ]; then
    echo "idle: haltpoll, guest_halt_poll_ns=$(cat "$halt_poll_file")"
  else
    echo "idle: $driver"
  fi
}
