// The live stream (GET /api/stream?status=true) into the store: each
// cabinet's status the moment it changes, every record as it is committed,
// each refusal cabinetd counts rather than journals, and pings. Every message
// proves the stream alive; one that does not come in time (the pings' interval
// and a margin) makes the page blind, and so does a lost connection, until a
// new one has told it the present again. It reconnects by itself.
//
// EventSource cannot send the bearer token, so each connection gets a
// short-lived stream token, and resumes after the last record seen so the
// log misses nothing. The browser's own retry would present the old stream
// token, which a restarted cabinetd no longer knows: the page reconnects
// itself, with a new one.
import { api } from "./api.js";
import * as store from "./store.js";

const MARGIN_MS = 2000; // past the pings' interval: a slow network, a busy tab
const TOKEN_TIMEOUT_MS = 4000; // a stopped cabinetd holds a request without answering
const RETRY_MS = [500, 1000, 2000, 4000];

let source = null;
let lastId = null;
let pingEveryMs = 1000; // as the stream's pings say
let stallTimer = null;
let retryTimer = null;
let tries = 0;
let generation = 0; // a connection under way is abandoned when this moves on

export function start(after) {
  stop();
  lastId = after;
  connect();
}

export function stop() {
  generation++;
  clearTimeout(stallTimer);
  clearTimeout(retryTimer);
  retryTimer = null;
  if (source) source.close();
  source = null;
  lastId = null;
}

function heard() {
  store.streamHeard(Date.now());
  clearTimeout(stallTimer);
  stallTimer = setTimeout(stalled, pingEveryMs + MARGIN_MS);
}

// Silent too long: blind at once, and a new connection tried (the old one
// may be held by a network that went away, or a cabinetd that stopped).
function stalled() {
  store.streamStalled();
  again();
}

function again() {
  clearTimeout(stallTimer);
  if (source) source.close();
  source = null;
  if (retryTimer != null) return;
  const gen = ++generation;
  const delay = RETRY_MS[Math.min(tries++, RETRY_MS.length - 1)];
  retryTimer = setTimeout(() => {
    retryTimer = null;
    if (gen === generation) connect();
  }, delay);
}

// A cabinetd that started again has checked its journal's chain anew, and
// a token with a scope is not sent the journal's own records (the break's
// among them): the page asks each time the stream opens, and again while a
// large journal is still being checked.
async function checkChain(gen) {
  const r = await api("/api/journal/head");
  if (gen !== generation || r.status !== 200) return;
  store.chainChecked(r.body.chain === "broken" ? r.body.broken_at : null);
  if (r.body.chain === "checking") setTimeout(() => { if (gen === generation) checkChain(gen); }, 2000);
}

async function connect() {
  const gen = ++generation;
  const r = await api("/api/stream-token", { method: "POST" }, TOKEN_TIMEOUT_MS);
  if (gen !== generation) return; // stopped or restarted meanwhile
  if (r.status !== 200) {
    store.streamLost();
    return again();
  }
  const after = lastId != null ? "&after=" + encodeURIComponent(lastId) : "";
  store.streamConnecting();
  const s = new EventSource("/api/stream?status=true&token=" + encodeURIComponent(r.body.token) + after);
  source = s;
  // The connection's headers, too, must come in time.
  clearTimeout(stallTimer);
  stallTimer = setTimeout(stalled, TOKEN_TIMEOUT_MS);
  const mine = (f) => (e) => { if (source === s) f(e); };
  s.onopen = mine(() => {
    tries = 0;
    store.streamOpened();
    heard();
    checkChain(gen);
  });
  s.onerror = mine(() => {
    store.streamLost();
    again();
  });
  s.addEventListener("status", mine((e) => {
    heard();
    store.cabinetStatus(JSON.parse(e.data), true);
  }));
  s.addEventListener("ping", mine((e) => {
    const every = JSON.parse(e.data).every_s;
    if (Number.isInteger(every) && every > 0) pingEveryMs = every * 1000;
    heard();
  }));
  s.addEventListener("refusal", mine((e) => {
    heard();
    store.refusal(JSON.parse(e.data));
  }));
  for (const kind of store.state.kinds)
    s.addEventListener(kind, mine((e) => {
      // "open" is a record kind and also EventSource's own event for a new
      // connection, which has no data and no id: only records count.
      if (typeof e.data !== "string") return;
      heard();
      lastId = e.lastEventId;
      store.record(JSON.parse(e.data));
    }));
}
