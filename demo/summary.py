#!/usr/bin/env python3
"""The demo's summary: each machine's path (which file each stage got, over
which protocol, how fast) from the capture and tavrel-host's HTTP log lines,
and its time from power-on to the marker.
  summary.py CAPTURE HOSTLOG NAME=MAC... -- NAME=SECONDS..."""
import re, struct, sys


def frames(path):
    data = open(path, "rb").read()
    nano = data[:4] == b"\x4d\x3c\xb2\xa1"
    at = 24
    while at + 16 <= len(data):
        sec, frac, incl = struct.unpack_from("<IiI", data, at)
        frame, at = data[at + 16:at + 16 + incl], at + 16 + incl
        if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
            continue
        ihl = (frame[14] & 15) * 4
        udp = frame[14 + ihl:]
        sport, dport = struct.unpack_from(">HH", udp)
        yield sec + frac / (1e9 if nano else 1e6), frame[26:30], frame[30:34], sport, dport, udp[8:]


def options(msg):
    found, at = {}, 240
    while at + 1 < len(msg) and msg[at] != 255:
        if msg[at] == 0:
            at += 1
            continue
        code, size = msg[at], msg[at + 1]
        found.setdefault(code, msg[at + 2:at + 2 + size])
        at += 2 + size
    return found


def who(opts):
    user, vendor = opts.get(77, b"").decode(errors="replace"), opts.get(60, b"").decode(errors="replace")
    arch = struct.unpack(">H", opts[93][:2])[0] if len(opts.get(93, b"")) >= 2 else None
    kind = "iPXE" if user == "iPXE" else "Linux" if "Linux" in vendor else "firmware"
    return kind + (f" (arch {arch})" if arch is not None else "")


def ip(raw):
    return ".".join(str(b) for b in raw)


def main(capture, hostlog, *rest):
    split = rest.index("--")
    names = {v.lower(): k for k, v in (a.split("=", 1) for a in rest[:split])}
    times = dict(a.split("=", 1) for a in rest[split + 1:])
    path = {name: [] for name in names.values()}
    address, asked, transfers = {}, {}, {}
    for t, src, dst, sport, dport, msg in frames(capture):
        if {sport, dport} & {67, 68, 4011} and len(msg) >= 240:
            mac = ":".join(f"{b:02x}" for b in msg[28:34])
            name = names.get(mac)
            opts = options(msg)
            if name is None or 53 not in opts:
                continue
            if msg[0] == 1:
                asked[(mac, msg[4:8])] = who(opts)
                continue
            kind = asked.get((mac, msg[4:8]), "?")
            file = msg[108:236].split(b"\0")[0].decode(errors="replace")
            if opts[53] == b"\x05" and sport == 67:
                address[ip(msg[16:20])] = name
            elif opts[53] == b"\x02" and sport == 67 or sport == 4011:
                step = f"{'DHCP offer ' if sport == 67 else '4011 answer'} to {kind}: {file}"
                if step not in path[name]:
                    path[name].append(step)
        elif dport == 69 and msg[:2] == b"\x00\x01":
            transfers[(ip(src), sport)] = [msg[2:].split(b"\0")[0].decode(errors="replace"), t, t, 0]
        elif sport == 69 and msg[:2] == b"\x00\x03" and (ip(dst), dport) in transfers:
            record = transfers[(ip(dst), dport)]
            record[2], record[3] = t, record[3] + len(msg) - 4
    rows = {name: [] for name in names.values()}
    for (client, _), (file, t0, t1, size) in transfers.items():
        if size and client in address:
            rows[address[client]].append((t0, f"TFTP  {file}: {size} bytes in {t1 - t0:.2f} s "
                                              f"({size / max(t1 - t0, 1e-6) / 1e6:.2f} MB/s)"))
    line = re.compile(r"http: (\S+) GET /(\S+) (\d+), (\d+) of \d+ bytes in ([\d.]+) s \(([\d.]+) MB/s\)")
    for n, text in enumerate(open(hostlog, errors="replace")):
        m = line.search(text)
        if m and m.group(1) in address:
            rows[address[m.group(1)]].append((1e12 + n, f"HTTP  {m.group(2)}: {m.group(4)} bytes in {m.group(5)} s "
                                                         f"({m.group(6)} MB/s), status {m.group(3)}"))
    for mac, name in names.items():
        print(f"{name.upper():5} {mac}, address {', '.join(a for a, n in address.items() if n == name) or 'none'}")
        for step in path[name]:
            print(f"      {step}")
        for _, row in sorted(rows[name]):
            print(f"      {row}")
        seconds = times.get(name)
        print(f"      TIME  power-on to marker: {float(seconds):.1f} s" if seconds else
              "      TIME  no marker")


if __name__ == "__main__":
    main(*sys.argv[1:])
