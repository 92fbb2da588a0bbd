// What the operator does, through cabinetd's API: signing in and out, opening
// a door, clearing a fault, acknowledging alarms, settling an approval.
// Each puts what it learnt into the store (and what it got into the log);
// none draws anything. The views ask before calling the irreversible ones.
import { api, cabinetPath, hasToken, postJson, setToken } from "./api.js";
import * as store from "./store.js";
import * as stream from "./stream.js";

const HISTORY = 50; // the records the log shows at sign-in
let rightsTimer = null; // re-asks whoami when the hours next let in or shut
let startTimer = null;

// What the token may do, from whoami; asked again when its hours next let
// it in or shut it out somewhere (a timer for that moment, not a poll).
export async function loadRights() {
  const who = await api("/api/whoami");
  if (who.status !== 200) return null;
  store.setRights(who.body.cabinets);
  clearTimeout(rightsTimer);
  const changes = Object.values(who.body.cabinets).map((r) => r.open_now ? r.closes_at_ms : r.next_open_ms)
    .filter((t) => t != null);
  if (changes.length) {
    const wait = Math.min(...changes) - Date.now() + 1000;
    rightsTimer = setTimeout(loadRights, Math.min(Math.max(wait, 1000), 2 ** 31 - 1));
  }
  return who.body;
}

// The record kinds, from the API's own description: what the stream's
// listeners and the audit's choice are made of.
async function loadKinds() {
  const r = await api("/api/openapi.json");
  const schemas = r.body?.components?.schemas;
  const params = r.body?.paths?.["/api/stream"]?.get?.parameters || [];
  const streamed = params.find((p) => p.name === "kind")?.schema?.default;
  if (r.status !== 200 || !Array.isArray(schemas?.RecordKind?.enum) || !Array.isArray(streamed)) return null;
  store.setKinds(schemas.RecordKind.enum);
  return streamed;
}

// The last records the token may see (its scope decides, as for every
// read), so whoever arrives sees the last minutes: read forward from ever
// further back before the journal's head, a bounded number of pages, the
// latest HISTORY kept. The stream then starts at that head.
async function loadHistory(streamed) {
  const head = await api("/api/journal/head");
  if (head.status !== 200) return null;
  const end = head.body.cursor;
  const kinds = streamed.filter((k) => k !== "state").join(",");
  let got = [];
  let upTo = end;
  for (let back = 400, pages = 0; upTo > 0 && got.length < HISTORY && pages < 12; back *= 5) {
    const from = Math.max(0, upTo - back);
    const part = [];
    let after = from;
    for (; after < upTo && pages < 12; pages++) {
      const r = await api(`/api/events?kind=${kinds}&after=${after}&limit=200`);
      if (r.status !== 200) return null;
      part.push(...r.body.events.filter((e) => e.cursor <= upTo));
      after = r.body.more ? r.body.next : upTo;
    }
    if (after < upTo) break; // a stretch too busy to read whole: what is later stands alone
    got = part.concat(got).slice(-HISTORY);
    upTo = from;
  }
  store.history(got);
  return end;
}

// Signed in with the token given: the page asks who it is, what it may do,
// the cabinets, the approvals pending and the last records, then follows
// the stream. While cabinetd cannot be reached it tries again by itself.
export async function signIn(token) {
  clearTimeout(startTimer);
  setToken(token);
  const who = await loadRights();
  if (!who) {
    if (hasToken()) startTimer = setTimeout(() => signIn(token), 2000);
    return false;
  }
  store.signedIn(who);
  const streamed = await loadKinds();
  const cabinets = streamed ? await api("/api/cabinets") : { status: 0 };
  const end = cabinets.status === 200 ? await loadHistory(streamed) : null;
  const approvals = end != null ? await api("/api/approvals") : { status: 0 };
  if (approvals.status !== 200 || !hasToken()) {
    if (hasToken()) startTimer = setTimeout(() => signIn(token), 2000); // restarting, or the network gone
    return true;
  }
  for (const c of cabinets.body.cabinets) store.cabinetStatus(c, "first");
  if (store.state.cabinets.size === 1) store.select(store.state.cabinets.keys().next().value);
  store.approvalsLoaded(approvals.body.approvals);
  stream.start(end);
  return true;
}

export function signOut() {
  clearTimeout(rightsTimer);
  clearTimeout(startTimer);
  setToken("");
  stream.stop();
  store.signedOut();
}

const said = (r) => (r.body.code || r.body.error || (r.status ? "HTTP " + r.status : "cabinetd is not reachable")) +
  (r.body.text ? " — " + r.body.text : "");

export async function openDoor(name, door, reason) {
  const r = await postJson(`${cabinetPath(name)}/doors/${door}/open`, reason ? { reason } : {});
  if (r.body.status === "awaiting_approval") {
    store.note(`${name}  open door ${door}: awaiting a second operator's approval`);
    return r;
  }
  store.note(`${name}  open door ${door}: ${said(r)}`, r.status !== 202);
  return r;
}

export async function clearFault(name) {
  const r = await api(`${cabinetPath(name)}/clear-fault`, { method: "POST" });
  store.note(`${name}  clear fault: ${said(r)}`, r.status !== 200);
  return r;
}

// Each door's alarms are acknowledged one id at a time, as the API takes
// them; all of them or the first failure is logged.
export async function acknowledge(name, ids) {
  let failed = null;
  for (const id of ids) {
    const r = await postJson(`${cabinetPath(name)}/alarms/ack`, { alarm_id: id });
    if (r.status !== 200) {
      failed = said(r);
      break;
    }
  }
  store.note(`${name}  acknowledge alarm${ids.length > 1 ? "s" : ""}: ${failed || "done"}`, !!failed);
  const r = await api(cabinetPath(name));
  if (r.status === 200) store.cabinetStatus(r.body, false);
}

// Approve (POST) or decline or withdraw (DELETE) an open awaiting approval.
export async function settle(a, method, label) {
  const r = await api("/api/approvals/" + encodeURIComponent(a.approval_id), { method });
  const ok = r.status === 200 || r.status === 202;
  store.note(`${a.cabinet}  ${label} the open of door ${a.door}: ${ok ? (r.body.code || r.body.status || "done") : said(r)}`, !ok);
  return r;
}
