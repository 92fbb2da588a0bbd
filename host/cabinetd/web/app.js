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

function showLogin(message) {
  document.getElementById("login").hidden = false;
  document.getElementById("login-error").textContent = message || "";
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
  const r = await api("/api/stream-token", { method: "POST" });
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

// The audit view: journal records by cabinet, door, requester, kind and
// time, a page at a time (forward by cursor; back through the cursors seen),
// and the same filters as a CSV file. cabinetd looks at a bounded part of the
// journal per request, so a search whose filters match little may get pages
// with nothing in them that are not the end: the view goes on by itself for a
// while, then offers to search on.
const audit = { after: 0, back: [], next: 0, run: 0 };
const AUDIT_SEARCH_MS = 3000; // how long a page's search goes on by itself
const AUDIT_EXPORT_MS = 20000; // and an export's

function auditFilters() {
  const q = new URLSearchParams();
  const value = (id) => document.getElementById(id).value.trim();
  if (value("audit-cabinet")) q.set("cabinet", value("audit-cabinet"));
  if (value("audit-door")) q.set("door", value("audit-door"));
  if (value("audit-by")) q.set("requested_by", value("audit-by"));
  if (value("audit-kind")) q.set("kind", value("audit-kind"));
  if (value("audit-outcome")) q.set("outcome", value("audit-outcome"));
  if (value("audit-reason")) q.set("reason", value("audit-reason"));
  for (const [id, name] of [["audit-since", "since_ms"], ["audit-until", "until_ms"]]) {
    const t = value(id) ? new Date(value(id)).getTime() : NaN;
    if (!Number.isNaN(t)) q.set(name, String(t));
  }
  return q;
}

function auditCell(row, text) {
  const td = document.createElement("td");
  td.textContent = text;
  row.appendChild(td);
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// One request of a search; a refusal for too many searches at once (another
// tab of the same token) waits as long as cabinetd asks, then tries again.
async function auditFetch(path) {
  for (let tries = 0; ; tries++) {
    let r;
    try {
      r = await fetch(path, { headers: { Authorization: "Bearer " + token } });
    } catch {
      return null;
    }
    if (r.status === 401) showLogin("The token was not accepted.");
    if (r.status !== 429 || tries >= 5) return r;
    await pause(1000 * (Number(r.headers.get("Retry-After")) || 1));
  }
}

// Pages from `after` until one has records, the search reaches the
// journal's end, or it has gone on for AUDIT_SEARCH_MS; null when a newer
// search has begun meanwhile.
async function auditSearch(after, run) {
  const q = auditFilters();
  q.set("limit", "50");
  const status = document.getElementById("audit-status");
  const until = Date.now() + AUDIT_SEARCH_MS;
  let from = after;
  for (;;) {
    q.set("after", String(from));
    const r = await auditFetch("/api/events?" + q.toString());
    if (run !== audit.run) return null;
    const body = r ? await r.json().catch(() => ({})) : {};
    if (!r || r.status !== 200) return { error: body.error || (r ? "HTTP " + r.status : "cabinetd is not reachable") };
    if (body.events.length || !body.more || Date.now() >= until) return body;
    from = body.next;
    status.textContent = `Searching… (up to record ${from})`;
  }
}

async function auditLoad(after) {
  const run = ++audit.run;
  const status = document.getElementById("audit-status");
  const page = await auditSearch(after, run);
  if (page === null) return;
  if (page.error) {
    status.textContent = "Cannot search: " + page.error;
    return;
  }
  audit.after = after;
  audit.next = page.next;
  const body = document.querySelector("#audit-table tbody");
  body.replaceChildren();
  for (const record of page.events) {
    const row = document.createElement("tr");
    const d = record.detail || {};
    auditCell(row, timeText(record.at_ms, true));
    auditCell(row, record.cabinet);
    auditCell(row, record.kind);
    auditCell(row, record.code);
    auditCell(row, record.door_id ? String(record.door_id) : "");
    auditCell(row, d.requested_by || record.actor || "");
    auditCell(row, record.outcome || record.alarm_state || "");
    auditCell(row, record.kind === "refused" ? `${d.count} refusals counted, ${timeText(d.first_ms, false)} to ${timeText(d.last_ms, false)}`
      : record.text || d.text || d.reason || "");
    body.appendChild(row);
  }
  if (page.events.length)
    status.textContent = `${page.events.length} records` + (page.more ? ", more on the next page" : "");
  else if (page.more)
    status.textContent = `No records match up to record ${page.next}; the next page searches on.`;
  else status.textContent = "No records match.";
  document.getElementById("audit-next").disabled = !page.more;
  document.getElementById("audit-prev").disabled = audit.back.length === 0;
  document.getElementById("audit-first").disabled = after === 0;
}

// CSV rows in a page (a quoted cell may hold a line break).
function csvRows(text) {
  let rows = 0, quoted = false;
  for (let i = 0; i < text.length; i++) {
    if (text[i] === '"') quoted = !quoted;
    else if (!quoted && text[i] === "\n") rows++;
  }
  return rows;
}

// The CSV comes with the bearer token, which a plain link cannot send: its
// pages are fetched (up to 1000 records, following Cabinetd-Next while
// Cabinetd-More says there may be more), then saved from memory.
async function auditExport() {
  const q = auditFilters();
  q.set("format", "csv");
  const status = document.getElementById("audit-status");
  const parts = [];
  let records = 0, after = 0, more = true;
  for (const until = Date.now() + AUDIT_EXPORT_MS; more && records < 1000 && Date.now() < until;) {
    q.set("after", String(after));
    q.set("limit", String(1000 - records));
    const r = await auditFetch("/api/events?" + q.toString());
    if (!r || r.status !== 200) {
      const body = r ? await r.json().catch(() => ({})) : {};
      status.textContent = "Cannot export: " + (body.error || (r ? r.status : "cabinetd is not reachable"));
      return;
    }
    const text = await r.text();
    const header = text.indexOf("\r\n") + 2;
    parts.push(parts.length ? text.slice(header) : text);
    records += csvRows(text) - 1;
    after = Number(r.headers.get("Cabinetd-Next"));
    more = r.headers.get("Cabinetd-More") === "true";
    status.textContent = `Exporting… ${records} records (up to record ${after})`;
  }
  const url = URL.createObjectURL(new Blob(parts, { type: "text/csv" }));
  const a = document.createElement("a");
  a.href = url;
  a.download = "cabinetd-events.csv";
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  status.textContent = `Exported ${records} records as CSV` +
    (more ? ` (searched up to record ${after}; narrow the search for the rest).` : ".");
}

function setupAudit() {
  const doors = document.getElementById("audit-door");
  for (let d = 1; d <= 8; d++) {
    const o = document.createElement("option");
    o.value = o.textContent = String(d);
    doors.appendChild(o);
  }
  document.getElementById("audit-zone").textContent =
    "(times in " + Intl.DateTimeFormat().resolvedOptions().timeZone + ")";
  document.getElementById("audit-form").addEventListener("submit", (e) => {
    e.preventDefault();
    audit.back = [];
    auditLoad(0);
  });
  document.getElementById("audit-next").addEventListener("click", () => {
    audit.back.push(audit.after);
    auditLoad(audit.next);
  });
  document.getElementById("audit-prev").addEventListener("click", () => auditLoad(audit.back.pop() || 0));
  document.getElementById("audit-first").addEventListener("click", () => {
    audit.back = [];
    auditLoad(0);
  });
  document.getElementById("audit-csv").addEventListener("click", auditExport);
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
if (token) start(); else showLogin();
