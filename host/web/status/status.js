// Reads /status.json every two seconds and fills the tables; no libraries.
"use strict";
const kRefreshMs = 2000;
const kFailureLimit = 20;

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

function clock(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString();
}

function resultCell(machine) {
  const td = cell(machine.result, "result " + machine.result, "Result");
  const why = document.createElement("span");
  why.className = "why";
  why.textContent = machine.why;
  td.append(why);
  return td;
}

function bar(fraction) {
  const td = document.createElement("td");
  td.dataset.label = "In use";
  const outer = document.createElement("div");
  outer.className = "bar";
  const inner = document.createElement("span");
  inner.style.width = Math.round(Math.min(fraction, 1) * 100) + "%";
  outer.append(inner);
  td.append(outer);
  return td;
}

function show(status) {
  document.getElementById("server").textContent = status.server;
  document.getElementById("updated").textContent = "updated " + clock(status.time);
  const machines = status.machines;
  fill("booting", machines.filter((m) => m.result === "booting").map((m) => [
    cell(m.mac, "mac"), cell(m.address), cell(m.stage), cell(m.why.split("; ").pop()),
  ]), "no machine is booting");
  fill("failures", machines.filter((m) => m.result === "failed").slice(0, kFailureLimit).map((m) => [
    cell(m.mac, "mac"), cell(m.address), cell(m.reason, "failed"), cell(clock(m.last_seen)),
  ]), "no failures");
  fill("machines", machines.map((m) => [cell(m.mac, "mac"), cell(m.address), resultCell(m), cell(clock(m.last_seen))]),
       "no machine seen yet");
  fill("pools", status.pools.map((p) => {
    const use = bar(p.size ? p.in_use / p.size : 0);
    use.prepend(p.in_use + " of " + p.size);
    return [cell(p.range), use];
  }), "no dynamic ranges");
  fill("members", status.members.map((m) => [
    cell(m.name ? m.name + " (" + m.address + ")" : m.address), cell(m.state, m.state), cell(String(m.served)),
  ]), "not in a farm");
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
