// Reads /status.json every two seconds and fills the tables and charts; no
// libraries. Whatever came from the wire (MACs, file names, log lines) goes
// in as text (textContent), never as markup. Times are the server's texts,
// in its zone, as /status.json gives them.
"use strict";
const kRefreshMs = 2000;
const kFailureLimit = 20;
const kLogShown = 200;  // all the server keeps
const kSvg = "http://www.w3.org/2000/svg";
const kChartWidth = 600, kChartHeight = 120, kChartMinutes = 60;

const filterBox = document.getElementById("filter");
// ?filter=TEXT starts the page filtered, so a link can show one machine.
filterBox.value = new URLSearchParams(location.search).get("filter") || "";
let lastStatus = null;
filterBox.addEventListener("input", () => { if (lastStatus) show(lastStatus); });

// A MAC may be typed with dashes; the server lists it with colons.
function query() {
  const text = filterBox.value.trim().toLowerCase();
  return /^[0-9a-f]{1,2}([-:][0-9a-f]{0,2})*$/.test(text) ? text.replaceAll("-", ":") : text;
}

function matches(q, ...texts) {
  return !q || texts.some((text) => String(text || "").toLowerCase().includes(q));
}

// A machine is its MAC, or an IPv6 client's DUID key ("duid-…"), which may
// be long and wraps where it must.
function machineCell(key) {
  return cell(key, key.startsWith("duid-") ? "mac key" : "mac");
}

function cell(text, className, label) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  if (label) td.dataset.label = label;
  return td;
}

function fill(id, rows, emptyText) {
  const body = document.querySelector("#" + id + " tbody");
  const labels = Array.from(document.querySelectorAll("#" + id + " th")).map((th) => th.textContent);
  body.replaceChildren();
  if (rows.length === 0) {
    const tr = document.createElement("tr");
    const td = cell(emptyText, "empty");
    td.colSpan = labels.length;
    tr.append(td);
    body.append(tr);
    return;
  }
  for (const cells of rows) {
    const tr = document.createElement("tr");
    cells.forEach((td, i) => {
      if (!td.dataset.label && !td.classList.contains("mac")) td.dataset.label = labels[i];
      tr.append(td);
    });
    body.append(tr);
  }
}

// As the server's own accounts write amounts.
function amount(bytes) {
  if (bytes >= 1e6) return (bytes / 1e6).toFixed(1) + " MB";
  if (bytes >= 1e3) return Math.floor(bytes / 1e3) + " KB";
  return bytes + " bytes";
}

function resultCell(machine) {
  const td = cell(machine.result, "result " + machine.result, "Result");
  const why = document.createElement("span");
  why.className = "why";
  why.textContent = machine.why;
  td.append(why);
  return td;
}

function bar(text, fraction, label) {
  const td = cell(text, null, label);
  const outer = document.createElement("div");
  outer.className = "bar";
  const inner = document.createElement("span");
  inner.style.width = Math.round(Math.min(Math.max(fraction, 0), 1) * 100) + "%";
  outer.append(inner);
  td.append(outer);
  return td;
}

function progressCell(t) {
  if (t.size <= 0) return cell(amount(t.bytes) + " so far", null, "Progress");
  return bar(amount(t.bytes) + " of " + amount(t.size), t.bytes / t.size, "Progress");
}

// Bars of the last hour, right-aligned on the minute now; STACKS gives each
// minute's parts as [value, class] from the bottom up.
function drawBars(id, minutes, stacks, top) {
  const svg = document.getElementById(id);
  svg.replaceChildren();
  const width = kChartWidth / kChartMinutes;
  minutes.forEach((minute, i) => {
    const x = (kChartMinutes - minutes.length + i) * width;
    let y = kChartHeight;
    for (const [value, className] of stacks(minute)) {
      if (!(value > 0)) continue;
      const height = Math.max(1, (value / top) * kChartHeight);
      const rect = document.createElementNS(kSvg, "rect");
      rect.setAttribute("x", x + 1);
      rect.setAttribute("width", width - 2);
      rect.setAttribute("y", y - height);
      rect.setAttribute("height", height);
      rect.setAttribute("class", className);
      const title = document.createElementNS(kSvg, "title");
      title.textContent = minute.time_text + ": " + value;
      rect.append(title);
      svg.append(rect);
      y -= height;
    }
  });
}

