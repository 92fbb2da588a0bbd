// The operator page: a live view of every cabinet from cabinetd's API and
// event stream. Plain script, nothing fetched from anywhere but cabinetd.
"use strict";

// The kinds a record can be, as the API's own description lists them
// (loadKinds): what the stream's listeners and the audit view's choice are
// made of.
let kinds = null;
let token = sessionStorage.getItem("cabinetd-token") || "";
let role = "viewer", scope = null; // whoami's; scope: null for every door, else {cabinet: "*" or [doors]}
let me = ""; // the token's name: whose opens await approval
let source = null;
let lastId = null;
const cabinets = new Map(); // name -> article element
const alarmsOf = new Map(); // name -> the cabinet's active alarms

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

// Without a working token the page shows the login alone: nothing to
// search, no one to sign out.
function showLogin(message) {
  document.getElementById("login").hidden = false;
  document.getElementById("login-error").textContent = message || "";
  for (const id of ["audit", "sign-out", "viewer-note"]) document.getElementById(id).hidden = true;
  document.getElementById("token").focus();
}

// Forgets the token, here and in sessionStorage, ends the stream, and
// clears what it showed: the next person at the screen starts from the login.
function signOut() {
  token = "";
  sessionStorage.removeItem("cabinetd-token");
  clearTimeout(reconnect);
  reconnect = null;
  if (source) source.close();
  source = null;
  lastId = null;
  streamClosed();
  setStream(false, "not connected");
  for (const el of cabinets.values()) el.remove();
  cabinets.clear();
  alarmsOf.clear();
  shown.clear();
  renderAlarms();
  document.title = "Cabinets";
  document.getElementById("approvals").hidden = true;
  document.getElementById("who").textContent = "";
  document.querySelectorAll("#audit-cabinet option:not([value=''])").forEach((o) => o.remove());
  auditReset();
  document.getElementById("log").replaceChildren(); // what this token was shown
  document.getElementById("token").value = "";
  showLogin();
}

// A time as this browser's clock shows it, always with its zone: the page
// may be read far from the cabinet, and beside a CSV that gives UTC.
function timeText(ms, withDate) {
  const d = new Date(ms);
  const options = { timeZoneName: "short" };
  return withDate ? d.toLocaleString(undefined, options) : d.toLocaleTimeString(undefined, options);
}

// A line of the log, at the record's own time (at_ms) when it is one: a
// stream that reconnects after a gap delivers records made while it was away.
function log(text, cls, atMs) {
  const list = document.getElementById("log");
  const item = document.createElement("li");
  item.textContent = timeText(atMs ?? Date.now(), false) + "  " + text;
  if (cls) item.className = cls;
  list.appendChild(item);
  while (list.children.length > 300) list.removeChild(list.firstChild);
  list.scrollTop = list.scrollHeight;
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
    door.innerHTML = `<strong>Door ${d}</strong><span class="pos">?</span><span class="lock">?</span><span class="marks"></span>`;
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = "Open";
    button.className = "open";
    button.setAttribute("aria-label", `Open door ${d} of ${name}`);
    button.hidden = true;
    button.addEventListener("click", () => openDoor(name, d));
    door.appendChild(button);
    doors.appendChild(door);
  }
  el.querySelector(".clear").addEventListener("click", () => clearFault(name));
  el.setAttribute("aria-label", "Cabinet " + name);
  document.getElementById("cabinets").appendChild(el);
  const option = document.createElement("option");
  option.value = option.textContent = name;
  document.getElementById("audit-cabinet").appendChild(option);
  cabinets.set(name, el);
  return el;
}

// Why an open would be refused now (cabinetd's own judgement), or null.
function openBlocked(c) {
  return c.admits_open ? null : (c.open_blocked_reason || "opens are refused now");
}

function renderDoors(el, c, blocked) {
  const operator = role === "operator";
  const mine = scope == null ? "*" : scope[c.name]; // the doors this token may open
  el.querySelectorAll(".door").forEach((door) => {
    const d = Number(door.dataset.door);
    const info = c.doors ? c.doors[d - 1] : null;
    door.className = "door " + (info ? (info.closed ? "closed" : "open") + " " + (info.locked ? "locked" : "unlocked") : "unknown");
    door.querySelector(".pos").textContent = info ? (info.closed ? "closed" : "open") : "?";
    door.querySelector(".lock").textContent = info ? (info.locked ? "locked" : "unlocked") : "?";
    door.dataset.reason = info && info.needs_reason ? "1" : "";
    door.querySelector(".marks").textContent = [info && info.needs_reason && "reason",
      info && info.needs_approval && "two-person"].filter(Boolean).join(", ");
    const b = door.querySelector("button");
    b.hidden = !operator || !(mine === "*" || (Array.isArray(mine) && mine.includes(d)));
    b.disabled = blocked != null;
    markTwoPerson(door, b, c);
    if (blocked) b.title = "Cannot open now: " + blocked;
    else b.removeAttribute("title");
  });
}

