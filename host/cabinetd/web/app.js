// The operator page: a live view of every cabinet from cabinetd's API and
// event stream. Plain script, nothing fetched from anywhere but cabinetd.
"use strict";

const KINDS = ["event", "state", "link", "session", "gap", "open", "open_failed", "clear", "heartbeat", "journal"];
let token = sessionStorage.getItem("cabinetd-token") || "";
let role = "viewer";
let source = null;
let lastId = null;
let started = false;
const cabinets = new Map(); // name -> article element

// Answers { status, body }; status 0 when cabinetd could not be reached
// (restarting, the network gone), which every caller treats as "try later".
function api(path, options = {}) {
  const headers = Object.assign({ Authorization: "Bearer " + token }, options.headers || {});
  return fetch(path, Object.assign({}, options, { headers })).then(async (r) => {
    const body = await r.json().catch(() => ({}));
    if (r.status === 401) showLogin("The token was not accepted.");
    return { status: r.status, body };
  }, () => ({ status: 0, body: {} }));
}

function showLogin(message) {
  document.getElementById("login").hidden = false;
  document.getElementById("login-error").textContent = message || "";
}

function log(text, cls) {
  const list = document.getElementById("log");
  const item = document.createElement("li");
  item.textContent = new Date().toLocaleTimeString() + "  " + text;
  if (cls) item.className = cls;
  list.appendChild(item);
  while (list.children.length > 300) list.removeChild(list.firstChild);
  list.scrollTop = list.scrollHeight;
}

function describe(rec) {
  const parts = [rec.cabinet || "cabinetd", rec.kind, rec.code];
  if (rec.door_id) parts.push("door " + rec.door_id);
  if (rec.kind === "gap") parts.push(`events ${rec.event_seq}–${rec.seq_to ?? "…"} missing`);
  else if (rec.event_seq != null && rec.kind === "event") parts.push("#" + rec.event_seq);
  if (rec.kind === "session") parts.push(rec.session_id);
  if (rec.detail && rec.detail.reason) parts.push("(" + rec.detail.reason + ")");
  if (rec.detail && rec.detail.requested_by) parts.push("by " + rec.detail.requested_by);
  return parts.join("  ");
}

function cabinetElement(name) {
  let el = cabinets.get(name);
  if (el) return el;
  el = document.getElementById("cabinet-template").content.firstElementChild.cloneNode(true);
  el.dataset.name = name;
  el.querySelector(".name").textContent = name;
  const doors = el.querySelector(".doors");
  for (let d = 1; d <= 8; d++) {
    const door = document.createElement("div");
    door.className = "door unknown";
    door.dataset.door = d;
    door.innerHTML = `<strong>Door ${d}</strong><span class="pos">?</span><span class="lock">?</span>`;
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = "Open";
    button.className = "open";
    button.hidden = true;
    button.addEventListener("click", () => openDoor(name, d));
    door.appendChild(button);
    doors.appendChild(door);
  }
  el.querySelector(".clear").addEventListener("click", () => clearFault(name));
  document.getElementById("cabinets").appendChild(el);
  cabinets.set(name, el);
  return el;
}

function render(c) {
  const el = cabinetElement(c.name);
  const link = el.querySelector(".link");
  link.textContent = c.link === "up" ? "online" : c.link === "silent" ? "controller silent" : "link lost";
  link.className = "link badge " + c.link;
  el.classList.toggle("lost", c.link !== "up");
  const ctl = c.controller;
  el.querySelector(".state").textContent = ctl ? ctl.state : "unknown (" + c.link_reason + ")";
  el.querySelector(".fault").textContent = ctl ? ctl.fault : "unknown";
  el.querySelector(".advice").textContent = ctl && ctl.fault !== "none" ? ctl.fault_text : "";
  el.querySelector(".heartbeat").textContent =
    c.heartbeat_age_s == null ? "none" : c.heartbeat_age_s.toFixed(1) + " s ago" + (ctl && !ctl.heartbeat_ok ? " (not fresh on the controller)" : "");
  el.querySelector(".session").textContent = c.session_id || "unknown";
  el.dataset.session = c.session_id || "";
  const operator = role === "operator";
  el.querySelectorAll(".door").forEach((door) => {
    const d = Number(door.dataset.door);
    const info = c.doors ? c.doors[d - 1] : null;
    door.className = "door " + (info ? (info.closed ? "closed" : "open") + " " + (info.locked ? "locked" : "unlocked") : "unknown");
    door.querySelector(".pos").textContent = info ? (info.closed ? "closed" : "open") : "?";
    door.querySelector(".lock").textContent = info ? (info.locked ? "locked" : "unlocked") : "?";
    const b = door.querySelector("button");
    b.hidden = !operator;
    b.disabled = !(ctl && ctl.state === "idle" && c.link === "up");
  });
  const clear = el.querySelector(".clear");
  clear.hidden = !(operator && ctl && ctl.fault !== "none");
}