function drawCharts(history) {
  const span = history.length ? "since " + history[0].time_text : "no minute yet";
  const most = Math.max(1, ...history.map((m) => m.booted + m.failed));
  drawBars("boots-chart", history, (m) => [[m.booted, "booted"], [m.failed, "failed"]], most);
  const booted = history.reduce((sum, m) => sum + m.booted, 0), failed = history.reduce((sum, m) => sum + m.failed, 0);
  document.getElementById("boots-axis").textContent =
      span + ": " + booted + " booted, " + failed + " failed; the tallest bar is " + most + " a minute";
  const size = Math.max(1, ...history.map((m) => m.size));
  drawBars("pool-chart", history, (m) => [[m.in_use === null ? 0 : m.in_use, "use"]], size);
  const now = history.length ? history[history.length - 1] : null;
  const peak = Math.max(0, ...history.map((m) => m.in_use || 0));
  document.getElementById("pool-axis").textContent = now && now.in_use !== null
      ? span + ": " + now.in_use + " of " + now.size + " addresses in use now, " + peak + " at most"
      : span;
}

function show(status) {
  lastStatus = status;
  const q = query();
  document.getElementById("server").textContent = status.server;
  document.getElementById("updated").textContent = "updated " + status.time_text;
  const machines = status.machines.filter((m) => matches(q, m.mac, m.address, m.server));
  document.getElementById("shown").textContent =
      q ? machines.length + " of " + status.machines.length + " machines" : status.machines.length + " machines";
  fill("transfers", status.transfers.filter((t) => matches(q, t.mac, t.address, t.file)).map((t) => [
    machineCell(t.mac), cell(t.protocol.toUpperCase() + " " + t.file, null, "File"), progressCell(t),
    cell(amount(t.rate) + "/s", null, "Rate"), cell(t.started_text, "time", "Started"),
  ]), "no transfer under way");
  fill("booting", machines.filter((m) => m.result === "booting").map((m) => [
    machineCell(m.mac), cell(m.address), cell(m.stage), cell(m.why.split("; ").pop()),
  ]), "no machine is booting");
  fill("failures", machines.filter((m) => m.result === "failed").slice(0, kFailureLimit).map((m) => [
    machineCell(m.mac), cell(m.address), cell(m.reason, "failed"), cell(m.last_seen_text, "time"),
  ]), "no failures");
  fill("machines", machines.map((m) => [machineCell(m.mac), cell(m.address), resultCell(m),
                                        cell(m.last_seen_text, "time")]),
       q ? "no machine matches" : "no machine seen yet");
  fill("unknown", (status.unknown || []).filter((u) => matches(q, u.mac, u.uuid, u.address, u.vendor_class)).map((u) => [
    machineCell(u.mac || "(MAC unknown)"), cell(u.uuid || "-", "mac key", "UUID"), cell(String(u.arch), null, "Arch"),
    cell(u.vendor_class, null, "Vendor class"), cell(u.first_seen_text, "time", "First seen"),
    cell(u.last_seen_text, "time", "Last seen"),
  ]), "none: every machine answered is enrolled");
  fill("pools", status.pools.map((p) => [cell(p.range), bar(p.in_use + " of " + p.size, p.size ? p.in_use / p.size : 0,
                                                            "In use")]),
       "no dynamic ranges");
  fill("members", status.members.filter((m) => matches(q, m.name, m.address)).map((m) => [
    cell(m.name ? m.name + " (" + m.address + ")" : m.address), cell(m.state, m.state), cell(String(m.served)),
  ]), "not in a farm");
  fill("secure-boot", (status.secure_boot || []).map((l) => [cell(l.key), cell(l.file), cell(l.problem)]),
       "none: every EFI loader the rules serve passes the SBAT check");
  drawCharts(status.history);
  fill("log", status.log.filter((line) => matches(q, line.text)).slice(-kLogShown).reverse().map((line) => [
    cell(line.time_text, "time"), cell(line.source), cell(line.text, "line"),
  ]), "no log lines yet");
  // What the page measures of itself: at a phone's width nothing may stick out sideways.
  document.body.dataset.scrollWidth = document.scrollingElement.scrollWidth;
  document.body.dataset.viewWidth = window.innerWidth;
}

async function refresh() {
  try {
    const answer = await fetch("status.json", {cache: "no-store"});
    if (!answer.ok) throw new Error("HTTP " + answer.status);
    show(await answer.json());
  } catch (error) {
    document.getElementById("updated").textContent = "cannot reach the server: " + error.message;
  }
  setTimeout(refresh, kRefreshMs);
}

refresh();
