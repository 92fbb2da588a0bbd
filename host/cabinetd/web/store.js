// What the page knows, and nothing else: who is signed in and what the token
// may do, each cabinet's latest status and when it came, the approvals, the
// log, and whether the stream is heard. The stream and the actions feed it;
// the views draw from it when it says what changed. It calls nobody but its
// listeners, and touches neither the page nor the network.

import { describe, describeRefusal } from "./words.js";

const LOG_MAX = 300;
export const ENDED_KEEP_MS = 5 * 60 * 1000; // a requester's ended request stays this long

export const state = {
  who: null, // { name, role, time_zone } once signed in
  rights: {}, // whoami's, by cabinet: open, acknowledge, hours, open_now, ...
  kinds: [], // the record kinds, as the API document lists them
  // name -> { status, at: when it came, heardOn: the stream connection that said it }
  cabinets: new Map(),
  selected: null, // the cabinet whose card is open
  approvals: new Map(), // approval_id -> the pending approval
  // approval_id -> { approval, code, by, why, outcome, at_ms, seen_ms: when it came }: the requester's own
  ended: new Map(),
  log: [], // { at_ms, text, cls, title, raw }
  logSeq: 0, // counts every line ever added, so a view knows what it has drawn
  // connection counts the stream's connections: a cabinet's status is the
  // present only when the connection that is heard now said it.
  // lost: the connection failed or closed; stalled: it said nothing in time.
  stream: { connection: 0, connected: false, lost: false, stalled: false, lastHeard: 0, since: null },
  // cabinetd's own check of the journal's hash chain: the cursor of the
  // first record it found changed behind its back, or null.
  chainBrokenAt: null,
};

const listeners = new Map(); // topic -> Set of functions

export function on(topic, f) {
  if (!listeners.has(topic)) listeners.set(topic, new Set());
  listeners.get(topic).add(f);
}

function emit(topic, detail) {
  for (const f of listeners.get(topic) || []) f(detail);
}

// --- who is signed in ------------------------------------------------------

export function signedIn(who) {
  state.who = { name: who.name, role: who.role, time_zone: who.time_zone };
  state.stream.since = Date.now();
  emit("session");
}

export function setRights(rights) {
  state.rights = rights;
  emit("rights");
}

export function setKinds(kinds) { state.kinds = kinds; }

// Everything shown for the token is forgotten: the next person at the
// screen starts from the login.
export function signedOut() {
  state.who = null;
  state.rights = {};
  state.cabinets.clear();
  state.selected = null;
  state.approvals.clear();
  state.ended.clear();
  state.log = [];
  state.logSeq = 0;
  state.chainBrokenAt = null;
  Object.assign(state.stream, { connected: false, lost: false, stalled: false, lastHeard: 0, since: null });
  state.stream.connection++;
  emit("session");
  emit("stream");
  emit("cabinets", null);
  emit("approvals");
  emit("log");
  emit("chain");
}

export const isOperator = () => state.who?.role === "operator";

// --- the stream --------------------------------------------------------------

// The page is blind while signed in and not hearing the stream (it was
// lost, or went silent): what it shows of the cabinets is as of
// `blindSince()`, and not the present.
export function blind() {
  return state.who != null && (state.stream.lost || state.stream.stalled);
}
export function blindSince() {
  return state.stream.lastHeard || state.stream.since || Date.now();
}

// A new connection of the stream: each cabinet's state is known again once
// it has said it (the stream sends every cabinet's status first), whatever
// the order its opening and its first messages reach the page in.
export function streamConnecting() {
  state.stream.connection++;
}

export function streamOpened() {
  Object.assign(state.stream, { connected: true, lost: false, stalled: false });
  emit("stream");
  emit("cabinets", null);
}

export function streamHeard(now) {
  state.stream.lastHeard = now;
  if (state.stream.stalled) {
    state.stream.stalled = false;
    emit("stream");
    emit("cabinets", null);
  }
}

function goBlind(change) {
  const was = blind();
  change();
  emit("stream");
  if (blind() !== was) emit("cabinets", null);
}
export function streamStalled() { goBlind(() => { state.stream.stalled = true; }); }
export function streamLost() { goBlind(() => Object.assign(state.stream, { connected: false, lost: true })); }

// --- cabinets ---------------------------------------------------------------

// A status fetched or streamed. Only the stream's say the cabinet is as
// shown now; a fetched one stands until the stream says otherwise.
// `live`: from the stream, and so the present; "first": fetched as the page
// begins, the present until the stream's first connection says otherwise
// (it says every status at once), so the page does not flash unknown.
export function cabinetStatus(status, live) {
  const before = state.cabinets.get(status.name);
  const heardOn = live === true ? state.stream.connection
    : live === "first" ? state.stream.connection + 1 : before?.heardOn ?? -1;
  state.cabinets.set(status.name, { status, at: Date.now(), heardOn });
  emit("cabinets", status.name);
}

const fresh = (c) => c.heardOn === state.stream.connection;

// What a view shows of a cabinet: its status, or nothing while its present
// state is not known (the stream is not heard, or has not said it yet).
export function known(name) {
  const c = state.cabinets.get(name);
  return c && fresh(c) && !blind() ? c.status : null;
}