async function refresh(name) {
  const r = await api("/api/cabinets/" + encodeURIComponent(name));
  if (r.status === 200) render(r.body);
}

async function refreshAll() {
  const r = await api("/api/cabinets");
  if (r.status === 200) r.body.cabinets.forEach(render);
}

async function openDoor(name, door) {
  if (!confirm(`Open door ${door} of cabinet ${name}?`)) return;
  const r = await api(`/api/cabinets/${encodeURIComponent(name)}/doors/${door}/open`, { method: "POST" });
  log(`${name}  open door ${door}: ${r.body.code || r.body.error}${r.body.text ? " — " + r.body.text : ""}`,
      r.status === 202 ? "" : "fault");
}

async function clearFault(name) {
  if (!confirm(`Clear the fault of cabinet ${name}?`)) return;
  const r = await api(`/api/cabinets/${encodeURIComponent(name)}/clear-fault`, { method: "POST" });
  log(`${name}  clear fault: ${r.body.code || r.body.error}${r.body.text ? " — " + r.body.text : ""}`,
      r.status === 200 ? "" : "fault");
  refresh(name);
}

function setStream(up, text) {
  const s = document.getElementById("stream-status");
  s.textContent = "stream: " + text;
  s.className = "badge " + (up ? "up" : "down");
}

// EventSource cannot send the bearer token, so each connection gets a
// short-lived stream token; after a lost connection it resumes from the
// last message seen, so the log misses nothing. The browser's own retry
// would present the old stream token, which a restarted cabinetd no longer
// knows: the page reconnects itself, with a new one.
let reconnect = null;
function reopenStream(delay) {
  if (source) source.close();
  source = null;
  if (reconnect == null) reconnect = setTimeout(() => { reconnect = null; openStream(); }, delay);
}

async function openStream() {
  if (source) source.close();
  const r = await api("/api/stream-token", { method: "POST" });
  if (r.status !== 200) {
    setStream(false, "cannot connect");
    reopenStream(2000);
    return;
  }
  const after = lastId != null ? "&after=" + encodeURIComponent(lastId) : "";
  source = new EventSource("/api/stream?token=" + encodeURIComponent(r.body.token) + after);
  source.onopen = () => { setStream(true, "live"); refreshAll(); };
  source.onerror = () => {
    setStream(false, "reconnecting");
    reopenStream(1000);
  };
  KINDS.forEach((kind) => source.addEventListener(kind, (e) => {
    // "open" is a record kind and also EventSource's own event for a new
    // connection, which has no data and no id: only records count.
    if (typeof e.data !== "string") return;
    lastId = e.lastEventId;
    const rec = JSON.parse(e.data);
    const fault = rec.code_kind === "fault";
    if (rec.kind !== "state") log(describe(rec), fault ? "fault" : rec.kind);
    if (rec.cabinet) refresh(rec.cabinet);
  }));
}

async function start() {
  const who = await api("/api/whoami");
  if (who.status !== 200) return;
  document.getElementById("login").hidden = true;
  role = who.body.role;
  document.getElementById("who").textContent = `${who.body.name} (${role})`;
  await refreshAll();
  openStream();
  if (!started) setInterval(refreshAll, 2000); // heartbeat ages, and a safety net
  started = true;
}

document.getElementById("login").addEventListener("submit", (e) => {
  e.preventDefault();
  token = document.getElementById("token").value.trim();
  sessionStorage.setItem("cabinetd-token", token);
  start();
});

if (location.hash.startsWith("#token=")) {
  token = decodeURIComponent(location.hash.slice(7));
  sessionStorage.setItem("cabinetd-token", token);
  history.replaceState(null, "", location.pathname);
}
if (token) start(); else showLogin();
