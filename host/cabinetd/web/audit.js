// The audit view: the journal searched through the API, a page at a time.
// A feature of its own: it keeps its own search, and reads nothing but the
// names and kinds from the store.
import { request } from "./api.js";
import { timeText } from "./format.js";
import * as store from "./store.js";

// Journal records by cabinet, door, requester, kind and
// time, a page at a time (forward by cursor; back through the cursors seen),
// and the same filters as a CSV file. cabinetd looks at a bounded part of the
// journal per request, so a search whose filters match little may get pages
// with nothing in them that are not the end: the view goes on by itself for a
// while, then offers to search on.
// `query` is the search on screen: the filters that produced the rows shown,
// which the pages and the export follow, whatever the form says since.
const audit = { after: 0, back: [], next: 0, run: 0, query: null };
const AUDIT_SEARCH_MS = 3000; // how long a page's search goes on by itself
const AUDIT_EXPORT_MS = 20000; // and an export's

function auditFilters() {
  const q = new URLSearchParams();
  const value = (id) => document.getElementById(id).value.trim();
  if (value("audit-cabinet")) q.set("cabinet", value("audit-cabinet"));
  if (value("audit-door")) q.set("door", value("audit-door"));
  // A name's start, in either case: people remember "nurse", not "nurse-ward3".
  if (value("audit-by")) q.set("requested_by_prefix", value("audit-by"));
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
    const r = await request(path, {}, 30000);
    if (!r || r.status !== 429 || tries >= 5) return r;
    await pause(1000 * (Number(r.headers.get("Retry-After")) || 1));
  }
}

// Pages from `after` until one has records, the search reaches the
// journal's end, or it has gone on for AUDIT_SEARCH_MS; null when a newer
// search has begun meanwhile.
async function auditSearch(after, run) {
  const q = new URLSearchParams(audit.query);
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
    auditCell(row, record.approved_by || "");
    auditCell(row, record.outcome || record.alarm_state || "");
    const counted = record.kind === "refused" && d.count > 1
      ? ` (${d.count} refusals counted, ${timeText(d.first_ms)} to ${timeText(d.last_ms)})` : "";
    auditCell(row, (record.kind === "alarm" ? d.text : record.text || d.text || d.reason || "") + counted);
    body.appendChild(row);
  }
  document.getElementById("audit-csv").disabled = false;
  if (page.events.length)
    status.textContent = `${page.events.length} records` + (page.more
      ? ` shown, cut off at ${page.events.length}: more may match after record ${page.next}, on the next page.`
      : (after ? ", the last of this search." : ", all that match."));
  else if (page.more)
    status.textContent = `No records match up to record ${page.next}; the next page searches on.`;
  else status.textContent = "No records match.";
  document.getElementById("audit-next").disabled = !page.more;
  document.getElementById("audit-prev").disabled = audit.back.length === 0;
  document.getElementById("audit-first").disabled = after === 0;
}

// Nothing of a search left behind once signed out.
function reset() {
  Object.assign(audit, { after: 0, back: [], next: 0, query: null });
  audit.run++;
  document.querySelector("#audit-table tbody").replaceChildren();
  document.getElementById("audit-status").textContent = "";
  document.getElementById("audit-csv").disabled = true;
  document.getElementById("audit-csv-next").hidden = true;
  for (const id of ["audit-first", "audit-prev", "audit-next"]) document.getElementById(id).disabled = true;
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

// The CSV of the search on screen comes with the bearer token, which a plain
// link cannot send: its pages are fetched (up to 1000 records from `from`,
// following Cabinetd-Next while Cabinetd-More says there may be more), then
// saved from memory. Cut off, it offers the next 1000.
async function auditExport(from) {
  const q = new URLSearchParams(audit.query);
  q.set("format", "csv");
  const status = document.getElementById("audit-status");
  const nextExport = document.getElementById("audit-csv-next");
  nextExport.hidden = true;
  const parts = [];
  let records = 0, after = from, more = true;
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
  status.textContent = `Exported ${records} records as CSV` + (more
    ? `, cut off at record ${after}: more may match after it (Export the next records).` : ", all that match.");
  audit.exportNext = after;
  nextExport.hidden = !more;
}

// The choices of the form follow what the token reads.
function fillChoices() {
  const select = document.getElementById("audit-cabinet");
  const have = new Set([...select.options].map((o) => o.value));
  for (const name of store.state.cabinets.keys())
    if (!have.has(name)) {
      const o = document.createElement("option");
      o.value = o.textContent = name;
      select.appendChild(o);
    }
  const kinds = document.getElementById("audit-kind");
  if (kinds.options.length === 1)
    for (const k of store.state.kinds) {
      const o = document.createElement("option");
      o.value = o.textContent = k;
      kinds.appendChild(o);
    }
}

export function mount() {
  store.on("cabinets", fillChoices);
  store.on("session", () => {
    if (store.state.who) return;
    document.querySelectorAll("#audit-cabinet option:not([value=''])").forEach((o) => o.remove());
    reset();
  });
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
    audit.query = auditFilters().toString();
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
  document.getElementById("audit-csv").addEventListener("click", () => auditExport(0));
  document.getElementById("audit-csv-next").addEventListener("click", () => auditExport(audit.exportNext));
}