function render(c) {
  const el = cabinetElement(c.name);
  const link = el.querySelector(".link");
  link.textContent = c.link === "up" ? "online" : c.link === "silent" ? "controller silent" : "link lost";
  link.className = "link badge " + c.link;
  el.classList.toggle("lost", c.link !== "up");
  const faulted = c.controller && c.controller.fault_text != null;
  showController(el, c);
  el.querySelector(".heartbeat").textContent = heartbeatText(c, 0);
  el.querySelector(".session").textContent = c.session_id || "unknown";
  el.dataset.session = c.session_id || "";
  const blocked = openBlocked(c);
  el.querySelector(".blocked").textContent = blocked ? "Opens are disabled: " + blocked + "." : "";
  renderDoors(el, c, blocked);
  const shared = c.board_id_shared_with || [];
  const warning = el.querySelector(".board-warning");
  warning.hidden = shared.length === 0;
  warning.textContent = shared.length ?
    `Board ${c.board_id} is also reported by ${shared.join(", ")}: two cabinets share one board id ` +
    "(a copied configuration?), so MQTT takes no command on topics named by it." : "";
  el.querySelector(".clear").hidden = !(role === "operator" && faulted);
  alarmsOf.set(c.name, c.alarms || []);
  renderAlarms();
  noteStatus(c);
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
  const options = { method: "POST", headers: { "Content-Type": "application/json" } };
  if (cabinets.get(name).querySelector(`.door[data-door="${door}"]`).dataset.reason) {
    const reason = prompt(`Open door ${door} of cabinet ${name}: this door needs a reason. Why?`);
    if (reason == null) return;
    options.body = JSON.stringify({ reason: reason.trim() });
  } else if (!confirm(`Open door ${door} of cabinet ${name}?`)) return;
  const r = await api(`/api/cabinets/${encodeURIComponent(name)}/doors/${door}/open`, options);
  if (r.body.status === "awaiting_approval") {
    log(`${name}  open door ${door}: awaiting a second operator's approval`);
    refreshApprovals();
    return;
  }
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
  streamClosed();
  if (reconnect == null) reconnect = setTimeout(() => { reconnect = null; openStream(); }, delay);
}

async function openStream() {
  if (source) source.close();
  if (!token) return; // signed out meanwhile
  const r = await api("/api/stream-token", { method: "POST" });
  if (!token) return;
  if (r.status !== 200) {
    setStream(false, "cannot connect");
    reopenStream(2000);
    return;
  }
  const after = lastId != null ? "&after=" + encodeURIComponent(lastId) : "";
  // With each cabinet's status as it changes (live.js), every one's first.
  source = new EventSource("/api/stream?status=true&token=" + encodeURIComponent(r.body.token) + after);
  source.onopen = () => { setStream(true, "live"); streamHeard(); };
  listenLive(source);
  source.onerror = () => {
    setStream(false, "reconnecting");
    reopenStream(1000);
  };
  kinds.forEach((kind) => source.addEventListener(kind, (e) => {
    // "open" is a record kind and also EventSource's own event for a new
    // connection, which has no data and no id: only records count.
    if (typeof e.data !== "string") return;
    streamHeard();
    lastId = e.lastEventId;
    const record = JSON.parse(e.data);
    const fault = record.code_kind === "fault";
    if (record.kind !== "state") log(describe(record), fault ? "fault" : record.kind, record.at_ms);
    if (record.kind === "approval") refreshApprovals();
  }));
}

// True once the kinds are known.
async function loadKinds() {
  if (kinds) return true;
  const r = await api("/api/openapi.json");
  const listed = r.status === 200 ? r.body?.components?.schemas?.RecordKind?.enum : null;
  if (!Array.isArray(listed)) return false;
  kinds = listed;
  const select = document.getElementById("audit-kind");
  for (const k of kinds) {
    const o = document.createElement("option");
    o.value = o.textContent = k;
    select.appendChild(o);
  }
  return true;
}

async function start() {
  const who = await api("/api/whoami");
  if (who.status !== 200) return;
  document.getElementById("login").hidden = true;
  ({ role, scope } = who.body);
  me = who.body.name;
  document.getElementById("who").textContent = `${who.body.name} (${role})`;
  document.getElementById("viewer-note").hidden = role !== "viewer";
  document.getElementById("audit").hidden = false;
  document.getElementById("sign-out").hidden = false;
  if (!(await loadKinds())) {
    setTimeout(start, 2000); // cabinetd is restarting, or the network gone
    return;
  }
  await refreshAll();
  refreshApprovals();
  openStream();
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
setupAudit();
document.getElementById("sign-out").addEventListener("click", signOut);
if (token) start(); else showLogin();
