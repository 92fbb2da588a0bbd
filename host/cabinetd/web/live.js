// The cards as the stream shows them: cabinetd sends a cabinet's status the
// moment it changes (event "status"), so a card follows the cabinet itself,
// with no fetch per record and no polling. A stream that has gone quiet for
// longer than its pings allow says so, and the cards show how old they are.
// Loaded before app.js, whose render() and setStream() it calls.
"use strict";

const STALE_MARGIN_S = 5; // past the ping interval: a slow network, a busy tab
let pingEveryS = 15; // as the stream's pings say
let staleTimer = null;
let stalled = false;
let agesTimer = null;
let lastHeard = Date.now(); // when the stream last said anything
const shown = new Map(); // name -> { status, at }: the latest status and when it came

// Every message of the stream, records, statuses and pings alike, proves it
// alive: the deadline for the next one moves on.
function streamHeard() {
  lastHeard = Date.now();
  clearTimeout(staleTimer);
  staleTimer = setTimeout(streamStalled, (pingEveryS + STALE_MARGIN_S) * 1000);
  if (stalled) {
    stalled = false;
    setStream(true, "live");
    for (const el of cabinets.values()) el.classList.remove("stale");
    showAges();
  }
}

function streamStalled() {
  if (!source) return; // not connected: the badge already says so
  stalled = true;
  setStream(false, "stalled");
  for (const el of cabinets.values()) el.classList.add("stale");
  showAges();
}

function streamClosed() {
  clearTimeout(staleTimer);
  stalled = false;
}

function listenLive(stream) {
  stream.addEventListener("status", (e) => {
    streamHeard();
    render(JSON.parse(e.data));
  });
  stream.addEventListener("ping", (e) => {
    const every = JSON.parse(e.data).every_s;
    if (Number.isInteger(every) && every > 0) pingEveryS = every;
    streamHeard();
  });
  // The ages shown move with this browser's clock between messages.
  if (agesTimer == null) agesTimer = setInterval(showAges, 1000);
}

// Heartbeats go out every second: while they are answered the card says so
// (the status changes only when that does); once they are not, the age of
// the last answer, which grows as this browser's clock does.
function heartbeatText(c, sinceS) {
  if (c.heartbeat_age_s == null) return "none";
  const fresh = c.controller && !c.controller.heartbeat_ok ? " (not fresh on the controller)" : "";
  if (c.heartbeat === "ok") return "answered every second" + fresh;
  const age = (c.heartbeat_age_s + sinceS).toFixed(0) + " s ago";
  return (c.heartbeat === "refused" ? "refused; last answered " : "last answered ") + age + fresh;
}

// A status drawn (render): kept with its time, and the tab's title counts
// the active alarms, so a tab in the background shows them too.
function noteStatus(c) {
  shown.set(c.name, { status: c, at: Date.now() });
  let active = 0;
  for (const alarms of alarmsOf.values()) active += alarms.length;
  document.title = (active ? `(${active}) ` : "") + "Cabinets";
}

function showAges() {
  const now = Date.now();
  for (const [name, { status, at }] of shown) {
    const el = cabinets.get(name);
    if (!el) continue;
    el.querySelector(".heartbeat").textContent =
      heartbeatText(status, (now - at) / 1000) + (stalled ? ", as last heard" : "");
    const age = el.querySelector(".age");
    age.hidden = !stalled;
    age.textContent = stalled ? `Not updated for ${Math.round((now - lastHeard) / 1000)} s: the stream has stalled.` : "";
  }
}
