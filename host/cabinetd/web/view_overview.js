// The site in one table: a row per cabinet (its name, link, controller, its
// eight doors as cells, its alarms), those needing attention first, with a
// filter for them and a search by name. A row's name opens the cabinet's
// card. Rows are drawn once and then changed where their cabinet changed,
// so a site of dozens of cabinets with a door moving every second stays
// smooth.
import { timeText } from "./format.js";
import * as store from "./store.js";
import { linkWords } from "./words.js";

const el = (id) => document.getElementById(id);
const rows = new Map(); // name -> { tr, cells..., shown: what it shows, in short }
const RANK = { alarm: 5, fault: 4, offline: 4, "controller silent": 4, "awaiting approval": 3, "state unknown": 1 };

function rank(name) {
  return Math.max(0, ...store.attention(name).map((w) => RANK[w] || 0));
}

function makeRow(name) {
  const tr = document.createElement("tr");
  tr.dataset.name = name;
  const th = document.createElement("th");
  th.scope = "row";
  const pick = document.createElement("button");
  pick.type = "button";
  pick.className = "pick";
  pick.textContent = name;
  pick.setAttribute("aria-controls", "card-area");
  pick.setAttribute("aria-expanded", "false");
  pick.addEventListener("click", () => store.select(name));
  const phoneState = document.createElement("span");
  phoneState.className = "row-state";
  th.append(pick, phoneState);
  const ctl = document.createElement("td");
  ctl.className = "wide ctl";
  const doors = document.createElement("td");
  doors.className = "cells";
  const said = document.createElement("span");
  said.className = "visually-hidden";
  const cells = [];
  const strip = document.createElement("span");
  strip.className = "strip";
  strip.setAttribute("aria-hidden", "true");
  for (let d = 1; d <= 8; d++) {
    const c = document.createElement("span");
    c.className = "cell unknown";
    c.textContent = String(d);
    strip.appendChild(c);
    cells.push(c);
  }
  doors.append(said, strip);
  const alarms = document.createElement("td");
  alarms.className = "alarms-cell";
  tr.append(th, ctl, doors, alarms);
  const row = { tr, pick, phoneState, ctl, said, cells, alarms, shown: "" };
  rows.set(name, row);
  return row;
}

// The doors in words, for whoever cannot see the cells.
function doorsSaid(doors) {
  const open = doors.filter((x) => !x.closed).map((x) => x.door);
  const unlocked = doors.filter((x) => x.closed && !x.locked).map((x) => x.door);
  if (!open.length && !unlocked.length) return "all doors closed and locked";
  return [open.length && `open: ${open.join(", ")}`, unlocked.length && `unlocked: ${unlocked.join(", ")}`]
    .filter(Boolean).join("; ");
}

// The link while it is not up, else the controller.
function stateWords(s) {
  if (s.link !== "up") return linkWords(s.link);
  if (!s.controller) return "waiting for the controller's state";
  if (s.controller.fault_text != null) return "fault: " + s.controller.fault_text;
  return s.controller.state_text;
}

function drawRow(name) {
  const c = store.state.cabinets.get(name);
  if (!c) return;
  const row = rows.get(name) || makeRow(name);
  const s = store.known(name);
  const why = store.attention(name);
  const alarms = s ? (s.alarms || []).length : (c.status.alarms || []).length;
  const alarmDoors = new Set((c.status.alarms || []).map((a) => a.door));
  const ctlText = s ? stateWords(s) : `unknown since ${timeText(store.blind() ? store.blindSince() : c.at)}`;
  const shown = JSON.stringify([ctlText, s?.link, why, alarms, s?.doors, [...alarmDoors], store.state.selected === name]);
  if (shown === row.shown) return;
  row.shown = shown;
  row.tr.className = why.length ? "attention" : "";
  row.tr.classList.toggle("unknown", !s);
  row.tr.classList.toggle("selected", store.state.selected === name);
  row.tr.dataset.attention = why.join(", ");
  row.pick.setAttribute("aria-expanded", String(store.state.selected === name));
  row.ctl.className = "wide ctl link-" + (s ? s.link : "unknown");
  row.ctl.textContent = ctlText;
  row.ctl.title = ctlText;
  row.phoneState.textContent = why.length ? why.join(", ") : ctlText;
  const doors = s && Array.isArray(s.doors) ? s.doors : null;
  row.said.textContent = doors ? doorsSaid(doors) : "doors unknown";
  row.cells.forEach((cell, i) => {
    const x = doors?.[i];
    cell.className = "cell " + (x ? (x.closed ? (x.locked ? "closed" : "unlocked") : "open") : "unknown") +
      (alarmDoors.has(i + 1) ? " alarmed" : "");
    cell.title = x ? `door ${i + 1}: ${x.closed ? "closed" : "open"}, ${x.locked ? "locked" : "unlocked"}` : `door ${i + 1}: unknown`;
  });
  row.alarms.textContent = alarms ? String(alarms) : "";
  row.alarms.className = "alarms-cell" + (alarms ? " some" : "");
}

// Which rows show, in which order: the search and the filter, then the sort.
function arrange() {
  const find = el("find").value.trim().toLowerCase();
  const only = el("attention-only").checked;
  const sort = el("sort").value;
  const names = [...store.state.cabinets.keys()];
  const shown = names.filter((n) => (!find || n.toLowerCase().includes(find)) && (!only || store.attention(n).length));
  const alarmsOf = (n) => (store.state.cabinets.get(n).status.alarms || []).length;
  const by = {
    name: (a, b) => a.localeCompare(b),
    attention: (a, b) => rank(b) - rank(a) || a.localeCompare(b),
    alarms: (a, b) => alarmsOf(b) - alarmsOf(a) || rank(b) - rank(a) || a.localeCompare(b),
  }[sort];
  shown.sort(by);
  const body = el("overview").tBodies[0];
  // Moved only where the order changed: a row under the pointer stays put otherwise.
  let at = body.firstElementChild;
  for (const n of shown) {
    const tr = rows.get(n).tr;
    if (tr !== at) body.insertBefore(tr, at);
    else at = at.nextElementSibling;
  }
  while (at) {
    const next = at.nextElementSibling;
    at.remove();
    at = next;
  }
  const status = el("overview-status");
  const text = names.length === 0 ? "" : shown.length === 0 ? "No cabinet matches."
    : shown.length < names.length ? `Showing ${shown.length} of ${names.length} cabinets.` : "";
  if (status.textContent !== text) status.textContent = text;
}

// Drawn once a frame, however many statuses came in it: the rows that
// changed, then the order.
const due = new Set(); // names, or null for every row
function draw(name) {
  if (due.size === 0)
    requestAnimationFrame(() => {
      const all = due.has(null);
      const names = [...due];
      due.clear();
      if (all) {
        for (const n of store.state.cabinets.keys()) drawRow(n);
        for (const [n, row] of rows)
          if (!store.state.cabinets.has(n)) {
            row.tr.remove();
            rows.delete(n);
          }
      } else names.forEach(drawRow);
      arrange();
    });
  due.add(name);
}

export function mount() {
  store.on("cabinets", draw);
  store.on("approvals", () => draw(null));
  store.on("selected", () => draw(null));
  for (const id of ["find", "attention-only", "sort"]) el(id).addEventListener("input", arrange);
}