export function select(name) {
  state.selected = name;
  emit("selected");
}

// The alarms of one door of one cabinet, in the order they were raised:
// a forced door left open is "forced_open" and "held_open" at once, one
// decision for the operator.
export function alarmGroups() {
  const groups = [];
  for (const [name, c] of state.cabinets) {
    const byDoor = new Map();
    for (const a of c.status.alarms || []) {
      if (!byDoor.has(a.door)) groups.push({ name, door: a.door, alarms: byDoor.set(a.door, []).get(a.door) });
      byDoor.get(a.door).push(a);
    }
  }
  return groups;
}

export function activeAlarms() {
  let n = 0;
  for (const c of state.cabinets.values()) n += (c.status.alarms || []).length;
  return n;
}

export function pendingFor(name) {
  let n = 0;
  for (const a of state.approvals.values()) if (a.cabinet === name) n++;
  return n;
}

// Why a cabinet needs someone's attention, most urgent first; empty when it
// does not. Its rank orders the overview.
export function attention(name) {
  const c = state.cabinets.get(name);
  const s = c?.status;
  const why = [];
  if (!s) return why;
  if (blind() || !fresh(c)) return ["state unknown"];
  if ((s.alarms || []).length) why.push("alarm");
  if (s.link !== "up") why.push(s.link === "silent" ? "controller silent" : "offline");
  if (s.controller && s.controller.fault_text != null) why.push("fault");
  if (pendingFor(name)) why.push("awaiting approval");
  return why;
}

// --- approvals ---------------------------------------------------------------

// The pending approvals as cabinetd listed them when the page began; from
// then on the stream's approval records keep them.
export function approvalsLoaded(list) {
  state.approvals.clear();
  for (const a of list) state.approvals.set(a.approval_id, a);
  emit("approvals");
}

// May this token approve an open? As cabinetd decides it: an operator who
// may open that door now, and not who asked (cabinetd decides again, by
// token, when it is pressed).
export function mayApprove(a) {
  if (a.may_approve != null) return a.may_approve && isOperator();
  const r = state.rights[a.cabinet];
  return isOperator() && a.requested_by !== state.who?.name && !!r && r.open.includes(a.door) && r.open_now;
}

function followApproval(record) {
  const d = record.detail || {};
  const id = d.approval_id;
  if (!id) return;
  if (record.code === "requested") {
    state.approvals.set(id, {
      approval_id: id, status: "pending", cabinet: record.cabinet, door: record.door_id,
      requested_by: d.requested_by, reason: d.reason ?? null, pulse_ms: d.pulse_ms, ttl_ms: d.ttl_ms,
      expires_at_ms: d.expires_at_ms,
    });
  } else {
    const a = state.approvals.get(id);
    state.approvals.delete(id);
    // Its end stays in words for whoever asked, for a while.
    if (d.requested_by === state.who?.name)
      state.ended.set(id, {
        approval: a || { approval_id: id, cabinet: record.cabinet, door: record.door_id, requested_by: d.requested_by },
        code: record.code, at_ms: record.at_ms, seen_ms: Date.now(), outcome: d.open_outcome,
        by: d.approved_by || d.declined_by || d.withdrawn_by || null, why: d.why || null,
      });
  }
  emit("approvals");
}

export function dismissEnded(id) {
  state.ended.delete(id);
  emit("approvals");
}

// Forgets ended requests older than they are kept.
export function pruneEnded(now) {
  for (const [id, e] of state.ended) if (e.seen_ms + ENDED_KEEP_MS <= now) state.ended.delete(id);
  emit("approvals");
}

// --- the journal's chain -------------------------------------------------------

export function chainChecked(brokenAt) {
  if (state.chainBrokenAt === brokenAt) return;
  state.chainBrokenAt = brokenAt;
  emit("chain");
}

// --- the log -----------------------------------------------------------------

export function logLine(line) {
  state.log.push(line);
  state.logSeq++;
  if (state.log.length > LOG_MAX) state.log.splice(0, state.log.length - LOG_MAX);
  emit("log");
}

function lineOf(r) {
  return { at_ms: r.at_ms, text: describe(r), cls: r.code_kind === "fault" ? "fault" : r.kind, title: r.code,
           raw: !r.text && !!r.code };
}

// A journal record: into the log (state changes are what the cards show,
// not news), and the approvals follow their records.
export function record(r) {
  if (r.kind === "approval") followApproval(r);
  if (r.kind === "journal" && r.code === "chain_broken") chainChecked(r.detail?.broken_at ?? 0);
  if (r.kind !== "state") logLine(lineOf(r));
}

// The records the token may see from before the page began, oldest first:
// the log only (the approvals pending then came with them).
export function history(records) {
  for (const r of records) if (r.kind !== "state") logLine(lineOf(r));
}

// A refusal cabinetd counted instead of journalling: in the log now, though
// its record comes only when its minute is over.
export function refusal(r) {
  logLine({ at_ms: r.at_ms, text: describeRefusal(r), cls: "refused", title: r.code, raw: !r.text });
}

// A line of the page's own: what an action got.
export function note(text, failed) {
  logLine({ at_ms: Date.now(), text, cls: failed ? "fault" : "note", title: "", raw: false });
}
